// The SIP parser and the NOTIFY URL extraction on any datagram. A parsed
// message, written out and parsed again, must write out the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sip/sip_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Sip::SipMessage message;
    if (!Sip::ParseMessage(reinterpret_cast<const char*>(data), size, message))
        return 0;

    Sip::NotifyUrl(message);
    for (const char* name : {"Via", "From", "To", "Contact"}) {
        for (const std::string& value : message.HeaderValues(name)) {
            Sip::HeaderUri(value);
            Sip::HeaderParameter(value, "tag");
            Sip::HeaderParameter(value, "branch");
        }
    }
    unsigned long number = 0;
    std::string method;
    if (const std::string* cseq = message.Header("CSeq"))
        Sip::ParseCSeq(*cseq, number, method);
    const std::string text = Sip::Serialize(message);
    Sip::SipMessage again;
    if (!Sip::ParseMessage(text.data(), text.size(), again) || Sip::Serialize(again) != text)
        abort();
    return 0;
}
