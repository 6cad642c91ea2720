#include "net_check/net_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

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
        SCOPED_TRACE(missing);
        EXPECT_EQ("", GetMACAddress(missing, &error));
        EXPECT_NE(nullptr, error);
        EXPECT_FALSE(GetIPAddress(missing, ip, mask));
    }
}

TEST(NetCheck, MacAddressValidation)
{
    for (const char* good : {"001122334455", "02aabbccddee"})
        EXPECT_EQ(1, IsCorrectMACAddress(good)) << good;
    for (const char* bad : {"001122AABBCC", "00112233445", "0011223344556", "00:11:22:33:44", "00112233445g",
                            "01005e000001", "ffffffffffff", "000000000000", ""})
        EXPECT_EQ(0, IsCorrectMACAddress(bad)) << bad;
}

// One end of a veth pair, named eth1, in a network namespace of this test.
TEST(NetCheck, VethInOwnNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    auto shell = [](const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    };
    const std::string name = "apc-netcheck-" + std::to_string(getpid());
    if (!shell("ip netns add " + name))
        GTEST_SKIP() << "ip netns add failed";
    const std::string in = "ip -n " + name + " ";
    bool ready = shell(in + "link add eth1 type veth peer name veth-peer") &&
                 shell(in + "link set eth1 address 02:11:22:33:44:55") &&
                 shell(in + "addr add 10.77.0.2/24 dev eth1") && shell(in + "link set eth1 up");
    std::string mac = "outside";   // until the helper thread enters the namespace
    std::string ip;
    std::string mask;
    // setns moves only the calling thread, so a helper thread does the lookups.
    std::thread inside([&] {
        int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && ready && setns(fd, CLONE_NEWNET) == 0) {
            mac = GetMACAddress("eth1", nullptr);
            GetIPAddress("eth1", ip, mask);
        }
        if (fd >= 0)
            close(fd);
    });
    inside.join();
    shell("ip netns del " + name);   // takes the veth pair with it
    if (mac == "outside")
        GTEST_SKIP() << (ready ? "setns into the namespace failed" : "setting up the veth pair failed");
    EXPECT_EQ("021122334455 10.77.0.2/255.255.255.0", mac + " " + ip + "/" + mask);
}
