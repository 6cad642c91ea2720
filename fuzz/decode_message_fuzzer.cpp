// The messaging decoder on any datagram: what it accepts must encode back to
// the same bytes, since every field has exactly one encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "messaging/messaging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Messaging::Message message;
    if (!Messaging::DecodeMessage(data, size, message))
        return 0;
    std::vector<uint8_t> encoded;
    if (!Messaging::EncodeMessage(message, encoded) || encoded.size() != size ||
        memcmp(encoded.data(), data, size) != 0)
        abort();
    return 0;
}
