// The real multicast path, in two network namespaces made for the test and joined by a veth pair: the agent
// sends the daemon's own records (224.0.1.75:5060 from 10.77.0.1:5060) in one, a receiver joined to the group
// listens in the other. Needs root; nothing is sent from the machine's own namespace. The answer's way back
// is covered end to end (e2e/provisioning_test.sh).
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "testing/test_support.h"

namespace {

// Runs a shell command with its output discarded; true when it exits 0.
bool Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs work() on a helper thread inside the named namespace (setns moves only the calling thread);
// sockets made there stay in it. False when the namespace could not be entered.
bool InNamespace(const std::string& name, const std::function<void()>& work)
{
    bool entered = false;
    std::thread([&] {
        const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (entered)
            work();
    }).join();
    return entered;
}

// Namespaces mA and mB, each with the end of a veth pair named as itself: 10.77.0.1/24 and 10.77.0.2/24.
class MulticastNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make network namespaces";
        mA = "pat" + std::to_string(getpid()) + "a";
        mB = "pat" + std::to_string(getpid()) + "b";
        if (!Shell("a=" + mA + " b=" + mB + "; ip netns add $a && ip netns add $b && "
                   "ip link add $a netns $a type veth peer name $b netns $b && "
                   "ip -n $a addr add 10.77.0.1/24 dev $a && ip -n $a link set $a up && "
                   "ip -n $b addr add 10.77.0.2/24 dev $b && ip -n $b link set $b up"))
            GTEST_SKIP() << "network namespaces or veth links are not available here";
    }
    void TearDown() override
    {
        close(mReceiver);
        if (!mA.empty())
            Shell("ip netns del " + mA + "; ip netns del " + mB);
    }

    std::string mA;
    std::string mB;
    int mReceiver = -1;
};

TEST_F(MulticastNamespace, SubscribeLeavesOnTheSubscribersInterfaceWithTtlOne)
{
    testing_support::TempDir dir;
    Messaging::SetQueueDirectory(dir.File("msgq"));
    CyclicMessageQueue daemon(Messaging::PRESENCE_CLIENT_QUEUE);
    // The receiver: joined to 224.0.1.75 on its veth end, port 5060 of its own namespace.
    ASSERT_TRUE(InNamespace(mB, [&] {
        mReceiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in any = {};
        any.sin_family = AF_INET;
        any.sin_port = htons(5060);
        const ip_mreq group = {{inet_addr("224.0.1.75")}, {inet_addr("10.77.0.2")}};   // group, interface
        const int on = 1;
        EXPECT_TRUE(bind(mReceiver, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 &&
                    setsockopt(mReceiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group)) == 0 &&
                    setsockopt(mReceiver, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on)) == 0);
    }));

    // The agent takes the daemon's request in namespace a: its SIP socket is made, and sends, there.
    std::unique_ptr<PresenceAgent> agent;
    ASSERT_TRUE(InNamespace(mA, [&] {
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

    char buffer[65536];
    char control[256];
    sockaddr_in from;
    iovec data = {buffer, sizeof(buffer)};
    msghdr header = {&from, sizeof(from), &data, 1, control, sizeof(control), 0};
    ssize_t size = -1;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         size < 0 && std::chrono::steady_clock::now() < end;) {
        agent->RunOnce(10);
        size = recvmsg(mReceiver, &header, 0);
    }
    ASSERT_GT(size, 0) << "no SUBSCRIBE reached the group";
    const cmsghdr* received = CMSG_FIRSTHDR(&header);   // the only one asked for
    int ttl = -1;
    if (received != nullptr && received->cmsg_level == IPPROTO_IP && received->cmsg_type == IP_TTL)
        memcpy(&ttl, CMSG_DATA(received), sizeof(ttl));
    EXPECT_EQ(1, ttl);
    EXPECT_EQ("10.77.0.1:5060", AddressText(from));
    Sip::SipMessage subscribe;
    ASSERT_TRUE(Sip::ParseMessage(buffer, static_cast<size_t>(size), subscribe));
    EXPECT_EQ("sip:MAC%3a0011aabbccdd@224.0.1.75", subscribe.requestUri);
    EXPECT_EQ(0u, subscribe.Header("Via")->find("SIP/2.0/UDP 10.77.0.1:5060;branch=z9hG4bK"));
}

}  // namespace
