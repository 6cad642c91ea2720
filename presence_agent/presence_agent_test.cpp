// The agent in this process between a test daemon queue and a fake SIP
// server on 127.0.0.1: real queue sockets in a temporary directory, real UDP.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config_file/config_file.h"
#include "sip/sip_response.h"
#include "testing/test_support.h"

using namespace Messaging;

namespace {

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
    void MakeAgent(const Sip::TransactionTimers& timers = Sip::TransactionTimers())
    {
        PresenceAgentOptions options;
        options.timers = timers;
        mpAgent.reset();   // frees the queue for the new agent
        mpAgent.reset(new PresenceAgent(options));
    }
    // One pending SIP message for the server, without blocking. mArrival is the kernel's receive
    // time (wall clock), so a busy test loop does not skew the gaps measured.
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
        mArrival = static_cast<int64_t>(at.tv_sec) * 1000 + at.tv_usec / 1000;
        mRaw.assign(buffer, static_cast<size_t>(size));
        EXPECT_TRUE(Sip::ParseMessage(mRaw.data(), mRaw.size(), message)) << mRaw;
        return true;
    }
    void SendRaw(const std::string& data) { ASSERT_TRUE(mServer.SendTo(mAgent, data)); }
    // A response to request; toTag is added to To when not empty.
    void Respond(const Sip::SipMessage& request, int code, const std::string& toTag = "srv")
    {
        Sip::SipMessage response = Sip::MakeResponse(request, code, toTag);
        response.AddHeader("Contact", "<sip:pnp@127.0.0.1:" + mPort + ">");
        SendRaw(Sip::Serialize(response));
    }
    // A NOTIFY carrying url in the dialog of subscribe, which the server accepted with tag "srv", or
    // with a To tag that is not the agent's.
    std::string NotifyText(const Sip::SipMessage& subscribe, unsigned cseq, const std::string& url,
                           bool otherTag = false)
    {
        return "NOTIFY " + Sip::HeaderUri(*subscribe.Header("Contact")) + " SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:" + mPort + ";branch=z9hG4bKn" + std::to_string(cseq) + "\r\n"
               "To: " + *subscribe.Header("From") + (otherTag ? "x" : "") + "\r\n"
               "From: " + *subscribe.Header("To") + ";tag=srv\r\n"
               "Call-ID: " + *subscribe.Header("Call-ID") + "\r\n"
               "CSeq: " + std::to_string(cseq) + " NOTIFY\r\nEvent: ua-profile\r\n"
               "Subscription-State: active;expires=3600\r\nContent-Type: application/url\r\n\r\n" + url;
    }
    // Sends that NOTIFY from the server; returns the status the agent answered.
    int NotifyAnswered(const Sip::SipMessage& subscribe, unsigned cseq, const std::string& url, bool otherTag = false)
    {
        SendRaw(NotifyText(subscribe, cseq, url, otherTag));
        EXPECT_TRUE(ServerReceives(mAnswer)) << url;
        return mAnswer.statusCode;
    }
    // Runs the agent until done() holds, at most boundMs.
    bool Pump(const std::function<bool()>& done, int boundMs = 3000)
    {
        return testing_support::WaitUntil([&] { mpAgent->RunOnce(5); return done(); }, boundMs, 0);
    }
    bool ServerReceives(Sip::SipMessage& message) { return Pump([&] { return TryReceive(message); }); }
    // A request of the daemon; the subscriber and target only matter for SUBSCRIBE.
    void Request(MessageKind kind, uint64_t id, const std::string& targetIp = "127.0.0.1")
    {
        Message request;
        request.kind = kind;
        request.id = id;
        request.subscriber.userName = request.target.userName = "MAC:0011aabbccdd";
        request.subscriber.ipAddress = "127.0.0.1";
        request.subscriber.port = "0";   // a free port: the test must not need 5060
        request.target.ipAddress = targetIp;
        request.target.port = mPort;
        ASSERT_TRUE(mpDaemon->SendTo(PRESENCE_AGENT_QUEUE, request));
    }
    Message ExpectAnswer(MessageKind kind, uint64_t id, int32_t code = 0)
    {
        Message answer;
        EXPECT_TRUE(Pump([&] { return mpDaemon->ReceiveMessage(answer); })) << "no answer for " << id;
        EXPECT_EQ(std::make_tuple(kind, id, code), std::make_tuple(answer.kind, answer.id, answer.code));
        return answer;
    }

    testing_support::TempDir mDir;
    Configuration::ScopedPathRedirect mVersion;
    std::unique_ptr<CyclicMessageQueue> mpDaemon{new CyclicMessageQueue(PRESENCE_CLIENT_QUEUE)};
    std::unique_ptr<PresenceAgent> mpAgent;
    SipSocket mServer;
    std::string mPort;         // the server's
    sockaddr_in mAgent = {};   // where the last SIP message came from
    int64_t mArrival = 0;
    std::string mRaw;
    Sip::SipMessage mAnswer;   // the agent's last answer to a NOTIFY
};

TEST_F(PresenceAgentTest, OneDialogFromSubscribeToUnsubscribeAmidBadInput)
{
    Request(Messaging::MSG_CONFIRM, 1);   // a queue message of a kind the agent does not serve
    Request(MSG_SUBSCRIBE, 8, "provisioning.example");   // the target must be a dotted address
    ExpectAnswer(MSG_ERROR, 8, Presence_Invalid_Request);
    Request(MSG_SUBSCRIBE, 20);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    // Each SUBSCRIBE of the dialog byte for byte; only branch, From tag and Call-ID are random.
    const std::string user = "sip:MAC%3a0011aabbccdd@127.0.0.1";
    const std::string agentPort = std::to_string(ntohs(mAgent.sin_port));
    const std::string tag = Sip::HeaderParameter(*subscribe.Header("From"), "tag");
    const std::string callId = *subscribe.Header("Call-ID");   // a 16-digit token at the agent's address
    ASSERT_TRUE(!tag.empty() && callId.size() == 26 && callId.substr(16) == "@127.0.0.1") << mRaw;
    auto written = [&](const Sip::SipMessage& request, const std::string& uri, const std::string& toTag,
                       unsigned cseq, unsigned expires) {
        const std::string branch = Sip::HeaderParameter(*request.Header("Via"), "branch");
        EXPECT_EQ(0u, branch.find("z9hG4bK")) << branch;
        return "SUBSCRIBE " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + agentPort + ";branch=" +
               branch + ";rport\r\nMax-Forwards: 70\r\nFrom: <" + user + ">;tag=" + tag + "\r\nTo: <" + user +
               ":" + mPort + ">" + toTag + "\r\nCall-ID: " + callId + "\r\nCSeq: " + std::to_string(cseq) +
               " SUBSCRIBE\r\nContact: <" + user + ":" + agentPort + ">\r\nEvent: ua-profile;profile-type="
               "\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";version=\"5.1.3\"\r\nExpires: " +
               std::to_string(expires) + "\r\nAccept: application/url\r\nContent-Length: 0\r\n\r\n";
    };
    EXPECT_EQ(written(subscribe, user + ":" + mPort, "", 1, 3600), mRaw);

    // Malformed SIP, a response of another transaction and a NOTIFY before the 2xx are counted; the
    // transaction lives on.
    SendRaw(NotifyText(subscribe, 1, "http://127.0.0.1/early"));
    SendRaw(std::string("\x00\x01\x02garbage", 10));
    SendRaw("SIP/2.0 200 OK\r\nContent-Length: 50\r\n\r\nshort");   // length beyond the body
    SendRaw("SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");         // no Via, Call-ID, CSeq
    Sip::SipMessage other = Sip::MakeResponse(subscribe, 200, "x");
    other.headers[0].second = "SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKother";   // its Via
    SendRaw(Sip::Serialize(other));
    const PresenceAgentCounters& counters = mpAgent->Counters();
    ASSERT_TRUE(Pump([&] {
        return counters.droppedQueueMessages == 1 && counters.malformedSip == 3 &&
               counters.strayResponses == 1 && counters.earlyNotifies == 1;
    }));
    Respond(subscribe, 200);
    ExpectAnswer(Messaging::MSG_CONFIRM, 20);
    Respond(subscribe, 200);   // the transaction ended with its final answer: this one is a stray
    ASSERT_TRUE(Pump([&] { return counters.strayResponses == 2; }));

    // A NOTIFY with another To tag gets 481 (another Call-ID, or from a third host (403):
    // e2e/scenarios/provisioning.scn); each one in the dialog gets 200 once the daemon's queue took its URL
    // (else 503, and the next attempt counts), and the URL goes to the daemon once: a retransmission (same
    // CSeq) is only answered. Which URL a body carries is NotifyUrl's, checked in sip_message_test.
    EXPECT_EQ(481, NotifyAnswered(subscribe, 1, "http://127.0.0.1/0", true));
    EXPECT_EQ(200, NotifyAnswered(subscribe, 1, "http://127.0.0.1/1"));
    EXPECT_EQ("http://127.0.0.1/1", ExpectAnswer(MSG_NOTIFY, 20).url);   // not the early one
    EXPECT_EQ(200, NotifyAnswered(subscribe, 1, "http://127.0.0.1/1"));
    mpDaemon.reset();
    EXPECT_EQ(503, NotifyAnswered(subscribe, 2, "http://127.0.0.1/2"));
    EXPECT_EQ("1", *mAnswer.Header("Retry-After"));
    mpDaemon.reset(new CyclicMessageQueue(PRESENCE_CLIENT_QUEUE));
    EXPECT_EQ(200, NotifyAnswered(subscribe, 2, "http://127.0.0.1/2"));
    EXPECT_EQ("http://127.0.0.1/2", ExpectAnswer(MSG_NOTIFY, 20).url);   // neither /0 nor /1 again
    EXPECT_EQ(1ul, counters.unknownNotifies);

    // Unsubscribe: the dialog's next SUBSCRIBE with Expires 0, to the 2xx's Contact, on a fresh branch.
    Request(MSG_UNSUBSCRIBE, 20);
    Sip::SipMessage end;
    ASSERT_TRUE(ServerReceives(end));
    EXPECT_EQ(written(end, "sip:pnp@127.0.0.1:" + mPort, ";tag=srv", 2, 0), mRaw);
    EXPECT_NE(*subscribe.Header("Via"), *end.Header("Via"));
    Respond(end, 200);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());

    // A send that fails (broadcast without SO_BROADCAST) reaches the daemon as a network failure.
    Request(MSG_SUBSCRIBE, 3, "255.255.255.255");
    ExpectAnswer(MSG_ERROR, 3, Presence_Network_Failure);
}

// After a 1xx the running Timer E fires once more, then every T2 (not held back by the rate limit) until
// Timer F; the daemon hears only the time-out. The schedule's times are RetransmitSchedule's test.
TEST_F(PresenceAgentTest, ProvisionalSubscribeIsRetransmittedEveryT2UntilTimerF)
{
    MakeAgent({100, 400, 1500});   // T1, T2, Timer F
    Request(MSG_SUBSCRIBE, 13);
    Sip::SipMessage subscribe;
    ASSERT_TRUE(ServerReceives(subscribe));
    Respond(subscribe, 180, "");
    for (const int64_t gap : {0, 400, 400}) {   // 0: the running Timer E, only bounded above
        const std::string previous = mRaw;
        const int64_t last = mArrival;
        ASSERT_TRUE(ServerReceives(subscribe)) << "transmission after " << gap;
        EXPECT_EQ(previous, mRaw) << "a retransmission is the same request";
        EXPECT_GE(mArrival - last, gap - 20) << "gap " << gap;
        EXPECT_LE(mArrival - last, gap + 400) << "gap " << gap;
    }
    ExpectAnswer(MSG_ERROR, 13, Presence_Subscription_Time_Out);
    EXPECT_EQ(0u, mpAgent->SubscriptionCount());
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
        while (mpDaemon->ReceiveMessage(answer)) {
            EXPECT_TRUE(answer.kind == MSG_ERROR && answer.code == Presence_Subscription_Failed);
            failed.push_back(answer.id);
        }
        return !failed.empty() && failed.back() == 110;
    };
    // A daemon retrying at its worker's pace: ten requests a second.
    for (uint64_t id = 101; id <= 110; ++id) {
        Request(MSG_SUBSCRIBE, id);
        Pump([&] { return serve() && false; }, 100);
    }
    ASSERT_TRUE(Pump(serve, 4000));
    ASSERT_GE(arrivals.size(), 2u);
    // The gap is counted from the end of each send, so even a slow send (under qemu) keeps it on the wire.
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 990) << "SUBSCRIBE " << i;
    // The first went at once, the newest won; those in between were dropped unanswered.
    EXPECT_EQ(101u, failed.front());
    EXPECT_EQ(arrivals.size(), failed.size());
    EXPECT_EQ(10ul - failed.size(), mpAgent->Counters().droppedRequests);
}

}  // namespace
