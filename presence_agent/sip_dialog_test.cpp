// URIs, the SUBSCRIBE and response writers, the firmware version, the socket helpers.
#include "presence_agent/sip_dialog.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "platform/config_file.h"
#include "presence_agent/sip_socket.h"
#include "testing/test_support.h"

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

TEST(SipUri, UserNameIsEscapedAndPort5060Omitted)
{
    EXPECT_EQ("MAC%3a0011aabbccdd", EscapeSipUser("MAC:0011aabbccdd"));
    EXPECT_EQ("a%40b%20c%25;x=1", EscapeSipUser("a@b c%;x=1"));
    EXPECT_EQ("sip:MAC%3a0011aabbccdd@224.0.1.75", MakeSipUri("MAC:0011aabbccdd", "224.0.1.75", 5060));
    EXPECT_EQ("sip:u@10.0.0.1:5070", MakeSipUri("u", "10.0.0.1", 5070));
}

TEST(SipUri, TokensAreFreshAndHex)
{
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string token = RandomToken();
        EXPECT_EQ(16u, token.size());
        EXPECT_EQ(std::string::npos, token.find_first_not_of("0123456789abcdef"));
        seen.insert(token);
    }
    EXPECT_EQ(100u, seen.size());
}

TEST(FirmwareVersion, FromTheVersionEntryOrUnknown)
{
    TempDir dir;
    WriteFile(dir.File("version.txt"), "# build\nBuild: 7\nVersion:  FXS 5.1.3 \n");
    EXPECT_EQ("FXS 5.1.3", ReadFirmwareVersion(dir.File("version.txt").c_str()));
    WriteFile(dir.File("empty.txt"), "Build: 7\n");
    EXPECT_EQ("unknown", ReadFirmwareVersion(dir.File("empty.txt").c_str()));
    EXPECT_EQ("unknown", ReadFirmwareVersion(dir.File("missing.txt").c_str()));
    // The redirect seam of the configuration-file library is honoured.
    Configuration::ScopedPathRedirect redirect("/etc/version.txt", dir.File("version.txt"));
    EXPECT_EQ("FXS 5.1.3", ReadFirmwareVersion("/etc/version.txt"));
}

TEST(SubscribeWriter, EveryHeaderInOrder)
{
    SipDialog dialog;
    dialog.user = "MAC:0011aabbccdd";
    dialog.localUri = "sip:MAC%3a0011aabbccdd@10.0.0.2";
    dialog.remoteUri = "sip:MAC%3a0011aabbccdd@224.0.1.75";
    dialog.requestUri = dialog.remoteUri;
    dialog.callId = "c@10.0.0.2";
    dialog.localTag = "lt";
    dialog.cseq = 1;
    SubscribeWriter writer("5.1 \"beta\"");
    std::string branch;
    const Sip::SipMessage request = writer.Subscribe(dialog, "10.0.0.2", 5060, 3600, &branch);
    EXPECT_EQ(0u, branch.find("z9hG4bK"));
    EXPECT_EQ("SUBSCRIBE sip:MAC%3a0011aabbccdd@224.0.1.75 SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 10.0.0.2:5060;branch=" + branch + ";rport\r\n"
              "Max-Forwards: 70\r\n"
              "From: <sip:MAC%3a0011aabbccdd@10.0.0.2>;tag=lt\r\n"
              "To: <sip:MAC%3a0011aabbccdd@224.0.1.75>\r\n"
              "Call-ID: c@10.0.0.2\r\n"
              "CSeq: 1 SUBSCRIBE\r\n"
              "Contact: <sip:MAC%3a0011aabbccdd@10.0.0.2:5060>\r\n"
              "Event: ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";"
              "version=\"5.1 \\\"beta\\\"\"\r\n"
              "Expires: 3600\r\n"
              "Accept: application/url\r\n"
              "Content-Length: 0\r\n\r\n",
              Sip::Serialize(request));

    // In dialog: the remote tag joins To, and each request has its own branch.
    dialog.remoteTag = "rt";
    dialog.cseq = 2;
    std::string second;
    const Sip::SipMessage end = writer.Subscribe(dialog, "10.0.0.2", 5060, 0, &second);
    EXPECT_EQ("<sip:MAC%3a0011aabbccdd@224.0.1.75>;tag=rt", *end.Header("To"));
    EXPECT_EQ("2 SUBSCRIBE", *end.Header("CSeq"));
    EXPECT_EQ("0", *end.Header("Expires"));
    EXPECT_NE(branch, second);
}

TEST(MakeResponse, CopiesTheDialogHeadersAndTagsTo)
{
    Sip::SipMessage notify;
    notify.isRequest = true;
    notify.method = "NOTIFY";
    notify.AddHeader("v", "SIP/2.0/UDP a;branch=z9hG4bK1");
    notify.AddHeader("Via", "SIP/2.0/UDP b;branch=z9hG4bK2");
    notify.AddHeader("f", "<sip:s@h>;tag=9");
    notify.AddHeader("t", "<sip:u@h>");
    notify.AddHeader("i", "id");
    notify.AddHeader("CSeq", "4 NOTIFY");
    notify.AddHeader("Content-Type", "application/url");
    notify.body = "http://x";
    const Sip::SipMessage response = MakeResponse(notify, 481, "new");
    EXPECT_EQ("SIP/2.0 481 Call/Transaction Does Not Exist\r\n"
              "Via: SIP/2.0/UDP a;branch=z9hG4bK1\r\n"
              "Via: SIP/2.0/UDP b;branch=z9hG4bK2\r\n"
              "From: <sip:s@h>;tag=9\r\n"
              "To: <sip:u@h>;tag=new\r\n"
              "Call-ID: id\r\n"
              "CSeq: 4 NOTIFY\r\n"
              "Content-Length: 0\r\n\r\n",
              Sip::Serialize(response));
}

TEST(SipSocketHelpers, AddressesAndPorts)
{
    in_addr address;
    EXPECT_TRUE(ParseIpv4("224.0.1.75", address));
    EXPECT_EQ("224.0.1.75", HostText(address));
    EXPECT_FALSE(ParseIpv4("", address));
    EXPECT_FALSE(ParseIpv4("host.example", address));
    EXPECT_FALSE(ParseIpv4("1.2.3", address));
    uint16_t port = 0;
    EXPECT_TRUE(ParsePort("", false, port));
    EXPECT_EQ(5060, port);
    EXPECT_TRUE(ParsePort("65535", false, port));
    EXPECT_EQ(65535, port);
    EXPECT_FALSE(ParsePort("65536", false, port));
    EXPECT_FALSE(ParsePort("0", false, port));
    EXPECT_TRUE(ParsePort("0", true, port));
    EXPECT_FALSE(ParsePort("50 60", true, port));
    EXPECT_FALSE(ParsePort("-1", true, port));
}

TEST(SipSocket, BindFallsBackWhenTheAddressIsNotOurs)
{
    SipSocket bound;
    ASSERT_TRUE(bound.Open("127.0.0.1", 0));
    EXPECT_EQ("127.0.0.1", HostText(bound.LocalAddress().sin_addr));
    EXPECT_NE(0, bound.LocalAddress().sin_port);

    // 192.0.2.1 (documentation range) is on no interface here.
    SipSocket fallback;
    ASSERT_TRUE(fallback.Open("192.0.2.1", 0));
    EXPECT_EQ("0.0.0.0", HostText(fallback.LocalAddress().sin_addr));
    sockaddr_in loopback = bound.LocalAddress();
    EXPECT_EQ("127.0.0.1", fallback.AdvertisedAddress(loopback));

    // The port of a socket without SO_REUSEADDR cannot be shared: the
    // fall-back ends on a free port.
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
    socklen_t length = sizeof(any);
    ASSERT_EQ(0, getsockname(holder, reinterpret_cast<sockaddr*>(&any), &length));
    SipSocket moved;
    ASSERT_TRUE(moved.Open("127.0.0.1", ntohs(any.sin_port)));
    EXPECT_NE(any.sin_port, moved.LocalAddress().sin_port);
    close(holder);
}

}  // namespace
