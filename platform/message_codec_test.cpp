// Wire format: golden datagrams, limits and robustness against any bytes.
#include "platform/messaging.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

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

std::vector<std::string> Fields(const CallParams& p)
{
    return {p.userName, p.displayName, p.domain, p.password, p.ipAddress, p.port,
            p.transport, p.contact, p.callId, p.tag, std::to_string(p.expires)};
}

const std::string SUBSCRIBER[10] = {"alice", "Alice A", "example.net", "secret", "192.0.2.20",
                                    "5060", "udp", "sip:alice@192.0.2.20:5060", "call-1@host", "tag-a"};
const std::string TARGET[10] = {"provisioning", "", "", "", "198.51.100.7", "5070", "", "", "", ""};

}  // namespace

// ---------------------------------------------------------------- golden datagrams

TEST(MessageCodecGolden, NotifyDecodesAndEncodesToTheSameBytes)
{
    std::vector<uint8_t> golden = ReadGolden("notify_message.bin");
    ASSERT_EQ(71u, golden.size());
    Message message;
    ASSERT_TRUE(Decode(golden, message));
    EXPECT_EQ(Messaging::MSG_NOTIFY, message.kind);
    EXPECT_EQ(0xF123456789ABCDEFull, message.id);
    EXPECT_EQ("http://192.0.2.10:8080/cfg/zentrofxs-00a0b1c2d3e4.xml", message.url);

    Message fresh;
    fresh.kind = Messaging::MSG_NOTIFY;
    fresh.id = 0xF123456789ABCDEFull;
    fresh.url = "http://192.0.2.10:8080/cfg/zentrofxs-00a0b1c2d3e4.xml";
    EXPECT_EQ(golden, Encode(fresh));
}

TEST(MessageCodecGolden, SubscribeCarriesBothPartiesInFieldOrder)
{
    std::vector<uint8_t> golden = ReadGolden("subscribe_message.bin");
    Message message;
    ASSERT_TRUE(Decode(golden, message));
    EXPECT_EQ(Messaging::MSG_SUBSCRIBE, message.kind);
    EXPECT_EQ(0x0000000100000002ull, message.id);
    EXPECT_EQ(Fields(Party(SUBSCRIBER, -2)), Fields(message.subscriber));
    EXPECT_EQ(Fields(Party(TARGET, 0x7FFFFFFF)), Fields(message.target));
    EXPECT_EQ(0x80000001u, message.watchingStates);
    EXPECT_EQ(3600u, message.expires);

    Message fresh;
    fresh.kind = Messaging::MSG_SUBSCRIBE;
    fresh.id = 0x0000000100000002ull;
    fresh.subscriber = Party(SUBSCRIBER, -2);
    fresh.target = Party(TARGET, 0x7FFFFFFF);
    fresh.watchingStates = 0x80000001u;
    fresh.expires = 3600;
    EXPECT_EQ(golden, Encode(fresh));
}

TEST(MessageCodecGolden, UpdateAndErrorKeepSignsAndOrder)
{
    std::vector<uint8_t> golden = ReadGolden("update_message.bin");
    Message update;
    ASSERT_TRUE(Decode(golden, update));
    EXPECT_EQ(Messaging::MSG_UPDATE, update.kind);
    EXPECT_EQ(Update_Configuration_Command, update.code);
    EXPECT_EQ(0xDEADBEEFu, update.number);
    EXPECT_EQ((std::list<std::string>{"reset", "", "x"}), update.strings);
    EXPECT_EQ(golden, Encode(update));

    golden = ReadGolden("error_message.bin");
    Message error;
    ASSERT_TRUE(Decode(golden, error));
    EXPECT_EQ(Messaging::MSG_ERROR, error.kind);
    EXPECT_EQ(42u, error.id);
    EXPECT_EQ(-9, error.code);
    Message fresh;
    fresh.kind = Messaging::MSG_ERROR;
    fresh.id = 42;
    fresh.code = -9;
    EXPECT_EQ(golden, Encode(fresh));
}

// ---------------------------------------------------------------- encoding

TEST(MessageCodecEncode, RoundTripsTheShortKinds)
{
    Message message;
    for (Messaging::MessageKind kind : {Messaging::MSG_UNSUBSCRIBE, Messaging::MSG_CONFIRM}) {
        message.kind = kind;
        message.id = 0x8000000000000001ull;
        Message decoded;
        ASSERT_TRUE(Decode(Encode(message), decoded));
        EXPECT_EQ(kind, decoded.kind);
        EXPECT_EQ(0x8000000000000001ull, decoded.id);
        EXPECT_EQ(16u, Encode(message).size());
    }
    for (bool online : {true, false}) {
        message.kind = Messaging::MSG_PARTY_STATE;
        message.online = online;
        std::vector<uint8_t> bytes = Encode(message);
        EXPECT_EQ((std::vector<uint8_t>{'A', 'P', 1, 6, 0, 0, 0, 1, static_cast<uint8_t>(online)}), bytes);
        Message decoded;
        ASSERT_TRUE(Decode(bytes, decoded));
        EXPECT_EQ(online, decoded.online);
    }
}

TEST(MessageCodecEncode, AppendsAndRefusesWhatDoesNotFit)
{
    std::vector<uint8_t> out = {0xAA, 0xBB};
    Message notify;
    notify.kind = Messaging::MSG_NOTIFY;
    // Header 8 + id 8 + length 2: this url makes the largest datagram allowed.
    notify.url.assign(Messaging::MAX_MESSAGE_SIZE - 18, 'u');
    ASSERT_TRUE(Messaging::EncodeMessage(notify, out));
    EXPECT_EQ(2 + Messaging::MAX_MESSAGE_SIZE, out.size());
    EXPECT_EQ(0xAA, out[0]);
    EXPECT_EQ('A', out[2]);

    std::vector<uint8_t> before = out;
    notify.url += 'u';
    EXPECT_FALSE(Messaging::EncodeMessage(notify, out));
    notify.url.assign(70000, 'u');   // longer than a u16 length
    EXPECT_FALSE(Messaging::EncodeMessage(notify, out));

    Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.strings.assign(65536, std::string());   // count does not fit a u16
    EXPECT_FALSE(Messaging::EncodeMessage(update, out));

    Message unknown;
    unknown.kind = static_cast<Messaging::MessageKind>(99);
    EXPECT_FALSE(Messaging::EncodeMessage(unknown, out));
    EXPECT_EQ(before, out);
}

// ---------------------------------------------------------------- decoding

TEST(MessageCodecDecode, RefusesEveryTruncationAndAnyTrailingByte)
{
    for (const char* name : {"notify_message.bin", "subscribe_message.bin", "update_message.bin",
                             "error_message.bin"}) {
        std::vector<uint8_t> golden = ReadGolden(name);
        Message message;
        for (size_t length = 0; length < golden.size(); ++length)
            EXPECT_FALSE(Messaging::DecodeMessage(golden.data(), length, message)) << name << " " << length;

        // A trailing byte, with the header's length left as it was and with
        // the length counting it.
        std::vector<uint8_t> longer = golden;
        longer.push_back(0);
        EXPECT_FALSE(Decode(longer, message)) << name;
        longer[7] = static_cast<uint8_t>(longer[7] + 1);
        EXPECT_FALSE(Decode(longer, message)) << name;
    }
}

TEST(MessageCodecDecode, RefusesGarbledHeadersAndFields)
{
    const std::vector<uint8_t> good = ReadGolden("update_message.bin");
    Message untouched;
    untouched.kind = Messaging::MSG_CONFIRM;
    untouched.id = 77;
    auto refuse = [&](std::vector<uint8_t> bytes, const char* what) {
        Message message = untouched;
        EXPECT_FALSE(Decode(bytes, message)) << what;
        EXPECT_EQ(77u, message.id) << what;
        EXPECT_EQ(Messaging::MSG_CONFIRM, message.kind) << what;
    };
    std::vector<uint8_t> bytes = good;
    bytes[0] = 'X';
    refuse(bytes, "magic");
    bytes = good;
    bytes[2] = 2;
    refuse(bytes, "version");
    bytes = good;
    bytes[3] = 0;
    refuse(bytes, "kind 0");
    bytes[3] = 8;
    refuse(bytes, "kind 8");
    bytes = good;
    bytes[7] = static_cast<uint8_t>(bytes[7] - 1);
    refuse(bytes, "length short");
    bytes = good;
    bytes[4] = 0x80;
    refuse(bytes, "length huge");
    bytes = good;
    bytes[18] = 0x00;
    bytes[19] = 0x30;   // first string claims 48 bytes, past the end
    refuse(bytes, "string past the end");
    bytes = good;
    bytes[16] = 0xFF;
    bytes[17] = 0xFF;   // 65535 strings in 12 bytes
    refuse(bytes, "count past the end");
    refuse({'A', 'P', 1, 6, 0, 0, 0, 1, 2}, "party state 2");
    refuse({'A', 'P', 1, 6, 0, 0, 0, 0}, "party state without payload");

    std::vector<uint8_t> oversized(Messaging::MAX_MESSAGE_SIZE + 1, 0);
    Message notify;
    notify.kind = Messaging::MSG_NOTIFY;
    notify.url.assign(Messaging::MAX_MESSAGE_SIZE - 18, 'u');
    std::vector<uint8_t> largest = Encode(notify);
    std::copy(largest.begin(), largest.end(), oversized.begin());
    refuse(oversized, "larger than a datagram may be");
    Message message;
    EXPECT_FALSE(Messaging::DecodeMessage(nullptr, 0, message));
}

// Random bytes and random corruptions of valid datagrams: the decoder never
// reads out of bounds (the sanitizer builds check that), and whatever it does
// accept is canonical, so encoding it again gives the very same bytes.
TEST(MessageCodecDecode, SurvivesArbitraryBytes)
{
    std::mt19937 random(20240611u);
    std::vector<std::vector<uint8_t>> seeds = {ReadGolden("notify_message.bin"), ReadGolden("subscribe_message.bin"),
                                               ReadGolden("update_message.bin"), ReadGolden("error_message.bin")};
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
            if (bytes.size() >= 8) {
                bytes[0] = 'A';
                bytes[1] = 'P';
                bytes[2] = 1;
                bytes[3] = static_cast<uint8_t>(1 + random() % 7);
                size_t payload = bytes.size() - 8;
                bytes[4] = 0;
                bytes[5] = 0;
                bytes[6] = static_cast<uint8_t>(payload >> 8);
                bytes[7] = static_cast<uint8_t>(payload);
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

// ---------------------------------------------------------------- queue paths

TEST(MessageCodecPaths, QueuePathFollowsTheDirectory)
{
    EXPECT_EQ("/var/run/msgq", Messaging::QueueDirectory());
    EXPECT_EQ("/var/run/msgq/queue-124", Messaging::QueuePath(Messaging::PRESENCE_AGENT_QUEUE));
    Messaging::SetQueueDirectory("/tmp/elsewhere");
    EXPECT_EQ("/tmp/elsewhere/queue-126", Messaging::QueuePath(Messaging::CGI_QUEUE));
    Messaging::SetQueueDirectory("/var/run/msgq");
}
