#include "net_check/net_check.h"

#include <gtest/gtest.h>

#include <string>

TEST(NetCheck, KernelAnswersForLoopbackAndMissingInterfaces)
{
    char* error = reinterpret_cast<char*>(1);
    EXPECT_EQ("000000000000", GetMACAddress("lo", &error));
    EXPECT_EQ(nullptr, error);
    std::string ip;
    std::string mask;
    ASSERT_TRUE(GetIPAddress("lo", ip, mask));
    EXPECT_EQ("127.0.0.1/255.0.0.0", ip + "/" + mask);
    for (const char* missing : {"apc-none0", "", "a-name-longer-than-ifnamsiz"}) {
        EXPECT_EQ("", GetMACAddress(missing, &error)) << missing;
        EXPECT_NE(nullptr, error);
        EXPECT_FALSE(GetIPAddress(missing, ip, mask));
    }
    for (const char* good : {"001122334455", "02aabbccddee"})
        EXPECT_EQ(1, IsCorrectMACAddress(good)) << good;
    for (const char* bad : {"001122AABBCC", "00112233445", "0011223344556", "00:11:22:33:44", "00112233445g",
                            "01005e000001", "ffffffffffff", "000000000000", ""})
        EXPECT_EQ(0, IsCorrectMACAddress(bad)) << bad;
}
