// Configurator: installs on a real temporary directory, hook and reboot
// command as shell scripts. ZentroConfigurator's forwarding to a scoped
// backend is exercised by the client's tests through RecordingConfigurator.
#include "platform/zentro_configurator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace ConfigurationControl;

namespace {

// The content of path, or "-" when it cannot be read.
std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : "-";
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

std::string MakeTempDir()
{
    char base[] = "/tmp/configurator-test-XXXXXX";
    return mkdtemp(base) != nullptr ? base : "/nonexistent";
}

// Every test works in a fresh temporary directory.
class ConfiguratorTest : public ::testing::Test {
protected:
    ~ConfiguratorTest() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
    std::string File(const std::string& name) const { return mDir + "/" + name; }

    // Writes content as the download and applies it.
    bool Apply(const std::string& content, mode_t mode = 0644)
    {
        WriteFile(File("download"), content, mode);
        return mBackend.SetConfigFilePath(File("download")) && mBackend.Start();
    }
    // "<active> | <previous>", and " +temp" while a temporary file is left.
    std::string Installed() const
    {
        bool temp = access((mPaths.activeFile + ".new").c_str(), F_OK) == 0 ||
                    access((mPaths.previousFile + ".tmp").c_str(), F_OK) == 0;
        return ReadFile(mPaths.activeFile) + " | " + ReadFile(mPaths.previousFile) + (temp ? " +temp" : "");
    }

    const std::string mDir = MakeTempDir();
    ConfiguratorPaths mPaths{File("active.cfg"), File("previous.cfg"), File("factory.cfg"),
                             File("apply-config"), "echo rebooted > " + File("reboot-marker")};
    FileConfiguratorBackend mBackend{mPaths};
};

}  // namespace

TEST_F(ConfiguratorTest, ApplyRefusesNonXmlAndKeepsThePreviousFile)
{
    EXPECT_TRUE(mBackend.Open());
    EXPECT_FALSE(mBackend.Start());   // no file set yet
    ASSERT_TRUE(Apply("<?xml old/>"));   // nothing active yet: nothing to keep
    EXPECT_FALSE(Apply("HTTP/1.1 404 Not Found\r\n\r\n<?xml"));
    EXPECT_FALSE(Apply("<?xm"));
    ASSERT_TRUE(mBackend.SetConfigFilePath(File("missing")));
    EXPECT_FALSE(mBackend.Start());
    EXPECT_EQ("<?xml old/> | -", Installed());

    ASSERT_TRUE(Apply("<?xml new/>", 0600));
    EXPECT_EQ("<?xml new/> | <?xml old/>", Installed());
    struct stat info;
    ASSERT_EQ(0, stat(mPaths.activeFile.c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 0777u);
    WriteFile(File("download"), "<?xml changed");   // the installed files are copies
    EXPECT_EQ("<?xml new/> | <?xml old/>", Installed());
}

TEST_F(ConfiguratorTest, InterruptedApplyNeverLeavesAHalfWrittenActiveFile)
{
    // A half-written ".new" left by a crash is never taken for the active file.
    WriteFile(mPaths.activeFile, "<?xml old/>");
    WriteFile(mPaths.activeFile + ".new", "<?xml ne");
    ASSERT_TRUE(Apply("<?xml new/>"));
    EXPECT_EQ("<?xml new/> | <?xml old/>", Installed());

    // When the active file cannot be kept (a directory sits where the previous
    // one goes), the apply stops before the active file is touched.
    ASSERT_EQ(0, unlink(mPaths.previousFile.c_str()));
    ASSERT_EQ(0, mkdir(mPaths.previousFile.c_str(), 0755));
    WriteFile(mPaths.previousFile + "/occupied", "x");
    EXPECT_FALSE(Apply("<?xml other/>"));
    EXPECT_EQ("<?xml new/>", ReadFile(mPaths.activeFile));
    EXPECT_EQ(-1, access((mPaths.activeFile + ".new").c_str(), F_OK));
}

// A process applying two large files in turn is killed at an arbitrary moment:
// every read of the active file meanwhile, and the file left behind, is one of
// the two in full.
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
    int torn = 0;
    for (int i = 0; i < 40; ++i) {
        std::string seen = ReadFile(mPaths.activeFile);
        torn += seen != a && seen != b;
    }
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    EXPECT_EQ(0, torn);
    std::string left = ReadFile(mPaths.activeFile);
    EXPECT_TRUE(left == a || left == b);
    ASSERT_TRUE(Apply("<?xml new/>"));   // the next apply recovers from whatever was left behind
    EXPECT_EQ("<?xml new/> | " + left, Installed());   // and leaves no temporary file
}

TEST_F(ConfiguratorTest, HookResetAndReboot)
{
    // The hook records its argument; present but not executable, it is not run.
    WriteFile(mPaths.applyHook, "#!/bin/sh\necho \"$1\" > " + File("hook-arg") + "\n", 0644);
    ASSERT_TRUE(Apply("<?xml new/>"));
    EXPECT_EQ("-", ReadFile(File("hook-arg")));
    ASSERT_EQ(0, chmod(mPaths.applyHook.c_str(), 0755));
    ASSERT_TRUE(mBackend.Start());
    EXPECT_EQ(mPaths.activeFile + "\n", ReadFile(File("hook-arg")));
    ASSERT_EQ(0, unlink(File("hook-arg").c_str()));

    // Reset installs the factory file the same way, hook included.
    EXPECT_FALSE(mBackend.ResetConfiguration());   // no factory file
    EXPECT_EQ("<?xml new/>", ReadFile(mPaths.activeFile));
    WriteFile(mPaths.factoryFile, "<?xml factory/>");
    ASSERT_TRUE(mBackend.ResetConfiguration());
    EXPECT_EQ("<?xml factory/> | <?xml new/>", Installed());
    EXPECT_EQ("<?xml factory/>", ReadFile(mPaths.factoryFile));
    EXPECT_EQ(mPaths.activeFile + "\n", ReadFile(File("hook-arg")));

    // A failing hook fails the apply; the file stays installed.
    WriteFile(mPaths.applyHook, "#!/bin/sh\nexit 3\n", 0755);
    EXPECT_FALSE(Apply("<?xml new/>"));
    EXPECT_EQ("<?xml new/> | <?xml factory/>", Installed());

    ASSERT_TRUE(mBackend.Reboot());
    EXPECT_EQ("rebooted\n", ReadFile(File("reboot-marker")));
    for (const char* command : {"exit 1", ""}) {
        mPaths.rebootCommand = command;
        EXPECT_FALSE(FileConfiguratorBackend(mPaths).Reboot()) << command;
    }
}
