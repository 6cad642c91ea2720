// Escaping, the firmware version, sockets; SUBSCRIBE bytes are checked in presence_agent_test
// and the tokens' uniqueness, which is GenerateUniqueNumber's, in platform/utility/utility_test.
#include "presence_agent/sip_dialog.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "presence_agent/sip_socket.h"
#include "sip/sip_text.h"
#include "testing/sip_test_peer.h"
#include "testing/test_support.h"

namespace {

TEST(SipDialog, EscapingAndFirmwareVersion)
{
    EXPECT_EQ("a%40b%20c%25;x=1", EscapeSipUser("a@b c%;x=1"));

    // The "Version" entry, trimmed, or "unknown"; quoted in the Event header with its own quotes escaped.
    testing_support::TempDir dir;
    testing_support::WriteFile(dir.File("version.txt"), "# build\nBuild: 7\nVersion:  FXS 5.1.3 \n");
    testing_support::WriteFile(dir.File("no-entry.txt"), "Build: 7\n");
    EXPECT_EQ("FXS 5.1.3", ReadFirmwareVersion(dir.File("version.txt").c_str()));
    EXPECT_EQ("unknown", ReadFirmwareVersion(dir.File("no-entry.txt").c_str()));
    EXPECT_EQ("unknown", ReadFirmwareVersion(dir.File("missing.txt").c_str()));
    EXPECT_EQ("ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";"
              "version=\"5.1 \\\"b\\\"\"", SubscribeWriter("5.1 \"b\"").EventHeader());

}

TEST(SipSocket, BindFallBacks)
{
    SipSocket bound, elsewhere, moved;
    ASSERT_TRUE(bound.Open("127.0.0.1", 0));
    EXPECT_EQ("127.0.0.1", Sip::HostText(bound.LocalAddress().sin_addr));
    // 192.0.2.1 (documentation range) is on no interface: no socket, and errno says so, never any address.
    EXPECT_FALSE(elsewhere.Open("192.0.2.1", 0));
    EXPECT_EQ(EADDRNOTAVAIL, errno);
    // A port held by a socket without SO_REUSEADDR cannot be shared: the fall-back ends on a free port.
    sip_test::SipTestPeer holder("0.0.0.0");
    ASSERT_TRUE(moved.Open("127.0.0.1", holder.Port()));
    EXPECT_EQ("127.0.0.1", Sip::HostText(moved.LocalAddress().sin_addr));
    EXPECT_NE(holder.Port(), ntohs(moved.LocalAddress().sin_port));
}

}  // namespace
