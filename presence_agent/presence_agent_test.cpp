// The agent in this process between a test daemon queue and a fake SIP
// server on 127.0.0.1: real queue sockets in a temporary directory, real UDP.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/config_file.h"
#include "presence_agent/signal_pipe.h"
#include "testing/test_support.h"

using Messaging::Message;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

const char* const MAC_USER = "MAC:0011aabbccdd";
const char* const ESCAPED_USER = "MAC%3a0011aabbccdd";

class QueueDirectoryEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char base[] = "/tmp/presence-agent-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(base));
        mBase = base;
        Messaging::SetQueueDirectory(mBase + "/msgq");
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mBase, ignored);
    }

private:
    std::string mBase;
};

::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(new QueueDirectoryEnvironment);

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wall-clock milliseconds, the clock of SO_TIMESTAMP.
int64_t WallMs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A SIP party on 127.0.0.1 that the test speaks through.
class FakeSipServer {
public:
    FakeSipServer()
    {
        mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(mAddress);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddress), &length);
        const int on = 1;
        setsockopt(mFd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    }
    ~FakeSipServer() { close(mFd); }

    uint16_t Port() const { return ntohs(mAddress.sin_port); }

    // One pending message without blocking, with its arrival time.
    bool TryReceive(Sip::SipMessage& message, sockaddr_in& from, std::string* raw = nullptr)
    {
        char buffer[65536];
        iovec data = {buffer, sizeof(buffer)};
        char control[256];
        msghdr header;
        memset(&header, 0, sizeof(header));
        header.msg_name = &from;
        header.msg_namelen = sizeof(from);
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        const ssize_t size = recvmsg(mFd, &header, 0);
        if (size < 0)
            return false;
        // The kernel's receive time, so a busy test loop does not skew gaps.
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
        Sip::SipMessage response;
        response.statusCode = code;
        response.reason = Sip::ReasonPhrase(code);
        for (const std::string& via : request.HeaderValues("Via"))
            response.AddHeader("Via", via);
        response.AddHeader("From", *request.Header("From"));
        response.AddHeader("To", *request.Header("To") + (toTag.empty() ? "" : ";tag=" + toTag));
        response.AddHeader("Call-ID", *request.Header("Call-ID"));
        response.AddHeader("CSeq", *request.Header("CSeq"));
        if (code >= 200 && code < 300) {
            response.AddHeader("Expires", "3600");
            response.AddHeader("Contact", "<sip:pnp@127.0.0.1:" + std::to_string(Port()) + ">");
        }
        Send(response, to);
    }

    int64_t LastArrival() const { return mLastArrival; }

private:
    int mFd;
    sockaddr_in mAddress;
    int64_t mLastArrival = 0;
};

// A NOTIFY in the dialog of subscribe, which the server accepted with serverTag.
Sip::SipMessage MakeNotify(const Sip::SipMessage& subscribe, const std::string& serverTag, unsigned cseq,
                           const std::string& contentType, const std::string& body, uint16_t serverPort)
{
    Sip::SipMessage notify;
    notify.isRequest = true;
    notify.method = "NOTIFY";
    notify.requestUri = Sip::HeaderUri(*subscribe.Header("Contact"));
    notify.AddHeader("Via", "SIP/2.0/UDP 127.0.0.1:" + std::to_string(serverPort) + ";branch=z9hG4bKn" +
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

void SetHeader(Sip::SipMessage& message, const std::string& name, const std::string& value)
{
    for (auto& header : message.headers) {
        if (header.first == name) {
            header.second = value;
            return;
        }
    }
    ADD_FAILURE() << "no header " << name;
}

class PresenceAgentTest : public ::testing::Test {
protected:
    PresenceAgentTest() : mVersion("/etc/version.txt", mDir.File("version.txt"))
    {
        WriteFile(mDir.File("version.txt"), "Version: 5.1.3\n");
    }

    void MakeAgent(int64_t timerFMs = 32000)
    {
        PresenceAgentOptions options;
        options.timers.timerFMs = timerFMs;
        mpAgent.reset(new PresenceAgent(options));
    }
    void MakeAgent(const PresenceAgentOptions& options) { mpAgent.reset(new PresenceAgent(options)); }

    // Runs the agent until done() holds, at most boundMs.
    bool Pump(const std::function<bool()>& done, int boundMs = 3000)
    {
        const int64_t end = NowMs() + boundMs;
        while (NowMs() < end) {
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

    void RequestSubscribe(uint64_t id, const std::string& targetIp = "127.0.0.1",
                          const std::string& subscriberIp = "127.0.0.1")
    {
        Message request;
        request.kind = Messaging::MSG_SUBSCRIBE;
        request.id = id;
        request.subscriber.userName = MAC_USER;
        request.subscriber.ipAddress = subscriberIp;
        request.subscriber.port = "0";   // a free port: the test must not need 5060
        request.target.userName = MAC_USER;
        request.target.ipAddress = targetIp;
        request.target.port = std::to_string(mServer.Port());
        request.watchingStates = 0x30;
        ASSERT_TRUE(mDaemon.SendTo(Messaging::PRESENCE_AGENT_QUEUE, request));
    }
    void RequestUnsubscribe(uint64_t id)
    {
        Message request;
        request.kind = Messaging::MSG_UNSUBSCRIBE;
        request.id = id;
        ASSERT_TRUE(mDaemon.SendTo(Messaging::PRESENCE_AGENT_QUEUE, request));
    }

    // Subscribes id and has the server accept with serverTag; returns the SUBSCRIBE.
    Sip::SipMessage Confirmed(uint64_t id, const std::string& serverTag)
    {
        RequestSubscribe(id);
        Sip::SipMessage subscribe;
        EXPECT_TRUE(ServerReceives(subscribe));
        mServer.Respond(subscribe, 200, serverTag, mAgentAddress);
        Message answer;
        EXPECT_TRUE(DaemonReceives(answer));
        EXPECT_EQ(Messaging::MSG_CONFIRM, answer.kind);
        EXPECT_EQ(id, answer.id);
        return subscribe;
    }

    void ExpectError(uint64_t id, PresenceUAClientErrorCode code, int boundMs = 3000)
    {
        Message answer;
        ASSERT_TRUE(DaemonReceives(answer, boundMs));
        EXPECT_EQ(Messaging::MSG_ERROR, answer.kind);
        EXPECT_EQ(id, answer.id);
        EXPECT_EQ(code, answer.code);
    }

    TempDir mDir;
    Configuration::ScopedPathRedirect mVersion;
    CyclicMessageQueue mDaemon{Messaging::PRESENCE_CLIENT_QUEUE};
    FakeSipServer mServer;
    sockaddr_in mAgentAddress;
    std::unique_ptr<PresenceAgent> mpAgent;
};

TEST_F(PresenceAgentTest, SubscribeCarriesEveryHeaderAndTwoHundredConfirms)
{
    MakeAgent();
    RequestSubscribe(41);
    Sip::SipMessage subscribe;
    std::string raw;
    ASSERT_TRUE(ServerReceives(subscribe, 3000, &raw));
    const std::string agentPort = std::to_string(ntohs(mAgentAddress.sin_port));
    const std::string serverPort = std::to_string(mServer.Port());

    EXPECT_NE(std::string::npos, raw.find("\r\n\r\n"));
    EXPECT_EQ(std::string::npos, raw.find("\n\n"));
    ASSERT_TRUE(subscribe.isRequest);
    EXPECT_EQ("SUBSCRIBE", subscribe.method);
    EXPECT_EQ(std::string("sip:") + ESCAPED_USER + "@127.0.0.1:" + serverPort, subscribe.requestUri);
    const std::string via = *subscribe.Header("Via");
    EXPECT_EQ(0u, via.find("SIP/2.0/UDP 127.0.0.1:" + agentPort + ";branch=z9hG4bK")) << via;
    EXPECT_NE(std::string::npos, via.find(";rport"));
    EXPECT_EQ("70", *subscribe.Header("Max-Forwards"));
    const std::string from = *subscribe.Header("From");
    EXPECT_EQ(0u, from.find(std::string("<sip:") + ESCAPED_USER + "@127.0.0.1>;tag="));
    EXPECT_FALSE(Sip::HeaderParameter(from, "tag").empty());
    EXPECT_EQ(std::string("<sip:") + ESCAPED_USER + "@127.0.0.1:" + serverPort + ">", *subscribe.Header("To"));
    const std::string callId = *subscribe.Header("Call-ID");
    EXPECT_GT(callId.size(), std::string("@127.0.0.1").size());
    EXPECT_EQ(callId.size() - 10, callId.find("@127.0.0.1"));
    EXPECT_EQ("1 SUBSCRIBE", *subscribe.Header("CSeq"));
    EXPECT_EQ(std::string("<sip:") + ESCAPED_USER + "@127.0.0.1:" + agentPort + ">", *subscribe.Header("Contact"));
    EXPECT_EQ("ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";version=\"5.1.3\"",
              *subscribe.Header("Event"));
    EXPECT_EQ("3600", *subscribe.Header("Expires"));
    EXPECT_EQ("application/url", *subscribe.Header("Accept"));
    EXPECT_EQ("0", *subscribe.Header("Content-Length"));

    // A provisional answer changes nothing for the daemon; the 200 confirms.
    mServer.Respond(subscribe, 100, "", mAgentAddress);
    mServer.Respond(subscribe, 200, "srv", mAgentAddress);
    Message answer;
    ASSERT_TRUE(DaemonReceives(answer));
    EXPECT_EQ(Messaging::MSG_CONFIRM, answer.kind);
    EXPECT_EQ(41u, answer.id);
    EXPECT_EQ(1u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, RefusalFailsAndUnusableRequestsAreInvalid)
{
    MakeAgent();
    RequestSubscribe(7);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    mServer.Respond(subscribe, 403, "srv", mAgentAddress);
    ExpectError(7, Presence_Subscription_Failed);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());

    // A second answer to the finished transaction is a stray.
    mServer.Respond(subscribe, 403, "srv", mAgentAddress);
    ASSERT_TRUE(Pump([&] { return mpAgent->Counters().strayResponses == 1; }));

    RequestSubscribe(8, "provisioning.example");
    ExpectError(8, Presence_Invalid_Request);
    RequestSubscribe(9, "127.0.0.1", "not-an-address");
    ExpectError(9, Presence_Invalid_Request);
}

TEST_F(PresenceAgentTest, SendFailureIsANetworkFailure)
{
    MakeAgent();
    // Broadcast without SO_BROADCAST: sendto() fails, nothing leaves.
    RequestSubscribe(3, "255.255.255.255");
    ExpectError(3, Presence_Network_Failure);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, NoAnswerRetransmitsAtTimerEThenTimesOut)
{
    MakeAgent(4000);
    const int64_t start = NowMs();
    RequestSubscribe(12);
    std::vector<int64_t> arrivals;
    std::string first;
    for (int i = 0; i < 4; ++i) {
        Sip::SipMessage subscribe;
        std::string raw;
        ASSERT_TRUE(ServerReceives(subscribe, 3000, &raw)) << "transmission " << i;
        arrivals.push_back(mServer.LastArrival());
        if (i == 0)
            first = raw;
        EXPECT_EQ(first, raw) << "a retransmission is the same request";
    }
    ExpectError(12, Presence_Subscription_Time_Out, 3000);
    const int64_t timedOut = NowMs();

    const int64_t expected[] = {500, 1000, 2000};
    for (int i = 0; i < 3; ++i) {
        const int64_t gap = arrivals[i + 1] - arrivals[i];
        EXPECT_GE(gap, expected[i] - 20) << "gap " << i;
        EXPECT_LE(gap, expected[i] + 400) << "gap " << i;
    }
    EXPECT_GE(timedOut - start, 3980);
    EXPECT_LE(timedOut - start, 5500);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
}

TEST_F(PresenceAgentTest, ProvisionalAnswerMovesRetransmissionsToT2)
{
    PresenceAgentOptions options;
    options.timers.t1Ms = 100;
    options.timers.t2Ms = 400;
    options.timers.timerFMs = 1500;
    MakeAgent(options);
    RequestSubscribe(13);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    mServer.Respond(subscribe, 180, "", mAgentAddress);
    std::vector<int64_t> arrivals;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ServerReceives(subscribe, 2000));
        arrivals.push_back(mServer.LastArrival());
    }
    // After the 1xx every retransmission is T2 apart, not 200 then 400.
    EXPECT_GE(arrivals[2] - arrivals[1], 380);
    EXPECT_GE(arrivals[1] - arrivals[0], 380);
    ExpectError(13, Presence_Subscription_Time_Out, 2000);
}

TEST_F(PresenceAgentTest, NotifyInTheDialogIsAnsweredAndDelivered)
{
    MakeAgent();
    const Sip::SipMessage subscribe = Confirmed(20, "srv20");
    const Sip::SipMessage notify =
        MakeNotify(subscribe, "srv20", 1, "application/url", "http://127.0.0.1/cfg/zentrofxs.xml\r\n", mServer.Port());
    mServer.Send(notify, mAgentAddress);
    Sip::SipMessage ok;
    ASSERT_TRUE(ServerReceives(ok));
    EXPECT_FALSE(ok.isRequest);
    EXPECT_EQ(200, ok.statusCode);
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
        EXPECT_EQ(*notify.Header(name), *ok.Header(name)) << name;
    EXPECT_EQ("0", *ok.Header("Content-Length"));
    Message delivered;
    ASSERT_TRUE(DaemonReceives(delivered));
    EXPECT_EQ(Messaging::MSG_NOTIFY, delivered.kind);
    EXPECT_EQ(20u, delivered.id);
    EXPECT_EQ("http://127.0.0.1/cfg/zentrofxs.xml", delivered.url);

    // A retransmission is answered but not delivered again; the next NOTIFY
    // (external-body this time) is the next thing the daemon sees.
    mServer.Send(notify, mAgentAddress);
    ASSERT_TRUE(ServerReceives(ok));
    EXPECT_EQ(200, ok.statusCode);
    mServer.Send(MakeNotify(subscribe, "srv20", 2,
                            "message/external-body;access-type=\"URL\";URL=\"http://127.0.0.1/second.xml\"", "",
                            mServer.Port()),
                 mAgentAddress);
    ASSERT_TRUE(ServerReceives(ok));
    ASSERT_TRUE(DaemonReceives(delivered));
    EXPECT_EQ("http://127.0.0.1/second.xml", delivered.url);
}

TEST_F(PresenceAgentTest, NotifyOfAnUnknownDialogGets481)
{
    MakeAgent();
    const Sip::SipMessage subscribe = Confirmed(21, "srv21");

    Sip::SipMessage stranger = MakeNotify(subscribe, "srv21", 1, "text/plain", "http://evil/", mServer.Port());
    SetHeader(stranger, "Call-ID", "other-call@127.0.0.1");
    Sip::SipMessage wrongTag = MakeNotify(subscribe, "srv21", 1, "text/plain", "http://evil/", mServer.Port());
    SetHeader(wrongTag, "To", "<sip:x@127.0.0.1>;tag=not-ours");
    for (const Sip::SipMessage& bad : {stranger, wrongTag}) {
        mServer.Send(bad, mAgentAddress);
        Sip::SipMessage answer;
        ASSERT_TRUE(ServerReceives(answer));
        EXPECT_EQ(481, answer.statusCode);
        EXPECT_EQ("Call/Transaction Does Not Exist", answer.reason);
    }
    EXPECT_EQ(2ul, mpAgent->Counters().unknownNotifies);

    // Neither reached the daemon: the good one is the next message it sees.
    mServer.Send(MakeNotify(subscribe, "srv21", 1, "text/plain", "http://good/", mServer.Port()), mAgentAddress);
    Message delivered;
    ASSERT_TRUE(DaemonReceives(delivered));
    EXPECT_EQ("http://good/", delivered.url);
}

TEST_F(PresenceAgentTest, UnsubscribeEndsTheDialogWithExpiresZero)
{
    MakeAgent();
    const Sip::SipMessage subscribe = Confirmed(30, "srv30");
    RequestUnsubscribe(30);
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
    mServer.Send(MakeNotify(subscribe, "srv30", 5, "text/plain", "http://late/", mServer.Port()), mAgentAddress);
    Sip::SipMessage answer;
    ASSERT_TRUE(ServerReceives(answer));
    EXPECT_EQ(481, answer.statusCode);

    // Unsubscribing a subscription without an answer yet only forgets it.
    RequestSubscribe(31);
    ASSERT_TRUE(ServerReceives(answer, 3000));   // after the rate limit's second
    ASSERT_TRUE(Pump([&] { return mpAgent->SubscriptionCount() == 1; }));
    RequestUnsubscribe(31);
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
            EXPECT_EQ(Messaging::MSG_ERROR, answer.kind);
            failed.push_back(answer.id);
        }
        return !failed.empty() && failed.back() == 110;
    };
    // A daemon retrying at its worker's pace: ten requests a second.
    const int64_t start = WallMs();
    for (uint64_t id = 101; id <= 110; ++id) {
        RequestSubscribe(id);
        Pump([&] {
            serve();
            return false;
        },
             100);
    }
    ASSERT_TRUE(Pump(serve, 4000));
    ASSERT_GE(arrivals.size(), 2u);
    EXPECT_LT(arrivals[0] - start, 500);
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 990) << "SUBSCRIBE " << i;
    int withinFirstSecond = 0;
    for (int64_t arrival : arrivals)
        withinFirstSecond += arrival - arrivals[0] < 1100 ? 1 : 0;
    EXPECT_LE(withinFirstSecond, 2);
    // The first went at once, the newest won; those in between were dropped unanswered.
    EXPECT_EQ(101u, failed.front());
    EXPECT_EQ(110u, failed.back());
    EXPECT_EQ(arrivals.size(), failed.size());
    EXPECT_EQ(10ul - failed.size(), mpAgent->Counters().droppedRequests);

    // Retransmissions of a live transaction are not held back by the limit.
    RequestSubscribe(111);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe, 3000));
    const int64_t sent = mServer.LastArrival();
    ASSERT_TRUE(ServerReceives(subscribe, 3000));
    EXPECT_LT(mServer.LastArrival() - sent, 900);
}

TEST_F(PresenceAgentTest, MalformedDatagramsAreCountedAndTheAgentKeepsWorking)
{
    MakeAgent();
    RequestSubscribe(50);
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
    Message answer;
    ASSERT_TRUE(DaemonReceives(answer));
    EXPECT_EQ(Messaging::MSG_CONFIRM, answer.kind);
    EXPECT_EQ(50u, answer.id);
}

TEST_F(PresenceAgentTest, OnlineAtStartOfflineWhenStopped)
{
    MakeAgent();
    mpAgent->Start();
    Message state;
    ASSERT_TRUE(DaemonReceives(state));
    EXPECT_EQ(Messaging::MSG_PARTY_STATE, state.kind);
    EXPECT_TRUE(state.online);

    // Run() ends when SIGTERM reaches the signal pipe.
    SignalPipe signals;
    ASSERT_TRUE(signals.Install());
    ASSERT_EQ(0, raise(SIGTERM));
    pollfd readable = {signals.GetFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&readable, 1, 1000));
    mpAgent->Run(signals.GetFD());
    ASSERT_TRUE(mDaemon.WaitForInput(1000));
    // Run() starts with online and ends with offline.
    ASSERT_TRUE(mDaemon.ReceiveMessage(state));
    EXPECT_TRUE(state.online);
    ASSERT_TRUE(mDaemon.WaitForInput(1000));
    ASSERT_TRUE(mDaemon.ReceiveMessage(state));
    EXPECT_EQ(Messaging::MSG_PARTY_STATE, state.kind);
    EXPECT_FALSE(state.online);
}

TEST_F(PresenceAgentTest, UnusedQueueMessagesAreDroppedAndCounted)
{
    MakeAgent();
    Message confirm;
    confirm.kind = Messaging::MSG_CONFIRM;
    confirm.id = 1;
    ASSERT_TRUE(mDaemon.SendTo(Messaging::PRESENCE_AGENT_QUEUE, confirm));
    ASSERT_TRUE(Pump([&] { return mpAgent->Counters().droppedQueueMessages == 1; }));
    RequestSubscribe(60);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
}

}  // namespace
