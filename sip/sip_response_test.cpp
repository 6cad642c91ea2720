// Responses as both peers write them, the top Via as the server marks it, and where a response goes.
#include "sip/sip_response.h"

#include <gtest/gtest.h>

namespace {

Sip::SipMessage Request(const std::string& via)
{
    const std::string text = "NOTIFY sip:u@h SIP/2.0\r\nv: " + via + "\r\nVia: SIP/2.0/UDP b\r\n"
                             "f: <sip:s@h>;tag=9\r\nt: <sip:u@h>\r\ni: id\r\nCSeq: 4 NOTIFY\r\nl: 1\r\n\r\nx";
    Sip::SipMessage request;
    EXPECT_TRUE(Sip::ParseMessage(text.data(), text.size(), request)) << text;
    return request;
}

TEST(SipResponse, CopiesTheDialogHeadersTagsTheToAndMarksTheTopVia)
{
    // Every Via in order, From, To, Call-ID and CSeq; a To without a tag gets the new one above 100.
    const Sip::SipMessage notify = Request("SIP/2.0/UDP a");
    EXPECT_EQ("SIP/2.0 481 Call/Transaction Does Not Exist\r\nVia: SIP/2.0/UDP a\r\n"
              "Via: SIP/2.0/UDP b\r\nFrom: <sip:s@h>;tag=9\r\nTo: <sip:u@h>;tag=new\r\nCall-ID: id\r\n"
              "CSeq: 4 NOTIFY\r\nContent-Length: 0\r\n\r\n",
              Sip::Serialize(Sip::MakeResponse(notify, 481, "new")));
    EXPECT_EQ("<sip:u@h>", *Sip::MakeResponse(notify, 100, "new").Header("To"));
    EXPECT_EQ("Rejected", Sip::MakeResponse(notify, 499, "").reason);

    const struct { const char* via; uint16_t port; const char* marked; } cases[] = {
        {"SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bK1;rport", 40000,
         "SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bK1;received=10.0.0.9;rport=40000"},
        {"SIP/2.0/UDP 10.0.0.2:5062;RPORT=1;received=1.2.3.4;branch=z9hG4bK1, SIP/2.0/UDP c", 40000,
         "SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bK1;received=10.0.0.9;rport=40000, SIP/2.0/UDP c"},
        {"SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bK1", 5062,
         "SIP/2.0/UDP 10.0.0.2:5062;branch=z9hG4bK1;received=10.0.0.9"},
        {"SIP/2.0/UDP gateway.lan;branch=z9hG4bK1", 5060, "SIP/2.0/UDP gateway.lan;branch=z9hG4bK1;received=10.0.0.9"},
        {"SIP/2.0/UDP [::1];branch=z9hG4bK1", 5060, "SIP/2.0/UDP [::1];branch=z9hG4bK1;received=10.0.0.9"},
        {"SIP/2.0/UDP 10.0.0.2:0;branch=z9hG4bK1", 5060, "SIP/2.0/UDP 10.0.0.2:0;branch=z9hG4bK1;received=10.0.0.9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.via);
        const Sip::SipMessage request = Request(c.via);
        Sip::SipMessage response = Sip::MakeResponse(request, 200, "t");
        Sip::MarkTopVia(response, "10.0.0.9", 40000);
        EXPECT_EQ(c.marked, *response.Header("Via"));
        EXPECT_EQ("SIP/2.0/UDP b", response.HeaderValues("Via").at(1));
        EXPECT_EQ(c.port, Sip::ResponsePort(request, 40000));
    }
}

}  // namespace
