#include "platform/net_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Runs a command without a shell, its output discarded; true when it exits 0.
bool Run(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// A network namespace of this test with a veth pair, one end named eth1.
class VethNamespace {
public:
    VethNamespace() : mName("apc-netcheck-" + std::to_string(getpid())) {}
    ~VethNamespace()
    {
        if (mCreated) {
            Run({"ip", "netns", "del", mName});  // takes the veth pair with it
        }
    }

    // Empty on success, else why the namespace could not be set up.
    std::string Create()
    {
        if (!Run({"ip", "netns", "add", mName})) {
            return "ip netns add failed";
        }
        mCreated = true;
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "-n", mName, "link", "add", "eth1", "type", "veth", "peer", "name", "veth-peer"},
            {"ip", "-n", mName, "link", "set", "eth1", "address", "02:11:22:33:44:55"},
            {"ip", "-n", mName, "addr", "add", "10.77.0.2/24", "dev", "eth1"},
            {"ip", "-n", mName, "link", "set", "eth1", "up"},
        };
        for (const auto& step : steps) {
            if (!Run(step)) {
                return "setting up the veth pair failed";
            }
        }
        return std::string();
    }

    std::string Path() const { return "/run/netns/" + mName; }

private:
    std::string mName;
    bool mCreated = false;
};

}  // namespace

TEST(NetCheck, KernelAnswersForLoopbackAndMissingInterface)
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
        EXPECT_FALSE(GetIPAddress(missing, ip, mask)) << missing;
    }
    EXPECT_EQ("127.0.0.1/255.0.0.0", ip + "/" + mask);  // untouched
}

TEST(NetCheck, MacAddressValidation)
{
    for (const char* good : {"001122334455", "02aabbccddee"}) {
        EXPECT_EQ(1, IsCorrectMACAddress(good)) << good;
    }
    for (const char* bad : {"001122AABBCC", "00112233445", "0011223344556", "00:11:22:33:44",
                            "0011-2233-44", "00112233445g", "01005e000001", "ffffffffffff",
                            "000000000000", ""}) {
        EXPECT_EQ(0, IsCorrectMACAddress(bad)) << bad;
    }
}

TEST(NetCheck, BackendCanBeSwapped)
{
    struct Fixed : NetCheckBackend {
        std::string MacAddress(const std::string&) override { return "021122334455"; }
        bool IpAddress(const std::string&, std::string&, std::string&) override { return false; }
    } fixed;
    {
        ScopedNetCheckBackend scope(&fixed);
        EXPECT_EQ("021122334455", GetMACAddress("apc-none0", nullptr));
    }
    EXPECT_EQ("", GetMACAddress("apc-none0", nullptr));
}

TEST(NetCheck, VethInOwnNamespace)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create a network namespace";
    }
    VethNamespace space;
    std::string failure = space.Create();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    std::string mac;
    std::string ip;
    std::string mask;
    bool entered = false;
    bool found = false;
    // setns moves only the calling thread, so a helper thread does the lookups.
    std::thread inside([&] {
        int fd = open(space.Path().c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (entered) {
            mac = GetMACAddress("eth1", nullptr);
            found = GetIPAddress("eth1", ip, mask);
        }
    });
    inside.join();
    if (!entered) {
        GTEST_SKIP() << "setns into " << space.Path() << " failed";
    }
    EXPECT_EQ("021122334455", mac);
    EXPECT_TRUE(IsCorrectMACAddress(mac));
    ASSERT_TRUE(found);
    EXPECT_EQ("10.77.0.2", ip);
    EXPECT_EQ("255.255.255.0", mask);
}
