// Parsing, writing and header helpers of the SIP message library.
#include "sip/sip_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

using Sip::SipMessage;

namespace {

bool Parse(const std::string& text, SipMessage& message)
{
    return Sip::ParseMessage(text.data(), text.size(), message);
}

const char* const SUBSCRIBE =
    "SUBSCRIBE sip:MAC%3a0011@224.0.1.75 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 10.0.0.2:5060;branch=z9hG4bKabc;rport\r\n"
    "Max-Forwards: 70\r\n"
    "From: <sip:MAC%3a0011@10.0.0.2>;tag=f1\r\n"
    "To: <sip:MAC%3a0011@224.0.1.75>\r\n"
    "Call-ID: c1@10.0.0.2\r\n"
    "CSeq: 1 SUBSCRIBE\r\n"
    "Event: ua-profile;profile-type=\"device\"\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

TEST(SipParse, RequestsAndResponses)
{
    SipMessage message;
    ASSERT_TRUE(Parse(SUBSCRIBE, message));
    EXPECT_TRUE(message.isRequest);
    EXPECT_EQ("SUBSCRIBE", message.method);
    EXPECT_EQ("sip:MAC%3a0011@224.0.1.75", message.requestUri);
    ASSERT_EQ(8u, message.headers.size());
    EXPECT_EQ("Via", message.headers[0].first);
    ASSERT_NE(nullptr, message.Header("call-id"));
    EXPECT_EQ("c1@10.0.0.2", *message.Header("call-id"));
    EXPECT_EQ("ua-profile;profile-type=\"device\"", *message.Header("o"));
    EXPECT_EQ(nullptr, message.Header("Contact"));
    EXPECT_TRUE(message.body.empty());

    ASSERT_TRUE(Parse("SIP/2.0 481 Call/Transaction Does Not Exist\r\nCall-ID: x\r\n\r\n", message));
    EXPECT_FALSE(message.isRequest);
    EXPECT_EQ(481, message.statusCode);
    EXPECT_EQ("Call/Transaction Does Not Exist", message.reason);
    ASSERT_TRUE(Parse("SIP/2.0 200\r\n\r\n", message));
    EXPECT_EQ(200, message.statusCode);
    EXPECT_EQ("", message.reason);
}

TEST(SipParse, CompactHeadersFoldingAndRepeatedHeaders)
{
    SipMessage message;
    ASSERT_TRUE(Parse("NOTIFY sip:a@b SIP/2.0\r\nv: SIP/2.0/UDP h;branch=z9hG4bK1\r\nf: <sip:s@h>;tag=9\r\n"
                      "t: <sip:a@b>;tag=8\r\ni: id-1\r\nm: <sip:s@h:5070>\r\no: ua-profile\r\ne: gzip\r\n"
                      "c: application/url\r\nl: 4\r\n\r\nhttp", message));
    const std::pair<const char*, const char*> expected[] = {
        {"Via", "SIP/2.0/UDP h;branch=z9hG4bK1"}, {"FROM", "<sip:s@h>;tag=9"}, {"To", "<sip:a@b>;tag=8"},
        {"Call-Id", "id-1"}, {"I", "id-1"}, {"contact", "<sip:s@h:5070>"}, {"Event", "ua-profile"},
        {"Content-Encoding", "gzip"}, {"Content-Type", "application/url"}, {"Content-Length", "4"},
    };
    for (const auto& header : expected) {
        ASSERT_NE(nullptr, message.Header(header.first)) << header.first;
        EXPECT_EQ(header.second, *message.Header(header.first)) << header.first;
    }
    EXPECT_EQ("http", message.body);
    EXPECT_EQ("i", message.headers[3].first);   // names as received

    // Bare LF line ends, a leading empty line, folded lines, repeated Via.
    ASSERT_TRUE(Parse("\r\nOPTIONS sip:a@b SIP/2.0\nVia: SIP/2.0/UDP a;branch=z9hG4bK1\n"
                      "Via: SIP/2.0/UDP b;branch=z9hG4bK2\nSubject: one\n two\r\n\ttwo-and-a-half\n\n", message));
    EXPECT_EQ("one two two-and-a-half", *message.Header("s"));
    const std::vector<std::string> vias = message.HeaderValues("v");
    ASSERT_EQ(2u, vias.size());
    EXPECT_EQ("SIP/2.0/UDP b;branch=z9hG4bK2", vias[1]);
    EXPECT_EQ("SIP/2.0/UDP a;branch=z9hG4bK1", *message.Header("Via"));
}

TEST(SipParse, MalformedIsRefused)
{
    const std::string notify = "NOTIFY sip:a@b SIP/2.0\r\nContent-Type: text/plain\r\n";
    std::string manyHeaders = "NOTIFY sip:a@b SIP/2.0\r\n";
    for (size_t i = 0; i <= Sip::MAX_HEADERS; ++i)
        manyHeaders += "X: y\r\n";
    const std::string cases[] = {
        // Status lines.
        "SIP/2.0 20 OK\r\n\r\n", "SIP/2.0 2000 OK\r\n\r\n", "SIP/2.0 099 Low\r\n\r\n", "SIP/2.0 700 High\r\n\r\n",
        "SIP/3.0 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n",
        // No blank line after the headers.
        "SUBSCRIBE sip:a@b SIP/2.0\r\nCall-ID: x\r\n", "SUBSCRIBE sip:a@b SIP/2.0\r\nCall-ID: x",
        "SUBSCRIBE sip:a@b SIP/2.0", "", "\r\n\r\n",
        // Request lines.
        "SUBSCRIBE sip:a@b\r\n\r\n", "SUBSCRIBE  sip:a@b SIP/2.0\r\n\r\n", "SUB(SCRIBE sip:a@b SIP/2.0\r\n\r\n",
        "SUBSCRIBE nocolon SIP/2.0\r\n\r\n",
        // Header lines.
        "OPTIONS sip:a@b SIP/2.0\r\nNo colon here\r\n\r\n", "OPTIONS sip:a@b SIP/2.0\r\nBad Name: x\r\n\r\n",
        "OPTIONS sip:a@b SIP/2.0\r\n: x\r\n\r\n", "OPTIONS sip:a@b SIP/2.0\r\n folded-first\r\n\r\n",
        std::string("OPTIONS sip:a@b SIP/2.0\r\nX: a\0b\r\n\r\n", 33),
        // Content-Length that does not match the body.
        notify + "Content-Length: 10\r\n\r\nshort", notify + "Content-Length: -1\r\n\r\n",
        notify + "Content-Length: 1x\r\n\r\nab", notify + "Content-Length:\r\n\r\n",
        notify + "Content-Length: 99999999999999999999\r\n\r\n", notify + "Content-Length: 2\r\nl: 3\r\n\r\nabc",
        // Beyond the bounds: the datagram size, the header count.
        "NOTIFY sip:a@b SIP/2.0\r\n\r\n" + std::string(Sip::MAX_DATAGRAM_SIZE, 'x'), manyHeaders + "\r\n",
    };
    for (const std::string& text : cases) {
        SipMessage message;
        EXPECT_FALSE(Parse(text, message)) << text.substr(0, 80);
    }
}

TEST(SipParse, BodyFollowsContentLength)
{
    SipMessage message;
    const std::string head = "NOTIFY sip:a@b SIP/2.0\r\nContent-Type: text/plain\r\n";
    // Extra bytes past the length are cut off; no length takes the rest.
    ASSERT_TRUE(Parse(head + "Content-Length: 3\r\n\r\nabcdef", message));
    EXPECT_EQ("abc", message.body);
    ASSERT_TRUE(Parse(head + "\r\nabcdef", message));
    EXPECT_EQ("abcdef", message.body);
    ASSERT_TRUE(Parse(head + "Content-Length:  0 \r\n\r\n", message));
    EXPECT_EQ("", message.body);
    // One long header line under the datagram limit is still fine.
    ASSERT_TRUE(Parse("NOTIFY sip:a@b SIP/2.0\r\nX: " + std::string(60000, 'a') + "\r\n\r\n", message));
    EXPECT_EQ(60000u, message.Header("X")->size());
}

TEST(SipParse, RandomGarbageAndMutationsNeverCrash)
{
    std::mt19937 random(12345);
    SipMessage message;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 3000; ++round) {
        std::string data;
        if (round % 2 == 0) {
            const size_t size = random() % 512;
            for (size_t i = 0; i < size; ++i)
                data += static_cast<char>(random() % 256);
        } else {
            // Mutations of a valid message keep the parser on its deeper paths.
            data = SUBSCRIBE;
            const int edits = 1 + static_cast<int>(random() % 8);
            for (int e = 0; e < edits; ++e) {
                const size_t at = random() % data.size();
                switch (random() % 3) {
                case 0: data[at] = static_cast<char>(random() % 256); break;
                case 1: data.erase(at, random() % 16); break;
                default: data.insert(at, std::string(1 + random() % 4, "\r\n: ;\"<>"[random() % 8])); break;
                }
                if (data.empty())
                    data = "x";
            }
        }
        if (Sip::ParseMessage(data.data(), data.size(), message)) {
            // Whatever parsed must write out and parse again the same way.
            const std::string again = Sip::Serialize(message);
            SipMessage reparsed;
            ASSERT_TRUE(Sip::ParseMessage(again.data(), again.size(), reparsed)) << again;
            EXPECT_EQ(message.method, reparsed.method);
            EXPECT_EQ(message.body, reparsed.body);
            Sip::NotifyUrl(message);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(SipSerialize, WritesCrlfAndTheRealContentLength)
{
    SipMessage message;
    message.isRequest = true;
    message.method = "NOTIFY";
    message.requestUri = "sip:a@b";
    message.AddHeader("Call-ID", "x");
    message.AddHeader("l", "99");
    message.body = "hello";
    EXPECT_EQ("NOTIFY sip:a@b SIP/2.0\r\nCall-ID: x\r\nContent-Length: 5\r\n\r\nhello", Sip::Serialize(message));

    SipMessage response;
    response.statusCode = 481;
    response.reason = Sip::ReasonPhrase(481);
    EXPECT_EQ("SIP/2.0 481 Call/Transaction Does Not Exist\r\nContent-Length: 0\r\n\r\n", Sip::Serialize(response));
}

TEST(SipHeaders, ParametersUrisAndCSeq)
{
    const char* const cases[][3] = {
        // value, parameter, expected
        {"<sip:x@y>;tag=abc", "tag", "abc"},
        {"\"Name; with tag=no\" <sip:x@y;tag=uri>; TAG = abc ;x", "Tag", "abc"},
        {"<sip:x@y;tag=uri>", "tag", ""},
        {"SIP/2.0/UDP 1.2.3.4:5060;branch=z9hG4bK77;rport", "branch", "z9hG4bK77"},
        {"SIP/2.0/UDP 1.2.3.4:5060;branch=z9hG4bK77;rport", "rport", ""},
        {"SIP/2.0/UDP a;branch=first, SIP/2.0/UDP b;branch=second", "branch", "first"},
        {"x;p=\"a \\\"q\\\"\"", "p", "a \"q\""},
        {"", "tag", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[2], Sip::HeaderParameter(c[0], c[1])) << c[0];

    EXPECT_EQ("sip:x@y;transport=udp", Sip::HeaderUri("\"A <b>\" <sip:x@y;transport=udp>;tag=1"));
    EXPECT_EQ("sip:x@y", Sip::HeaderUri("sip:x@y;tag=1"));

    unsigned long number = 0;
    std::string method;
    ASSERT_TRUE(Sip::ParseCSeq(" 12  SUBSCRIBE ", number, method));
    EXPECT_EQ(12ul, number);
    EXPECT_EQ("SUBSCRIBE", method);
    for (const char* bad : {"SUBSCRIBE", "12", "1234567890123 NOTIFY"})
        EXPECT_FALSE(Sip::ParseCSeq(bad, number, method)) << bad;
}

TEST(SipNotifyUrl, TheThreeContentTypes)
{
    const char* const cases[][3] = {
        // Content-Type (nullptr: none), body, URL
        {"application/url", "  http://10.0.0.1/cfg/x.xml\r\n", "http://10.0.0.1/cfg/x.xml"},
        {"Text/Plain; charset=utf-8", "http://server/plain\n", "http://server/plain"},
        {"message/external-body; access-type=\"URL\"; expiration=\"Sat, 01 Jan 2000 00:00:00 GMT\"; "
         "URL=\"http://server/quoted;x=1\"",
         "Content-Type: application/xml\r\n\r\n", "http://server/quoted;x=1"},
        {"message/external-body;access-type=URL;url=http://server/bare", "", "http://server/bare"},
        {"application/xml", "<x/>", ""},
        {nullptr, "<x/>", ""},
    };
    for (const auto& c : cases) {
        SipMessage notify;
        notify.isRequest = true;
        notify.method = "NOTIFY";
        if (c[0] != nullptr)
            notify.AddHeader("c", c[0]);
        notify.body = c[1];
        EXPECT_EQ(c[2], Sip::NotifyUrl(notify)) << (c[0] != nullptr ? c[0] : "no Content-Type");
    }
}

}  // namespace
