// The real multicast path, in two network namespaces made for the test and joined by a veth pair: the agent
// sends the daemon's own records (224.0.1.75:5060 from 10.77.0.1:5060) in one, a receiver joined to the group
// listens in the other; the agent's interface loses and gets its address and carrier. Needs root; nothing is
// sent from the machine's own namespace. The SUBSCRIBE's headers and the answer's way back are covered end
// to end (e2e/scenarios/provisioning.scn, e2e/scenarios/start_order.scn).
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include "sip/sip_text.h"
#include "testing/sip_test_peer.h"
#include "testing/test_support.h"

namespace {

// Namespaces mA and mB, each with the end of a veth pair named as itself: 10.77.0.1/24 and 10.77.0.2/24.
// The daemon's queue and, in mB, a receiver joined to 224.0.1.75 on its veth end, port 5060.
class MulticastNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make network namespaces";
        if (!mA.Ok() || !mB.Ok() || !Ip("link add $a netns $a type veth peer name $b netns $b && "
                                        "ip -n $a addr add 10.77.0.1/24 dev $a && ip -n $a link set $a up && "
                                        "ip -n $b addr add 10.77.0.2/24 dev $b && ip -n $b link set $b up"))
            GTEST_SKIP() << "network namespaces or veth links are not available here";
        Messaging::SetQueueDirectory(mDir.File("msgq"));
        mpDaemon.reset(new CyclicMessageQueue(Messaging::PRESENCE_CLIENT_QUEUE));
        ASSERT_TRUE(mB.Run([&] {
            mpReceiver.reset(new sip_test::SipTestPeer("0.0.0.0", 5060));
            const ip_mreq group = {{inet_addr("224.0.1.75")}, {inet_addr("10.77.0.2")}};   // group, interface
            EXPECT_EQ(0, setsockopt(mpReceiver->Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group)));
        }));
    }
    // "ip WORDS", where $a and $b name the namespaces and their veth ends.
    bool Ip(const std::string& words) const
    {
        return sip_test::Shell("a=" + mA.Name() + " b=" + mB.Name() + "; ip " + words);
    }
    // The daemon's request for MAC:0011aabbccdd, from port 5060 of an address it did not find, to the group.
    void Subscribe(uint64_t id)
    {
        Messaging::Message request;
        request.kind = Messaging::MSG_SUBSCRIBE;
        request.id = id;
        request.subscriber.userName = request.target.userName = "MAC:0011aabbccdd";
        request.subscriber.port = request.target.port = "5060";
        request.target.ipAddress = "224.0.1.75";
        ASSERT_TRUE(mpDaemon->SendTo(Messaging::PRESENCE_AGENT_QUEUE, request));
    }

    sip_test::TestNetns mA{"pata"};
    sip_test::TestNetns mB{"patb"};
    testing_support::TempDir mDir;
    std::unique_ptr<CyclicMessageQueue> mpDaemon;
    std::unique_ptr<sip_test::SipTestPeer> mpReceiver;
};

// Without an address, then without carrier, the SUBSCRIBE waits, past Timer F, with no answer to the daemon; a
// newer request replaces the waiting one. It leaves once both are there, with TTL 1, from the interface's
// address (the daemon found none; one the daemon names: every scenario in e2e/), follows an address change
// on its next send with a new Call-ID, and times out by the Timer F of its first send.
TEST_F(MulticastNamespace, SubscribeWaitsForAddressAndCarrierThenLeavesWithTtlOneAndFollowsTheAddress)
{
    ASSERT_TRUE(Ip("-n $a addr flush dev $a && ip -n $b link set $b down"));
    const std::string interfaceName = mA.Name();
    Messaging::Message answer;
    Sip::SipMessage subscribe;
    ASSERT_TRUE(mA.Run([&] {   // the agent looks at, and sends in, namespace a only
        PresenceAgentOptions options;
        options.versionFile = "";
        options.interfaceName = interfaceName.c_str();
        options.timers = {100, 400, 1000};   // T1, T2, Timer F
        options.minSubscribeIntervalMs = 0;
        PresenceAgent agent(options);
        auto pump = [&](const std::function<bool()>& done, int boundMs) {
            return testing_support::WaitUntil([&] { agent.RunOnce(10); return done(); }, boundMs, 0);
        };
        auto heard = [&] { return mpDaemon->ReceiveMessage(answer) || mpReceiver->Receive(subscribe, 0); };
        Subscribe(1);
        EXPECT_FALSE(pump(heard, 300));
        Subscribe(2);
        EXPECT_FALSE(pump(heard, 800));
        EXPECT_EQ(1ul, agent.Counters().droppedRequests);
        ASSERT_TRUE(Ip("-n $a addr add 10.77.0.1/24 dev $a"));
        EXPECT_FALSE(pump(heard, 300)) << "sent without carrier";
        ASSERT_TRUE(Ip("-n $b link set $b up"));
        ASSERT_TRUE(pump([&] { return mpReceiver->Receive(subscribe, 0); }, 3000));
        EXPECT_EQ(1, mpReceiver->Ttl());
        const std::string first = *subscribe.Header("Call-ID");
        EXPECT_EQ("10.77.0.1:5060", Sip::AddressText(mpReceiver->From()));

        ASSERT_TRUE(Ip("-n $a addr del 10.77.0.1/24 dev $a && ip -n $a addr add 10.78.0.1/24 dev $a"));
        ASSERT_TRUE(pump([&] { return mpReceiver->Receive(subscribe, 0) && *subscribe.Header("Call-ID") != first; },
                         1000));
        EXPECT_EQ("10.78.0.1:5060", Sip::AddressText(mpReceiver->From()));
        const std::string written = Sip::Serialize(subscribe);
        for (const char* part : {"Via: SIP/2.0/UDP 10.78.0.1:5060;", "From: <sip:MAC%3a0011aabbccdd@10.78.0.1>;",
                                 "@10.78.0.1\r\nCSeq: 1 SUBSCRIBE", "Contact: <sip:MAC%3a0011aabbccdd@10.78.0.1:5060>"})
            EXPECT_NE(std::string::npos, written.find(part)) << part << " in\n" << written;

        ASSERT_TRUE(pump([&] { return mpDaemon->ReceiveMessage(answer); }, 1500));
    }));
    EXPECT_EQ(std::make_tuple(Messaging::MSG_ERROR, uint64_t(2), int32_t(Presence_Subscription_Time_Out)),
              std::make_tuple(answer.kind, answer.id, answer.code));
}

}  // namespace
