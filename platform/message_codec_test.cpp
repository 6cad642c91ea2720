// Wire format: golden datagrams, limits and robustness against any bytes.
#include "platform/messaging.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <utility>

using Messaging::Message;

namespace {

// Golden files sit in testdata/ beside this source file.
std::vector<uint8_t> ReadGolden(const std::string& name)
{
    std::string here = __FILE__;
    std::string path = here.substr(0, here.rfind('/') + 1) + "testdata/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const GOLDEN[] = {"notify_message.bin", "subscribe_message.bin", "update_message.bin",
                              "error_message.bin"};

std::vector<uint8_t> Encode(const Message& message)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(Messaging::EncodeMessage(message, out));
    return out;
}

bool Decode(const std::vector<uint8_t>& bytes, Message& message)
{
    return Messaging::DecodeMessage(bytes.data(), bytes.size(), message);
}

Message Kind(Messaging::MessageKind kind, uint64_t id)
{
    Message message;
    message.kind = kind;
    message.id = id;
    return message;
}

CallParams Party(const std::string (&strings)[10], int32_t expires)
{
    CallParams party;
    std::string* fields[] = {&party.userName, &party.displayName, &party.domain, &party.password, &party.ipAddress,
                             &party.port, &party.transport, &party.contact, &party.callId, &party.tag};
    for (size_t i = 0; i < 10; ++i)
        *fields[i] = strings[i];
    party.expires = expires;
    return party;
}

// Every field of a message (both party records in field order) as text, so
// one comparison checks them all.
std::string Summary(const Message& m)
{
    std::string text = std::to_string(m.kind) + " " + std::to_string(m.id) + " " + std::to_string(m.watchingStates) +
                       " " + std::to_string(m.expires) + " " + m.url + " " + std::to_string(m.code) + " " +
                       std::to_string(m.online) + " " + std::to_string(m.number);
    for (const CallParams* p : {&m.subscriber, &m.target})
        for (const std::string& field : {p->userName, p->displayName, p->domain, p->password, p->ipAddress, p->port,
                                         p->transport, p->contact, p->callId, p->tag, std::to_string(p->expires)})
            text += " [" + field + "]";
    for (const std::string& item : m.strings)
        text += " <" + item + ">";
    return text;
}

const std::string SUBSCRIBER[10] = {"alice", "Alice A", "example.net", "secret", "192.0.2.20",
                                    "5060", "udp", "sip:alice@192.0.2.20:5060", "call-1@host", "tag-a"};
const std::string TARGET[10] = {"provisioning", "", "", "", "198.51.100.7", "5070", "", "", "", ""};

}  // namespace

// ---------------------------------------------------------------- golden datagrams

// Each golden file decodes to the expected message (signs, order, both
// parties field by field) and that message encodes to the very same bytes.
TEST(MessageCodecGolden, DecodesAndEncodesToTheSameBytes)
{
    Message notify = Kind(Messaging::MSG_NOTIFY, 0xF123456789ABCDEFull);
    notify.url = "http://192.0.2.10:8080/cfg/zentrofxs-00a0b1c2d3e4.xml";
    Message subscribe = Kind(Messaging::MSG_SUBSCRIBE, 0x0000000100000002ull);
    subscribe.subscriber = Party(SUBSCRIBER, -2);
    subscribe.target = Party(TARGET, 0x7FFFFFFF);
    subscribe.watchingStates = 0x80000001u;
    subscribe.expires = 3600;
    Message update = Kind(Messaging::MSG_UPDATE, 0);
    update.code = Update_Configuration_Command;
    update.number = 0xDEADBEEFu;
    update.strings = {"reset", "", "x"};
    Message error = Kind(Messaging::MSG_ERROR, 42);
    error.code = -9;

    const Message expected[] = {notify, subscribe, update, error};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(GOLDEN[i]);
        const std::vector<uint8_t> golden = ReadGolden(GOLDEN[i]);
        Message decoded;
        ASSERT_TRUE(Decode(golden, decoded));
        EXPECT_EQ(Summary(expected[i]), Summary(decoded));
        EXPECT_EQ(golden, Encode(expected[i]));
    }
}

// ---------------------------------------------------------------- encoding

TEST(MessageCodecEncode, ShortKindsHaveExactBytesAndRoundTrip)
{
    Message offline = Kind(Messaging::MSG_PARTY_STATE, 0);
    Message online = offline;
    online.online = true;
    const uint64_t top = 0x8000000000000001ull;   // highest and lowest bit set
    const std::vector<std::pair<Message, std::vector<uint8_t>>> cases = {
        {Kind(Messaging::MSG_UNSUBSCRIBE, top), {'A', 'P', 1, 2, 0, 0, 0, 8, 0x80, 0, 0, 0, 0, 0, 0, 1}},
        {Kind(Messaging::MSG_CONFIRM, top), {'A', 'P', 1, 3, 0, 0, 0, 8, 0x80, 0, 0, 0, 0, 0, 0, 1}},
        {online, {'A', 'P', 1, 6, 0, 0, 0, 1, 1}},
        {offline, {'A', 'P', 1, 6, 0, 0, 0, 1, 0}},
    };
    for (const auto& [message, bytes] : cases) {
        SCOPED_TRACE(Summary(message));
        EXPECT_EQ(bytes, Encode(message));
        Message decoded;
        ASSERT_TRUE(Decode(bytes, decoded));
        EXPECT_EQ(Summary(message), Summary(decoded));
    }
}

TEST(MessageCodecEncode, AppendsAndRefusesWhatDoesNotFit)
{
    std::vector<uint8_t> out = {0xAA, 0xBB};
    Message notify = Kind(Messaging::MSG_NOTIFY, 0);
    // Header 8 + id 8 + length 2: this url makes the largest datagram allowed.
    notify.url.assign(Messaging::MAX_MESSAGE_SIZE - 18, 'u');
    ASSERT_TRUE(Messaging::EncodeMessage(notify, out));
    EXPECT_EQ(2 + Messaging::MAX_MESSAGE_SIZE, out.size());
    EXPECT_EQ(0xAA, out[0]);
    EXPECT_EQ('A', out[2]);

    const std::vector<uint8_t> before = out;
    notify.url += 'u';
    EXPECT_FALSE(Messaging::EncodeMessage(notify, out));
    notify.url.assign(70000, 'u');   // longer than a u16 length
    EXPECT_FALSE(Messaging::EncodeMessage(notify, out));
    Message update = Kind(Messaging::MSG_UPDATE, 0);
    update.strings.assign(65536, std::string());   // count does not fit a u16
    EXPECT_FALSE(Messaging::EncodeMessage(update, out));
    EXPECT_FALSE(Messaging::EncodeMessage(Kind(static_cast<Messaging::MessageKind>(99), 0), out));
    EXPECT_EQ(before, out);
}

// ---------------------------------------------------------------- decoding

TEST(MessageCodecDecode, RefusesEveryTruncationAndAnyTrailingByte)
{
    for (const char* name : GOLDEN) {
        std::vector<uint8_t> golden = ReadGolden(name);
        Message message;
        for (size_t length = 0; length < golden.size(); ++length)
            EXPECT_FALSE(Messaging::DecodeMessage(golden.data(), length, message)) << name << " " << length;

        // A trailing byte, with the header's length left as it was and with
        // the length counting it.
        golden.push_back(0);
        EXPECT_FALSE(Decode(golden, message)) << name;
        golden[7] = static_cast<uint8_t>(golden[7] + 1);
        EXPECT_FALSE(Decode(golden, message)) << name;
    }
}

TEST(MessageCodecDecode, RefusesGarbledHeadersAndFieldsLeavingTheMessageAlone)
{
    const std::vector<uint8_t> good = ReadGolden("update_message.bin");
    auto changed = [&](std::initializer_list<std::pair<size_t, uint8_t>> changes) {
        std::vector<uint8_t> bytes = good;
        for (const auto& [at, value] : changes)
            bytes.at(at) = value;
        return bytes;
    };
    std::vector<uint8_t> oversized(Messaging::MAX_MESSAGE_SIZE + 1, 0);
    Message notify = Kind(Messaging::MSG_NOTIFY, 0);
    notify.url.assign(Messaging::MAX_MESSAGE_SIZE - 18, 'u');
    const std::vector<uint8_t> largest = Encode(notify);
    std::copy(largest.begin(), largest.end(), oversized.begin());

    const std::vector<std::pair<std::vector<uint8_t>, const char*>> cases = {
        {changed({{0, 'X'}}), "magic"},
        {changed({{2, 2}}), "version"},
        {changed({{3, 0}}), "kind 0"},
        {changed({{3, 8}}), "kind 8"},
        {changed({{7, static_cast<uint8_t>(good[7] - 1)}}), "length short"},
        {changed({{4, 0x80}}), "length huge"},
        {changed({{18, 0x00}, {19, 0x30}}), "string past the end"},   // first string claims 48 bytes
        {changed({{16, 0xFF}, {17, 0xFF}}), "count past the end"},    // 65535 strings in 12 bytes
        {{'A', 'P', 1, 6, 0, 0, 0, 1, 2}, "party state 2"},
        {{'A', 'P', 1, 6, 0, 0, 0, 0}, "party state without payload"},
        {oversized, "larger than a datagram may be"},
    };
    for (const auto& [bytes, what] : cases) {
        Message message = Kind(Messaging::MSG_CONFIRM, 77);
        EXPECT_FALSE(Decode(bytes, message)) << what;
        EXPECT_EQ(77u, message.id) << what;
        EXPECT_EQ(Messaging::MSG_CONFIRM, message.kind) << what;
    }
    Message message;
    EXPECT_FALSE(Messaging::DecodeMessage(nullptr, 0, message));
}

// Random bytes and random corruptions of valid datagrams: the decoder never
// reads out of bounds (the sanitizer builds check that), and whatever it does
// accept is canonical, so encoding it again gives the very same bytes.
TEST(MessageCodecDecode, SurvivesArbitraryBytes)
{
    std::mt19937 random(20240611u);
    std::vector<std::vector<uint8_t>> seeds;
    for (const char* name : GOLDEN)
        seeds.push_back(ReadGolden(name));
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes;
        if (round % 2 == 0) {
            bytes = seeds[random() % seeds.size()];
            int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i)
                bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
            if (random() % 4 == 0)
                bytes.resize(random() % (bytes.size() + 4), 0);
        } else {
            bytes.resize(random() % 64);
            for (uint8_t& byte : bytes)
                byte = static_cast<uint8_t>(random());
            if (bytes.size() >= 8) {   // a plausible header over a random payload
                const size_t payload = bytes.size() - 8;
                const uint8_t header[8] = {'A', 'P', 1, static_cast<uint8_t>(1 + random() % 7), 0, 0,
                                           static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload)};
                std::copy(header, header + 8, bytes.begin());
            }
        }
        Message message;
        if (Decode(bytes, message)) {
            ++accepted;
            std::vector<uint8_t> again;
            ASSERT_TRUE(Messaging::EncodeMessage(message, again));
            ASSERT_EQ(bytes, again) << "round " << round;
        }
    }
    EXPECT_GT(accepted, 0);
}

TEST(MessageCodecPaths, QueuePathFollowsTheDirectory)
{
    EXPECT_EQ("/var/run/msgq/queue-124", Messaging::QueuePath(Messaging::PRESENCE_AGENT_QUEUE));
    Messaging::SetQueueDirectory("/tmp/elsewhere");
    EXPECT_EQ("/tmp/elsewhere/queue-126", Messaging::QueuePath(Messaging::CGI_QUEUE));
    Messaging::SetQueueDirectory("/var/run/msgq");
}
