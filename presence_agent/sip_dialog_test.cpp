// Escaping, the firmware version, responses, sockets; SUBSCRIBE bytes are checked in presence_agent_test
// and the tokens' uniqueness, which is GenerateUniqueNumber's, in platform/utility_test.
#include "presence_agent/sip_dialog.h"

#include <gtest/gtest.h>

#include "presence_agent/sip_socket.h"
#include "testing/sip_test_peer.h"
#include "testing/test_support.h"

namespace {

TEST(SipDialog, EscapingFirmwareVersionAndResponses)
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

    // A response copies every Via in order, From, To, Call-ID and CSeq, and tags a To that has no tag.
    const std::string text = "NOTIFY sip:u@h SIP/2.0\r\nv: SIP/2.0/UDP a\r\nVia: SIP/2.0/UDP b\r\n"
                             "f: <sip:s@h>;tag=9\r\nt: <sip:u@h>\r\ni: id\r\nCSeq: 4 NOTIFY\r\nl: 1\r\n\r\nx";
    Sip::SipMessage notify;
    ASSERT_TRUE(Sip::ParseMessage(text.data(), text.size(), notify));
    EXPECT_EQ("SIP/2.0 481 Call/Transaction Does Not Exist\r\nVia: SIP/2.0/UDP a\r\n"
              "Via: SIP/2.0/UDP b\r\nFrom: <sip:s@h>;tag=9\r\nTo: <sip:u@h>;tag=new\r\nCall-ID: id\r\n"
              "CSeq: 4 NOTIFY\r\nContent-Length: 0\r\n\r\n",
              Sip::Serialize(MakeResponse(notify, 481, "new")));
}

TEST(SipSocket, PortsAndTheBindFallBacks)
{
    uint16_t port = 0;
    EXPECT_TRUE(ParsePort("", false, port) && port == 5060);
    EXPECT_TRUE(ParsePort("65535", false, port) && port == 65535);
    EXPECT_TRUE(ParsePort("0", true, port) && port == 0);
    for (const char* bad : {"65536", "0", "50 60", "-1"})
        EXPECT_FALSE(ParsePort(bad, false, port)) << bad;

    SipSocket bound, fallback, moved;
    ASSERT_TRUE(bound.Open("127.0.0.1", 0));
    EXPECT_EQ("127.0.0.1", HostText(bound.LocalAddress().sin_addr));
    // 192.0.2.1 (documentation range) is on no interface: bound to any, advertised as the route's source.
    ASSERT_TRUE(fallback.Open("192.0.2.1", 0));
    EXPECT_EQ("0.0.0.0", HostText(fallback.LocalAddress().sin_addr));
    EXPECT_EQ("127.0.0.1", fallback.AdvertisedAddress(bound.LocalAddress()));
    // A port held by a socket without SO_REUSEADDR cannot be shared: the fall-back ends on a free port.
    sip_test::SipTestPeer holder("0.0.0.0");
    ASSERT_TRUE(moved.Open("127.0.0.1", holder.Port()));
    EXPECT_NE(holder.Port(), ntohs(moved.LocalAddress().sin_port));
}

}  // namespace
