// Parsing, writing and header helpers of the SIP message library.
#include "sip/sip_message.h"

#include <gtest/gtest.h>

#include <string>

using Sip::SipMessage;

namespace {

bool Parse(const std::string& text, SipMessage& message)
{
    return Sip::ParseMessage(text.data(), text.size(), message);
}

TEST(SipParse, RequestsResponsesCompactFormsAndFoldedLines)
{
    SipMessage message;
    ASSERT_TRUE(Parse("SUBSCRIBE sip:MAC%3a0011@224.0.1.75 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.2;rport\r\n"
                      "Call-ID: c1@10.0.0.2\r\nCSeq: 1 SUBSCRIBE\r\nContent-Length: 0\r\n\r\n", message));
    EXPECT_TRUE(message.isRequest);
    EXPECT_EQ("SUBSCRIBE sip:MAC%3a0011@224.0.1.75", message.method + " " + message.requestUri);
    EXPECT_EQ(4u, message.headers.size());
    EXPECT_EQ(nullptr, message.Header("Contact"));
    ASSERT_TRUE(Parse("SIP/2.0 481 Call/Transaction Does Not Exist\r\nCall-ID: x\r\n\r\n", message));
    EXPECT_EQ("0 481 Call/Transaction Does Not Exist", std::to_string(message.isRequest) + " " +
                                                         std::to_string(message.statusCode) + " " + message.reason);
    ASSERT_TRUE(Parse("SIP/2.0 200\r\n\r\n", message));
    EXPECT_EQ("200 ", std::to_string(message.statusCode) + " " + message.reason);

    // Compact and full names find each other in any case; names are kept as received.
    ASSERT_TRUE(Parse("NOTIFY sip:a@b SIP/2.0\r\nv: SIP/2.0/UDP h\r\nf: <sip:s@h>;tag=9\r\nt: <sip:a@b>\r\n"
                      "i: id-1\r\nm: <sip:s@h:5070>\r\no: ua-profile\r\ne: gzip\r\nc: application/url\r\n"
                      "l: 4\r\n\r\nhttp", message));
    const char* const headers[][2] = {
        {"Via", "SIP/2.0/UDP h"}, {"FROM", "<sip:s@h>;tag=9"}, {"To", "<sip:a@b>"}, {"Call-Id", "id-1"},
        {"I", "id-1"}, {"contact", "<sip:s@h:5070>"}, {"Event", "ua-profile"}, {"Content-Encoding", "gzip"},
        {"Content-Type", "application/url"}, {"Content-Length", "4"}};
    for (const auto& header : headers)
        EXPECT_EQ(header[1], *message.Header(header[0])) << header[0];
    EXPECT_EQ("http", message.body);
    EXPECT_EQ("i", message.headers[3].first);

    // Bare LF line ends, a leading empty line, folded lines, a repeated header.
    ASSERT_TRUE(Parse("\r\nOPTIONS sip:a@b SIP/2.0\nVia: SIP/2.0/UDP a\nVia: SIP/2.0/UDP b\n"
                      "Subject: one\n two\r\n\ttwo-and-a-half\n\n", message));
    EXPECT_EQ("one two two-and-a-half", *message.Header("s"));
    EXPECT_EQ((std::vector<std::string>{"SIP/2.0/UDP a", "SIP/2.0/UDP b"}), message.HeaderValues("v"));
}

TEST(SipParse, BodiesBoundsAndMalformedInput)
{
    const std::string notify = "NOTIFY sip:a@b SIP/2.0\r\nContent-Type: text/plain\r\n";
    // At the header limit a message needs room for the Content-Length line that writing adds.
    std::string full = "NOTIFY sip:a@b SIP/2.0\r\n";
    for (size_t i = 1; i < Sip::MAX_HEADERS; ++i)
        full += "X: y\r\n";
    const std::pair<std::string, std::string> accepted[] = {   // text, body
        {notify + "Content-Length: 3\r\n\r\nabcdef", "abc"},   // bytes past the length are cut off
        {notify + "\r\nabcdef", "abcdef"}, {notify + "Content-Length:  0 \r\n\r\n", ""},
        {"NOTIFY sip:a@b SIP/2.0\r\nX: " + std::string(60000, 'a') + "\r\n\r\n", ""},
        {full + "\r\n", ""}, {full + "l: 0\r\n\r\n", ""}};
    for (const auto& c : accepted) {
        SipMessage message;
        SipMessage again;
        ASSERT_TRUE(Parse(c.first, message)) << c.first.substr(0, 80);
        EXPECT_EQ(c.second, message.body);
        EXPECT_TRUE(Parse(Sip::Serialize(message), again)) << "written form of " << c.first.substr(0, 80);
    }
    // A datagram at the size limit whose written form (CR before LF, the added Content-Length) outgrows it.
    const std::string lineFeeds = "NOTIFY sip:a@b SIP/2.0\n\n" + std::string(Sip::MAX_DATAGRAM_SIZE - 24, 'b');
    const std::string refused[] = {
        full + "X: y\r\n\r\n", full + "X: y\r\nl: 0\r\n\r\n", notify + std::string(Sip::MAX_DATAGRAM_SIZE, '\n'),
        lineFeeds,
        // Status lines.
        "SIP/2.0 20 OK\r\n\r\n", "SIP/2.0 2000 OK\r\n\r\n", "SIP/2.0 099 Low\r\n\r\n", "SIP/2.0 700 Hi\r\n\r\n",
        "SIP/3.0 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n",
        // No blank line after the headers.
        "SUBSCRIBE sip:a@b SIP/2.0\r\nCall-ID: x\r\n", "SUBSCRIBE sip:a@b SIP/2.0\r\nCall-ID: x", "", "\r\n\r\n",
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
    };
    for (const std::string& text : refused) {
        SipMessage message;
        EXPECT_FALSE(Parse(text, message)) << text.substr(0, 80) << " (" << text.size() << " bytes)";
    }
}

TEST(SipWriting, CrlfTheRealContentLengthAndHeaderHelpers)
{
    // CRLF line ends and the body's real length, whatever Content-Length said; responses: sip_response_test.
    SipMessage message;
    ASSERT_TRUE(Parse("NOTIFY sip:a@b SIP/2.0\nl: 5\nCall-ID: x\n\nhello", message));
    message.body = "hi";
    EXPECT_EQ("NOTIFY sip:a@b SIP/2.0\r\nCall-ID: x\r\nContent-Length: 2\r\n\r\nhi", Sip::Serialize(message));

    const char* const parameters[][3] = {   // value, parameter, expected
        {"<sip:x@y>;tag=abc", "tag", "abc"}, {"\"Name; tag=no\" <sip:x@y;tag=uri>; TAG = abc ;x", "Tag", "abc"},
        {"<sip:x@y;tag=uri>", "tag", ""}, {"SIP/2.0/UDP h;branch=z9hG4bK77;rport", "branch", "z9hG4bK77"},
        {"SIP/2.0/UDP h;branch=z9hG4bK77;rport", "rport", ""},
        {"SIP/2.0/UDP a;branch=first, SIP/2.0/UDP b;branch=second", "branch", "first"},
        {"x;p=\"a \\\"q\\\"\"", "p", "a \"q\""}, {"", "tag", ""}};
    for (const auto& c : parameters)
        EXPECT_EQ(c[2], Sip::HeaderParameter(c[0], c[1])) << c[0] << " " << c[1];
    EXPECT_EQ("sip:x@y;transport=udp", Sip::HeaderUri("\"A <b>\" <sip:x@y;transport=udp>;tag=1"));
    EXPECT_EQ("sip:x@y", Sip::HeaderUri("sip:x@y;tag=1"));
    unsigned long number = 0;
    std::string method;
    ASSERT_TRUE(Sip::ParseCSeq(" 12  SUBSCRIBE ", number, method));
    EXPECT_EQ("12 SUBSCRIBE", std::to_string(number) + " " + method);
    for (const char* bad : {"SUBSCRIBE", "12", "1234567890123 NOTIFY"})
        EXPECT_FALSE(Sip::ParseCSeq(bad, number, method)) << bad;

    const char* const notifies[][3] = {   // Content-Type (nullptr: none), body, URL of a NOTIFY
        {"application/url", "  http://10.0.0.1/cfg/x.xml\r\n", "http://10.0.0.1/cfg/x.xml"},
        {"Text/Plain; charset=utf-8", "http://server/plain\n", "http://server/plain"},
        {"message/external-body; access-type=\"URL\"; expiration=\"Sat, 01 Jan 2000 00:00:00 GMT\"; "
         "URL=\"http://server/q;x=1\"", "Content-Type: application/xml\r\n\r\n", "http://server/q;x=1"},
        {"message/external-body;access-type=URL;url=http://server/bare", "", "http://server/bare"},
        {"application/xml", "<x/>", ""}, {nullptr, "<x/>", ""}};
    for (const auto& c : notifies) {
        SipMessage notify;
        if (c[0] != nullptr)
            notify.AddHeader("c", c[0]);
        notify.body = c[1];
        EXPECT_EQ(c[2], Sip::NotifyUrl(notify)) << (c[0] != nullptr ? c[0] : "no Content-Type");
    }
}

}  // namespace
