// Wire format: golden datagrams, exact bytes and limits; any-bytes robustness is the decode_message fuzz
// target's job.
#include "messaging/messaging.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <utility>

namespace {

using namespace Messaging;
using Messaging::MSG_CONFIRM;   // rather than the socket flag of that name

std::vector<uint8_t> Encode(const Message& message)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(EncodeMessage(message, out));
    return out;
}

Message Kind(MessageKind kind, uint64_t id)
{
    Message message;
    message.kind = kind;
    message.id = id;
    return message;
}

CallParams Party(const std::vector<std::string>& s, int32_t expires)
{
    CallParams p;
    std::string* fields[] = {&p.userName, &p.displayName, &p.domain, &p.password, &p.ipAddress,
                             &p.port, &p.transport, &p.contact, &p.callId, &p.tag};
    for (size_t i = 0; i < 10; ++i)
        *fields[i] = s.at(i);
    p.expires = expires;
    return p;
}

// Each golden file (testdata/ beside this source) decodes to the expected values and they encode to the
// very same bytes, in the x86-64 and the PowerPC build alike; encoding both to the golden bytes shows that
// they agree in every field. Cut short by a byte with its length to match, a golden file is refused after
// part of its payload was read, which must leave the message as it was.
TEST(MessageCodecGolden, DecodesAndEncodesToTheSameBytes)
{
    Message notify = Kind(MSG_NOTIFY, 0xF123456789ABCDEFull);
    notify.url = "http://192.0.2.10:8080/cfg/zentrofxs-00a0b1c2d3e4.xml";
    Message subscribe = Kind(MSG_SUBSCRIBE, 0x0000000100000002ull);
    subscribe.subscriber = Party({"alice", "Alice A", "example.net", "secret", "192.0.2.20", "5060", "udp",
                                  "sip:alice@192.0.2.20:5060", "call-1@host", "tag-a"}, -2);
    subscribe.target = Party({"provisioning", "", "", "", "198.51.100.7", "5070", "", "", "", ""}, INT32_MAX);
    subscribe.watchingStates = 0x80000001u;
    subscribe.expires = 3600;
    Message update = Kind(MSG_UPDATE, 0);
    update.code = Update_Configuration_Command;
    update.number = 0xDEADBEEFu;
    update.strings = {"reset", "", "x"};
    Message error = Kind(MSG_ERROR, 42);
    error.code = -9;
    const std::pair<const char*, Message> cases[] = {
        {"notify_message.bin", notify}, {"subscribe_message.bin", subscribe},
        {"update_message.bin", update}, {"error_message.bin", error}};
    const std::string here = __FILE__;
    for (const auto& [name, expected] : cases) {
        std::ifstream in(here.substr(0, here.rfind('/') + 1) + "testdata/" + name, std::ios::binary);
        const std::vector<uint8_t> golden{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Message decoded;
        ASSERT_TRUE(DecodeMessage(golden.data(), golden.size(), decoded)) << name;
        EXPECT_EQ(golden, Encode(expected)) << name;
        EXPECT_EQ(golden, Encode(decoded)) << name;
        std::vector<uint8_t> cut(golden.begin(), golden.end() - 1);
        --cut[7];
        Message untouched = Kind(MSG_CONFIRM, 77);
        EXPECT_FALSE(DecodeMessage(cut.data(), cut.size(), untouched)) << name;
        EXPECT_EQ(Encode(Kind(MSG_CONFIRM, 77)), Encode(untouched)) << name;
    }
}

// The kinds without a golden file byte for byte; appending; what cannot be encoded, and a datagram larger
// than any the fuzzer makes.
TEST(MessageCodecEncode, ExactBytesAppendingAndLimits)
{
    Message online = Kind(MSG_PARTY_STATE, 0);
    online.online = true;
    const uint64_t top = 0x8000000000000001ull;   // highest and lowest bit set
    const std::pair<Message, std::vector<uint8_t>> cases[] = {
        {Kind(MSG_UNSUBSCRIBE, top), {'A', 'P', 1, 2, 0, 0, 0, 8, 0x80, 0, 0, 0, 0, 0, 0, 1}},
        {Kind(MSG_CONFIRM, top), {'A', 'P', 1, 3, 0, 0, 0, 8, 0x80, 0, 0, 0, 0, 0, 0, 1}},
        {online, {'A', 'P', 1, 6, 0, 0, 0, 1, 1}},
    };
    for (const auto& [message, bytes] : cases)
        EXPECT_EQ(bytes, Encode(message)) << static_cast<int>(bytes[3]);

    std::vector<uint8_t> out = {0xAA, 0xBB};
    Message notify = Kind(MSG_NOTIFY, 0);
    notify.url.assign(MAX_MESSAGE_SIZE - 18, 'u');   // the largest: header 8 + id 8 + url length 2 + url
    ASSERT_TRUE(EncodeMessage(notify, out));
    EXPECT_EQ(2 + MAX_MESSAGE_SIZE, out.size());
    const std::vector<uint8_t> before = out;
    notify.url += 'u';
    EXPECT_FALSE(EncodeMessage(notify, out));
    notify.url.assign(70000, 'u');   // longer than a u16 length
    EXPECT_FALSE(EncodeMessage(notify, out));
    Message update = Kind(MSG_UPDATE, 0);
    update.strings.assign(65536, std::string());   // count does not fit a u16
    EXPECT_FALSE(EncodeMessage(update, out));
    EXPECT_FALSE(EncodeMessage(Kind(static_cast<MessageKind>(99), 0), out));
    EXPECT_EQ(before, out);
    std::vector<uint8_t> oversized(before.begin() + 2, before.end());   // one byte more, consistently counted
    oversized.push_back('u');
    ++oversized[7];
    ++oversized[17];
    Message message = Kind(MSG_CONFIRM, 77);
    EXPECT_FALSE(DecodeMessage(oversized.data(), oversized.size(), message));
    EXPECT_EQ(Encode(Kind(MSG_CONFIRM, 77)), Encode(message));
}

}  // namespace
