// URIs, the SUBSCRIBE and response writers, the firmware version, the socket helpers.
#include "presence_agent/sip_dialog.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "presence_agent/sip_socket.h"
#include "testing/test_support.h"

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

TEST(SipUri, UserNameIsEscapedPort5060OmittedTokensFresh)
{
    EXPECT_EQ("MAC%3a0011aabbccdd", EscapeSipUser("MAC:0011aabbccdd"));
    EXPECT_EQ("a%40b%20c%25;x=1", EscapeSipUser("a@b c%;x=1"));
    EXPECT_EQ("sip:MAC%3a0011aabbccdd@224.0.1.75", MakeSipUri("MAC:0011aabbccdd", "224.0.1.75", 5060));
    EXPECT_EQ("sip:u@10.0.0.1:5070", MakeSipUri("u", "10.0.0.1", 5070));

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
}

TEST(SubscribeWriter, EveryHeaderInOrder)
{
    SipDialog dialog = {"MAC:0011aabbccdd", "sip:MAC%3a0011aabbccdd@10.0.0.2", "sip:MAC%3a0011aabbccdd@224.0.1.75",
                        "sip:MAC%3a0011aabbccdd@224.0.1.75", "c@10.0.0.2", "lt", "", 1};
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
    // In-dialog requests (remote tag, next CSeq, fresh branch) are checked through the agent.
}

TEST(MakeResponse, CopiesTheDialogHeadersAndTagsTo)
{
    const std::string text = "NOTIFY sip:u@h SIP/2.0\r\nv: SIP/2.0/UDP a;branch=z9hG4bK1\r\n"
                             "Via: SIP/2.0/UDP b;branch=z9hG4bK2\r\nf: <sip:s@h>;tag=9\r\nt: <sip:u@h>\r\ni: id\r\n"
                             "CSeq: 4 NOTIFY\r\nContent-Type: application/url\r\n\r\nhttp://x";
    Sip::SipMessage notify;
    ASSERT_TRUE(Sip::ParseMessage(text.data(), text.size(), notify));
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
    for (const char* bad : {"", "host.example", "1.2.3"})
        EXPECT_FALSE(ParseIpv4(bad, address)) << bad;
    uint16_t port = 0;
    EXPECT_TRUE(ParsePort("", false, port) && port == 5060);
    EXPECT_TRUE(ParsePort("65535", false, port) && port == 65535);
    EXPECT_TRUE(ParsePort("0", true, port) && port == 0);
    for (const char* bad : {"65536", "0", "50 60", "-1"})
        EXPECT_FALSE(ParsePort(bad, false, port)) << bad;
    for (const char* bad : {"65536", "50 60", "-1"})
        EXPECT_FALSE(ParsePort(bad, true, port)) << bad;
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
    sockaddr_in any = {};
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
