// The agent in this process between a test daemon queue and a fake SIP
// server on 127.0.0.1: real queue sockets in a temporary directory, real UDP.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/config_file.h"
#include "presence_agent/signal_pipe.h"
#include "testing/test_support.h"

using namespace Messaging;

namespace {

template <class Clock>
int64_t Ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}
const auto NowMs = Ms<std::chrono::steady_clock>;
const auto WallMs = Ms<std::chrono::system_clock>;   // the clock of receive time stamps

// The fixture also plays the SIP server on 127.0.0.1 that the agent talks to.
class PresenceAgentTest : public ::testing::Test {
protected:
    PresenceAgentTest() : mVersion("/etc/version.txt", Prepare()) {}
    // Queue sockets in this test's directory, a known firmware version.
    std::string Prepare()
    {
        Messaging::SetQueueDirectory(mDir.File("msgq"));
        testing_support::WriteFile(mDir.File("version.txt"), "Version: 5.1.3\n");
        return mDir.File("version.txt");
    }
    void SetUp() override
    {
        const int on = 1;
        ASSERT_TRUE(mServer.Open("127.0.0.1", 0));
        ASSERT_EQ(0, setsockopt(mServer.GetFD(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)));
        mPort = std::to_string(ntohs(mServer.LocalAddress().sin_port));
        MakeAgent();
    }
    void MakeAgent(const TransactionTimers& timers = TransactionTimers())
    {
        PresenceAgentOptions options;
        options.timers = timers;
        mpAgent.reset();   // frees the queue for the new agent
        mpAgent.reset(new PresenceAgent(options));
    }

    // One pending SIP message for the server, without blocking. mArrival is the kernel's receive
    // time, so a busy test loop does not skew the gaps measured.
    bool TryReceive(Sip::SipMessage& message)
    {
        char buffer[65536];
        char control[256];
        iovec data = {buffer, sizeof(buffer)};
        msghdr header = {&mAgent, sizeof(mAgent), &data, 1, control, sizeof(control), 0};
        const ssize_t size = recvmsg(mServer.GetFD(), &header, 0);
        if (size < 0)
            return false;
        const cmsghdr* stamp = CMSG_FIRSTHDR(&header);   // the only one asked for
        timeval at = {};
        if (stamp != nullptr && stamp->cmsg_level == SOL_SOCKET && stamp->cmsg_type == SCM_TIMESTAMP)
            memcpy(&at, CMSG_DATA(stamp), sizeof(at));
        EXPECT_NE(0, at.tv_sec) << "no receive time stamp";
        mArrival = static_cast<int64_t>(at.tv_sec) * 1000 + at.tv_usec / 1000;
        mRaw.assign(buffer, static_cast<size_t>(size));
        EXPECT_TRUE(Sip::ParseMessage(mRaw.data(), mRaw.size(), message)) << mRaw;
        return true;
    }
    void SendRaw(const std::string& data) { ASSERT_TRUE(mServer.SendTo(mAgent, data)); }
    // A response to request; toTag is added to To when not empty.
    void Respond(const Sip::SipMessage& request, int code, const std::string& toTag = "srv")
    {
        Sip::SipMessage response = MakeResponse(request, code, toTag);
        response.AddHeader("Contact", "<sip:pnp@127.0.0.1:" + mPort + ">");
        SendRaw(Sip::Serialize(response));
    }
    // A NOTIFY in the dialog of subscribe, which the server accepted with tag "srv"; To comes first.
    std::string Notify(const Sip::SipMessage& subscribe, unsigned cseq, const std::string& type,
                       const std::string& body)
    {
        return "NOTIFY " + Sip::HeaderUri(*subscribe.Header("Contact")) + " SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:" + mPort + ";branch=z9hG4bKn" + std::to_string(cseq) + "\r\n"
               "To: " + *subscribe.Header("From") + "\r\nFrom: " + *subscribe.Header("To") + ";tag=srv\r\n"
               "Call-ID: " + *subscribe.Header("Call-ID") + "\r\n"
               "CSeq: " + std::to_string(cseq) + " NOTIFY\r\nEvent: ua-profile\r\n"
               "Subscription-State: active;expires=3600\r\nContent-Type: " + type + "\r\n\r\n" + body;
    }

    // Runs the agent until done() holds, at most boundMs.
    bool Pump(const std::function<bool()>& done, int boundMs = 3000)
    {
        for (const int64_t end = NowMs() + boundMs; NowMs() < end;) {
            mpAgent->RunOnce(5);
            if (done())
                return true;
        }
        return false;
    }
    bool ServerReceives(Sip::SipMessage& message) { return Pump([&] { return TryReceive(message); }); }
    bool DaemonReceives(Message& message) { return Pump([&] { return mDaemon.ReceiveMessage(message); }); }

    // A request of the daemon; the subscriber and target only matter for SUBSCRIBE.
    void Request(MessageKind kind, uint64_t id, const std::string& targetIp = "127.0.0.1",
                 const std::string& subscriberIp = "127.0.0.1")
    {
        Message request;
        request.kind = kind;
        request.id = id;
        request.subscriber.userName = request.target.userName = "MAC:0011aabbccdd";
        request.subscriber.ipAddress = subscriberIp;
        request.subscriber.port = "0";   // a free port: the test must not need 5060
        request.target.ipAddress = targetIp;
        request.target.port = mPort;
        ASSERT_TRUE(mDaemon.SendTo(PRESENCE_AGENT_QUEUE, request));
    }
    void ExpectAnswer(MessageKind kind, uint64_t id, int32_t code = 0)
    {
        Message answer;
        ASSERT_TRUE(DaemonReceives(answer));
        EXPECT_EQ(kind, answer.kind);
        EXPECT_EQ(id, answer.id);
        EXPECT_EQ(code, answer.code);
    }

    testing_support::TempDir mDir;
    Configuration::ScopedPathRedirect mVersion;
    CyclicMessageQueue mDaemon{PRESENCE_CLIENT_QUEUE};
    std::unique_ptr<PresenceAgent> mpAgent;
    SipSocket mServer;
    std::string mPort;         // the server's
    sockaddr_in mAgent = {};   // where the last SIP message came from
    int64_t mArrival = 0;
    std::string mRaw;
};

TEST_F(PresenceAgentTest, SubscribeNotifyAndUnsubscribeInOneDialog)
{
    Request(MSG_SUBSCRIBE, 20);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    // Every header in order, byte for byte; only branch, tag and Call-ID are random.
    const std::string user = "sip:MAC%3a0011aabbccdd@127.0.0.1";
    const std::string agentPort = std::to_string(ntohs(mAgent.sin_port));
    const std::string branch = Sip::HeaderParameter(*subscribe.Header("Via"), "branch");
    const std::string tag = Sip::HeaderParameter(*subscribe.Header("From"), "tag");
    const std::string callId = *subscribe.Header("Call-ID");
    const std::string callIdLocal = callId.substr(0, callId.find('@'));
    ASSERT_TRUE(branch.compare(0, 7, "z9hG4bK") == 0 && !tag.empty() && !callIdLocal.empty()) << mRaw;
    EXPECT_EQ("SUBSCRIBE " + user + ":" + mPort + " SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 127.0.0.1:" + agentPort + ";branch=" + branch + ";rport\r\nMax-Forwards: 70\r\n"
              "From: <" + user + ">;tag=" + tag + "\r\nTo: <" + user + ":" + mPort + ">\r\n"
              "Call-ID: " + callIdLocal + "@127.0.0.1\r\nCSeq: 1 SUBSCRIBE\r\n"
              "Contact: <" + user + ":" + agentPort + ">\r\n"
              "Event: ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";"
              "version=\"5.1.3\"\r\n"
              "Expires: 3600\r\nAccept: application/url\r\nContent-Length: 0\r\n\r\n",
              mRaw);
    Respond(subscribe, 200);
    ExpectAnswer(Messaging::MSG_CONFIRM, 20);

    // A NOTIFY of another Call-ID or To tag gets 481; each one in the dialog gets 200, and the daemon
    // sees exactly the URLs given here in order (nullptr: none, as for a retransmission).
    const struct {
        const char* spoil;   // an 'x' after the first such text makes the NOTIFY match no dialog
        unsigned cseq;
        const char* type;
        const char* body;
        const char* url;
    } notifies[] = {
        {"Call-ID: ", 1, "text/plain", "http://evil/", nullptr},
        {";tag=", 1, "text/plain", "http://evil/", nullptr},   // To's tag
        {"", 1, "application/url", "http://127.0.0.1/cfg/fxs.xml\r\n", "http://127.0.0.1/cfg/fxs.xml"},
        {"", 1, "application/url", "http://127.0.0.1/cfg/fxs.xml\r\n", nullptr},
        {"", 2, "message/external-body;access-type=URL;URL=\"http://127.0.0.1/2\"", "", "http://127.0.0.1/2"},
    };
    for (const auto& n : notifies) {
        std::string notify = Notify(subscribe, n.cseq, n.type, n.body);
        const int status = *n.spoil != '\0' ? 481 : 200;
        if (status == 481)
            notify.insert(notify.find(n.spoil) + strlen(n.spoil), "x");
        SCOPED_TRACE(notify);
        SendRaw(notify);
        Sip::SipMessage answer;
        ASSERT_TRUE(ServerReceives(answer));
        EXPECT_EQ(status, answer.statusCode);
        EXPECT_EQ(Sip::ReasonPhrase(status), answer.reason);
        EXPECT_EQ(std::to_string(n.cseq) + " NOTIFY", *answer.Header("CSeq"));
        if (n.url != nullptr) {
            Message delivered;
            ASSERT_TRUE(DaemonReceives(delivered));
            EXPECT_EQ(MSG_NOTIFY, delivered.kind);
            EXPECT_EQ(20u, delivered.id);
            EXPECT_EQ(n.url, delivered.url);
        }
    }
    EXPECT_EQ(2ul, mpAgent->Counters().unknownNotifies);

    // Unsubscribe: the dialog's next SUBSCRIBE with Expires 0, to the 2xx's Contact, on a fresh branch.
    Request(MSG_UNSUBSCRIBE, 20);
    Sip::SipMessage end;
    ASSERT_TRUE(ServerReceives(end));
    EXPECT_EQ("SUBSCRIBE", end.method);
    EXPECT_EQ("sip:pnp@127.0.0.1:" + mPort, end.requestUri);
    const std::pair<const char*, std::string> headers[] = {{"Expires", "0"}, {"CSeq", "2 SUBSCRIBE"},
        {"Call-ID", callId}, {"From", *subscribe.Header("From")}, {"To", *subscribe.Header("To") + ";tag=srv"}};
    for (const auto& header : headers)
        EXPECT_EQ(header.second, *end.Header(header.first)) << header.first;
    EXPECT_NE(branch, Sip::HeaderParameter(*end.Header("Via"), "branch"));
    Respond(end, 200);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());

    // Unsubscribing a subscription without an answer yet only forgets it.
    Request(MSG_SUBSCRIBE, 21);
    ASSERT_TRUE(ServerReceives(subscribe));   // after the rate limit's second
    ASSERT_TRUE(Pump([&] { return mpAgent->SubscriptionCount() == 1; }));
    Request(MSG_UNSUBSCRIBE, 21);
    ASSERT_TRUE(Pump([&] { return mpAgent->SubscriptionCount() == 0; }));
}

TEST_F(PresenceAgentTest, BadInputIsCountedAndFailuresReachTheDaemon)
{
    Request(Messaging::MSG_CONFIRM, 1);   // a queue message of a kind the agent does not serve
    Request(MSG_SUBSCRIBE, 7);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    SendRaw(std::string("\x00\x01\x02garbage", 10));
    SendRaw("SIP/2.0 200 OK\r\nContent-Length: 50\r\n\r\nshort");   // length beyond the body
    SendRaw("SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");         // no Via, Call-ID, CSeq
    // A well-formed response of another transaction.
    Sip::SipMessage other = MakeResponse(subscribe, 200, "x");
    other.headers[0].second = "SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKother";   // its Via
    SendRaw(Sip::Serialize(other));
    const PresenceAgentCounters& counters = mpAgent->Counters();
    ASSERT_TRUE(Pump([&] {
        return counters.droppedQueueMessages == 1 && counters.malformedSip == 3 &&
               counters.strayResponses == 1;
    }));

    // The transaction lived on: a refusal fails it, and a second answer to it is a stray.
    Respond(subscribe, 403);
    ExpectAnswer(MSG_ERROR, 7, Presence_Subscription_Failed);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
    Respond(subscribe, 403);
    ASSERT_TRUE(Pump([&] { return counters.strayResponses == 2; }));

    // Unusable requests, and one whose send fails.
    Request(MSG_SUBSCRIBE, 8, "provisioning.example");
    ExpectAnswer(MSG_ERROR, 8, Presence_Invalid_Request);
    Request(MSG_SUBSCRIBE, 9, "127.0.0.1", "not-an-address");
    ExpectAnswer(MSG_ERROR, 9, Presence_Invalid_Request);
    Request(MSG_SUBSCRIBE, 3, "255.255.255.255");   // broadcast without SO_BROADCAST
    ExpectAnswer(MSG_ERROR, 3, Presence_Network_Failure);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
}

// The 500 ms retransmissions also show that they are not held back by the one-a-second limit.
TEST_F(PresenceAgentTest, UnansweredSubscribeIsRetransmittedPerTimerEUntilTimerF)
{
    const struct {
        TransactionTimers timers;    // T1, T2, Timer F
        bool provisional;            // a 1xx answers the first transmission
        std::vector<int64_t> gaps;   // between transmissions; 0: the running Timer E, only bounded above
    } cases[] = {
        {{500, 4000, 4000}, false, {500, 1000, 2000}},
        {{100, 400, 1500}, true, {0, 400, 400}},   // after a 1xx every retransmission is T2 apart
    };
    uint64_t id = 12;
    for (const auto& c : cases) {
        SCOPED_TRACE("Timer F " + std::to_string(c.timers.timerFMs));
        MakeAgent(c.timers);
        const int64_t start = NowMs();
        Request(MSG_SUBSCRIBE, ++id);
        Sip::SipMessage subscribe;
        ASSERT_TRUE(ServerReceives(subscribe));
        if (c.provisional)
            Respond(subscribe, 180, "");
        for (const int64_t gap : c.gaps) {
            const std::string previous = mRaw;
            const int64_t last = mArrival;
            ASSERT_TRUE(ServerReceives(subscribe)) << "transmission after " << gap;
            EXPECT_EQ(previous, mRaw) << "a retransmission is the same request";
            EXPECT_GE(mArrival - last, gap - 20) << "gap " << gap;
            EXPECT_LE(mArrival - last, gap + 400) << "gap " << gap;
        }
        // A 1xx gives the daemon nothing: the next answer is the time-out.
        ExpectAnswer(MSG_ERROR, id, Presence_Subscription_Time_Out);
        EXPECT_GE(NowMs() - start, c.timers.timerFMs - 20);
        EXPECT_LE(NowMs() - start, c.timers.timerFMs + 1500);
        EXPECT_EQ(0u, mpAgent->SubscriptionCount());
    }
}

TEST_F(PresenceAgentTest, RateLimitSendsOneNewSubscribePerSecondAndTheLastIdWins)
{
    // The server refuses every SUBSCRIBE at once; record when each arrived and which ids failed.
    std::vector<int64_t> arrivals;
    std::vector<uint64_t> failed;
    auto serve = [&] {
        Sip::SipMessage subscribe;
        while (TryReceive(subscribe)) {
            arrivals.push_back(mArrival);
            Respond(subscribe, 403);
        }
        Message answer;
        while (mDaemon.ReceiveMessage(answer)) {
            EXPECT_EQ(MSG_ERROR, answer.kind);
            failed.push_back(answer.id);
        }
        return !failed.empty() && failed.back() == 110;
    };
    // A daemon retrying at its worker's pace: ten requests a second.
    const int64_t start = WallMs();
    for (uint64_t id = 101; id <= 110; ++id) {
        Request(MSG_SUBSCRIBE, id);
        Pump([&] { return serve() && false; }, 100);
    }
    ASSERT_TRUE(Pump(serve, 4000));
    ASSERT_GE(arrivals.size(), 2u);
    EXPECT_LT(arrivals[0] - start, 500);
    // The gap is counted from the end of each send, so even a slow send (under qemu) keeps it on the wire.
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 990) << "SUBSCRIBE " << i;
    // The first went at once, the newest won; those in between were dropped unanswered.
    EXPECT_EQ(101u, failed.front());
    EXPECT_EQ(arrivals.size(), failed.size());
    EXPECT_EQ(10ul - failed.size(), mpAgent->Counters().droppedRequests);
}

TEST_F(PresenceAgentTest, OnlineAtStartOfflineWhenStopped)
{
    // Run() announces online, then ends with offline once SIGTERM has reached the signal pipe.
    SignalPipe signals;
    ASSERT_TRUE(signals.Install());
    ASSERT_EQ(0, raise(SIGTERM));
    pollfd readable = {signals.GetFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&readable, 1, 1000));
    mpAgent->Run(signals.GetFD());
    for (const bool online : {true, false}) {
        Message state;
        ASSERT_TRUE(mDaemon.WaitForInput(1000) && mDaemon.ReceiveMessage(state));
        EXPECT_EQ(MSG_PARTY_STATE, state.kind);
        EXPECT_EQ(online, state.online);
    }
}

}  // namespace
