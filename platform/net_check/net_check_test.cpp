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
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    auto shell = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; };
    const std::string name = "apc-netcheck-" + std::to_string(getpid());
    const std::string in = "ip -n " + name + " ";
    const bool ready = shell("ip netns add " + name) && shell(in + "link add eth1 type veth peer name veth-peer") &&
                       shell(in + "link set eth1 address 02:ab:cd:ef:44:55") &&
                       shell(in + "addr add 10.77.0.2/24 dev eth1") && shell(in + "link set eth1 up");
    std::string mac = "outside", ip, mask;
    std::thread([&] {
        const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && ready && setns(fd, CLONE_NEWNET) == 0) {
            mac = GetMACAddress("eth1", nullptr);
            GetIPAddress("eth1", ip, mask);
        }
        close(fd);
    }).join();
    shell("ip netns del " + name);   // takes the veth pair with it
    if (mac == "outside")
        GTEST_SKIP() << "the namespace or its veth pair could not be set up";
    EXPECT_EQ("02abcdef4455 10.77.0.2/255.255.255.0", mac + " " + ip + "/" + mask);   // lower-case hex
}
