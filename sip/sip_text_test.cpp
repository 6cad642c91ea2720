#include "sip/sip_text.h"

#include <gtest/gtest.h>

namespace {

TEST(SipText, PortsAddressesAndTokens)
{
    const struct { const char* text; bool allowZero, ok; uint16_t port; } ports[] = {
        {"", false, true, 5060}, {"65535", false, true, 65535}, {"0", true, true, 0},  {"0", false, false, 0},
        {"65536", true, false, 0}, {"50 60", true, false, 0},   {"-1", true, false, 0},
    };
    for (const auto& c : ports) {
        SCOPED_TRACE(c.text);
        uint16_t port = 1;
        EXPECT_EQ(c.ok, Sip::ParsePort(c.text, c.allowZero, port));
        EXPECT_EQ(c.ok ? c.port : 1, port);
    }
    in_addr address;
    EXPECT_FALSE(Sip::ParseIpv4("10.0.0", address));
    ASSERT_TRUE(Sip::ParseIpv4("10.0.0.7", address));
    EXPECT_EQ("10.0.0.7:5061", Sip::AddressText(Sip::MakeAddress(address, 5061)));
    const std::string token = Sip::RandomToken();
    EXPECT_EQ(16u, token.size());
    EXPECT_EQ(std::string::npos, token.find_first_not_of("0123456789abcdef"));
    EXPECT_NE(token, Sip::RandomToken());
}

}  // namespace
