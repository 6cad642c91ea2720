// Configurator: installs on a real temporary directory, hook and reboot
// command as shell scripts, and the process-wide backend swap.
#include "platform/zentro_configurator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

using namespace ConfigurationControl;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

const char OLD[] = "<?xml version=\"1.0\"?><config>old</config>\n";
const char NEW[] = "<?xml version=\"1.0\"?><config>new</config>\n";

// Every test works in a fresh temporary directory.
class ConfiguratorTest : public ::testing::Test {
protected:
    ConfiguratorTest()
    {
        char base[] = "/tmp/configurator-test-XXXXXX";
        if (mkdtemp(base) != nullptr)
            mDir = base;
        mPaths = {File("active.cfg"), File("previous.cfg"), File("factory.cfg"), File("apply-config"),
                  "echo rebooted > " + File("reboot-marker")};
    }
    ~ConfiguratorTest() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
    std::string File(const std::string& name) const { return mDir + "/" + name; }

    // Writes content as the download and applies it.
    bool Apply(FileConfiguratorBackend& backend, const std::string& content)
    {
        WriteFile(File("download"), content);
        return backend.SetConfigFilePath(File("download")) && backend.Start();
    }
    // A hook that writes its argument to the file "hook-arg".
    void WriteRecordingHook(mode_t mode)
    {
        WriteFile(mPaths.applyHook, "#!/bin/sh\necho \"$1\" > " + File("hook-arg") + "\n", mode);
    }

    std::string mDir;
    ConfiguratorPaths mPaths;
};

// Records calls; Open's answer is chosen by the test.
class RecordingBackend : public ConfiguratorBackend {
public:
    explicit RecordingBackend(bool opens) : mOpens(opens) {}
    bool Open() override { return Record("Open") && mOpens; }
    void Close() override { Record("Close"); }
    bool SetConfigFilePath(const std::string& path) override { return Record("Path " + path); }
    bool Start() override { return Record("Start"); }
    bool Reboot() override { return Record("Reboot"); }
    bool ResetConfiguration() override { return Record("Reset"); }

    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }

private:
    bool Record(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.push_back(call);
        return true;
    }

    bool mOpens;
    mutable std::mutex mMutex;
    std::vector<std::string> mCalls;
};

}  // namespace

// ---------------------------------------------------------------- installing

TEST_F(ConfiguratorTest, RefusedFileLeavesTheActiveOneAlone)
{
    WriteFile(mPaths.activeFile, OLD);
    FileConfiguratorBackend backend(mPaths);
    EXPECT_TRUE(backend.Open());
    EXPECT_FALSE(backend.Start());   // no file set yet

    EXPECT_FALSE(Apply(backend, "HTTP/1.1 404 Not Found\r\n\r\n<?xml"));
    EXPECT_FALSE(Apply(backend, "<?xm"));
    ASSERT_TRUE(backend.SetConfigFilePath(File("missing")));
    EXPECT_FALSE(backend.Start());

    EXPECT_EQ(OLD, ReadFile(mPaths.activeFile));
    EXPECT_FALSE(Exists(mPaths.previousFile));
    EXPECT_FALSE(Exists(mPaths.activeFile + ".new"));
}

TEST_F(ConfiguratorTest, ApplyKeepsTheActiveFileAsThePreviousOne)
{
    FileConfiguratorBackend backend(mPaths);
    ASSERT_TRUE(Apply(backend, OLD));   // nothing active yet: nothing to keep
    EXPECT_EQ(OLD, ReadFile(mPaths.activeFile));
    EXPECT_FALSE(Exists(mPaths.previousFile));

    WriteFile(File("second"), NEW, 0600);
    ASSERT_TRUE(backend.SetConfigFilePath(File("second")));
    ASSERT_TRUE(backend.Start());
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));
    EXPECT_EQ(OLD, ReadFile(mPaths.previousFile));
    EXPECT_FALSE(Exists(mPaths.activeFile + ".new"));
    EXPECT_FALSE(Exists(mPaths.previousFile + ".tmp"));
    struct stat info;
    ASSERT_EQ(0, stat(mPaths.activeFile.c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 0777u);

    // Changing the source afterwards changes neither installed file.
    WriteFile(File("second"), "<?xml changed");
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));
    EXPECT_EQ(OLD, ReadFile(mPaths.previousFile));
}

TEST_F(ConfiguratorTest, InterruptedApplyNeverLeavesAHalfWrittenActiveFile)
{
    FileConfiguratorBackend backend(mPaths);
    WriteFile(mPaths.activeFile, OLD);

    // A half-written ".new" left by a crash is never taken for the active
    // file, and the next apply simply replaces it.
    WriteFile(mPaths.activeFile + ".new", "<?xml version=\"1.0\"?><config>ne");
    EXPECT_EQ(OLD, ReadFile(mPaths.activeFile));
    ASSERT_TRUE(Apply(backend, NEW));
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));
    EXPECT_FALSE(Exists(mPaths.activeFile + ".new"));

    // When the active file cannot be kept (a directory sits where the
    // previous one goes), the apply stops before the active file is touched.
    ASSERT_EQ(0, unlink(mPaths.previousFile.c_str()));
    ASSERT_EQ(0, mkdir(mPaths.previousFile.c_str(), 0755));
    WriteFile(mPaths.previousFile + "/occupied", "x");
    EXPECT_FALSE(Apply(backend, OLD));
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));
    EXPECT_FALSE(Exists(mPaths.activeFile + ".new"));
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
        close(ready[0]);
        FileConfiguratorBackend backend(mPaths);
        for (int i = 0; i < 2000; ++i) {
            backend.SetConfigFilePath(File(i % 2 == 0 ? "b" : "a"));
            if (!backend.Start() || (i == 0 && write(ready[1], "r", 1) != 1))
                _exit(1);
        }
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    close(ready[0]);

    int torn = 0;
    for (int i = 0; i < 40; ++i) {
        std::string seen = ReadFile(mPaths.activeFile);
        if (seen != a && seen != b)
            ++torn;
    }
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, torn);
    std::string left = ReadFile(mPaths.activeFile);
    EXPECT_TRUE(left == a || left == b);

    // The next apply recovers from whatever the killed one left behind.
    FileConfiguratorBackend backend(mPaths);
    ASSERT_TRUE(Apply(backend, NEW));
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));
    EXPECT_EQ(left, ReadFile(mPaths.previousFile));
}

// ---------------------------------------------------------------- hook, reset, reboot

TEST_F(ConfiguratorTest, HookRunsWithTheActiveFilePath)
{
    FileConfiguratorBackend backend(mPaths);
    WriteRecordingHook(0644);   // present but not executable: not run
    ASSERT_TRUE(Apply(backend, NEW));
    EXPECT_FALSE(Exists(File("hook-arg")));

    ASSERT_EQ(0, chmod(mPaths.applyHook.c_str(), 0755));
    ASSERT_TRUE(backend.Start());
    EXPECT_EQ(mPaths.activeFile + "\n", ReadFile(File("hook-arg")));

    // A failing hook fails the apply; the file stays installed.
    WriteFile(mPaths.applyHook, "#!/bin/sh\nexit 3\n", 0755);
    EXPECT_FALSE(Apply(backend, OLD));
    EXPECT_EQ(OLD, ReadFile(mPaths.activeFile));
}

TEST_F(ConfiguratorTest, ResetInstallsTheFactoryFile)
{
    FileConfiguratorBackend backend(mPaths);
    WriteFile(mPaths.activeFile, NEW);
    EXPECT_FALSE(backend.ResetConfiguration());   // no factory file
    EXPECT_EQ(NEW, ReadFile(mPaths.activeFile));

    WriteFile(mPaths.factoryFile, OLD);
    WriteRecordingHook(0755);
    ASSERT_TRUE(backend.ResetConfiguration());
    EXPECT_EQ(OLD, ReadFile(mPaths.activeFile));
    EXPECT_EQ(NEW, ReadFile(mPaths.previousFile));
    EXPECT_EQ(OLD, ReadFile(mPaths.factoryFile));
    EXPECT_EQ(mPaths.activeFile + "\n", ReadFile(File("hook-arg")));
}

TEST_F(ConfiguratorTest, RebootRunsTheCommand)
{
    ASSERT_TRUE(FileConfiguratorBackend(mPaths).Reboot());
    EXPECT_EQ("rebooted\n", ReadFile(File("reboot-marker")));
    for (const char* command : {"exit 1", ""}) {
        mPaths.rebootCommand = command;
        EXPECT_FALSE(FileConfiguratorBackend(mPaths).Reboot()) << command;
    }
}

// ---------------------------------------------------------------- instance and backend swap

TEST(ConfiguratorInstance, ForwardsToTheScopedBackend)
{
    RecordingBackend outer(true);
    RecordingBackend closed(false);
    {
        ScopedConfiguratorBackend scope(&outer);
        ZentroConfigurator* configurator = ZentroConfigurator::GetInstance();
        ASSERT_NE(nullptr, configurator);
        EXPECT_TRUE(configurator->SetConfigFilePath("/tmp/x.xml"));
        EXPECT_TRUE(configurator->Start());
        EXPECT_TRUE(configurator->ResetConfiguration());
        EXPECT_TRUE(configurator->Reboot());
        {
            ScopedConfiguratorBackend inner(&closed);
            EXPECT_EQ(nullptr, ZentroConfigurator::GetInstance());
        }
        EXPECT_EQ(configurator, ZentroConfigurator::GetInstance());
        ZentroConfigurator::CloseInstance();
    }
    EXPECT_EQ((std::vector<std::string>{"Open", "Path /tmp/x.xml", "Start", "Reset", "Reboot", "Open", "Close"}),
              outer.Calls());
    EXPECT_EQ((std::vector<std::string>{"Open"}), closed.Calls());
    // The device's backend is back; opening it touches no file.
    EXPECT_NE(nullptr, ZentroConfigurator::GetInstance());
}

TEST(ConfiguratorInstance, SwapWhileAnotherThreadCallsIn)
{
    RecordingBackend first(true);
    RecordingBackend second(true);
    ScopedConfiguratorBackend base(&first);
    const int calls = 500;
    std::thread caller([&] {
        for (int i = 0; i < calls; ++i) {
            ZentroConfigurator* configurator = ZentroConfigurator::GetInstance();
            if (configurator != nullptr)
                configurator->Start();
        }
    });
    for (int i = 0; i < calls; ++i)
        ScopedConfiguratorBackend swap(&second);
    caller.join();
    size_t starts = 0;
    for (const std::vector<std::string>& log : {first.Calls(), second.Calls()})
        starts += static_cast<size_t>(std::count(log.begin(), log.end(), "Start"));
    EXPECT_EQ(static_cast<size_t>(calls), starts);
}
