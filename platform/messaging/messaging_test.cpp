// Queues, poller and messengers over real sockets in a temporary directory; the wire format is
// message_codec_test's.
#include "messaging/messaging.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <system_error>
#include <thread>

#include "testing/child_process.h"
#include "testing/fake_device.h"

namespace {

using namespace Messaging;
using Messaging::MSG_CONFIRM;   // rather than the socket flag of that name

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

// Records every callback as "id text".
class RecordingPresence : public PresenceMessenger {
public:
    RecordingPresence() : PresenceMessenger(PRESENCE_CLIENT_QUEUE, nullptr) {}
    int OnConfirm(const unsigned long long& id) override { return Add(id, "confirm"); }
    int OnNotify(const unsigned long long& id, const std::string& url) override { return Add(id, url); }
    int OnErrorConvey(const unsigned long long& id, const PresenceUAClientErrorCode& code) override
    {
        return Add(id, "error " + std::to_string(code));
    }
    int OnPresencePartyStateChanged(bool online) override { return Add(0, online ? "online" : "offline"); }
    int Add(unsigned long long id, const std::string& text)
    {
        mEvents.push_back(std::to_string(id) + " " + text);
        return 0;
    }
    std::vector<std::string> mEvents;
};

// Answers each update to its sender with the type and list it received and number 5.
class EchoingCgi : public CGIMessenger {
public:
    EchoingCgi() : CGIMessenger(CGI_QUEUE) {}
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override { return Update(type, data, 5) ? 0 : 1; }
};

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

// Sends raw bytes to a queue from an unbound socket of this process.
bool RawSend(int queue, const std::vector<uint8_t>& bytes)
{
    sockaddr_un address = {AF_UNIX, {}};
    QueuePath(queue).copy(address.sun_path, sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

// Every kind travels between the queues; damaged datagrams are dropped and counted; without the agent,
// or with its queue full, requests fail at once.
TEST(MessagingExchange, EveryKindTravelsBetweenQueuesAndNothingBlocks)
{
    RecordingPresence presence;
    EXPECT_FALSE(presence.Unsubscribe(1ull));
    EXPECT_FALSE(presence.IsPartyOnline());
    CyclicMessageQueue agent(PRESENCE_AGENT_QUEUE);
    EXPECT_TRUE(presence.IsPartyOnline());   // judged by its queue until it says otherwise

    // The list form sends one SUBSCRIBE per target, in order; an empty list sends nothing.
    std::list<CallParams> targets(2);
    targets.back().userName = "two";
    ASSERT_TRUE(presence.Subscribe(7ull, CallParams(), targets, 0x30, 0ul));
    EXPECT_FALSE(presence.Subscribe(8ull, CallParams(), std::list<CallParams>(), 0x30, 0ul));
    ASSERT_TRUE(presence.Unsubscribe(9ull));
    std::vector<std::string> requests;   // kind, id, target
    for (Message request; agent.ReceiveMessage(request);)
        requests.push_back(std::to_string(request.kind) + " " + std::to_string(request.id) + " " +
                           request.target.userName);
    EXPECT_EQ((std::vector<std::string>{"1 7 ", "1 7 two", "2 9 "}), requests);

    // UNSUBSCRIBE is no kind for the client: dropped like every damaged datagram.
    Message notify = Simple(MSG_NOTIFY, 9);
    notify.url = "http://192.0.2.1/zentrofxs-001122334455.xml";
    Message error = Simple(MSG_ERROR, 9);
    error.code = Presence_Subscription_Time_Out;
    for (const Message& answer : {Simple(MSG_CONFIRM, 9), notify, error, Simple(MSG_UNSUBSCRIBE, 9)})
        ASSERT_TRUE(agent.SendTo(PRESENCE_CLIENT_QUEUE, answer));
    EXPECT_EQ(4, presence.ProcessMessageFromQueue(10));   // read now: a queue holds about ten datagrams
    const std::vector<uint8_t> valid = Encoded(Simple(MSG_PARTY_STATE, 0));
    std::vector<uint8_t> garbled = valid;
    garbled[1] = 'Q';
    std::vector<uint8_t> oversized = valid;   // a valid header
    oversized.resize(MAX_MESSAGE_SIZE + 100, 'u');
    const std::vector<uint8_t> truncated(valid.begin(), valid.end() - 1);
    for (const std::vector<uint8_t>& datagram : {{}, {'A', 'P', 1}, truncated, oversized, garbled, valid})
        ASSERT_TRUE(RawSend(PRESENCE_CLIENT_QUEUE, datagram)) << datagram.size();
    EXPECT_EQ(1, presence.ProcessMessageFromQueue(10));   // the damaged ones are not taken
    EXPECT_EQ((std::vector<std::string>{"9 confirm", "9 " + notify.url, "9 error 9", "0 offline"}),
              presence.mEvents);
    EXPECT_EQ(6u, presence.GetDroppedCount());
    EXPECT_FALSE(presence.IsPartyOnline());   // the agent said it is offline

    EchoingCgi cgi;
    Message update = Simple(MSG_UPDATE, 0);
    update.code = Update_Configuration_Command;
    update.strings = {"reset", "", "now"};
    ASSERT_TRUE(agent.SendTo(CGI_QUEUE, update));
    ASSERT_TRUE(agent.SendTo(CGI_QUEUE, Simple(MSG_CONFIRM, 1)));   // not a kind for the web side
    EXPECT_EQ(2, cgi.ProcessMessageFromQueue(5));
    EXPECT_EQ(1u, cgi.GetDroppedCount());
    Message received;
    ASSERT_TRUE(agent.ReceiveMessage(received));
    update.number = 5;
    EXPECT_EQ(Encoded(update), Encoded(received));
    EXPECT_FALSE(cgi.Update(Update_Configuration_Command, {"late"}, 2));   // no update being handled

    const auto start = std::chrono::steady_clock::now();
    int sent = 0;
    while (sent < 100000 && presence.Unsubscribe(1ull))
        ++sent;
    EXPECT_LT(sent, 100000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_TRUE(agent.ReceiveMessage(received));
    EXPECT_TRUE(presence.Unsubscribe(1ull));   // room again
}

TEST(MessagingChecks, DatagramFromAnotherUserIsDropped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    PresenceMessenger receiver(141, nullptr);
    // Modes opened (and the library's own restored after) so that the credential check must act.
    struct stat directory;
    ASSERT_EQ(0, stat(QueueDirectory().c_str(), &directory));
    ASSERT_EQ(0, chmod(QueueDirectory().c_str(), 0711));
    ASSERT_EQ(0, chmod(QueuePath(141).c_str(), 0666));
    const std::vector<uint8_t> datagram = Encoded(Simple(MSG_CONFIRM, 1));
    EXPECT_EQ("exit 0", testing_support::Ending(testing_support::StartChild([&] {
                  const bool nobody = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
                  return nobody && RawSend(141, datagram) ? 0 : 1;
              })));
    EXPECT_EQ(0, receiver.ProcessMessageFromQueue(1));
    EXPECT_EQ(1u, receiver.GetDroppedCount());
    chmod(QueueDirectory().c_str(), directory.st_mode & 07777);
}

// A set of destroyed queues gives 0 at once, then the ready queue is returned. That ready queues take
// turns is the client's test (ClientTest.RunSelectsBothQueuesAndTakesOneMessageAtATime).
TEST(MessagingPoller, GivesZeroForDestroyedQueuesAndReturnsTheReadyOne)
{
    CyclicMessageQueue web(150);
    CyclicQueuePoller poller(3);
    {
        CyclicMessageQueue gone(153);
        ASSERT_TRUE(poller.SelectQueue(153, "gone", true, false));
    }
    EXPECT_EQ(0, poller.WaitForEvents());
    ASSERT_TRUE(poller.SelectQueue(150, "web", true, false));
    ASSERT_TRUE(web.SendTo(150, Simple(MSG_CONFIRM, 1)));
    EXPECT_EQ(150, poller.WaitForEvents());
}

// After a signal the wait goes on for what is left of its time-out, not for the whole time-out again.
TEST(MessagingQueue, WaitKeepsItsDeadlineAcrossSignals)
{
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);   // no SA_RESTART: every signal interrupts poll()
    struct sigaction previous;
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    CyclicMessageQueue queue(155);
    std::atomic<bool> done(false);
    const pthread_t waiter = pthread_self();
    std::thread interrupter([&] {
        for (int i = 0; i < 200 && !done.load(); ++i) {   // 2 s at most
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.WaitForInput(300));
    const auto waited = std::chrono::steady_clock::now() - start;
    done.store(true);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));   // signals go on for 2 s
}

// A subscription is kept until answered or cancelled and goes to an agent that announces itself and does
// not have it yet (an agent started after the request: e2e/scenarios/start_order.scn). Each row is a script;
// the result is what the agents received ("S id" subscribe, "U id" unsubscribe) and the answers taken.
TEST(MessagingPresence, KeptSubscriptionReachesTheNextAgentOnce)
{
    const std::vector<std::string> restart = {"agent down", "agent up", "online"};
    auto then = [](std::vector<std::string> first, const std::vector<std::string>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const struct { const char* name; std::vector<std::string> steps, seen; } rows[] = {
        {"agent restarts with the request unanswered", then({"agent up", "subscribe 2"}, restart),
         {"S 2", "online", "S 2"}},
        {"agent announces itself after it took the request", {"agent up", "subscribe 3", "online"},
         {"S 3", "online"}},
        {"notified request is not repeated", then({"agent up", "subscribe 4", "notify 4"}, restart),
         {"S 4", "notify 4", "online"}},
        {"refused request is not repeated", then({"agent up", "subscribe 5", "error 5"}, restart),
         {"S 5", "error 5", "online"}},
        {"confirmed request is still repeated", then({"agent up", "subscribe 6", "confirm 6"}, restart),
         {"S 6", "confirm 6", "online", "S 6"}},
        {"cancelled request is not repeated", {"subscribe 7", "unsubscribe 7", "agent up", "online"}, {"online"}},
        {"an answer to an older request keeps the newer", then({"subscribe 10", "agent up", "notify 1"}, restart),
         {"notify 1", "online", "S 10"}},
        {"offline says nothing about the request", {"subscribe 11", "agent up", "offline", "online"},
         {"offline", "online", "S 11"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingPresence presence;
        std::unique_ptr<CyclicMessageQueue> agent;
        std::vector<std::string> seen;
        for (const std::string& step : row.steps) {
            const std::string word = step.substr(0, step.find(' '));
            const std::string rest = step.substr(word.size());
            const uint64_t id = rest.find_first_of("0123456789") == std::string::npos ? 0 : std::stoull(rest);
            if (step == "agent up") {
                agent.reset(new CyclicMessageQueue(PRESENCE_AGENT_QUEUE));
            } else if (step == "agent down") {
                agent.reset();
            } else if (word == "subscribe") {
                EXPECT_EQ(agent != nullptr, presence.Subscribe(id, CallParams(), CallParams(), 0x30, 0ul)) << step;
            } else if (word == "unsubscribe") {
                presence.Unsubscribe(id);
            } else {
                Message answer = Simple(word == "notify" ? MSG_NOTIFY : word == "error" ? MSG_ERROR
                                        : word == "confirm" ? MSG_CONFIRM : MSG_PARTY_STATE, id);
                answer.code = Presence_Subscription_Failed;
                answer.online = word == "online";
                ASSERT_TRUE(agent->SendTo(PRESENCE_CLIENT_QUEUE, answer)) << step;
                ASSERT_EQ(1, presence.ProcessMessageFromQueue(1)) << step;
                seen.push_back(step);
            }
            for (Message request; agent && agent->ReceiveMessage(request);)
                seen.push_back((request.kind == MSG_SUBSCRIBE ? "S " : "U ") + std::to_string(request.id));
        }
        EXPECT_EQ(row.seen, seen);
    }
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
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));
    // A queue whose process dies leaves its file behind.
    EXPECT_EQ("exit 0", testing_support::Ending(testing_support::StartChild([]() -> int {
                  CyclicMessageQueue dying(160);
                  _exit(0);
              })));
    EXPECT_EQ(0, access(path.c_str(), F_OK));
    EXPECT_FALSE(CyclicMessageQueue::IsQueueServed(160));
    CyclicMessageQueue queue(160);
    EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(160));
}

}  // namespace
