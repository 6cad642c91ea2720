// Tests of the provisioning server's SIP side: SUBSCRIBEs sent over loopback
// UDP to a running server, and the messages built for them.
#include "pnp_server/sip_endpoint.h"

#include <gtest/gtest.h>

#include <map>

#include "pnp_server/pnp_test_support.h"
#include "pnp_server/sip_answers.h"
#include "sip/sip_message.h"

using PnpTest::RunningServer;

namespace {

const std::string DEVICE_AOR = "<sip:MAC%3a001122aabbcc@224.0.1.75>;tag=";

// A UDP socket on 127.0.0.1 standing for the device's presence user agent.
class Device {
public:
    Device() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), mAddress(PnpTest::Loopback(0))
    {
        socklen_t length = sizeof(mAddress);
        bind(mFd, reinterpret_cast<sockaddr*>(&mAddress), length);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddress), &length);
    }
    ~Device() { close(mFd); }
    uint16_t Port() const { return ntohs(mAddress.sin_port); }

    void SendTo(uint16_t port, const std::string& bytes)
    {
        sockaddr_in to = PnpTest::Loopback(port);
        ASSERT_EQ(sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next datagram within timeoutMs, parsed; false when none came.
    bool Receive(Sip::SipMessage& message, int timeoutMs = 3000)
    {
        if (!PnpTest::WaitReadable(mFd, timeoutMs))
            return false;
        char buffer[65536];
        ssize_t got = recv(mFd, buffer, sizeof(buffer), 0);
        return got > 0 && Sip::ParseMessage(buffer, static_cast<size_t>(got), message);
    }

private:
    int mFd;
    sockaddr_in mAddress;
};

// The device's SUBSCRIBE from 127.0.0.1:port; viaEnd follows the Via's branch.
std::string Subscribe(uint16_t port, const std::string& viaEnd = ";rport",
                      const std::string& user = "MAC%3a001122aabbcc")
{
    const std::string from = "127.0.0.1:" + std::to_string(port);
    return "SUBSCRIBE sip:" + user + "@224.0.1.75 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP " + from + ";branch=z9hG4bK776asdhds" + viaEnd + "\r\n"
           "From: " + DEVICE_AOR + "1928301774\r\nTo: <sip:MAC%3a001122aabbcc@224.0.1.75>\r\n"
           "Call-ID: a84b4c76e66710@127.0.0.1\r\nCSeq: 314159 SUBSCRIBE\r\n"
           "Contact: <sip:MAC%3a001122aabbcc@" + from + ">\r\n"
           "Event: ua-profile;profile-type=device;vendor=Tovix;model=zentro-fxs;version=2.1.7\r\n"
           "Accept: application/url\r\nExpires: 600\r\nContent-Length: 0\r\n\r\n";
}

std::string Value(const Sip::SipMessage& message, const std::string& name)
{
    const std::string* value = message.Header(name);
    return value != nullptr ? *value : std::string("<absent>");
}

void ExpectHeaders(const Sip::SipMessage& message, const std::map<std::string, std::string>& expected)
{
    for (const auto& [name, value] : expected)
        EXPECT_EQ(Value(message, name), value) << name;
}

// The 200 OK a device sends for a NOTIFY.
std::string NotifyOk(const Sip::SipMessage& notify)
{
    std::string ok = "SIP/2.0 200 OK\r\n";
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
        ok += std::string(name) + ": " + Value(notify, name) + "\r\n";
    return ok + "Content-Length: 0\r\n\r\n";
}

// Whether the server's log holds text; the log is shown when not.
::testing::AssertionResult Logged(const RunningServer& server, const std::string& text)
{
    const std::string log = server.LogText();
    if (log.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" not in the log:\n" << log;
}

class SipEndpointTest : public ::testing::Test {
protected:
    PnpTest::TempDir mDir;
    Pnp::ServerOptions mOptions = PnpTest::LoopbackOptions(mDir.Path());
    Device mDevice;
    Sip::SipMessage mAnswer;
};

}  // namespace

TEST_F(SipEndpointTest, GarbageIsDroppedAndASubscribeGetsOkThenANotifyWithTheTemplatedUrl)
{
    RunningServer server(mOptions);
    const std::string port = std::to_string(mDevice.Port());
    std::string badEvent = Subscribe(mDevice.Port());
    badEvent.replace(badEvent.find("Event: ua-profile"), 17, "Event: presence");
    const std::string garbage[] = {
        std::string("\0\xff\x01garbage", 10), "SUBSCRIBE\r\n\r\n", Subscribe(mDevice.Port()).substr(0, 120),
        "SIP/2.0 200 OK\r\nCall-ID: x\r\nCSeq: 1 NOTIFY\r\nContent-Length: 0\r\n\r\n",   // no NOTIFY of ours
        std::string(65000, 'x'),
        badEvent, Subscribe(mDevice.Port(), ";rport", "alice"),   // answered 489 and 404, with no NOTIFY
    };
    for (const std::string& bytes : garbage)
        mDevice.SendTo(server.SipPort(), bytes);
    for (int status : {489, 404}) {
        ASSERT_TRUE(mDevice.Receive(mAnswer)) << server.LogText();
        EXPECT_EQ(mAnswer.statusCode, status);
    }
    EXPECT_TRUE(Logged(server, "malformed datagram"));

    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
    Sip::SipMessage ok, notify;
    ASSERT_TRUE(mDevice.Receive(ok) && mDevice.Receive(notify)) << server.LogText();
    EXPECT_EQ(ok.statusCode, 200);
    const std::string ourTag = Pnp::TagOf(Value(ok, "To"));
    EXPECT_FALSE(ourTag.empty());
    const std::string via = "SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bK776asdhds";
    ExpectHeaders(ok, {{"Via", via + ";received=127.0.0.1;rport=" + port},
                       {"From", DEVICE_AOR + "1928301774"}, {"Call-ID", "a84b4c76e66710@127.0.0.1"},
                       {"CSeq", "314159 SUBSCRIBE"}, {"Expires", "600"},
                       {"Contact", "<sip:pnp-server@127.0.0.1:" + std::to_string(server.SipPort()) + ">"}});
    EXPECT_EQ(notify.method, "NOTIFY");
    EXPECT_EQ(notify.requestUri, "sip:MAC%3a001122aabbcc@127.0.0.1:" + port);
    EXPECT_EQ(notify.body, "http://127.0.0.1:" + std::to_string(server.HttpPort()) + "/cfg/001122aabbcc.xml");
    ExpectHeaders(notify, {{"From", DEVICE_AOR + ourTag}, {"To", DEVICE_AOR + "1928301774"},
                           {"Call-ID", "a84b4c76e66710@127.0.0.1"}, {"Event", "ua-profile"},
                           {"Subscription-State", "active;expires=600"},
                           {"Content-Type", "application/url"}});
    EXPECT_TRUE(Logged(server, " SIP from 127.0.0.1:" + port + " ("));
    EXPECT_TRUE(Logged(server, "    | SUBSCRIBE sip:MAC%3a001122aabbcc@224.0.1.75 SIP/2.0\n"));

    // From another socket, without rport and with a host name as Contact: the answer follows the
    // Via, the NOTIFY goes to the From URI at the source.
    Device sender;
    std::string other = Subscribe(mDevice.Port(), "");
    other.replace(other.rfind("@127.0.0.1"), 10, "@gateway.lan");
    sender.SendTo(server.SipPort(), other);
    ok.isRequest = true;
    for (int i = 0; i < 5 && ok.isRequest; ++i)   // past retransmissions of the first NOTIFY
        ASSERT_TRUE(mDevice.Receive(ok));
    EXPECT_EQ(Value(ok, "Via"), via + ";received=127.0.0.1");
    ASSERT_TRUE(sender.Receive(notify));
    EXPECT_EQ(notify.requestUri, "sip:MAC%3a001122aabbcc@224.0.1.75");
}

TEST_F(SipEndpointTest, RejectingOrSilentServerSendsNoNotify)
{
    const std::pair<int, const char*> cases[] = {{403, "    | SIP/2.0 403 Forbidden\n"},
                                                 {0, "left unanswered (silent)"}};
    for (const auto& [rejectCode, logged] : cases) {
        mOptions.sip.rejectCode = rejectCode;
        mOptions.sip.silent = rejectCode == 0;
        RunningServer server(mOptions);
        mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
        if (rejectCode != 0) {
            ASSERT_TRUE(mDevice.Receive(mAnswer));
            EXPECT_EQ(mAnswer.statusCode, rejectCode);
        }
        EXPECT_FALSE(mDevice.Receive(mAnswer, 300));
        EXPECT_TRUE(Logged(server, logged));
    }
}

TEST_F(SipEndpointTest, NotifyIsRetransmittedUntilAnsweredAndGivenUpAfterTimerF)
{
    mOptions.sip.t1Ms = 100;
    mOptions.sip.timerFMs = 2000;
    {
        RunningServer server(mOptions);
        mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
        ASSERT_TRUE(mDevice.Receive(mAnswer) && mDevice.Receive(mAnswer));   // 200 OK, NOTIFY
        const auto start = std::chrono::steady_clock::now();
        const std::string first = Sip::Serialize(mAnswer);
        ASSERT_TRUE(mDevice.Receive(mAnswer, 1000));
        // Not before T1 (100 ms), less the time this side took to read the first one under emulation.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
        EXPECT_EQ(Sip::Serialize(mAnswer), first);   // same transaction: same branch and CSeq
        ASSERT_TRUE(mDevice.Receive(mAnswer, 1000));
        mDevice.SendTo(server.SipPort(), NotifyOk(mAnswer));
        // Nothing after the answer (the next interval would be 400 ms).
        EXPECT_FALSE(mDevice.Receive(mAnswer, 700) && mAnswer.isRequest) << Sip::Serialize(mAnswer);
        EXPECT_TRUE(Logged(server, "answered 200 OK after 3 send(s)"));
    }
    mOptions.sip.timerFMs = 350;
    RunningServer server(mOptions);
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
    int received = 0;
    while (received < 20 && mDevice.Receive(mAnswer, 800))
        ++received;
    EXPECT_EQ(received, 4);   // 200 OK, then NOTIFY at 0, 100 and 300 ms; none after 350 ms
    EXPECT_TRUE(Logged(server, "unanswered after 3 send(s): given up"));
}

TEST(SipAnswersTest, MacTemplateAndTargets)
{
    std::string mac;
    EXPECT_TRUE(Pnp::ExtractMac("SIP:mac:001122AABBCC@224.0.1.75;transport=udp", mac));
    EXPECT_EQ(mac, "001122AABBCC");   // kept as written
    for (const char* bad : {"sip:MAC%3a0011@h", "sip:MAC%3a001122aabbcg@h", "sip:001122aabbcc@h",
                            "sip:MAC%3a001122aabbcc", "tel:MAC:001122aabbcc@h", "sip:MAC:../../etc/pa@h"})
        EXPECT_FALSE(Pnp::ExtractMac(bad, mac)) << bad;
    EXPECT_EQ(Pnp::ExpandUrlTemplate("{host}:{port}/{mac}?{mac}", "0a0b0c0d0e0f", "10.0.0.1", 8080),
              "10.0.0.1:8080/0a0b0c0d0e0f?0a0b0c0d0e0f");

    // A Contact with an IPv4 host and no port gets the NOTIFY at port 5060.
    Sip::SipMessage subscribe;
    subscribe.AddHeader("Contact", "<sip:dev@10.9.8.7;transport=udp>");
    std::string uri;
    Pnp::Ipv4Endpoint source, target;
    Pnp::NotifyTarget(subscribe, source, uri, target);
    EXPECT_EQ(uri + " " + target.ToString(), "sip:dev@10.9.8.7;transport=udp 10.9.8.7:5060");
}
