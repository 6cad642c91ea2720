// The configurator on a real temporary directory, its hook and reboot command as shell scripts.
#include "platform/zentro_configurator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/utility.h"

using namespace ConfigurationControl;

namespace {

// The content of path, or "-" when it cannot be read.
std::string ReadFile(const std::string& path)
{
    std::string content;
    return PlatformDetail::ReadWholeFile(path.c_str(), content) ? content : "-";
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

class ConfiguratorTest : public ::testing::Test {
protected:
    ~ConfiguratorTest() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
    std::string File(const std::string& name) const { return mDir + "/" + name; }

    // Writes content as the download and applies it.
    bool Apply(const std::string& content)
    {
        WriteFile(File("download"), content);
        return mBackend.SetConfigFilePath(File("download")) && mBackend.Start();
    }
    // "<active> | <previous>", and " +temp" while a temporary file is left.
    std::string Installed() const
    {
        bool temp = access((mPaths.activeFile + ".new").c_str(), F_OK) == 0 ||
                    access((mPaths.previousFile + ".tmp").c_str(), F_OK) == 0;
        return ReadFile(mPaths.activeFile) + " | " + ReadFile(mPaths.previousFile) + (temp ? " +temp" : "");
    }

    char mPattern[32] = "/tmp/configurator-test-XXXXXX";
    const std::string mDir = mkdtemp(mPattern) != nullptr ? mPattern : "/nonexistent";
    ConfiguratorPaths mPaths{File("active.cfg"), File("previous.cfg"), File("factory.cfg"),
                             File("apply-config"), "echo rebooted > " + File("reboot-marker")};
    FileConfiguratorBackend mBackend{mPaths};
};

}  // namespace

TEST_F(ConfiguratorTest, ApplyRefusesNonXmlKeepsThePreviousFileAndNeverHalfWritesTheActiveOne)
{
    ASSERT_TRUE(Apply("<?xml old/>"));   // nothing active yet: nothing to keep
    EXPECT_FALSE(Apply("HTTP/1.1 404 Not Found\r\n\r\n<?xml"));
    EXPECT_FALSE(Apply("<?xm"));
    EXPECT_EQ("<?xml old/> | -", Installed());

    // An apply killed between its renames leaves the previous file a link to the active one.
    ASSERT_EQ(0, link(mPaths.activeFile.c_str(), mPaths.previousFile.c_str()));
    ASSERT_TRUE(Apply("<?xml new/>"));
    EXPECT_EQ("<?xml new/> | <?xml old/>", Installed());

    // When the active file cannot be kept (a directory sits where the previous one goes), the apply
    // stops before the active file, a copy that the new download leaves alone, is touched.
    ASSERT_EQ(0, unlink(mPaths.previousFile.c_str()));
    ASSERT_EQ(0, mkdir(mPaths.previousFile.c_str(), 0755));
    EXPECT_FALSE(Apply("<?xml other/>"));
    EXPECT_EQ("<?xml new/> | -", Installed());
}

// A process applying two large files in turn is killed at an arbitrary moment: every read of the
// active file meanwhile, and the file left behind, is one of the two in full.
TEST_F(ConfiguratorTest, KilledApplyLeavesOneCompleteFile)
{
    const std::string a = "<?xml a" + std::string(64 * 1024, 'a');
    const std::string b = "<?xml b" + std::string(80 * 1024, 'b');
    WriteFile(File("a"), a);
    WriteFile(File("b"), b);
    WriteFile(mPaths.activeFile, a);
    int ready[2];
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 2000; ++i) {
            mBackend.SetConfigFilePath(File(i % 2 == 0 ? "b" : "a"));
            if (!mBackend.Start() || (i == 0 && write(ready[1], "r", 1) != 1))
                _exit(1);
        }
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));   // the child has applied once
    close(ready[0]);
    for (int i = 0; i < 400; ++i) {   // spans several applies: the kill lands anywhere in one
        std::string seen = ReadFile(mPaths.activeFile);
        EXPECT_TRUE(seen == a || seen == b) << "torn read " << i;
    }
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    std::string left = ReadFile(mPaths.activeFile);
    EXPECT_TRUE(left == a || left == b);
    ASSERT_TRUE(Apply("<?xml new/>"));   // the next apply recovers from whatever was left behind
    EXPECT_EQ("<?xml new/> | " + left, Installed());   // and leaves no temporary file
}

TEST_F(ConfiguratorTest, HookResetAndReboot)
{
    // The hook appends its argument; present but not executable, it is not run.
    WriteFile(mPaths.applyHook, "#!/bin/sh\necho \"$1\" >> " + File("hook-args") + "\n", 0644);
    ASSERT_TRUE(Apply("<?xml new/>"));
    ASSERT_EQ(0, chmod(mPaths.applyHook.c_str(), 0755));
    ASSERT_TRUE(mBackend.Start());

    // Reset installs the factory file the same way, hook included, and keeps the factory file.
    EXPECT_FALSE(mBackend.ResetConfiguration());   // no factory file
    WriteFile(mPaths.factoryFile, "<?xml factory/>");
    ASSERT_TRUE(mBackend.ResetConfiguration());
    EXPECT_EQ("<?xml factory/> | <?xml new/>", Installed());
    EXPECT_EQ("<?xml factory/>", ReadFile(mPaths.factoryFile));
    EXPECT_EQ(mPaths.activeFile + "\n" + mPaths.activeFile + "\n", ReadFile(File("hook-args")));

    // A failing hook fails the apply, the file staying installed (Reboot waits for its command alike).
    WriteFile(mPaths.applyHook, "#!/bin/sh\nexit 3\n", 0755);
    EXPECT_FALSE(Apply("<?xml new/>"));
    EXPECT_EQ("<?xml new/> | <?xml factory/>", Installed());

    ASSERT_TRUE(mBackend.Reboot());
    EXPECT_EQ("rebooted\n", ReadFile(File("reboot-marker")));
}
