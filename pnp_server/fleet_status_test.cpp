// Tests of the server's record of its gateways: what the status page shows
// of texts that came from the network, and its bound. Rendering in a browser:
// e2e/status_page_test.sh.
#include "pnp_server/fleet_status.h"

#include <gtest/gtest.h>

namespace {

Pnp::Ipv4Endpoint Address(const char* host)
{
    Pnp::Ipv4Endpoint endpoint;
    EXPECT_TRUE(Pnp::Ipv4Endpoint::Parse(host, 5060, endpoint));
    return endpoint;
}

}  // namespace

TEST(FleetStatusTest, NetworkTextIsEscapedAndRowsAreBounded)
{
    Pnp::FleetStatus status(2);
    status.OnSubscribe("0A0B0C0D0E0F", Address("10.0.0.2"), false);
    status.OnNotifySent("0a0b0c0d0e0f");
    status.OnNotifyAnswer("0a0b0c0d0e0f", 603, "<script>alert(\"x\")</script> & \xff\x01");
    status.OnDocument(Address("10.0.0.2").address, "/cfg/<img src=x>.xml", 200, 410);
    status.OnSubscribe("0a0b0c0d0e0f", Address("10.0.0.2"), true);
    status.OnSubscribe("000000000001", Address("10.0.0.3"), false);
    status.OnSubscribe("000000000002", Address("10.0.0.4"), false);   // beyond the two rows

    const std::string html = status.Html();
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_NE(html.find("<td>603 &#60;script&#62;alert(&#34;x&#34;)&#60;/script&#62; &#38; &#255;&#1;</td>"),
              std::string::npos) << html;
    EXPECT_NE(html.find("<td>0a0b0c0d0e0f</td><td>10.0.0.2:5060</td>"), std::string::npos) << html;
    EXPECT_LT(html.find("000000000001"), html.find("0a0b0c0d0e0f"));   // by MAC

    const std::string json = status.Json();
    EXPECT_NE(json.find("\"answer\":\"603 <script>alert(\\\"x\\\")</script> & \\u00ff\\u0001\""), std::string::npos)
        << json;
    for (const char* part : {"\"gateways\":2,\"provisioned\":1,\"subscribes\":4,\"subscribe_retransmissions\":1",
                             "\"downloads\":1,\"bytes\":410,\"unlisted_subscribes\":1",
                             "\"subscribes\":2,", "\"document\":\"/cfg/<img src=x>.xml\",\"document_status\":200"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    EXPECT_EQ(json.find("000000000002"), std::string::npos);
}
