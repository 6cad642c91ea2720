// The agent in this process between a test daemon queue and a fake SIP
// server on 127.0.0.1: real queue sockets in a temporary directory, real UDP.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

const char* const MAC_USER = "MAC:0011aabbccdd";
const char* const ESCAPED_USER = "MAC%3a0011aabbccdd";

template <class Clock>
int64_t Ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}
const auto NowMs = Ms<std::chrono::steady_clock>;
const auto WallMs = Ms<std::chrono::system_clock>;   // the clock of SO_TIMESTAMP

// A SIP party on 127.0.0.1 that the test speaks through.
class FakeSipServer {
public:
    FakeSipServer() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)), mAddress()
    {
        mAddress.sin_family = AF_INET;
        mAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mFd, reinterpret_cast<sockaddr*>(&mAddress), sizeof(mAddress));
        socklen_t length = sizeof(mAddress);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddress), &length);
        const int on = 1;
        setsockopt(mFd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    }
    ~FakeSipServer() { close(mFd); }

    uint16_t Port() const { return ntohs(mAddress.sin_port); }
    int64_t LastArrival() const { return mLastArrival; }

    // One pending message without blocking; LastArrival() is the kernel's
    // receive time, so a busy test loop does not skew gaps.
    bool TryReceive(Sip::SipMessage& message, sockaddr_in& from, std::string* raw = nullptr)
    {
        char buffer[65536];
        char control[256];
        iovec data = {buffer, sizeof(buffer)};
        msghdr header = {&from, sizeof(from), &data, 1, control, sizeof(control), 0};
        const ssize_t size = recvmsg(mFd, &header, 0);
        if (size < 0)
            return false;
        mLastArrival = WallMs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                timeval stamp;
                memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
                mLastArrival = static_cast<int64_t>(stamp.tv_sec) * 1000 + stamp.tv_usec / 1000;
            }
        }
        if (raw != nullptr)
            raw->assign(buffer, static_cast<size_t>(size));
        EXPECT_TRUE(Sip::ParseMessage(buffer, static_cast<size_t>(size), message)) << std::string(buffer, size);
        return true;
    }
    void SendRaw(const std::string& data, const sockaddr_in& to)
    {
        ASSERT_EQ(static_cast<ssize_t>(data.size()),
                  sendto(mFd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)));
    }
    void Send(const Sip::SipMessage& message, const sockaddr_in& to) { SendRaw(Sip::Serialize(message), to); }
    // A response to request; toTag is added to To when not empty.
    void Respond(const Sip::SipMessage& request, int code, const std::string& toTag, const sockaddr_in& to)
    {
        Sip::SipMessage response = MakeResponse(request, code, toTag);
        if (code >= 200 && code < 300) {
            response.AddHeader("Expires", "3600");
            response.AddHeader("Contact", "<sip:pnp@127.0.0.1:" + std::to_string(Port()) + ">");
        }
        Send(response, to);
    }

private:
    int mFd;
    sockaddr_in mAddress;
    int64_t mLastArrival = 0;
};

void SetHeader(Sip::SipMessage& message, const std::string& name, const std::string& value)
{
    for (auto& header : message.headers)
        header.second = header.first == name ? value : header.second;
}

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

    void MakeAgent(int64_t timerFMs = 32000, int64_t t1Ms = 500, int64_t t2Ms = 4000)
    {
        PresenceAgentOptions options;
        options.timers.t1Ms = t1Ms;
        options.timers.t2Ms = t2Ms;
        options.timers.timerFMs = timerFMs;
        mpAgent.reset(new PresenceAgent(options));
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
    bool ServerReceives(Sip::SipMessage& message, int boundMs = 3000, std::string* raw = nullptr)
    {
        return Pump([&] { return mServer.TryReceive(message, mAgentAddress, raw); }, boundMs);
    }
    bool DaemonReceives(Message& message, int boundMs = 3000)
    {
        return Pump([&] { return mDaemon.ReceiveMessage(message); }, boundMs);
    }

    // A request of the daemon; the subscriber and target only matter for SUBSCRIBE.
    void Request(MessageKind kind, uint64_t id, const std::string& targetIp = "127.0.0.1",
                 const std::string& subscriberIp = "127.0.0.1")
    {
        Message request;
        request.kind = kind;
        request.id = id;
        request.subscriber.userName = request.target.userName = MAC_USER;
        request.subscriber.ipAddress = subscriberIp;
        request.subscriber.port = "0";   // a free port: the test must not need 5060
        request.target.ipAddress = targetIp;
        request.target.port = std::to_string(mServer.Port());
        request.watchingStates = 0x30;
        ASSERT_TRUE(mDaemon.SendTo(PRESENCE_AGENT_QUEUE, request));
    }
    void ExpectAnswer(MessageKind kind, uint64_t id, int32_t code = 0, int boundMs = 3000)
    {
        Message answer;
        ASSERT_TRUE(DaemonReceives(answer, boundMs));
        EXPECT_EQ(kind, answer.kind);
        EXPECT_EQ(id, answer.id);
        EXPECT_EQ(code, answer.code);
    }

    // Subscribes id and has the server accept with serverTag; returns the SUBSCRIBE.
    Sip::SipMessage Confirmed(uint64_t id, const std::string& serverTag)
    {
        Request(MSG_SUBSCRIBE, id);
        Sip::SipMessage subscribe;
        EXPECT_TRUE(ServerReceives(subscribe));
        mServer.Respond(subscribe, 200, serverTag, mAgentAddress);
        ExpectAnswer(Messaging::MSG_CONFIRM, id);
        return subscribe;
    }

    // A NOTIFY in the dialog of subscribe, which the server accepted with serverTag.
    Sip::SipMessage Notify(const Sip::SipMessage& subscribe, const std::string& serverTag, unsigned cseq,
                           const std::string& contentType, const std::string& body)
    {
        Sip::SipMessage notify;
        notify.isRequest = true;
        notify.method = "NOTIFY";
        notify.requestUri = Sip::HeaderUri(*subscribe.Header("Contact"));
        notify.AddHeader("Via", "SIP/2.0/UDP 127.0.0.1:" + std::to_string(mServer.Port()) + ";branch=z9hG4bKn" +
                                    std::to_string(cseq));
        notify.AddHeader("Max-Forwards", "70");
        notify.AddHeader("From", *subscribe.Header("To") + ";tag=" + serverTag);
        notify.AddHeader("To", *subscribe.Header("From"));
        notify.AddHeader("Call-ID", *subscribe.Header("Call-ID"));
        notify.AddHeader("CSeq", std::to_string(cseq) + " NOTIFY");
        notify.AddHeader("Event", "ua-profile");
        notify.AddHeader("Subscription-State", "active;expires=3600");
        notify.AddHeader("Content-Type", contentType);
        notify.body = body;
        return notify;
    }

    testing_support::TempDir mDir;
    Configuration::ScopedPathRedirect mVersion;
    CyclicMessageQueue mDaemon{PRESENCE_CLIENT_QUEUE};
    FakeSipServer mServer;
    sockaddr_in mAgentAddress;
    std::unique_ptr<PresenceAgent> mpAgent;
};

TEST_F(PresenceAgentTest, SubscribeCarriesEveryHeaderAndTwoHundredConfirms)
{
    MakeAgent();
    Request(MSG_SUBSCRIBE, 41);
    Sip::SipMessage subscribe;
    std::string raw;
    ASSERT_TRUE(ServerReceives(subscribe, 3000, &raw));
    // Every header in order, byte for byte; only branch, tag and Call-ID are random.
    const std::string user = std::string("sip:") + ESCAPED_USER + "@127.0.0.1";
    const std::string branch = Sip::HeaderParameter(*subscribe.Header("Via"), "branch");
    const std::string tag = Sip::HeaderParameter(*subscribe.Header("From"), "tag");
    const std::string callId = *subscribe.Header("Call-ID");
    EXPECT_EQ(0u, branch.find("z9hG4bK"));
    EXPECT_FALSE(tag.empty());
    ASSERT_GT(callId.size(), 10u);
    EXPECT_EQ(callId.size() - 10, callId.find("@127.0.0.1"));
    EXPECT_EQ("SUBSCRIBE " + user + ":" + std::to_string(mServer.Port()) + " SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(ntohs(mAgentAddress.sin_port)) + ";branch=" + branch +
                  ";rport\r\n"
              "Max-Forwards: 70\r\n"
              "From: <" + user + ">;tag=" + tag + "\r\n"
              "To: <" + user + ":" + std::to_string(mServer.Port()) + ">\r\n"
              "Call-ID: " + callId + "\r\n"
              "CSeq: 1 SUBSCRIBE\r\n"
              "Contact: <" + user + ":" + std::to_string(ntohs(mAgentAddress.sin_port)) + ">\r\n"
              "Event: ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";version=\"5.1.3\"\r\n"
              "Expires: 3600\r\n"
              "Accept: application/url\r\n"
              "Content-Length: 0\r\n\r\n",
              raw);

    // A provisional answer changes nothing for the daemon; the 200 confirms.
    mServer.Respond(subscribe, 100, "", mAgentAddress);
    mServer.Respond(subscribe, 200, "srv", mAgentAddress);
    ExpectAnswer(Messaging::MSG_CONFIRM, 41);
    EXPECT_EQ(1u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, RefusalFailsUnusableRequestsAreInvalidSendFailureIsNetworkFailure)
{
    MakeAgent();
    Request(MSG_SUBSCRIBE, 7);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    mServer.Respond(subscribe, 403, "srv", mAgentAddress);
    ExpectAnswer(MSG_ERROR, 7, Presence_Subscription_Failed);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());

    // A second answer to the finished transaction is a stray.
    mServer.Respond(subscribe, 403, "srv", mAgentAddress);
    ASSERT_TRUE(Pump([&] { return mpAgent->Counters().strayResponses == 1; }));

    Request(MSG_SUBSCRIBE, 8, "provisioning.example");
    ExpectAnswer(MSG_ERROR, 8, Presence_Invalid_Request);
    Request(MSG_SUBSCRIBE, 9, "127.0.0.1", "not-an-address");
    ExpectAnswer(MSG_ERROR, 9, Presence_Invalid_Request);
    // Broadcast without SO_BROADCAST: sendto() fails, nothing leaves.
    Request(MSG_SUBSCRIBE, 3, "255.255.255.255");
    ExpectAnswer(MSG_ERROR, 3, Presence_Network_Failure);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, NoAnswerRetransmitsAtTimerEThenTimesOut)
{
    MakeAgent(4000);
    const int64_t start = NowMs();
    Request(MSG_SUBSCRIBE, 12);
    std::string previous, raw;
    int64_t last = 0;
    for (const int64_t gap : {0, 500, 1000, 2000}) {
        Sip::SipMessage subscribe;
        ASSERT_TRUE(ServerReceives(subscribe, 3000, &raw)) << "transmission after " << gap;
        if (gap > 0) {
            EXPECT_EQ(previous, raw) << "a retransmission is the same request";
            EXPECT_GE(mServer.LastArrival() - last, gap - 20) << "gap " << gap;
            EXPECT_LE(mServer.LastArrival() - last, gap + 400) << "gap " << gap;
        }
        previous = raw;
        last = mServer.LastArrival();
    }
    ExpectAnswer(MSG_ERROR, 12, Presence_Subscription_Time_Out, 3000);
    EXPECT_GE(NowMs() - start, 3980);
    EXPECT_LE(NowMs() - start, 5500);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, ProvisionalAnswerMovesRetransmissionsToT2)
{
    MakeAgent(1500, 100, 400);
    Request(MSG_SUBSCRIBE, 13);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    mServer.Respond(subscribe, 180, "", mAgentAddress);
    // After the 1xx every retransmission is T2 apart, not 200 then 400.
    ASSERT_TRUE(ServerReceives(subscribe, 2000));
    for (int i = 0; i < 2; ++i) {
        const int64_t previous = mServer.LastArrival();
        ASSERT_TRUE(ServerReceives(subscribe, 2000));
        EXPECT_GE(mServer.LastArrival() - previous, 380) << "gap " << i;
    }
    ExpectAnswer(MSG_ERROR, 13, Presence_Subscription_Time_Out, 2000);
}

TEST_F(PresenceAgentTest, NotifyInTheDialogIsDeliveredAnyOtherGets481)
{
    MakeAgent();
    const Sip::SipMessage subscribe = Confirmed(20, "srv20");

    Sip::SipMessage stranger = Notify(subscribe, "srv20", 1, "text/plain", "http://evil/");
    SetHeader(stranger, "Call-ID", "other-call@127.0.0.1");
    Sip::SipMessage wrongTag = Notify(subscribe, "srv20", 1, "text/plain", "http://evil/");
    SetHeader(wrongTag, "To", "<sip:x@127.0.0.1>;tag=not-ours");
    for (const Sip::SipMessage& bad : {stranger, wrongTag}) {
        mServer.Send(bad, mAgentAddress);
        Sip::SipMessage answer;
        ASSERT_TRUE(ServerReceives(answer));
        EXPECT_EQ(481, answer.statusCode);
        EXPECT_EQ("Call/Transaction Does Not Exist", answer.reason);
    }
    EXPECT_EQ(2ul, mpAgent->Counters().unknownNotifies);

    // Each in-dialog NOTIFY gets 200; the daemon sees exactly the URLs given
    // here in order (nullptr: a retransmission, answered but not delivered),
    // so neither 481 one reached it.
    struct Case {
        unsigned cseq;
        const char* contentType;
        const char* body;
        const char* url;
    } const cases[] = {
        {1, "application/url", "http://127.0.0.1/cfg/zentrofxs.xml\r\n", "http://127.0.0.1/cfg/zentrofxs.xml"},
        {1, "application/url", "http://127.0.0.1/cfg/zentrofxs.xml\r\n", nullptr},
        {2, "text/plain", "http://127.0.0.1/plain.xml\n", "http://127.0.0.1/plain.xml"},
        {3, "message/external-body;access-type=\"URL\";URL=\"http://127.0.0.1/second.xml\"", "",
         "http://127.0.0.1/second.xml"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE("NOTIFY " + std::to_string(i));
        const Sip::SipMessage notify = Notify(subscribe, "srv20", cases[i].cseq, cases[i].contentType, cases[i].body);
        mServer.Send(notify, mAgentAddress);
        Sip::SipMessage ok;
        ASSERT_TRUE(ServerReceives(ok));
        EXPECT_EQ(200, ok.statusCode);
        for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
            EXPECT_EQ(*notify.Header(name), *ok.Header(name)) << name;
        if (cases[i].url == nullptr)
            continue;
        Message delivered;
        ASSERT_TRUE(DaemonReceives(delivered));
        EXPECT_EQ(MSG_NOTIFY, delivered.kind);
        EXPECT_EQ(20u, delivered.id);
        EXPECT_EQ(cases[i].url, delivered.url);
    }
}

TEST_F(PresenceAgentTest, UnsubscribeEndsTheDialogWithExpiresZero)
{
    MakeAgent();
    const Sip::SipMessage subscribe = Confirmed(30, "srv30");
    Request(MSG_UNSUBSCRIBE, 30);
    Sip::SipMessage end;
    ASSERT_TRUE(ServerReceives(end));
    EXPECT_EQ("SUBSCRIBE", end.method);
    EXPECT_EQ("sip:pnp@127.0.0.1:" + std::to_string(mServer.Port()), end.requestUri);   // the 2xx's Contact
    EXPECT_EQ("0", *end.Header("Expires"));
    EXPECT_EQ(*subscribe.Header("Call-ID"), *end.Header("Call-ID"));
    EXPECT_EQ(*subscribe.Header("From"), *end.Header("From"));
    EXPECT_EQ(*subscribe.Header("To") + ";tag=srv30", *end.Header("To"));
    EXPECT_EQ("2 SUBSCRIBE", *end.Header("CSeq"));
    EXPECT_NE(Sip::HeaderParameter(*subscribe.Header("Via"), "branch"), Sip::HeaderParameter(*end.Header("Via"), "branch"));
    mServer.Respond(end, 200, "srv30", mAgentAddress);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());

    // The dialog is gone.
    mServer.Send(Notify(subscribe, "srv30", 5, "text/plain", "http://late/"), mAgentAddress);
    Sip::SipMessage answer;
    ASSERT_TRUE(ServerReceives(answer));
    EXPECT_EQ(481, answer.statusCode);

    // Unsubscribing a subscription without an answer yet only forgets it.
    Request(MSG_SUBSCRIBE, 31);
    ASSERT_TRUE(ServerReceives(answer, 3000));   // after the rate limit's second
    ASSERT_TRUE(Pump([&] { return mpAgent->SubscriptionCount() == 1; }));
    Request(MSG_UNSUBSCRIBE, 31);
    ASSERT_TRUE(Pump([&] { return mpAgent->SubscriptionCount() == 0; }));
}

TEST_F(PresenceAgentTest, RateLimitSendsOneNewSubscribePerSecondAndTheLastIdWins)
{
    MakeAgent();
    // The server refuses every SUBSCRIBE at once; record when each arrived
    // and which ids the daemon hears about.
    std::vector<int64_t> arrivals;
    std::vector<uint64_t> failed;
    auto serve = [&] {
        Sip::SipMessage subscribe;
        while (mServer.TryReceive(subscribe, mAgentAddress)) {
            arrivals.push_back(mServer.LastArrival());
            mServer.Respond(subscribe, 403, "", mAgentAddress);
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
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 990) << "SUBSCRIBE " << i;
    EXPECT_LE(std::count_if(arrivals.begin(), arrivals.end(), [&](int64_t at) { return at - arrivals[0] < 1100; }), 2);
    // The first went at once, the newest won; those in between were dropped unanswered.
    EXPECT_EQ(101u, failed.front());
    EXPECT_EQ(110u, failed.back());
    EXPECT_EQ(arrivals.size(), failed.size());
    EXPECT_EQ(10ul - failed.size(), mpAgent->Counters().droppedRequests);

    // Retransmissions of a live transaction are not held back by the limit.
    Request(MSG_SUBSCRIBE, 111);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe, 3000));
    const int64_t sent = mServer.LastArrival();
    ASSERT_TRUE(ServerReceives(subscribe, 3000));
    EXPECT_LT(mServer.LastArrival() - sent, 900);
}

TEST_F(PresenceAgentTest, MalformedInputIsCountedAndTheAgentKeepsWorking)
{
    MakeAgent();
    // A queue message of a kind the agent does not serve.
    Request(Messaging::MSG_CONFIRM, 1);
    ASSERT_TRUE(Pump([&] { return mpAgent->Counters().droppedQueueMessages == 1; }));
    Request(MSG_SUBSCRIBE, 50);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    const std::string garbage[] = {
        std::string("\x00\x01\x02garbage", 10),
        "SIP/2.0 200 OK\r\nCall-ID: x\r\n",                      // no end of headers
        "SIP/2.0 200 OK\r\nContent-Length: 50\r\n\r\nshort",   // length beyond the body
        std::string(1400, 'A'),
        "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n",          // no Via, Call-ID, CSeq
    };
    for (const std::string& datagram : garbage)
        mServer.SendRaw(datagram, mAgentAddress);
    // A well-formed response of some other transaction.
    Sip::SipMessage other = subscribe;
    SetHeader(other, "Via", "SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKother");
    mServer.Respond(other, 200, "x", mAgentAddress);
    ASSERT_TRUE(Pump([&] { return mpAgent->Counters().malformedSip == 5 && mpAgent->Counters().strayResponses == 1; }));

    mServer.Respond(subscribe, 202, "srv50", mAgentAddress);
    ExpectAnswer(Messaging::MSG_CONFIRM, 50);
}

TEST_F(PresenceAgentTest, OnlineAtStartOfflineWhenStopped)
{
    MakeAgent();
    mpAgent->Start();
    Message state;
    ASSERT_TRUE(DaemonReceives(state));
    EXPECT_EQ(MSG_PARTY_STATE, state.kind);
    EXPECT_TRUE(state.online);

    // Run() ends when SIGTERM reaches the signal pipe; it starts with online
    // and ends with offline.
    SignalPipe signals;
    ASSERT_TRUE(signals.Install());
    ASSERT_EQ(0, raise(SIGTERM));
    pollfd readable = {signals.GetFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&readable, 1, 1000));
    mpAgent->Run(signals.GetFD());
    for (const bool online : {true, false}) {
        ASSERT_TRUE(mDaemon.WaitForInput(1000));
        ASSERT_TRUE(mDaemon.ReceiveMessage(state));
        EXPECT_EQ(MSG_PARTY_STATE, state.kind);
        EXPECT_EQ(online, state.online);
    }
}

}  // namespace
