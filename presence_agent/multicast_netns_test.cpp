// The real multicast path, in two network namespaces made for the test and joined by a veth pair: the agent
// sends the daemon's own records (224.0.1.75:5060 from 10.77.0.1:5060) in one, a receiver joined to the group
// listens in the other. Needs root; nothing is sent from the machine's own namespace. The answer's way back
// is covered end to end (e2e/scenarios/provisioning.scn).
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sip/sip_text.h"
#include "testing/sip_test_peer.h"
#include "testing/test_support.h"

namespace {

// Namespaces mA and mB, each with the end of a veth pair named as itself: 10.77.0.1/24 and 10.77.0.2/24.
class MulticastNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make network namespaces";
        if (!mA.Ok() || !mB.Ok() ||
            !sip_test::Shell("a=" + mA.Name() + " b=" + mB.Name() + "; "
                             "ip link add $a netns $a type veth peer name $b netns $b && "
                             "ip -n $a addr add 10.77.0.1/24 dev $a && ip -n $a link set $a up && "
                             "ip -n $b addr add 10.77.0.2/24 dev $b && ip -n $b link set $b up"))
            GTEST_SKIP() << "network namespaces or veth links are not available here";
    }

    sip_test::TestNetns mA{"pata"};
    sip_test::TestNetns mB{"patb"};
};

TEST_F(MulticastNamespace, SubscribeLeavesOnTheSubscribersInterfaceWithTtlOne)
{
    testing_support::TempDir dir;
    Messaging::SetQueueDirectory(dir.File("msgq"));
    CyclicMessageQueue daemon(Messaging::PRESENCE_CLIENT_QUEUE);
    // The receiver: joined to 224.0.1.75 on its veth end, port 5060 of its own namespace.
    std::unique_ptr<sip_test::SipTestPeer> receiver;
    ASSERT_TRUE(mB.Run([&] {
        receiver.reset(new sip_test::SipTestPeer("0.0.0.0", 5060));
        const ip_mreq group = {{inet_addr("224.0.1.75")}, {inet_addr("10.77.0.2")}};   // group, interface
        EXPECT_EQ(0, setsockopt(receiver->Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group)));
    }));

    // The agent takes the daemon's request in namespace a: its SIP socket is made, and sends, there.
    std::unique_ptr<PresenceAgent> agent;
    ASSERT_TRUE(mA.Run([&] {
        PresenceAgentOptions options;
        options.versionFile = "";   // none: "unknown"
        agent.reset(new PresenceAgent(options));
        Messaging::Message request;
        request.kind = Messaging::MSG_SUBSCRIBE;
        request.id = 77;
        request.subscriber.userName = request.target.userName = "MAC:0011aabbccdd";
        request.subscriber.ipAddress = "10.77.0.1";
        request.subscriber.port = request.target.port = "5060";
        request.target.ipAddress = "224.0.1.75";
        ASSERT_TRUE(daemon.SendTo(Messaging::PRESENCE_AGENT_QUEUE, request));
        agent->RunOnce(1000);
    }));
    ASSERT_TRUE(agent != nullptr && agent->SubscriptionCount() == 1);

    Sip::SipMessage subscribe;
    bool received = false;
    for (int i = 0; i < 100 && !received; ++i) {
        agent->RunOnce(10);
        received = receiver->Receive(subscribe, 50);
    }
    ASSERT_TRUE(received) << "no SUBSCRIBE reached the group";
    EXPECT_EQ(1, receiver->Ttl());
    EXPECT_EQ("10.77.0.1:5060", Sip::AddressText(receiver->From()));
    EXPECT_EQ("sip:MAC%3a0011aabbccdd@224.0.1.75", subscribe.requestUri);
    EXPECT_EQ(0u, subscribe.Header("Via")->find("SIP/2.0/UDP 10.77.0.1:5060;branch=z9hG4bK"));
}

}  // namespace
