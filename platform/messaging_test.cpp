// Queues, poller and messengers over real sockets in a temporary directory.
#include "platform/messaging.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

using Messaging::Message;

namespace {

// Every queue of this binary lives under a fresh directory, created by the
// first queue (so its mode is the library's own).
class QueueDirectoryEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char base[] = "/tmp/msgq-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(base));
        mBase = base;
        Messaging::SetQueueDirectory(mBase + "/msgq");
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mBase, ignored);
    }
    static const std::string& Base() { return mBase; }

private:
    static std::string mBase;
};

std::string QueueDirectoryEnvironment::mBase;
::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QueueDirectoryEnvironment);

// Records every callback as a line of text; Add returns the callbacks' 0.
class EventLog {
public:
    int Add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEvents.push_back(event);
        return 0;
    }
    std::vector<std::string> Events() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mEvents;
};

class RecordingPresence : public PresenceMessenger, public EventLog {
public:
    explicit RecordingPresence(int queue = Messaging::PRESENCE_CLIENT_QUEUE) : PresenceMessenger(queue, nullptr) {}

    int OnConfirm(const unsigned long long& id) override { return Add("confirm " + std::to_string(id)); }
    int OnNotify(const unsigned long long& id, const std::string& url) override
    {
        return Add("notify " + std::to_string(id) + " " + url);
    }
    int OnErrorConvey(const unsigned long long& id, const PresenceUAClientErrorCode& code) override
    {
        return Add("error " + std::to_string(id) + " " + std::to_string(code));
    }
    int OnPresencePartyStateChanged(bool online) override { return Add(online ? "party online" : "party offline"); }
};

// Answers every update with {"taken", first item} and number 5.
class AnsweringCgi : public CGIMessenger, public EventLog {
public:
    AnsweringCgi() : CGIMessenger(Messaging::CGI_QUEUE), mAnswered(false) {}

    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        std::string text = "update " + std::to_string(type);
        for (const std::string& item : data)
            text += " [" + item + "]";
        mAnswered = Update(type, {"taken", data.empty() ? std::string() : data.front()}, 5);
        return Add(text);
    }
    bool mAnswered;
};

// A party whose every field differs: prefix-1 ... prefix-10.
CallParams MakeParty(const std::string& prefix, int32_t expires)
{
    CallParams party;
    std::string* fields[] = {&party.userName, &party.displayName, &party.domain, &party.password, &party.ipAddress,
                             &party.port, &party.transport, &party.contact, &party.callId, &party.tag};
    int n = 0;
    for (std::string* field : fields)
        *field = prefix + "-" + std::to_string(++n);
    party.expires = expires;
    return party;
}

std::vector<std::string> Fields(const CallParams& p)
{
    return {p.userName, p.displayName, p.domain, p.password, p.ipAddress, p.port,
            p.transport, p.contact, p.callId, p.tag, std::to_string(p.expires)};
}

sockaddr_un AddressOf(int queue)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::string path = Messaging::QueuePath(queue);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return address;
}

Message Simple(Messaging::MessageKind kind, uint64_t id)
{
    Message message;
    message.kind = kind;
    message.id = id;
    return message;
}

std::vector<uint8_t> Encoded(const Message& message)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(Messaging::EncodeMessage(message, bytes));
    return bytes;
}

// Sends raw bytes to a queue from an unbound socket of this process.
bool RawSend(int queue, const std::vector<uint8_t>& bytes)
{
    sockaddr_un address = AddressOf(queue);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                          sizeof(address));
    close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

long CountOpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

}  // namespace

// ---------------------------------------------------------------- message exchange

TEST(MessagingExchange, EveryKindTravelsBetweenQueues)
{
    CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
    RecordingPresence presence;

    const CallParams subscriber = MakeParty("sub", 300);
    const CallParams target = MakeParty("tgt", -1);
    ASSERT_TRUE(presence.Subscribe(0x1122334455667788ull, subscriber, target, 0x5, 3600ul));
    Message received;
    sockaddr_un from;
    socklen_t fromLength = sizeof(from);
    ASSERT_TRUE(agent.ReceiveMessage(received, &from, &fromLength));
    EXPECT_EQ(Messaging::MSG_SUBSCRIBE, received.kind);
    EXPECT_EQ(0x1122334455667788ull, received.id);
    EXPECT_EQ(Fields(subscriber), Fields(received.subscriber));
    EXPECT_EQ(Fields(target), Fields(received.target));
    EXPECT_EQ(0x5u, received.watchingStates);
    EXPECT_EQ(3600u, received.expires);
    EXPECT_STREQ(Messaging::QueuePath(Messaging::PRESENCE_CLIENT_QUEUE).c_str(), from.sun_path);

    const std::list<CallParams> targets = {MakeParty("one", 1), MakeParty("two", 2)};
    ASSERT_TRUE(presence.Subscribe(9ull, subscriber, targets, 0x3, 60ul));
    for (const CallParams& expected : targets) {
        ASSERT_TRUE(agent.ReceiveMessage(received));
        EXPECT_EQ(Messaging::MSG_SUBSCRIBE, received.kind);
        EXPECT_EQ(9u, received.id);
        EXPECT_EQ(Fields(subscriber), Fields(received.subscriber));
        EXPECT_EQ(Fields(expected), Fields(received.target));
    }
    EXPECT_FALSE(presence.Subscribe(9ull, subscriber, std::list<CallParams>(), 0x3, 60ul));

    ASSERT_TRUE(presence.Unsubscribe(9ull));
    ASSERT_TRUE(agent.ReceiveMessage(received));
    EXPECT_EQ(Messaging::MSG_UNSUBSCRIBE, received.kind);
    EXPECT_EQ(9u, received.id);
    EXPECT_FALSE(agent.ReceiveMessage(received));

    // The agent's answers reach the callbacks in order; a kind the client
    // does not handle (UNSUBSCRIBE) is dropped without a callback.
    Message notify = Simple(Messaging::MSG_NOTIFY, 9);
    notify.url = "http://192.0.2.1/zentrofxs-001122334455.xml";
    Message error = Simple(Messaging::MSG_ERROR, 9);
    error.code = Presence_Subscription_Time_Out;
    Message party = Simple(Messaging::MSG_PARTY_STATE, 0);
    party.online = false;
    for (const Message& answer : {Simple(Messaging::MSG_CONFIRM, 9), notify, error,
                                  Simple(Messaging::MSG_UNSUBSCRIBE, 9), party})
        ASSERT_TRUE(agent.SendTo(Messaging::PRESENCE_CLIENT_QUEUE, answer));
    EXPECT_EQ(5, presence.ProcessMessageFromQueue(10));
    EXPECT_EQ((std::vector<std::string>{"confirm 9", "notify 9 http://192.0.2.1/zentrofxs-001122334455.xml",
                                        "error 9 9", "party offline"}),
              presence.Events());
    EXPECT_EQ(1u, presence.GetDroppedCount());
}

TEST(MessagingExchange, CgiUpdateCarriesTheListAndAnswersTheSender)
{
    AnsweringCgi cgi;
    CyclicMessageQueue tool(0);
    EXPECT_FALSE(cgi.Update(Update_Configuration_Command, {"x"}, 1));   // nothing being handled

    Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.code = Update_Configuration_Command;
    update.number = 3;
    update.strings = {"reset", "", "now"};
    ASSERT_TRUE(tool.SendTo(Messaging::CGI_QUEUE, update));
    ASSERT_TRUE(tool.SendTo(Messaging::CGI_QUEUE, Simple(Messaging::MSG_CONFIRM, 1)));   // not for the CGI side
    EXPECT_EQ(2, cgi.ProcessMessageFromQueue(5));
    EXPECT_EQ((std::vector<std::string>{"update 182 [reset] [] [now]"}), cgi.Events());
    EXPECT_EQ(1u, cgi.GetDroppedCount());
    EXPECT_TRUE(cgi.mAnswered);

    ASSERT_TRUE(tool.WaitForInput(5000));
    Message reply;
    ASSERT_TRUE(tool.ReceiveMessage(reply));
    EXPECT_EQ(Messaging::MSG_UPDATE, reply.kind);
    EXPECT_EQ(Update_Configuration_Command, reply.code);
    EXPECT_EQ(5u, reply.number);
    EXPECT_EQ((std::list<std::string>{"taken", "reset"}), reply.strings);
    EXPECT_FALSE(cgi.Update(Update_Configuration_Command, {"late"}, 2));

    // A sender that is gone by the time of the answer makes Update fail.
    {
        CyclicMessageQueue shortLived(0);
        ASSERT_TRUE(shortLived.SendTo(Messaging::CGI_QUEUE, update));
    }
    EXPECT_EQ(1, cgi.ProcessMessageFromQueue(1));
    EXPECT_FALSE(cgi.mAnswered);
}

// ---------------------------------------------------------------- checks on received datagrams

TEST(MessagingChecks, DatagramFromAnotherUserIsDropped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    RecordingPresence receiver(141);
    const std::string directory = Messaging::QueueDirectory();
    const std::string path = Messaging::QueuePath(141);
    // The other user may pass through both directories and write the socket.
    ASSERT_EQ(0, chmod(QueueDirectoryEnvironment::Base().c_str(), 0711));
    ASSERT_EQ(0, chmod(directory.c_str(), 0711));
    ASSERT_EQ(0, chmod(path.c_str(), 0666));

    const std::vector<uint8_t> datagram = Encoded(Simple(Messaging::MSG_CONFIRM, 1));
    const sockaddr_un address = AddressOf(141);

    // Exit status of the child: 0 sent, 2 EACCES, 3 other failure.
    auto sendAsNobody = [&]() -> int {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(4);
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ssize_t sent = sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof(address));
            _exit(sent == static_cast<ssize_t>(datagram.size()) ? 0 : (errno == EACCES ? 2 : 3));
        }
        int status = -1;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    };

    EXPECT_EQ(0, sendAsNobody());
    EXPECT_EQ(0, receiver.ProcessMessageFromQueue(1));
    EXPECT_EQ(1u, receiver.GetDroppedCount());
    EXPECT_TRUE(receiver.Events().empty());

    ASSERT_EQ(0, chmod(path.c_str(), 0660));
    EXPECT_EQ(2, sendAsNobody());
    EXPECT_EQ(0, receiver.ProcessMessageFromQueue(1));
    EXPECT_EQ(1u, receiver.GetDroppedCount());

    chmod(directory.c_str(), 0770);
    chmod(QueueDirectoryEnvironment::Base().c_str(), 0700);
}

TEST(MessagingChecks, MalformedDatagramsAreDroppedAndCounted)
{
    RecordingPresence presence(142);
    const std::vector<uint8_t> valid = Encoded(Simple(Messaging::MSG_CONFIRM, 7));
    Message notify = Simple(Messaging::MSG_NOTIFY, 7);
    notify.url = "http://x/y";
    const std::vector<uint8_t> withString = Encoded(notify);
    auto changed = [](std::vector<uint8_t> bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    std::vector<uint8_t> oversized(Messaging::MAX_MESSAGE_SIZE + 100, 'u');
    std::copy(withString.begin(), withString.begin() + 8, oversized.begin());

    // Each check on its own is the codec's test; here: none reaches a callback.
    const std::vector<std::vector<uint8_t>> bad = {
        {},                                                     // empty
        {'A', 'P', 1},                                          // truncated header
        std::vector<uint8_t>(valid.begin(), valid.end() - 1),  // truncated payload
        oversized,                                              // larger than a datagram may be
        changed(valid, 1, 'Q'),                                 // bad magic
        changed(valid, 7, 0x20),                                // bad length
    };
    for (const std::vector<uint8_t>& datagram : bad)
        ASSERT_TRUE(RawSend(142, datagram)) << datagram.size();
    ASSERT_TRUE(RawSend(142, valid));

    EXPECT_EQ(1, presence.ProcessMessageFromQueue(1));
    EXPECT_EQ((std::vector<std::string>{"confirm 7"}), presence.Events());
    EXPECT_EQ(bad.size(), presence.GetDroppedCount());
    EXPECT_EQ(0, presence.ProcessMessageFromQueue(1));
}

TEST(MessagingChecks, DescriptorsSentAlongAreClosedAndTheDatagramDropped)
{
    RecordingPresence presence(143);
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));
    std::vector<uint8_t> valid = Encoded(Simple(Messaging::MSG_CONFIRM, 8));
    const long before = CountOpenDescriptors();

    sockaddr_un address = AddressOf(143);
    iovec vector = {valid.data(), valid.size()};
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(pipeFds))];
    } control;
    std::memset(&control, 0, sizeof(control));
    msghdr header;
    std::memset(&header, 0, sizeof(header));
    header.msg_name = &address;
    header.msg_namelen = sizeof(address);
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    header.msg_control = control.bytes;
    header.msg_controllen = sizeof(control.bytes);
    cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(pipeFds));
    std::memcpy(CMSG_DATA(cmsg), pipeFds, sizeof(pipeFds));
    int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    ASSERT_EQ(static_cast<ssize_t>(valid.size()), sendmsg(sender, &header, MSG_DONTWAIT));
    close(sender);

    EXPECT_EQ(0, presence.ProcessMessageFromQueue(1));
    EXPECT_EQ(1u, presence.GetDroppedCount());
    EXPECT_TRUE(presence.Events().empty());
    EXPECT_EQ(before, CountOpenDescriptors());
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// ---------------------------------------------------------------- poller

TEST(MessagingPoller, ReturnsTheReadyQueueAndTakesTurns)
{
    CyclicQueuePoller nothing(4);
    EXPECT_EQ(0, nothing.WaitForEvents());
    EXPECT_FALSE(nothing.SelectQueue(999, "nobody", true, false));
    {
        CyclicMessageQueue gone(153);
        ASSERT_TRUE(nothing.SelectQueue(153, "gone", true, false));
    }
    EXPECT_EQ(0, nothing.WaitForEvents());   // a destroyed queue is skipped

    CyclicMessageQueue first(150);
    CyclicMessageQueue second(151);
    CyclicMessageQueue third(152);
    CyclicMessageQueue tool(0);
    CyclicQueuePoller poller(2);
    EXPECT_FALSE(poller.SelectQueue(150, "web", false, false));
    ASSERT_TRUE(poller.SelectQueue(150, "web", true, false));
    ASSERT_TRUE(poller.SelectQueue(151, "agent", true, true));
    EXPECT_TRUE(poller.SelectQueue(150, "web", true, false));   // already selected
    EXPECT_FALSE(poller.SelectQueue(152, "full", true, false));

    ASSERT_TRUE(tool.SendTo(151, Simple(Messaging::MSG_CONFIRM, 1)));
    EXPECT_EQ(151, poller.WaitForEvents());
    Message message;
    ASSERT_TRUE(second.ReceiveMessage(message));

    // Both stay ready (each turn serves one message): the poller alternates.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tool.SendTo(150, Simple(Messaging::MSG_CONFIRM, 1)));
        ASSERT_TRUE(tool.SendTo(151, Simple(Messaging::MSG_CONFIRM, 1)));
    }
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) {
        order.push_back(poller.WaitForEvents());
        ASSERT_TRUE((order.back() == 150 ? first : second).ReceiveMessage(message));
    }
    EXPECT_EQ((std::vector<int>{150, 151, 150, 151, 150, 151}), order);
}

// ---------------------------------------------------------------- presence messenger

TEST(MessagingPresence, TwoThreadsEachTakeOneMessage)
{
    RecordingPresence presence(154);
    CyclicMessageQueue agent(155);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(agent.SendTo(154, Simple(Messaging::MSG_CONFIRM, 2 * round)));
        ASSERT_TRUE(agent.SendTo(154, Simple(Messaging::MSG_CONFIRM, 2 * round + 1)));
        int taken[2] = {0, 0};
        std::thread one([&] { taken[0] = presence.ProcessMessageFromQueue(1); });
        std::thread two([&] { taken[1] = presence.ProcessMessageFromQueue(1); });
        one.join();
        two.join();
        EXPECT_EQ(1, taken[0]);
        EXPECT_EQ(1, taken[1]);
    }
    std::vector<std::string> events = presence.Events();
    ASSERT_EQ(40u, events.size());
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events.end(), std::adjacent_find(events.begin(), events.end()));
}

TEST(MessagingPresence, RequestsFailAtOnceAndPartyOnlineFollowsTheAgent)
{
    RecordingPresence presence;
    const CallParams party = MakeParty("p", 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(presence.Subscribe(1ull, party, party, 0x1, 60ul));
    EXPECT_FALSE(presence.Subscribe(1ull, party, std::list<CallParams>{party, party}, 0x1, 60ul));
    EXPECT_FALSE(presence.Unsubscribe(1ull));
    EXPECT_FALSE(presence.IsPartyOnline());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // A full queue refuses at once too, and takes again once read.
    CyclicMessageQueue receiver(144);
    int sent = 0;
    while (sent < 100000 && presence.SendTo(144, Simple(Messaging::MSG_CONFIRM, static_cast<uint64_t>(sent))))
        ++sent;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 100000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    Message message;
    ASSERT_TRUE(receiver.ReceiveMessage(message));
    EXPECT_TRUE(presence.SendTo(144, Simple(Messaging::MSG_CONFIRM, 1)));
    {
        CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
        EXPECT_TRUE(presence.IsPartyOnline());
        Message state = Simple(Messaging::MSG_PARTY_STATE, 0);
        for (bool online : {false, true}) {
            state.online = online;
            ASSERT_TRUE(agent.SendTo(Messaging::PRESENCE_CLIENT_QUEUE, state));
            EXPECT_EQ(1, presence.ProcessMessageFromQueue(1));
            EXPECT_EQ(online, presence.IsPartyOnline());
        }
        EXPECT_EQ((std::vector<std::string>{"party offline", "party online"}), presence.Events());
    }
    EXPECT_FALSE(presence.IsPartyOnline());
}

// ---------------------------------------------------------------- binding

TEST(MessagingBinding, ModesAndALiveQueueCannotBeTakenTwice)
{
    std::string path = Messaging::QueuePath(160);
    {
        CyclicMessageQueue first(160);
        struct stat info;
        ASSERT_EQ(0, stat(Messaging::QueueDirectory().c_str(), &info));
        EXPECT_EQ(0770u, info.st_mode & 0777u);
        ASSERT_EQ(0, stat(path.c_str(), &info));
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(0660u, info.st_mode & 0777u);
        try {
            CyclicMessageQueue second(160);
            FAIL() << "second queue on a served number";
        } catch (const std::system_error& error) {
            EXPECT_EQ(EADDRINUSE, error.code().value());
        }
        EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(160));
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));   // removed with its queue
    EXPECT_FALSE(CyclicMessageQueue::IsQueueServed(160));
    EXPECT_THROW(CyclicMessageQueue(-1), std::system_error);

    // A socket file whose owner closed it without removing it is replaced.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address = AddressOf(160);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(fd);
    ASSERT_EQ(0, access(path.c_str(), F_OK));
    EXPECT_FALSE(CyclicMessageQueue::IsQueueServed(160));

    CyclicMessageQueue queue(160);
    CyclicMessageQueue tool(0);
    ASSERT_TRUE(tool.SendTo(160, Simple(Messaging::MSG_CONFIRM, 3)));
    Message message;
    ASSERT_TRUE(queue.ReceiveMessage(message));
    EXPECT_EQ(3u, message.id);
}
