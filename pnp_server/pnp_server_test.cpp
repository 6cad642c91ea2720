// Tests of the provisioning server's command line, and of the whole server
// on the multicast group inside a network namespace of its own.
#include "pnp_server/pnp_server.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cstring>
#include <thread>
#include <vector>

#include "pnp_server/net_util.h"
#include "pnp_server/pnp_test_support.h"
#include "sip/sip_message.h"

namespace {

bool Parse(std::vector<const char*> arguments, Pnp::ServerOptions& options, std::string& error)
{
    arguments.insert(arguments.begin(), "pnp-server");
    return Pnp::ParseServerOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

// Brings lo up with multicast in the current (fresh) network namespace.
bool LoopbackUp()
{
    Pnp::FileDescriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd.Get(), SIOCGIFFLAGS, &request) != 0)
        return false;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_MULTICAST);
    return ioctl(fd.Get(), SIOCSIFFLAGS, &request) == 0;
}

// A server joined on lo answers a SUBSCRIBE sent to the group with 200 OK and a NOTIFY.
void MulticastRoundTrip(const std::string& dir)
{
    Pnp::ServerOptions options = PnpTest::LoopbackOptions(dir);
    options.sip.bindAddress = "0.0.0.0";
    options.sip.joinMulticast = true;
    options.sip.interfaceName = "lo";
    PnpTest::RunningServer server(options);
    EXPECT_NE(server.LogText().find("SIP joined 224.0.1.75 on lo"), std::string::npos) << server.LogText();

    // Bound to 127.0.0.1, the socket sends to the group through lo.
    Pnp::FileDescriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = PnpTest::Loopback(0);
    ASSERT_EQ(bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    address.sin_port = htons(server.SipPort());
    inet_pton(AF_INET, "224.0.1.75", &address.sin_addr);
    const std::string subscribe =
        "SUBSCRIBE sip:MAC%3a0a0b0c0d0e0f@224.0.1.75 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKmc1;rport\r\n"
        "From: <sip:MAC%3a0a0b0c0d0e0f@224.0.1.75>;tag=7\r\nTo: <sip:MAC%3a0a0b0c0d0e0f@224.0.1.75>\r\n"
        "Call-ID: mc@127.0.0.1\r\nCSeq: 1 SUBSCRIBE\r\nEvent: ua-profile\r\nContent-Length: 0\r\n\r\n";
    ASSERT_GT(sendto(fd.Get(), subscribe.data(), subscribe.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof(address)), 0);
    Sip::SipMessage message, ok, notify;
    for (int i = 0; i < 2 && PnpTest::WaitReadable(fd.Get(), 3000); ++i) {
        char buffer[4096];
        const ssize_t got = recv(fd.Get(), buffer, sizeof(buffer), 0);
        ASSERT_TRUE(got > 0 && Sip::ParseMessage(buffer, static_cast<size_t>(got), message));
        (message.isRequest ? notify : ok) = message;
    }
    EXPECT_EQ(ok.statusCode, 200);
    EXPECT_EQ(notify.body, "http://127.0.0.1:" + std::to_string(server.HttpPort()) + "/cfg/0a0b0c0d0e0f.xml");
}

}  // namespace

TEST(ServerOptionsTest, ParsesALabCommandLine)
{
    Pnp::ServerOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--interface", "eth0", "--http-root", "/srv/cfg", "--http-address", "192.168.1.5",
                       "--http-port", "8000", "--keep-alive", "--url-template", "http://{host}/{mac}.cfg",
                       "--reject-code", "403", "--timer-f-ms", "5000", "--log", "/tmp/pnp.log"},
                      options, error))
        << error;
    EXPECT_EQ(options.sip.interfaceName, "eth0");
    EXPECT_TRUE(options.sip.joinMulticast);
    EXPECT_EQ(options.sip.port, 5060);
    EXPECT_EQ(options.sip.httpHost, "192.168.1.5");
    EXPECT_EQ(options.sip.urlTemplate, "http://{host}/{mac}.cfg");
    EXPECT_EQ(options.sip.rejectCode, 403);
    EXPECT_EQ(options.sip.timerFMs, 5000);
    EXPECT_EQ(options.http.rootDirectory, "/srv/cfg");
    EXPECT_EQ(options.http.port, 8000);
    EXPECT_TRUE(options.http.keepAlive);
    EXPECT_EQ(options.logPath, "/tmp/pnp.log");

    ASSERT_TRUE(Parse({"--unicast-only", "--sip-bind", "127.0.0.1", "--sip-port", "0", "--silent"}, options,
                      error));
    EXPECT_FALSE(options.sip.joinMulticast);
    EXPECT_TRUE(options.sip.silent);
    EXPECT_TRUE(options.sip.httpHost.empty());   // taken from each SUBSCRIBE
}

TEST(ServerOptionsTest, RefusesWhatCannotWork)
{
    const std::vector<std::vector<const char*>> bad = {
        {},                                                     // no interface chosen
        {"--interface", "eth0", "--address", "10.0.0.1"},
        {"--unicast-only", "--interface", "eth0"},
        {"--address", "10.0.0"},
        {"--interface", "eth0", "--sip-bind", "127.0.0.1"},     // the group needs the wildcard
        {"--interface", "eth0", "--reject-code", "200"},
        {"--interface", "eth0", "--http-port", "70000"},
        {"--interface", "eth0", "--sip-port"},
        {"--interface", "eth0", "--frobnicate"},
    };
    for (const auto& arguments : bad) {
        Pnp::ServerOptions options;
        std::string error;
        EXPECT_FALSE(Parse(arguments, options, error)) << arguments.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(PnpServerTest, AnswersASubscribeSentToTheGroupInANetworkNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    PnpTest::TempDir dir;
    bool isolated = false;
    // Only this thread enters the new namespace: nothing reaches the group from the machine's own.
    std::thread([&] {
        isolated = unshare(CLONE_NEWNET) == 0 && LoopbackUp();
        try {
            if (isolated)
                MulticastRoundTrip(dir.Path());
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    }).join();
    if (!isolated)
        GTEST_SKIP() << "network namespaces do not work here";
}
