// Queues, poller and messengers over real sockets in a temporary directory.
#include "platform/messaging.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using namespace Messaging;
using Messaging::MSG_CONFIRM;   // rather than the socket flag of that name

// Every queue of this binary lives under one fresh directory (0711: another user may pass); the
// first queue creates its "msgq" subdirectory, so that directory's mode is the library's own.
class QueueDirectoryEnvironment : public ::testing::Environment {
    void SetUp() override
    {
        char base[] = "/tmp/msgq-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(base));
        ASSERT_EQ(0, chmod(base, 0711));
        mBase = base;
        SetQueueDirectory(mBase + "/msgq");
    }
    void TearDown() override { std::filesystem::remove_all(mBase, mIgnored); }
    std::string mBase;
    std::error_code mIgnored;
};
::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QueueDirectoryEnvironment);

// Records every callback as "id text" (mEvents is read once no callback runs).
class RecordingPresence : public PresenceMessenger {
public:
    explicit RecordingPresence(int queue = PRESENCE_CLIENT_QUEUE) : PresenceMessenger(queue, nullptr) {}
    int OnConfirm(const unsigned long long& id) override { return Add(id, "confirm"); }
    int OnNotify(const unsigned long long& id, const std::string& url) override { return Add(id, url); }
    int OnErrorConvey(const unsigned long long& id, const PresenceUAClientErrorCode& code) override
    {
        return Add(id, "error " + std::to_string(code));
    }
    int OnPresencePartyStateChanged(bool online) override { return Add(0, online ? "online" : "offline"); }
    int Add(unsigned long long id, const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.push_back(std::to_string(id) + " " + text);
        return 0;
    }

    std::mutex mMutex;
    std::vector<std::string> mEvents;
};

// Answers each update to its sender with the type and list it received and number 5.
class EchoingCgi : public CGIMessenger {
public:
    EchoingCgi() : CGIMessenger(CGI_QUEUE) {}
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        return Update(type, data, 5) ? 0 : 1;
    }
};

// The messengers copy whole records; the codec's tests check every field on the wire.
CallParams MakeParty(const std::string& prefix, int32_t expires)
{
    CallParams party;
    party.userName = prefix + "-user";
    party.ipAddress = prefix + "-address";
    party.expires = expires;
    return party;
}

Message Simple(MessageKind kind, uint64_t id)
{
    Message message;
    message.kind = kind;
    message.id = id;
    return message;
}

// The wire bytes of a message: comparing them compares every field.
std::vector<uint8_t> Encoded(const Message& message)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(EncodeMessage(message, bytes));
    return bytes;
}

sockaddr_un AddressOf(int queue)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string path = QueuePath(queue);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return address;
}

// Sends raw bytes to a queue from an unbound socket of this process.
bool RawSend(int queue, const std::vector<uint8_t>& bytes)
{
    const sockaddr_un address = AddressOf(queue);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

// Requests reach the agent's queue, its answers reach the callbacks, and a web-side update reaches
// OnUpdate and is answered: every kind, with every field.
TEST(MessagingExchange, EveryKindTravelsBetweenQueues)
{
    CyclicMessageQueue agent(PRESENCE_AGENT_QUEUE);
    RecordingPresence presence;
    Message subscribe = Simple(MSG_SUBSCRIBE, 0x1122334455667788ull);
    subscribe.subscriber = MakeParty("sub", 300);
    subscribe.watchingStates = 0x80000005u;
    subscribe.expires = 3600;
    const std::list<CallParams> targets = {MakeParty("one", -1), MakeParty("two", 2)};
    ASSERT_TRUE(presence.Subscribe(subscribe.id, subscribe.subscriber, targets.back(), 0x80000005u, 3600ul));
    ASSERT_TRUE(presence.Subscribe(subscribe.id, subscribe.subscriber, targets, 0x80000005u, 3600ul));
    EXPECT_FALSE(presence.Subscribe(9ull, subscribe.subscriber, std::list<CallParams>(), 0x3, 60ul));
    ASSERT_TRUE(presence.Unsubscribe(9ull));
    Message received;
    for (const CallParams& target : {targets.back(), targets.front(), targets.back()}) {
        subscribe.target = target;
        ASSERT_TRUE(agent.ReceiveMessage(received));
        EXPECT_EQ(Encoded(subscribe), Encoded(received));
    }
    ASSERT_TRUE(agent.ReceiveMessage(received));
    EXPECT_EQ(Encoded(Simple(MSG_UNSUBSCRIBE, 9)), Encoded(received));
    EXPECT_FALSE(agent.ReceiveMessage(received));

    // A kind the client does not handle (UNSUBSCRIBE) is dropped without a callback.
    Message notify = Simple(MSG_NOTIFY, 9);
    notify.url = "http://192.0.2.1/zentrofxs-001122334455.xml";
    Message error = Simple(MSG_ERROR, 9);
    error.code = Presence_Subscription_Time_Out;
    for (const Message& answer :
         {Simple(MSG_CONFIRM, 9), notify, error, Simple(MSG_UNSUBSCRIBE, 9), Simple(MSG_PARTY_STATE, 0)})
        ASSERT_TRUE(agent.SendTo(PRESENCE_CLIENT_QUEUE, answer));
    EXPECT_EQ(5, presence.ProcessMessageFromQueue(10));
    EXPECT_EQ((std::vector<std::string>{"9 confirm", "9 " + notify.url, "9 error 9", "0 offline"}),
              presence.mEvents);
    EXPECT_EQ(1u, presence.GetDroppedCount());

    EchoingCgi cgi;
    CyclicMessageQueue tool(0);
    Message update = Simple(MSG_UPDATE, 0);
    update.code = Update_Configuration_Command;
    update.number = 3;
    update.strings = {"reset", "", "now"};
    ASSERT_TRUE(tool.SendTo(CGI_QUEUE, update));
    ASSERT_TRUE(tool.SendTo(CGI_QUEUE, Simple(MSG_CONFIRM, 1)));   // not a kind for the web side
    EXPECT_EQ(2, cgi.ProcessMessageFromQueue(5));
    EXPECT_EQ(1u, cgi.GetDroppedCount());
    ASSERT_TRUE(tool.ReceiveMessage(received));
    update.number = 5;
    EXPECT_EQ(Encoded(update), Encoded(received));
    EXPECT_FALSE(cgi.Update(Update_Configuration_Command, {"late"}, 2));   // no update being handled
}

TEST(MessagingChecks, DatagramFromAnotherUserIsDropped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    RecordingPresence receiver(141);
    // Open the way through the modes (checked in MessagingBinding) so that the credential check must act.
    ASSERT_EQ(0, chmod(QueueDirectory().c_str(), 0711));
    ASSERT_EQ(0, chmod(QueuePath(141).c_str(), 0666));
    const std::vector<uint8_t> datagram = Encoded(Simple(MSG_CONFIRM, 1));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool nobody = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        _exit(nobody && RawSend(141, datagram) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(0, receiver.ProcessMessageFromQueue(1));
    EXPECT_EQ(1u, receiver.GetDroppedCount());
    EXPECT_TRUE(receiver.mEvents.empty());
    chmod(QueueDirectory().c_str(), 0770);
}

TEST(MessagingChecks, MalformedDatagramsAreDroppedAndCounted)
{
    RecordingPresence presence(142);
    const std::vector<uint8_t> valid = Encoded(Simple(MSG_CONFIRM, 7));
    std::vector<uint8_t> garbled = valid;
    garbled[1] = 'Q';
    std::vector<uint8_t> oversized(MAX_MESSAGE_SIZE + 100, 'u');
    std::copy(valid.begin(), valid.begin() + 8, oversized.begin());
    const std::vector<uint8_t> truncated(valid.begin(), valid.end() - 1);
    const std::vector<std::vector<uint8_t>> bad = {{}, {'A', 'P', 1}, truncated, oversized, garbled};
    for (const std::vector<uint8_t>& datagram : bad)
        ASSERT_TRUE(RawSend(142, datagram)) << datagram.size();
    ASSERT_TRUE(RawSend(142, valid));
    EXPECT_EQ(1, presence.ProcessMessageFromQueue(1));
    EXPECT_EQ((std::vector<std::string>{"7 confirm"}), presence.mEvents);
    EXPECT_EQ(bad.size(), presence.GetDroppedCount());
    EXPECT_EQ(0, presence.ProcessMessageFromQueue(1));
}

// A set of destroyed queues gives 0 at once; two ready queues take turns.
TEST(MessagingPoller, ReturnsTheReadyQueueAndTakesTurns)
{
    CyclicMessageQueue web(150);
    CyclicMessageQueue agent(151);
    CyclicMessageQueue tool(0);
    CyclicQueuePoller poller(3);
    {
        CyclicMessageQueue gone(153);
        ASSERT_TRUE(poller.SelectQueue(153, "gone", true, false));
    }
    EXPECT_EQ(0, poller.WaitForEvents());
    ASSERT_TRUE(poller.SelectQueue(150, "web", true, false));
    ASSERT_TRUE(poller.SelectQueue(151, "agent", true, true));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tool.SendTo(151, Simple(MSG_CONFIRM, 1)));
        ASSERT_TRUE(tool.SendTo(150, Simple(MSG_CONFIRM, 1)));
    }
    std::vector<int> order;
    Message message;
    for (int i = 0; i < 6; ++i) {
        order.push_back(poller.WaitForEvents());
        ASSERT_TRUE((order.back() == 150 ? web : agent).ReceiveMessage(message));
    }
    EXPECT_EQ((std::vector<int>{150, 151, 150, 151, 150, 151}), order);
}

TEST(MessagingPresence, TwoThreadsEachTakeOneMessage)
{
    RecordingPresence presence(154);
    CyclicMessageQueue agent(155);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(agent.SendTo(154, Simple(MSG_CONFIRM, 2 * round)));
        ASSERT_TRUE(agent.SendTo(154, Simple(MSG_CONFIRM, 2 * round + 1)));
        int taken[2] = {0, 0};
        std::thread one([&] { taken[0] = presence.ProcessMessageFromQueue(1); });
        std::thread two([&] { taken[1] = presence.ProcessMessageFromQueue(1); });
        one.join();
        two.join();
        EXPECT_TRUE(taken[0] == 1 && taken[1] == 1) << round;
    }
    std::vector<std::string> events = presence.mEvents;
    ASSERT_EQ(40u, events.size());
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events.end(), std::adjacent_find(events.begin(), events.end()));
}

TEST(MessagingPresence, RequestsNeverBlockAndPartyOnlineFollowsTheAgent)
{
    RecordingPresence presence;
    const CallParams party = MakeParty("p", 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(presence.Subscribe(1ull, party, party, 0x1, 60ul));
    EXPECT_FALSE(presence.Subscribe(1ull, party, std::list<CallParams>{party}, 0x1, 60ul));
    EXPECT_FALSE(presence.Unsubscribe(1ull));
    EXPECT_FALSE(presence.IsPartyOnline());
    {
        // A full agent queue refuses at once too, and takes again once read.
        CyclicMessageQueue agent(PRESENCE_AGENT_QUEUE);
        EXPECT_TRUE(presence.IsPartyOnline());
        int sent = 0;
        while (sent < 100000 && presence.Subscribe(1ull, party, party, 0x1, 60ul))
            ++sent;
        EXPECT_LT(sent, 100000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        Message message;
        ASSERT_TRUE(agent.ReceiveMessage(message));
        EXPECT_TRUE(presence.Subscribe(1ull, party, party, 0x1, 60ul));
        Message state = Simple(MSG_PARTY_STATE, 0);
        for (bool online : {false, true}) {
            state.online = online;
            ASSERT_TRUE(agent.SendTo(PRESENCE_CLIENT_QUEUE, state));
            EXPECT_EQ(1, presence.ProcessMessageFromQueue(1));
            EXPECT_EQ(online, presence.IsPartyOnline());
        }
        EXPECT_EQ((std::vector<std::string>{"0 offline", "0 online"}), presence.mEvents);
    }
    EXPECT_FALSE(presence.IsPartyOnline());
}

// The modes keep other users out; a live queue cannot be taken twice, a dead one's file is replaced.
TEST(MessagingBinding, ModesAndALiveQueueCannotBeTakenTwice)
{
    const std::string path = QueuePath(160);
    struct stat info;
    {
        CyclicMessageQueue first(160);
        ASSERT_EQ(0, stat(QueueDirectory().c_str(), &info));
        EXPECT_EQ(0770u, info.st_mode & 0777u);
        ASSERT_EQ(0, stat(path.c_str(), &info));
        EXPECT_TRUE(S_ISSOCK(info.st_mode) && (info.st_mode & 0777u) == 0660u) << std::oct << info.st_mode;
        EXPECT_THROW(CyclicMessageQueue(160), std::system_error);
        EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(160));
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));
    EXPECT_FALSE(CyclicMessageQueue::IsQueueServed(160));
    EXPECT_THROW(CyclicMessageQueue(-1), std::system_error);

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = AddressOf(160);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    close(fd);
    EXPECT_FALSE(CyclicMessageQueue::IsQueueServed(160));
    CyclicMessageQueue queue(160);
    EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(160));
}

}  // namespace
