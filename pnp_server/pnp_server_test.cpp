// Tests of the provisioning server's command line.
#include "pnp_server/pnp_server.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

bool Parse(std::vector<const char*> arguments, Pnp::ServerOptions& options, std::string& error)
{
    arguments.insert(arguments.begin(), "pnp-server");
    return Pnp::ParseServerOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
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
