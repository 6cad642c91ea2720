#include "net_check/net_check.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/sip_test_peer.h"

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

// One end of a veth pair, named eth1, in a network namespace of this test; a helper thread enters it
// (setns moves only the calling thread).
TEST(NetCheck, VethInOwnNamespace)
{
    sip_test::TestNetns netns("apc-netcheck");
    const std::string in = "ip -n " + netns.Name() + " ";
    if (!netns.Ok() || !sip_test::Shell(in + "link add eth1 type veth peer name veth-peer && " + in +
                                        "link set eth1 address 02:ab:cd:ef:44:55 && " + in +
                                        "addr add 10.77.0.2/24 dev eth1 && " + in + "link set eth1 up"))
        GTEST_SKIP() << "needs root and network namespaces with veth links";
    std::string mac, ip, mask;
    ASSERT_TRUE(netns.Run([&] {
        mac = GetMACAddress("eth1", nullptr);
        GetIPAddress("eth1", ip, mask);
    }));
    EXPECT_EQ("02abcdef4455 10.77.0.2/255.255.255.0", mac + " " + ip + "/" + mask);   // lower-case hex
}
