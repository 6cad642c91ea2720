// Tests of the provisioning server's SIP side: SUBSCRIBEs sent over loopback
// UDP to a running server, and the messages built for them.
#include "pnp_server/sip_endpoint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pnp_server/pnp_test_support.h"
#include "pnp_server/sip_answers.h"
#include "sip/sip_message.h"

using PnpTest::RunningServer;

namespace {

const char* MAC = "001122aabbcc";

// A UDP socket on 127.0.0.1 standing for the device's presence user agent.
class Device {
public:
    Device() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = PnpTest::Loopback(0);
        bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &length);
        mPort = ntohs(address.sin_port);
    }
    ~Device() { close(mFd); }
    uint16_t Port() const { return mPort; }

    void SendTo(uint16_t port, const std::string& bytes)
    {
        sockaddr_in address = PnpTest::Loopback(port);
        ASSERT_EQ(sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next datagram within timeoutMs, parsed; false when none came.
    bool Receive(Sip::SipMessage& message, int timeoutMs = 3000)
    {
        if (!PnpTest::WaitReadable(mFd, timeoutMs))
            return false;
        char buffer[65536];
        ssize_t got = recv(mFd, buffer, sizeof(buffer), 0);
        mLast.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        return got > 0 && Sip::ParseMessage(buffer, static_cast<size_t>(got), message);
    }
    const std::string& LastBytes() const { return mLast; }

private:
    int mFd;
    uint16_t mPort;
    std::string mLast;
};

std::string Subscribe(uint16_t devicePort, bool rport = true, const std::string& user = std::string("MAC%3a") + MAC)
{
    std::string port = std::to_string(devicePort);
    return "SUBSCRIBE sip:" + user + "@224.0.1.75 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bK776asdhds" + (rport ? ";rport" : "") + "\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:MAC%3a" + MAC + "@224.0.1.75>;tag=1928301774\r\n"
           "To: <sip:MAC%3a" + MAC + "@224.0.1.75>\r\n"
           "Call-ID: a84b4c76e66710@127.0.0.1\r\n"
           "CSeq: 314159 SUBSCRIBE\r\n"
           "Contact: <sip:MAC%3a" + MAC + "@127.0.0.1:" + port + ">\r\n"
           "Event: ua-profile;profile-type=device;vendor=Tovix;model=zentro-fxs;version=2.1.7\r\n"
           "Accept: application/url\r\n"
           "Expires: 600\r\n"
           "Content-Length: 0\r\n\r\n";
}

std::string Value(const Sip::SipMessage& message, const char* name)
{
    const std::string* value = message.Header(name);
    return value != nullptr ? *value : std::string("<absent>");
}

// The 200 OK a device sends for a NOTIFY.
std::string NotifyOk(const Sip::SipMessage& notify)
{
    Sip::SipMessage ok;
    ok.statusCode = 200;
    ok.reason = "OK";
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
        ok.AddHeader(name, Value(notify, name));
    return Sip::Serialize(ok);
}

class SipEndpointTest : public ::testing::Test {
protected:
    SipEndpointTest() : mOptions(PnpTest::LoopbackOptions(mDir.Path()))
    {
        mkdir((mDir.Path() + "/root").c_str(), 0755);
    }

    PnpTest::TempDir mDir;
    Pnp::ServerOptions mOptions;
    Device mDevice;
};

}  // namespace

TEST_F(SipEndpointTest, SubscribeGetsOkThenANotifyWithTheTemplatedUrlInItsDialogAtTheViaPort)
{
    RunningServer server(mOptions);
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));

    Sip::SipMessage ok;
    ASSERT_TRUE(mDevice.Receive(ok)) << server.LogText();
    EXPECT_EQ(ok.statusCode, 200);
    EXPECT_EQ(Value(ok, "Via"), "SIP/2.0/UDP 127.0.0.1:" + std::to_string(mDevice.Port()) +
                                    ";branch=z9hG4bK776asdhds;received=127.0.0.1;rport=" +
                                    std::to_string(mDevice.Port()));
    EXPECT_EQ(Value(ok, "From"), std::string("<sip:MAC%3a") + MAC + "@224.0.1.75>;tag=1928301774");
    std::string ourTag = Pnp::TagOf(Value(ok, "To"));
    EXPECT_FALSE(ourTag.empty());
    EXPECT_EQ(Value(ok, "Call-ID"), "a84b4c76e66710@127.0.0.1");
    EXPECT_EQ(Value(ok, "CSeq"), "314159 SUBSCRIBE");
    EXPECT_EQ(Value(ok, "Expires"), "600");
    EXPECT_EQ(Value(ok, "Contact"), "<sip:pnp-server@127.0.0.1:" + std::to_string(server.SipPort()) + ">");

    Sip::SipMessage notify;
    ASSERT_TRUE(mDevice.Receive(notify)) << server.LogText();
    ASSERT_TRUE(notify.isRequest);
    EXPECT_EQ(notify.method, "NOTIFY");
    EXPECT_EQ(notify.requestUri, std::string("sip:MAC%3a") + MAC + "@127.0.0.1:" + std::to_string(mDevice.Port()));
    EXPECT_EQ(Value(notify, "From"), std::string("<sip:MAC%3a") + MAC + "@224.0.1.75>;tag=" + ourTag);
    EXPECT_EQ(Value(notify, "To"), std::string("<sip:MAC%3a") + MAC + "@224.0.1.75>;tag=1928301774");
    EXPECT_EQ(Value(notify, "Call-ID"), "a84b4c76e66710@127.0.0.1");
    EXPECT_EQ(Value(notify, "Event"), "ua-profile");
    EXPECT_EQ(Value(notify, "Subscription-State"), "active;expires=600");
    EXPECT_EQ(Value(notify, "Content-Type"), "application/url");
    const std::string url = "http://127.0.0.1:" + std::to_string(server.HttpPort()) + "/cfg/" + MAC + ".xml";
    EXPECT_EQ(notify.body, url);

    mDevice.SendTo(server.SipPort(), NotifyOk(notify));
    // The next SUBSCRIBE's NOTIFY shows that the 200 OK was taken first.
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port(), true, std::string("MAC:") + MAC));
    ASSERT_TRUE(mDevice.Receive(ok));
    ASSERT_TRUE(mDevice.Receive(notify));
    EXPECT_EQ(notify.body, url);
    std::string log = server.LogText();
    EXPECT_NE(log.find("    | SUBSCRIBE sip:MAC%3a001122aabbcc@224.0.1.75 SIP/2.0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("answered 200 OK after 1 send(s)"), std::string::npos) << log;

    // Sent from another socket: without rport the answer follows the Via.
    Device sender;
    sender.SendTo(server.SipPort(), Subscribe(mDevice.Port(), false));
    ok.isRequest = true;
    for (int i = 0; i < 5 && ok.isRequest; ++i)   // past retransmissions of the last NOTIFY
        ASSERT_TRUE(mDevice.Receive(ok));
    EXPECT_EQ(ok.statusCode, 200);
    EXPECT_NE(Value(ok, "Via").find(";received=127.0.0.1"), std::string::npos);
    EXPECT_EQ(Value(ok, "Via").find("rport"), std::string::npos);
}

TEST_F(SipEndpointTest, RejectSilentAndGarbageProduceNoNotify)
{
    {
        mOptions.sip.rejectCode = 403;
        RunningServer server(mOptions);
        mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
        Sip::SipMessage answer;
        ASSERT_TRUE(mDevice.Receive(answer));
        EXPECT_EQ(answer.statusCode, 403);
        EXPECT_EQ(answer.reason, "Forbidden");
        EXPECT_FALSE(mDevice.Receive(answer, 300));
    }
    {
        mOptions.sip.rejectCode = 0;
        mOptions.sip.silent = true;
        RunningServer server(mOptions);
        mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
        Sip::SipMessage answer;
        EXPECT_FALSE(mDevice.Receive(answer, 300));
        EXPECT_NE(server.LogText().find("left unanswered (silent)"), std::string::npos);
    }
    mOptions.sip.silent = false;
    RunningServer server(mOptions);
    const std::string garbage[] = {
        std::string("\0\xff\x01garbage", 10),
        "SUBSCRIBE\r\n\r\n",
        "SIP/2.0 200 OK\r\nCall-ID: x\r\nCSeq: 1 NOTIFY\r\nContent-Length: 0\r\n\r\n",   // for no NOTIFY of ours
        Subscribe(mDevice.Port()).substr(0, 120),
        std::string(65000, 'x'),
    };
    for (const std::string& bytes : garbage)
        mDevice.SendTo(server.SipPort(), bytes);
    // Wrong package and no MAC are answered, but with no NOTIFY.
    std::string badEvent = Subscribe(mDevice.Port());
    badEvent.replace(badEvent.find("Event: ua-profile"), 17, "Event: presence");
    mDevice.SendTo(server.SipPort(), badEvent);
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port(), true, "alice"));
    Sip::SipMessage answer;
    ASSERT_TRUE(mDevice.Receive(answer));
    EXPECT_EQ(answer.statusCode, 489);
    ASSERT_TRUE(mDevice.Receive(answer));
    EXPECT_EQ(answer.statusCode, 404);
    // Still at work.
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
    ASSERT_TRUE(mDevice.Receive(answer));
    EXPECT_EQ(answer.statusCode, 200);
    ASSERT_TRUE(mDevice.Receive(answer));
    EXPECT_EQ(answer.method, "NOTIFY");
    EXPECT_NE(server.LogText().find("malformed datagram"), std::string::npos);
}

TEST_F(SipEndpointTest, NotifyIsRetransmittedUntilAnsweredAndGivenUpAfterTimerF)
{
    mOptions.sip.t1Ms = 100;
    mOptions.sip.timerFMs = 2000;
    {
        RunningServer server(mOptions);
        mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
        Sip::SipMessage ok, first, again;
        ASSERT_TRUE(mDevice.Receive(ok));
        ASSERT_TRUE(mDevice.Receive(first));
        std::string firstBytes = mDevice.LastBytes();
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(mDevice.Receive(again, 1000));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
        EXPECT_EQ(mDevice.LastBytes(), firstBytes);   // same transaction: same branch and CSeq
        ASSERT_TRUE(mDevice.Receive(again, 1000));
        mDevice.SendTo(server.SipPort(), NotifyOk(again));
        // Nothing after the answer (the next interval would be 400 ms).
        Sip::SipMessage late;
        bool more = mDevice.Receive(late, 700);
        EXPECT_FALSE(more && late.isRequest) << mDevice.LastBytes();
        EXPECT_NE(server.LogText().find("answered 200 OK after 3 send(s)"), std::string::npos) << server.LogText();
    }
    mOptions.sip.timerFMs = 350;
    RunningServer server(mOptions);
    mDevice.SendTo(server.SipPort(), Subscribe(mDevice.Port()));
    Sip::SipMessage message;
    int received = 0;
    while (received < 20 && mDevice.Receive(message, 800))
        ++received;
    // 200 OK, then NOTIFY at 0, 100 and 300 ms; none after 350 ms.
    EXPECT_EQ(received, 4);
    EXPECT_NE(server.LogText().find("unanswered after 3 send(s): given up"), std::string::npos) << server.LogText();
}

TEST(SipAnswersTest, MacTemplateAndTargets)
{
    std::string mac;
    EXPECT_TRUE(Pnp::ExtractMac("sip:MAC%3a001122AABBCC@224.0.1.75", mac));
    EXPECT_EQ(mac, "001122AABBCC");
    EXPECT_TRUE(Pnp::ExtractMac("SIP:mac:001122aabbcc@224.0.1.75;transport=udp", mac));
    EXPECT_EQ(mac, "001122aabbcc");
    for (const char* bad : {"sip:MAC%3a0011@h", "sip:MAC%3a001122aabbcg@h", "sip:001122aabbcc@h",
                            "sip:MAC%3a001122aabbcc", "tel:MAC:001122aabbcc@h", "sip:MAC:../../etc/pa@h"})
        EXPECT_FALSE(Pnp::ExtractMac(bad, mac)) << bad;

    EXPECT_EQ(Pnp::ExpandUrlTemplate("http://{host}:{port}/cfg/{mac}.xml?again={mac}", "0a0b0c0d0e0f", "10.0.0.1", 8080),
              "http://10.0.0.1:8080/cfg/0a0b0c0d0e0f.xml?again=0a0b0c0d0e0f");

    Sip::SipMessage subscribe;
    subscribe.AddHeader("From", "\"dev\" <sip:MAC%3a001122aabbcc@224.0.1.75>;tag=9");
    Pnp::Ipv4Endpoint source;
    ASSERT_TRUE(Pnp::ParseIpv4("10.1.2.3", source.address));
    source.port = 40000;
    std::string uri;
    Pnp::Ipv4Endpoint target;
    Pnp::NotifyTarget(subscribe, source, uri, target);   // no Contact: the source
    EXPECT_EQ(uri, "sip:MAC%3a001122aabbcc@224.0.1.75");
    EXPECT_EQ(target.ToString(), "10.1.2.3:40000");
    subscribe.AddHeader("Contact", "<sip:dev@10.9.8.7;transport=udp>");
    Pnp::NotifyTarget(subscribe, source, uri, target);
    EXPECT_EQ(target.ToString(), "10.9.8.7:5060");
    EXPECT_EQ(uri, "sip:dev@10.9.8.7;transport=udp");
    subscribe.headers.back().second = "<sip:dev@gateway.lan:5070>";   // a name: the source again
    Pnp::NotifyTarget(subscribe, source, uri, target);
    EXPECT_EQ(target.ToString(), "10.1.2.3:40000");
}
