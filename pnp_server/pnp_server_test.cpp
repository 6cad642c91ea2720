// Tests of the provisioning server's command line, and of the whole server
// on the multicast group inside a network namespace of its own.
#include "pnp_server/pnp_server.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "testing/pnp_test_support.h"
#include "sip/sip_message.h"
#include "testing/sip_test_peer.h"

namespace {

bool Parse(std::vector<const char*> arguments, Pnp::ServerOptions& options, std::string& error)
{
    arguments.insert(arguments.begin(), "pnp-server");
    return Pnp::ParseServerOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

// A server joined on lo and bound to the wildcard address answers a SUBSCRIBE sent to the group.
void MulticastRoundTrip(const std::string& dir)
{
    Pnp::ServerOptions options = PnpTest::LoopbackOptions(dir);
    options.sip.bindAddress = "0.0.0.0";
    options.sip.joinMulticast = true;
    options.sip.interfaceName = "lo";
    PnpTest::RunningServer server(options);
    EXPECT_NE(server.LogText().find("SIP joined 224.0.1.75 on lo"), std::string::npos) << server.LogText();

    sip_test::SipTestPeer device;   // on 127.0.0.1: sends to the group through lo
    const std::string subscribe =
        "SUBSCRIBE sip:MAC%3a0a0b0c0d0e0f@224.0.1.75 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKmc1;rport\r\n"
        "From: <sip:MAC%3a0a0b0c0d0e0f@224.0.1.75>;tag=7\r\nTo: <sip:MAC%3a0a0b0c0d0e0f@224.0.1.75>\r\n"
        "Call-ID: mc@127.0.0.1\r\nCSeq: 1 SUBSCRIBE\r\nEvent: ua-profile\r\nContent-Length: 0\r\n\r\n";
    ASSERT_TRUE(device.SendTo(subscribe, server.SipPort(), "224.0.1.75"));
    Sip::SipMessage ok, notify;
    ASSERT_TRUE(device.Receive(ok) && device.Receive(notify)) << server.LogText();
    EXPECT_EQ(ok.statusCode, 200);
    // Without --http-address the URL names the address the datagram came in on, not the group.
    EXPECT_EQ(notify.body, "http://127.0.0.1:" + std::to_string(server.HttpPort()) + "/cfg/0a0b0c0d0e0f.xml");
}

}  // namespace

// Options the scripts in e2e/ do not give; those they give are checked there through the running server.
TEST(ServerOptionsTest, ParsesALabCommandLine)
{
    Pnp::ServerOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--interface", "eth0", "--url-template", "http://{host}/{mac}.cfg", "--timer-f-ms", "5000",
                       "--max-pending", "9", "--sip-receive-buffer", "0", "--http-backlog", "7",
                       "--http-max-connections", "5", "--status-rows", "0"}, options, error))
        << error;
    EXPECT_EQ(std::make_tuple(true, std::string("http://{host}/{mac}.cfg"), 5000, 9u, 0, 7, 5u, 0u),
              std::make_tuple(options.sip.joinMulticast, options.sip.urlTemplate, options.sip.timerFMs,
                              options.sip.maxPending, options.sip.receiveBufferBytes, options.http.backlog,
                              options.http.maxConnections, options.statusRows));

    ASSERT_TRUE(Parse({"--unicast-only", "--sip-bind", "127.0.0.1", "--http-address", "0.0.0.0"},
                      options, error))
        << error;
    // The HTTP host empty: taken from each SUBSCRIBE.
    EXPECT_EQ(std::make_tuple(false, std::string("127.0.0.1"), std::string()),
              std::make_tuple(options.sip.joinMulticast, options.sip.bindAddress, options.sip.httpHost));
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
        SCOPED_TRACE(testing::PrintToString(arguments));
        Pnp::ServerOptions options;
        std::string error;
        EXPECT_FALSE(Parse(arguments, options, error));
        EXPECT_FALSE(error.empty());
    }
}

// The joined group end to end, with the server's --http-address, is in e2e/scenarios/provisioning.scn.
TEST(PnpServerTest, AnswersASubscribeSentToTheGroupInANetworkNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    sip_test::TestNetns netns("pnp");   // nothing reaches the group from the machine's own namespace
    if (!netns.Ok())
        GTEST_SKIP() << "network namespaces do not work here";
    PnpTest::TempDir dir;
    EXPECT_TRUE(netns.Run([&] { MulticastRoundTrip(dir.Path()); }));
}
