// The real multicast path, in two network namespaces made for the test and
// joined by a veth pair: the agent sends the daemon's own records
// (224.0.1.75:5060 from 10.77.0.1:5060) in one, a receiver joined to the
// group listens in the other and checks TTL 1. Needs root; skipped otherwise.
// Nothing is sent from the machine's own namespace.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/config_file.h"
#include "testing/test_support.h"

using Messaging::Message;

namespace {

// Runs a command without a shell; true when it exits with 0.
bool Run(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two namespaces "<base>-a" and "<base>-b" with 10.77.0.1/24 and 10.77.0.2/24
// on the two ends of a veth pair; removed again at the end.
class NamespacePair {
public:
    NamespacePair()
    {
        const std::string pid = std::to_string(getpid());
        mA = "pa-test-" + pid + "-a";
        mB = "pa-test-" + pid + "-b";
        const std::string endA = "pa" + pid + "a", endB = "pa" + pid + "b";
        auto configure = [](const std::string& ns, const std::string& device, const char* address) {
            return Run({"ip", "-n", ns, "addr", "add", address, "dev", device}) &&
                   Run({"ip", "-n", ns, "link", "set", device, "up"}) && Run({"ip", "-n", ns, "link", "set", "lo", "up"});
        };
        mReady = Run({"ip", "netns", "add", mA}) && Run({"ip", "netns", "add", mB}) &&
                 Run({"ip", "link", "add", endA, "netns", mA, "type", "veth", "peer", "name", endB, "netns", mB}) &&
                 configure(mA, endA, "10.77.0.1/24") && configure(mB, endB, "10.77.0.2/24");
    }
    ~NamespacePair()
    {
        Run({"ip", "netns", "del", mA});
        Run({"ip", "netns", "del", mB});
    }
    bool Ready() const { return mReady; }
    std::string PathA() const { return "/run/netns/" + mA; }
    std::string PathB() const { return "/run/netns/" + mB; }

private:
    std::string mA;
    std::string mB;
    bool mReady;
};

// Moves the calling thread into a network namespace for the life of the
// object; sockets made meanwhile stay in it.
class ScopedNetns {
public:
    explicit ScopedNetns(const std::string& path) : mOriginal(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        mEntered = mOriginal >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            close(target);
    }
    ~ScopedNetns()
    {
        if (mEntered && setns(mOriginal, CLONE_NEWNET) != 0)
            abort();   // never go on in the wrong namespace
        if (mOriginal >= 0)
            close(mOriginal);
    }
    bool Entered() const { return mEntered; }

private:
    int mOriginal;
    bool mEntered;
};

TEST(MulticastNamespace, SubscribeReachesTheGroupWithTtlOneAndIsConfirmed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make network namespaces";
    NamespacePair namespaces;
    if (!namespaces.Ready())
        GTEST_SKIP() << "network namespaces or veth links are not available here";

    testing_support::TempDir dir;
    Messaging::SetQueueDirectory(dir.File("msgq"));
    testing_support::WriteFile(dir.File("version.txt"), "Version: 9.9\n");
    Configuration::ScopedPathRedirect version("/etc/version.txt", dir.File("version.txt"));

    // The receiver: joined to 224.0.1.75 on its veth end, port 5060 of its own namespace.
    int receiver = -1;
    {
        ScopedNetns inB(namespaces.PathB());
        ASSERT_TRUE(inB.Entered());
        receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(receiver, 0);
        sockaddr_in any = {};
        any.sin_family = AF_INET;
        any.sin_port = htons(5060);
        ASSERT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
        ip_mreq membership;
        inet_pton(AF_INET, "224.0.1.75", &membership.imr_multiaddr);
        inet_pton(AF_INET, "10.77.0.2", &membership.imr_interface);
        ASSERT_EQ(0, setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)));
        const int on = 1;
        ASSERT_EQ(0, setsockopt(receiver, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on)));
    }

    CyclicMessageQueue daemon(Messaging::PRESENCE_CLIENT_QUEUE);
    std::unique_ptr<PresenceAgent> agent;
    char buffer[65536];
    sockaddr_in from;
    int ttl = -1;
    ssize_t size = -1;
    {
        // The agent's SIP socket is made while this thread is in namespace A.
        ScopedNetns inA(namespaces.PathA());
        ASSERT_TRUE(inA.Entered());
        agent.reset(new PresenceAgent(PresenceAgentOptions()));
        Message request;
        request.kind = Messaging::MSG_SUBSCRIBE;
        request.id = 77;
        request.subscriber.userName = request.target.userName = "MAC:0011aabbccdd";
        request.subscriber.ipAddress = "10.77.0.1";
        request.subscriber.port = request.target.port = "5060";
        request.target.ipAddress = "224.0.1.75";
        request.watchingStates = 0x30;
        ASSERT_TRUE(daemon.SendTo(Messaging::PRESENCE_AGENT_QUEUE, request));

        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end && size < 0) {
            agent->RunOnce(10);
            iovec data = {buffer, sizeof(buffer)};
            char control[256];
            msghdr header = {&from, sizeof(from), &data, 1, control, sizeof(control), 0};
            size = recvmsg(receiver, &header, 0);
            if (size < 0)
                continue;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                    memcpy(&ttl, CMSG_DATA(c), sizeof(ttl));
            }
        }
    }
    ASSERT_GT(size, 0) << "no SUBSCRIBE reached the group";
    EXPECT_EQ(1, ttl);
    EXPECT_EQ("10.77.0.1:5060", AddressText(from));
    Sip::SipMessage subscribe;
    ASSERT_TRUE(Sip::ParseMessage(buffer, static_cast<size_t>(size), subscribe));
    EXPECT_EQ("sip:MAC%3a0011aabbccdd@224.0.1.75", subscribe.requestUri);
    EXPECT_EQ(0u, subscribe.Header("Via")->find("SIP/2.0/UDP 10.77.0.1:5060;branch=z9hG4bK"));
    EXPECT_EQ("<sip:MAC%3a0011aabbccdd@224.0.1.75>", *subscribe.Header("To"));

    // The server's unicast 200 from the other namespace confirms.
    const std::string text = Sip::Serialize(MakeResponse(subscribe, 200, "pnp"));
    ASSERT_EQ(static_cast<ssize_t>(text.size()),
              sendto(receiver, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof(from)));
    Message answer;
    bool answered = false;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         !answered && std::chrono::steady_clock::now() < end;) {
        agent->RunOnce(10);
        answered = daemon.ReceiveMessage(answer);
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(Messaging::MSG_CONFIRM, answer.kind);
    EXPECT_EQ(77u, answer.id);
    agent.reset();
    close(receiver);
}

}  // namespace
