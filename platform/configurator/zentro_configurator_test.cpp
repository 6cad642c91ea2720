// The configurator on a real temporary directory, its hook and reboot command as shell scripts.
#include "configurator/zentro_configurator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "configurator/xml_check.h"
#include "testing/test_support.h"

using namespace ConfigurationControl;
using testing_support::ReadFile;

namespace {

// A well-formed document of the device's kind, root element <config>, that holds an element name.
std::string Doc(const std::string& name)
{
    return "<?xml version=\"1.0\"?><config><" + name + "/></config>";
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644)
{
    testing_support::WriteFile(path, content);
    chmod(path.c_str(), mode);
}

// The configurator with its system-log lines kept as "<priority> <text>".
class LoggingBackend : public FileConfiguratorBackend {
public:
    using FileConfiguratorBackend::FileConfiguratorBackend;
    std::vector<std::string> TakeLines() { return std::exchange(mLines, {}); }

protected:
    void SystemLog(int priority, const std::string& line) override
    {
        mLines.push_back(std::to_string(priority) + " " + line);
    }

private:
    std::vector<std::string> mLines;
};

class ConfiguratorTest : public ::testing::Test {
protected:
    std::string File(const std::string& name) const { return mDir.File(name); }

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
        return Read(mPaths.activeFile) + " | " + Read(mPaths.previousFile) + (temp ? " +temp" : "");
    }
    // The content of path, or "-" when it is no regular file.
    static std::string Read(const std::string& path)
    {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? ReadFile(path) : "-";
    }
    // The hook writes "<argument> <content>" per run to hook-runs; it fails
    // with status 3 on a document with root <bad/>, and sleeps on <slow/>.
    void InstallHook()
    {
        WriteFile(mPaths.applyHook,
                  "#!/bin/sh\necho \"$1 $(cat \"$1\")\" >> " + File("hook-runs") +
                      "\ngrep -q '<bad/>' \"$1\" && exit 3\ngrep -q '<slow/>' \"$1\" && exec sleep 30\nexit 0\n",
                  0755);
    }

    testing_support::TempDir mDir;
    ConfiguratorPaths mPaths{File("active.cfg"), File("previous.cfg"), File("factory.cfg"), File("apply-config"),
                             "echo rebooted > " + File("reboot-marker")};
    LoggingBackend mBackend{mPaths};
};

}  // namespace

TEST_F(ConfiguratorTest, RefusedDocumentTouchesNothingAndIsLoggedWithOffsetAndReason)
{
    InstallHook();
    ASSERT_TRUE(Apply(Doc("old")));   // nothing active yet: nothing to keep
    ASSERT_TRUE(Apply(Doc("new")));
    mBackend.TakeLines();
    const std::string before = ReadFile(File("hook-runs"));

    const std::string download = File("download");
    const struct { std::string content; std::string line; } rows[] = {
        {"HTTP/1.1 404 Not Found\r\n\r\n<?xml", "3 Configurator: " + download + " refused at byte 0: no XML declaration"},
        {"<?xml version=\"1.0\"?><a>" + std::string(XmlCheck::MAX_DOCUMENT_BYTES, ' ') + "</a>",
         "3 Configurator: " + download + " refused at byte 16777216: document too large"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_FALSE(Apply(row.content));
        EXPECT_EQ(Doc("new") + " | " + Doc("old"), Installed());
        EXPECT_EQ(std::vector<std::string>{row.line}, mBackend.TakeLines());
    }
    EXPECT_EQ(before, ReadFile(File("hook-runs")));

    // A missing file is not applied (a FIFO or symlink in its place is SafeFile's).
    ASSERT_EQ(0, unlink(download.c_str()));
    EXPECT_FALSE(mBackend.Start());
    EXPECT_EQ(std::vector<std::string>{"3 Configurator: cannot read " + download + ": No such file or directory"},
              mBackend.TakeLines());

    // A file in a directory anyone may write (not sticky) is not read at all.
    const std::string open = File("open");
    ASSERT_TRUE(mkdir(open.c_str(), 0777) == 0 && chmod(open.c_str(), 0777) == 0);
    WriteFile(open + "/download", Doc("planted"));
    EXPECT_FALSE(mBackend.SetConfigFilePath(open + "/download") && mBackend.Start());
    EXPECT_EQ(std::vector<std::string>{"3 Configurator: " + open + "/download refused: its directory is not trusted"},
              mBackend.TakeLines());
    EXPECT_EQ(Doc("new") + " | " + Doc("old"), Installed());
}

// Each row: the factory and active file (none when empty) in a directory set up as the row says, the
// document applied, whether it is, and the system-log lines. What is not applied leaves the active file
// as it was and runs no hook.
TEST_F(ConfiguratorTest, ForeignDocumentsAndUnwritableDirectoriesAreRefusedAndLogged)
{
    InstallHook();
    WriteFile(File("hook-runs"), "");
    const std::string download = File("download");
    const std::string etc = File("etc");
    const std::string dir = etc + "/zentro";
    const std::string error = "<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code></Error>";
    const std::string zentro = "<?xml version=\"1.0\"?><!-- device --><zentro/>";
    enum Directory { PRESENT, MISSING, NO_PARENT, FILE_IN_PLACE, PREVIOUS_IS_DIRECTORY };
    const struct {
        const char* name; std::string factory; std::string active; Directory directory; std::string document;
        bool applied; std::vector<std::string> lines;
    } rows[] = {
        {"foreign root, active file only", "", zentro, PRESENT, Doc("new"), false,
         {"3 Configurator: " + download + " refused: root element <config>, expected <zentro>"}},
        {"the factory file's root, not the active one's", Doc("factory"), zentro, PRESENT, Doc("new"), true, {}},
        {"neither file: any root", "", "", PRESENT, error, true, {}},
        {"no directory: made", "", "", MISSING, Doc("new"), true, {"5 Configurator: created " + dir}},
        {"no parent directory", "", "", NO_PARENT, Doc("new"), false,
         {"3 Configurator: " + download + " not applied: cannot create " + dir + ": No such file or directory"}},
        {"a file in the directory's place", "", "", FILE_IN_PLACE, Doc("new"), false,
         {"3 Configurator: " + download + " not applied: cannot write " + dir + "/active.cfg.new: Not a directory"}},
        {"failed rename", "", Doc("old"), PREVIOUS_IS_DIRECTORY, Doc("new"), false,
         {"3 Configurator: " + download + " not applied: cannot rename " + dir + "/previous.cfg.tmp to " + dir +
          "/previous.cfg: Is a directory"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(etc);
        ASSERT_TRUE(row.directory == NO_PARENT || mkdir(etc.c_str(), 0755) == 0);
        if (row.directory == FILE_IN_PLACE)
            WriteFile(dir, "");
        ASSERT_TRUE(row.directory == MISSING || row.directory == NO_PARENT || row.directory == FILE_IN_PLACE ||
                    mkdir(dir.c_str(), 0755) == 0);
        ASSERT_TRUE(row.directory != PREVIOUS_IS_DIRECTORY || mkdir((dir + "/previous.cfg").c_str(), 0755) == 0);
        const ConfiguratorPaths paths{dir + "/active.cfg", dir + "/previous.cfg", dir + "/factory.cfg",
                                      mPaths.applyHook, mPaths.rebootCommand};
        if (!row.factory.empty())
            WriteFile(paths.factoryFile, row.factory);
        if (!row.active.empty())
            WriteFile(paths.activeFile, row.active);
        LoggingBackend backend(paths);
        const std::string runs = ReadFile(File("hook-runs"));
        WriteFile(download, row.document);

        EXPECT_EQ(row.applied, backend.SetConfigFilePath(download) && backend.Start());
        EXPECT_EQ(row.applied ? row.document : row.active.empty() ? "-" : row.active, Read(paths.activeFile));
        EXPECT_EQ(runs + (row.applied ? paths.activeFile + " " + row.document + "\n" : ""), ReadFile(File("hook-runs")));
        EXPECT_EQ(row.lines, backend.TakeLines());
    }
}

// A hook that fails or runs too long: the previous document is active again, the hook has run on
// it, and the system log tells the story.
TEST_F(ConfiguratorTest, FailingHookGoesBackToThePreviousDocument)
{
    const std::string active = mPaths.activeFile, previous = mPaths.previousFile;
    const struct { const char* root; std::string failure; } rows[] = {
        {"bad", "exit status 3"}, {"slow", "no end within 500 ms"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.root);
        mPaths.childTimeoutMs = 500;
        LoggingBackend backend(mPaths);
        InstallHook();
        for (const std::string& path : {active, previous, File("hook-runs")})
            unlink(path.c_str());
        WriteFile(File("good"), Doc("good"));
        WriteFile(File("failing"), Doc(row.root));

        ASSERT_TRUE(backend.SetConfigFilePath(File("good")) && backend.Start());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(backend.SetConfigFilePath(File("failing")) && backend.Start());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));   // the sleep was killed
        EXPECT_EQ(Doc("good") + " | " + Doc("good"), Installed());
        EXPECT_EQ(active + " " + Doc("good") + "\n" + active + " " + Doc(row.root) + "\n" + active + " " + Doc("good") +
                      "\n",
                  ReadFile(File("hook-runs")));
        const std::vector<std::string> lines = {
            "3 Configurator: apply hook failed on " + active + " (" + row.failure + "); going back to " + previous,
            "5 Configurator: " + previous + " applied again as " + active};
        EXPECT_EQ(lines, backend.TakeLines());

        // With no previous document the failing one stays, and the log says why.
        unlink(active.c_str());
        unlink(previous.c_str());
        EXPECT_FALSE(backend.Start());
        EXPECT_EQ(Doc(row.root) + " | -", Installed());
        EXPECT_EQ(std::vector<std::string>{"3 Configurator: apply hook failed on " + active + " (" + row.failure +
                                           "); no previous configuration to go back to"},
                  backend.TakeLines());
    }
}

TEST_F(ConfiguratorTest, KeepingThePreviousFileSurvivesAnInterruptedApply)
{
    ASSERT_TRUE(Apply(Doc("old")));
    // An apply killed between its renames leaves the previous file a link to the active one.
    ASSERT_EQ(0, link(mPaths.activeFile.c_str(), mPaths.previousFile.c_str()));
    ASSERT_TRUE(Apply(Doc("new")));
    EXPECT_EQ(Doc("new") + " | " + Doc("old"), Installed());

    // When the active file cannot be kept (a directory sits where the previous one goes), the apply
    // stops before the active file, a copy that the new download leaves alone, is touched.
    ASSERT_EQ(0, unlink(mPaths.previousFile.c_str()));
    ASSERT_EQ(0, mkdir(mPaths.previousFile.c_str(), 0755));
    EXPECT_FALSE(Apply(Doc("other")));
    EXPECT_EQ(Doc("new") + " | -", Installed());
}

// A process applying two large files in turn is killed at an arbitrary moment: every read of the
// active file meanwhile, and the file left behind, is one of the two in full.
TEST_F(ConfiguratorTest, KilledApplyLeavesOneCompleteFile)
{
    const std::string a = "<?xml version=\"1.0\"?><config>" + std::string(64 * 1024, 'a') + "</config>";
    const std::string b = "<?xml version=\"1.0\"?><config>" + std::string(80 * 1024, 'b') + "</config>";
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
        std::string seen = Read(mPaths.activeFile);
        EXPECT_TRUE(seen == a || seen == b) << "torn read " << i;
    }
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    std::string left = Read(mPaths.activeFile);
    EXPECT_TRUE(left == a || left == b);
    ASSERT_TRUE(Apply(Doc("new")));   // the next apply recovers from whatever was left behind
    EXPECT_EQ(Doc("new") + " | " + left, Installed());   // and leaves no temporary file
}

TEST_F(ConfiguratorTest, HookResetAndReboot)
{
    // The hook appends its argument; present but not executable, it is not run.
    WriteFile(mPaths.applyHook, "#!/bin/sh\necho \"$1\" >> " + File("hook-args") + "\n", 0644);
    ASSERT_TRUE(Apply(Doc("new")));
    ASSERT_EQ(0, chmod(mPaths.applyHook.c_str(), 0755));
    ASSERT_TRUE(Apply(Doc("newer")));

    // Reset installs the factory file the same way, hook included, and keeps the factory file.
    EXPECT_FALSE(mBackend.ResetConfiguration());   // no factory file
    WriteFile(mPaths.factoryFile, Doc("factory"));
    ASSERT_TRUE(mBackend.ResetConfiguration());
    EXPECT_EQ(Doc("factory") + " | " + Doc("newer"), Installed());
    EXPECT_EQ(Doc("factory"), ReadFile(mPaths.factoryFile));
    EXPECT_EQ(mPaths.activeFile + "\n" + mPaths.activeFile + "\n", ReadFile(File("hook-args")));

    ASSERT_TRUE(mBackend.Reboot());
    EXPECT_EQ("rebooted\n", ReadFile(File("reboot-marker")));
}
