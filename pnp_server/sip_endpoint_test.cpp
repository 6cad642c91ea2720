// Tests of the provisioning server's SIP side: SUBSCRIBEs sent over loopback
// UDP to a running server, and the messages built for them.
#include "pnp_server/sip_endpoint.h"

#include <gtest/gtest.h>

#include <map>

#include "testing/pnp_test_support.h"
#include "pnp_server/sip_answers.h"
#include "sip/sip_message.h"
#include "testing/sip_test_peer.h"

using PnpTest::RunningServer;

namespace {

const std::string DEVICE_AOR = "<sip:MAC%3a001122aabbcc@224.0.1.75>;tag=";

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

// The device's answer to a NOTIFY: status line text and extra header lines.
std::string NotifyAnswer(const Sip::SipMessage& notify, const std::string& status = "200 OK",
                         const std::string& extra = "")
{
    std::string answer = "SIP/2.0 " + status + "\r\n";
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
        answer += std::string(name) + ": " + Value(notify, name) + "\r\n";
    return answer + extra + "Content-Length: 0\r\n\r\n";
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class SipEndpointTest : public ::testing::Test {
protected:
    PnpTest::TempDir mDir;
    Pnp::ServerOptions mOptions = PnpTest::LoopbackOptions(mDir.Path());
    sip_test::SipTestPeer mDevice;
    Sip::SipMessage mAnswer;
};

}  // namespace

// The SIP and SUBSCRIBE log lines, the 403 and silent modes, and the NOTIFY's Call-ID, To, Content-Type
// and URL with a given HTTP address are checked with the real agent by the scripts in e2e/.
TEST_F(SipEndpointTest, GarbageIsDroppedAndASubscribeGetsOkThenANotifyInItsDialog)
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
        EXPECT_TRUE(mDevice.SendTo(bytes, server.SipPort()));
    for (int status : {489, 404}) {
        ASSERT_TRUE(mDevice.Receive(mAnswer)) << server.LogText();
        EXPECT_EQ(mAnswer.statusCode, status);
    }

    ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port()), server.SipPort()));
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
    EXPECT_EQ(notify.requestUri, "sip:MAC%3a001122aabbcc@127.0.0.1:" + port);
    ExpectHeaders(notify, {{"From", DEVICE_AOR + ourTag}, {"Event", "ua-profile"},
                           {"Subscription-State", "active;expires=600"}});

    // A retransmission of the SUBSCRIBE gets the same answer again, and no NOTIFY of a second dialog.
    ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port()), server.SipPort()));
    Sip::SipMessage again = notify;
    for (int i = 0; i < 5 && again.isRequest; ++i) {
        ASSERT_TRUE(mDevice.Receive(again)) << server.LogText();
        EXPECT_TRUE(!again.isRequest || Sip::Serialize(again) == Sip::Serialize(notify));
    }
    EXPECT_EQ(Sip::Serialize(again), Sip::Serialize(ok));

    // From another socket, a new transaction without rport and with a host name as Contact: the answer
    // follows the Via, the NOTIFY goes to the From URI at the source.
    sip_test::SipTestPeer sender;
    std::string other = Subscribe(mDevice.Port(), "2");
    other.replace(other.rfind("@127.0.0.1"), 10, "@gateway.lan");
    ASSERT_TRUE(sender.SendTo(other, server.SipPort()));
    ok.isRequest = true;
    for (int i = 0; i < 5 && ok.isRequest; ++i)   // past retransmissions of the first NOTIFY
        ASSERT_TRUE(mDevice.Receive(ok));
    EXPECT_EQ(Value(ok, "Via"), via + "2;received=127.0.0.1");
    ASSERT_TRUE(sender.Receive(notify));
    EXPECT_EQ(notify.requestUri, "sip:MAC%3a001122aabbcc@224.0.1.75");
    // Written out by now: the server has waited for its retransmission times since.
    EXPECT_NE(server.LogText().find("malformed datagram"), std::string::npos) << server.LogText();
}

TEST_F(SipEndpointTest, NotifyIsRetransmittedUntilAnsweredAndGivenUpAfterTimerF)
{
    mOptions.sip.t1Ms = 100;
    mOptions.sip.timerFMs = 2000;
    {
        RunningServer server(mOptions);
        ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port()), server.SipPort()));
        ASSERT_TRUE(mDevice.Receive(mAnswer) && mDevice.Receive(mAnswer));   // 200 OK, NOTIFY
        const auto start = std::chrono::steady_clock::now();
        const std::string first = Sip::Serialize(mAnswer);
        ASSERT_TRUE(mDevice.Receive(mAnswer, 1000));
        // Not before T1 (100 ms), less the time this side took to read the first one under emulation.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
        EXPECT_EQ(Sip::Serialize(mAnswer), first);   // same transaction: same branch and CSeq
        ASSERT_TRUE(mDevice.Receive(mAnswer, 1000));
        ASSERT_TRUE(mDevice.SendTo(NotifyAnswer(mAnswer), server.SipPort()));
        // Nothing after the answer (the next interval would be 400 ms).
        EXPECT_FALSE(mDevice.Receive(mAnswer, 700) && mAnswer.isRequest) << Sip::Serialize(mAnswer);
        const std::string log = server.LogText();
        EXPECT_NE(log.find("answered 200 OK after 3 send(s)"), std::string::npos) << log;
    }
    mOptions.sip.timerFMs = 350;
    RunningServer server(mOptions);
    ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port()), server.SipPort()));
    int received = 0;
    while (received < 20 && mDevice.Receive(mAnswer, 800))
        ++received;
    EXPECT_EQ(received, 4);   // 200 OK, then NOTIFY at 0, 100 and 300 ms; none after 350 ms
    const std::string log = server.LogText();
    EXPECT_NE(log.find("unanswered after 3 send(s): given up"), std::string::npos) << log;
}

TEST_F(SipEndpointTest, NotifyRefusedBusyIsSentAnewInItsDialogAfterRetryAfterAtMostFiveTimes)
{
    RunningServer server(mOptions);
    ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port()), server.SipPort()));
    Sip::SipMessage first, second;
    ASSERT_TRUE(mDevice.Receive(mAnswer) && mDevice.Receive(first)) << server.LogText();   // 200 OK, NOTIFY
    ASSERT_EQ(Value(first, "CSeq"), "1 NOTIFY");
    const auto refused = std::chrono::steady_clock::now();
    const std::string busy = NotifyAnswer(first, "503 Service Unavailable", "Retry-After: 1\r\n");
    // The second one stands for the answer to a retransmission: it schedules nothing more.
    ASSERT_TRUE(mDevice.SendTo(busy, server.SipPort()) && mDevice.SendTo(busy, server.SipPort()));
    ASSERT_TRUE(mDevice.Receive(second, 5000)) << server.LogText();
    EXPECT_GE(std::chrono::steady_clock::now() - refused, std::chrono::seconds(1));
    ASSERT_TRUE(second.isRequest);
    ExpectHeaders(second, {{"CSeq", "2 NOTIFY"}, {"Call-ID", Value(first, "Call-ID")}, {"From", Value(first, "From")},
                           {"To", Value(first, "To")}});
    EXPECT_NE(Value(second, "Via"), Value(first, "Via"));   // a new branch
    EXPECT_EQ(second.body, first.body);
    ASSERT_TRUE(mDevice.SendTo(NotifyAnswer(second), server.SipPort()));
    EXPECT_FALSE(mDevice.Receive(mAnswer, 700)) << Sip::Serialize(mAnswer);   // T1 is 500 ms
    std::string log = server.LogText();
    for (const char* line : {" SIP NOTIFY 1 answered 503 Service Unavailable after 1 send(s)\n",
                             " SIP NOTIFY 1 to be sent anew in 1 s (attempt 2 of 5)\n",
                             " SIP NOTIFY 1 sent anew as NOTIFY 2\n", " SIP NOTIFY 2 answered 200 OK after 1 send(s)\n"})
        EXPECT_EQ(Count(log, line), 1u) << line << log;

    // Refused every time, with Retry-After: 0: five NOTIFYs in all, with rising CSeqs.
    ASSERT_TRUE(mDevice.SendTo(Subscribe(mDevice.Port(), "2;rport"), server.SipPort()));
    std::vector<unsigned long> cseqs;
    for (int i = 0; i < 20 && mDevice.Receive(mAnswer, 1000); ++i) {
        unsigned long cseq = 0;
        std::string method;
        if (!mAnswer.isRequest || !Sip::ParseCSeq(Value(mAnswer, "CSeq"), cseq, method))
            continue;
        if (cseqs.empty() || cseq != cseqs.back())   // not a retransmission
            cseqs.push_back(cseq);
        ASSERT_TRUE(mDevice.SendTo(NotifyAnswer(mAnswer, "503 Service Unavailable", "Retry-After: 0\r\n"),
                                   server.SipPort()));
    }
    EXPECT_EQ(cseqs, (std::vector<unsigned long>{3, 4, 5, 6, 7}));
    log = server.LogText();
    EXPECT_EQ(Count(log, " SIP NOTIFY 7 to 127.0.0.1:" + std::to_string(mDevice.Port()) +
                             " refused in 5 attempts: given up\n"), 1u) << log;
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
