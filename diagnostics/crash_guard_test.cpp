#include "diagnostics/crash_guard.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/utility.h"

#if defined(__SANITIZE_THREAD__)
// The symbol lookup of a backtrace allocates inside the handler, the one
// allocation the reports allow: ThreadSanitizer is told not to flag it.
extern "C" const char* __tsan_default_suppressions()
{
    return "signal:CrashGuard::DumpStack\n";
}
#endif

namespace {

const char* const APP_NAME = "Auto Provision Client";
const char* const APP_PATH = "/usr/sbin/x";
const unsigned int CHILD_TIME_LIMIT_S = 30;
const int READ_LIMIT_MS = 20000;

// Reads the guard's process-wide state.
class GuardProbe : public CrashGuard {
public:
    static const char* LogFile() { return mpLogFile; }
    static const char* AppName() { return mpAppName; }
    static const char* AppPath() { return mpAppPath; }
    static const char* TraceBuf() { return mpTraceBuf; }
    static bool SyslogOn() { return mSyslogOn; }
    static bool AutoRestart() { return mAutoRestart; }
    static bool WritePid(const char* directory) { return WritePidFile(directory); }
};

// A fresh directory under /tmp, removed at the end with every file named
// through File() (no directory listing: 32-bit readdir under emulation can
// fail on the host's large directory offsets).
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/crash_guard_XXXXXX";
        const char* made = mkdtemp(pattern);
        mPath = made != nullptr ? made : "/tmp";
    }
    ~TempDir()
    {
        for (const std::string& name : mNames) {
            unlink(name.c_str());
        }
        rmdir(mPath.c_str());
    }
    std::string File(const std::string& name) const
    {
        mNames.push_back(mPath + "/" + name);
        return mNames.back();
    }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
    mutable std::vector<std::string> mNames;
};

std::string ReadFile(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char chunk[4096];
    ssize_t count;
    while ((count = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(count));
    }
    close(fd);
    return text;
}

bool Exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// The one place where the tests retry on EINTR.
int WaitChild(pid_t pid, int options)
{
    int status = 0;
    while (waitpid(pid, &status, options) < 0 && errno == EINTR) {
    }
    return status;
}

// Bounds a forked child by an alarm, turns its core files off and starts it
// from the default dispositions, not from a runtime's handlers.
void PrepareChild()
{
    alarm(CHILD_TIME_LIMIT_S);
    struct rlimit noCore = {0, 0};   // the children's deaths leave no core files
    setrlimit(RLIMIT_CORE, &noCore);
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGILL, SIGABRT, SIGBUS,
                       SIGFPE, SIGSEGV, SIGSTKFLT, SIGUSR1}) {
        signal(number, SIG_DFL);
    }
}

// Runs body in a forked child that ends with body's result unless a signal
// ends it first; an alarm bounds the child. Returns the wait status.
int RunChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        PrepareChild();
        _exit(body());
    }
    return pid > 0 ? WaitChild(pid, 0) : -1;
}

::testing::AssertionResult EndedBy(int status, int signalNumber)
{
    if (WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "status " << status << ": " << (WIFEXITED(status) ? "exit " : "signal ")
           << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
}

::testing::AssertionResult ExitedWith(int status, int code)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == code) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "status " << status;
}

std::string SignalHeader(const char* path, const char* signalName, int number)
{
    return std::string("\n======= Backtrace dump of the process ") + path + " (" + APP_NAME +
           "), got signal " + signalName + "(" + std::to_string(number) + ") =======\n";
}

std::string ExceptionHeader(const std::string& reasonPart)
{
    return std::string("\n======= Backtrace dump of the process ") + APP_PATH + " (" + APP_NAME +
           "), caught C++ unhandled exception" + reasonPart + " =======\n";
}

std::string BufferFooter(size_t headerLength)
{
    std::string bar((headerLength - 18) / 2, '=');
    return bar + " End of Backtace " + bar + "\n\n";
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

bool IsFrameLine(const std::string& line)
{
    size_t colon = line.find(": ");
    if (line.compare(0, 3, " 0x") != 0 || colon == std::string::npos || colon <= 3 ||
        colon + 2 >= line.size()) {
        return false;
    }
    return line.find_first_not_of("0123456789abcdef", 3) == colon;
}

// Checks report = header, at least one frame line, footer sized from the
// header. Returns the frame lines.
std::vector<std::string> ExpectBacktrace(const std::string& report, const std::string& header)
{
    std::vector<std::string> frames;
    std::string footer = BufferFooter(header.size());
    EXPECT_EQ(0, report.compare(0, header.size(), header)) << report;
    EXPECT_GE(report.size(), header.size() + footer.size());
    if (report.size() < header.size() + footer.size()) {
        return frames;
    }
    EXPECT_EQ(footer, report.substr(report.size() - footer.size())) << report;
    frames = SplitLines(report.substr(header.size(), report.size() - header.size() - footer.size()));
    EXPECT_GE(frames.size(), 1u);
    for (const std::string& line : frames) {
        EXPECT_TRUE(IsFrameLine(line)) << "[" << line << "]";
    }
    return frames;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Checks report is exactly one stop line for the signal.
void ExpectStopLine(const std::string& report, const char* signalName, int number)
{
    std::string head = std::string("\n======= Process ") + APP_PATH + " (" + APP_NAME +
                       ") has been stopped by signal " + signalName + "(" +
                       std::to_string(number) + ") at ";
    std::string tail = " =======\n";
    ASSERT_EQ(head.size() + 8 + tail.size(), report.size()) << report;
    EXPECT_EQ(head, report.substr(0, head.size()));
    EXPECT_EQ(tail, report.substr(report.size() - tail.size()));
    std::string clock = report.substr(head.size(), 8);
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        EXPECT_TRUE(clock[i] >= '0' && clock[i] <= '9') << clock;
    }
    EXPECT_TRUE(clock[2] == ':' && clock[5] == ':') << clock;
    EXPECT_LT(std::stoi(clock.substr(0, 2)), 24);
    EXPECT_LT(std::stoi(clock.substr(3, 2)), 60);
    EXPECT_LT(std::stoi(clock.substr(6, 2)), 61);
}

// A store through a null pointer the compiler cannot see, left unchecked by
// the sanitizers so that the hardware raises the fault.
int* volatile gNowhere = nullptr;
__attribute__((noinline, no_sanitize("address", "thread", "undefined"))) void WriteToNull()
{
    *gNowhere = 1;
}

// The test process and all its children share gStartupPid's value: this one.
const std::string gOwnPid = std::to_string(getpid());

}  // namespace

// ---------------------------------------------------------------- stop signals

TEST(CrashGuardStop, EachStopSignalWritesOneLineAndEndsByIt)
{
    for (int number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(number));
        TempDir dir;
        std::string log = dir.File("report.log");
        int status = RunChild([&] {
            CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            raise(number);
            return 99;
        });
        EXPECT_TRUE(EndedBy(status, number));
        const char* name = number == SIGTERM ? "SIGTERM"
                           : number == SIGHUP ? "SIGHUP"
                           : number == SIGINT ? "SIGINT"
                                              : "SIGQUIT";
        ExpectStopLine(ReadFile(log), name, number);
    }
}

TEST(CrashGuardStop, StopAndContinueThenGuardIsSpent)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        PrepareChild();
        setpgid(0, 0);   // an orphaned process group would not stop
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        raise(SIGTSTP);
        raise(SIGTERM);   // swallowed by the spent guard
        _exit(7);
    }
    int status = WaitChild(pid, WUNTRACED);
    EXPECT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) << status;
    if (WIFSTOPPED(status)) {
        kill(pid, SIGCONT);
        status = WaitChild(pid, 0);
    }
    EXPECT_TRUE(ExitedWith(status, 7));
    ExpectStopLine(ReadFile(log), "SIGTSTP", SIGTSTP);
}

TEST(CrashGuardStop, IgnoredStopSignalIsReportedOnceThenSwallowed)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        signal(SIGHUP, SIG_IGN);
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        raise(SIGHUP);
        raise(SIGTERM);
        CrashGuard::FuneralProc(SIGINT);
        CrashGuard::FuneralProc(SIGABRT);
        return 0;
    });
    EXPECT_TRUE(ExitedWith(status, 0));
    ExpectStopLine(ReadFile(log), "SIGHUP", SIGHUP);
}

// ---------------------------------------------------------------- fault reports

TEST(CrashGuardFault, RaisedFaultSignalsWriteBacktraceAndEndByThem)
{
    const struct {
        int number;
        const char* name;
    } faults[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
                  {SIGILL, "SIGILL"},   {SIGABRT, "SIGABRT"}, {SIGSTKFLT, "SIGSTKFLT"}};
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        TempDir dir;
        std::string log = dir.File("report.log");
        int status = RunChild([&] {
            CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            raise(fault.number);
            return 99;
        });
        EXPECT_TRUE(EndedBy(status, fault.number));
        ExpectBacktrace(ReadFile(log), SignalHeader(APP_PATH, fault.name, fault.number));
    }
}

TEST(CrashGuardFault, RealNullWriteIsReportedWithFooterAsWideAsHeader)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        WriteToNull();
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
    EXPECT_EQ(107u, header.size());
    ExpectBacktrace(ReadFile(log), header);
    std::string footer = std::string(44, '=') + " End of Backtace " + std::string(44, '=') + "\n\n";
    std::string report = ReadFile(log);
    EXPECT_EQ(footer, report.substr(report.size() - std::min(report.size(), footer.size())));
}

TEST(CrashGuardFault, UnknownSignalIsAFaultAndRestoresNothing)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    // Called directly: the re-raised SIGUSR1 finds its default disposition.
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        CrashGuard::FuneralProc(SIGUSR1);
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGUSR1));
    ExpectBacktrace(ReadFile(log), SignalHeader(APP_PATH, "Unknown", SIGUSR1));

    // Installed for SIGUSR1: the handler stays, so the re-raised signal
    // reaches the spent guard and the process lives on.
    std::string log2 = dir.File("report2.log");
    status = RunChild([&] {
        CrashGuard guard(log2.c_str(), APP_NAME, APP_PATH, false, false);
        signal(SIGUSR1, CrashGuard::FuneralProc);
        raise(SIGUSR1);
        struct sigaction now;
        sigaction(SIGUSR1, nullptr, &now);
        return now.sa_handler == CrashGuard::FuneralProc ? 0 : 1;
    });
    EXPECT_TRUE(ExitedWith(status, 0));
    ExpectBacktrace(ReadFile(log2), SignalHeader(APP_PATH, "Unknown", SIGUSR1));
}

TEST(CrashGuardFault, NullDisplayNameIsTakenFromThePath)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), nullptr, "/opt/bin/provd", false, false);
        raise(SIGSEGV);
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    std::string header = "\n======= Backtrace dump of the process /opt/bin/provd (provd), got signal "
                         "SIGSEGV(11) =======\n";
    ExpectBacktrace(ReadFile(log), header);
}

TEST(CrashGuardFault, LongPathIsCutAtTheBufferEnd)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    std::string path = "/" + std::string(5000, 'p');
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), APP_NAME, path.c_str(), false, false);
        raise(SIGSEGV);
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    std::string report = ReadFile(log);
    EXPECT_EQ(CrashGuard::TRACE_BUF_SIZE - 1, report.size());
    EXPECT_EQ(0, SignalHeader(path.c_str(), "SIGSEGV", SIGSEGV).compare(0, report.size(), report));
}

// ---------------------------------------------------------------- exception reports

TEST(CrashGuardAbort, ReportsTheReasonWhenGivenAndExitsWithOne)
{
    const struct {
        const char* reason;
        std::string part;
    } cases[] = {{"Unknown exception in main", ", reason: Unknown exception in main"},
                 {nullptr, ""}};
    for (const auto& item : cases) {
        TempDir dir;
        std::string log = dir.File("report.log");
        int status = RunChild([&] {
            CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            CrashGuard::Abort(item.reason);
            return 98;
        });
        EXPECT_TRUE(ExitedWith(status, 1));
        ExpectBacktrace(ReadFile(log), ExceptionHeader(item.part));
    }
}

// ---------------------------------------------------------------- once only

TEST(CrashGuardOnce, SecondGuardChangesNothing)
{
    TempDir dir;
    std::string first = dir.File("first.log");
    std::string second = dir.File("second.log");
    int status = RunChild([&] {
        CrashGuard guard(first.c_str(), APP_NAME, APP_PATH, false, false);
        const char* buffer = GuardProbe::TraceBuf();
        struct sigaction before;
        sigaction(SIGTERM, nullptr, &before);
        CrashGuard* other = new CrashGuard(second.c_str(), "Other", "/usr/sbin/other", true, true);
        struct sigaction after;
        sigaction(SIGTERM, nullptr, &after);
        bool same = buffer == GuardProbe::TraceBuf() && first == GuardProbe::LogFile() &&
                    strcmp(GuardProbe::AppName(), APP_NAME) == 0 &&
                    strcmp(GuardProbe::AppPath(), APP_PATH) == 0 && !GuardProbe::SyslogOn() &&
                    !GuardProbe::AutoRestart() && after.sa_handler == CrashGuard::FuneralProc &&
                    before.sa_handler == CrashGuard::FuneralProc;
        if (!same) {
            return 1;
        }
        raise(SIGTERM);
        delete other;
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGTERM));
    ExpectStopLine(ReadFile(first), "SIGTERM", SIGTERM);
    EXPECT_FALSE(Exists(second));
}

TEST(CrashGuardOnce, AfterDestructionSignalsTakeTheirCourseUnreported)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    for (int number : {SIGTERM, SIGSEGV}) {
        int status = RunChild([&] {
            {
                CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            }
            if (GuardProbe::TraceBuf() != nullptr || GuardProbe::LogFile() != nullptr) {
                return 1;
            }
            raise(number);
            return 99;
        });
        EXPECT_TRUE(EndedBy(status, number));
    }
    EXPECT_FALSE(Exists(log));
}

namespace {

// Writes "<fault class> <signal>" to the pipe passed as user data, then
// sends a stop signal while the report is still being made.
void RecordingHook(bool isFault, int signalNumber, void* userData)
{
    char record[32];
    int length = snprintf(record, sizeof record, "%d %d", isFault ? 1 : 0, signalNumber);
    ssize_t ignored = write(*static_cast<int*>(userData), record, static_cast<size_t>(length));
    (void)ignored;
    kill(getpid(), SIGTERM);
}

}  // namespace

TEST(CrashGuardOnce, HookRunsOnceAndSignalDuringReportGivesNoSecondReport)
{
    // SIGABRT is ignored beforehand, so the process outlives its report and
    // the hook's SIGTERM reaches the spent guard; SIGINT ends the process.
    for (int number : {SIGABRT, SIGINT}) {
        SCOPED_TRACE(strsignal(number));
        TempDir dir;
        std::string log = dir.File("report.log");
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
        int status = RunChild([&] {
            if (number == SIGABRT) {
                signal(SIGABRT, SIG_IGN);
            }
            CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            CrashGuard::SetUserRoutine(RecordingHook, &fds[1]);
            raise(number);
            return 0;
        });
        close(fds[1]);
        char record[32] = {};
        ssize_t length = read(fds[0], record, sizeof record - 1);
        close(fds[0]);
        std::string hookCall = std::string(record, static_cast<size_t>(std::max<ssize_t>(length, 0)));
        std::string report = ReadFile(log);
        if (number == SIGABRT) {
            EXPECT_TRUE(ExitedWith(status, 0));
            EXPECT_EQ("1 " + std::to_string(SIGABRT), hookCall);
            ExpectBacktrace(report, SignalHeader(APP_PATH, "SIGABRT", SIGABRT));
            EXPECT_EQ(0u, Count(report, "has been stopped"));
        } else {
            EXPECT_TRUE(EndedBy(status, SIGINT));
            EXPECT_EQ("0 " + std::to_string(SIGINT), hookCall);
            ExpectStopLine(report, "SIGINT", SIGINT);
        }
    }
}

TEST(CrashGuardOnce, TwoThreadsFaultingTogetherGiveOneReport)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, 2);
        std::thread other([&] {
            pthread_barrier_wait(&start);
            WriteToNull();
        });
        pthread_barrier_wait(&start);
        WriteToNull();
        other.join();
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    std::string report = ReadFile(log);
    EXPECT_EQ(1u, Count(report, "Backtrace dump")) << report;
    ExpectBacktrace(report, SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV));
}

TEST(CrashGuardOnce, FaultReachingSpentGuardEndsTheProcess)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        signal(SIGHUP, SIG_IGN);
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        raise(SIGHUP);
        WriteToNull();
        return 99;
    });
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    ExpectStopLine(ReadFile(log), "SIGHUP", SIGHUP);
}

// ---------------------------------------------------------------- pid file and relaunch

TEST(CrashGuardRestart, PidFileNamedAfterBaseNameHoldsStartupPid)
{
    TempDir dir;
    std::string directory = dir.Path() + "/";
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
        return GuardProbe::WritePid(directory.c_str()) ? 0 : 1;
    });
    EXPECT_TRUE(ExitedWith(status, 0));
    EXPECT_EQ(gOwnPid + "\n", ReadFile(dir.File("x.pid")));
}

TEST(CrashGuardRestart, BackslashPathNamesByLastComponentPidFileByWholePath)
{
    TempDir dir;
    std::string directory = dir.Path() + "/";
    const char* path = "C:\\apps\\prov.exe";
    std::string log = dir.File("report.log");
    int status = RunChild([&] {
        CrashGuard guard(log.c_str(), nullptr, path, false, false);
        if (strcmp(GuardProbe::AppName(), "prov.exe") != 0) {
            return 1;
        }
        return GuardProbe::WritePid(directory.c_str()) ? 0 : 2;
    });
    EXPECT_TRUE(ExitedWith(status, 0));
    EXPECT_EQ(gOwnPid + "\n", ReadFile(dir.File(std::string(path) + ".pid")));
}

namespace {

// Runs body in a child with a private tmpfs on /var/run. Returns false with
// a reason when the machine does not allow it.
bool RunWithPrivateVarRun(const std::function<int()>& body, int& status, std::string& reason)
{
    if (geteuid() != 0) {
        reason = "needs root for a private /var/run";
        return false;
    }
    status = RunChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var/run", "tmpfs", 0, "mode=0755") != 0) {
            return 77;
        }
        return body();
    });
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        reason = "mount namespaces are not available here";
        return false;
    }
    return true;
}

// Entries of a directory, "." and ".." left out.
std::vector<std::string> List(const char* path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

}  // namespace

TEST(CrashGuardRestart, VarRunPidFileOnlyWithAutoRestart)
{
    TempDir dir;
    std::string log = dir.File("report.log");
    int status = 0;
    std::string reason;
    if (!RunWithPrivateVarRun(
            [&] {
                CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, true);
                std::vector<std::string> names = List("/var/run");
                return names.size() == 1 && names[0] == "x.pid" &&
                               ReadFile("/var/run/x.pid") == gOwnPid + "\n"
                           ? 0
                           : 1;
            },
            status, reason)) {
        GTEST_SKIP() << reason;
    }
    EXPECT_TRUE(ExitedWith(status, 0));
    ASSERT_TRUE(RunWithPrivateVarRun(
        [&] {
            CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, false, false);
            return List("/var/run").empty() ? 0 : 1;
        },
        status, reason));
    EXPECT_TRUE(ExitedWith(status, 0));
}

namespace {

// A stand-in program that reports its arguments, session, process id, open
// standard descriptors and blocked signals into a FIFO, one item a line.
class Launchee {
public:
    explicit Launchee(const TempDir& dir)
        : mScript(dir.File("launchee.sh")), mFifo(dir.File("launchee.fifo")), mFd(-1)
    {
        // The mask is read by the shell itself: a forked command could see
        // the shell's own mask of the moment of forking.
        std::string text = "#!/bin/sh\n{\n"
                           "while read -r key value; do\n"
                           "  [ \"$key\" != SigBlk: ] || echo \"SigBlk:$value\"\n"
                           "done < /proc/$$/status\n"
                           "for a in \"$@\"; do printf 'arg:%s\\n' \"$a\"; done\n"
                           "read -r stat < /proc/$$/stat\n"
                           "set -- $stat\n"
                           "printf 'pid:%s\\nsid:%s\\n' \"$$\" \"$6\"\n"
                           "case $(readlink /proc/$$/fd/0) in pipe:*) echo stdin:pipe;; esac\n"
                           "[ -e /proc/$$/fd/2 ] || echo stderr:closed\n"
                           "} > " + mFifo + "\n";
        int fd = open(mScript.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        if (fd >= 0) {
            ssize_t ignored = write(fd, text.data(), text.size());
            (void)ignored;
            close(fd);
        }
        if (mkfifo(mFifo.c_str(), 0600) == 0) {
            mFd = open(mFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~Launchee()
    {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    const std::string& Path() const { return mScript; }

    // Waits, bounded, for the program's whole report: the FIFO shows data or
    // an end only once a writer has opened it.
    std::vector<std::string> Report()
    {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READ_LIMIT_MS);
        while (mFd >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd ready = {mFd, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char chunk[1024];
            ssize_t count = read(mFd, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            text.append(chunk, static_cast<size_t>(count));
        }
        return SplitLines(text);
    }

private:
    std::string mScript;
    std::string mFifo;
    int mFd;
};

std::vector<std::string> Args(const std::vector<std::string>& report)
{
    std::vector<std::string> args;
    for (const std::string& line : report) {
        if (line.compare(0, 4, "arg:") == 0) {
            args.push_back(line.substr(4));
        }
    }
    return args;
}

std::string Item(const std::vector<std::string>& report, const std::string& key)
{
    for (const std::string& line : report) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

void ExpectDetached(const std::vector<std::string>& report)
{
    EXPECT_NE("", Item(report, "pid"));
    EXPECT_EQ(Item(report, "pid"), Item(report, "sid"));
    EXPECT_EQ("pipe", Item(report, "stdin"));
    EXPECT_EQ("closed", Item(report, "stderr"));
}

}  // namespace

TEST(CrashGuardRestart, CreateProcessSplitsAtMostFifteenArguments)
{
    const struct {
        const char* cmdLine;
        std::vector<std::string> args;
    } cases[] = {
        {"one two three", {"one", "two", "three"}},
        {"", {}},
        {"a  b", {"a", "", "b"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
          "15 16 17 18"}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.cmdLine);
        TempDir dir;
        Launchee launchee(dir);
        unsigned long pid = 0;
        ASSERT_TRUE(CrashGuard::CreateProcess(launchee.Path().c_str(), item.cmdLine, &pid));
        EXPECT_NE(0u, pid);
        WaitChild(static_cast<pid_t>(pid), 0);   // the intermediate child, if not yet reaped
        std::vector<std::string> report = launchee.Report();
        EXPECT_EQ(item.args, Args(report));
        ExpectDetached(report);
    }
}

TEST(CrashGuardRestart, FaultRelaunchesProgramWithItsArguments)
{
    TempDir dir;
    Launchee launchee(dir);
    std::string log = dir.File("report.log");
    int status = 0;
    std::string reason;
    // Root writes the pid file to a private /var/run; others cannot write it.
    std::function<int()> body = [&] {
        CrashGuard guard(log.c_str(), APP_NAME, launchee.Path().c_str(), false, true);
        raise(SIGSEGV);
        return 99;
    };
    if (geteuid() == 0) {
        if (!RunWithPrivateVarRun(body, status, reason)) {
            GTEST_SKIP() << reason;
        }
    } else {
        status = RunChild(body);
    }
    EXPECT_TRUE(EndedBy(status, SIGSEGV));
    std::vector<std::string> report = launchee.Report();
    ExpectDetached(report);

    char cmdLine[CrashGuard::CMD_LINE_SIZE] = {};
    Thread::GetCommandLine(cmdLine, sizeof cmdLine, false, false, false);
    std::vector<std::string> expected;
    if (cmdLine[0] != '\0') {
        std::string rest = cmdLine;
        for (size_t blank; expected.size() < 14 && (blank = rest.find(' ')) != std::string::npos;) {
            expected.push_back(rest.substr(0, blank));
            rest.erase(0, blank + 1);
        }
        expected.push_back(rest);
    }
    EXPECT_EQ(expected, Args(report));
    EXPECT_EQ("0000000000000000", Item(report, "SigBlk"));
    ExpectBacktrace(ReadFile(log), SignalHeader(launchee.Path().c_str(), "SIGSEGV", SIGSEGV));
}

// ---------------------------------------------------------------- system log

namespace {

struct LogMessage {
    int priority;
    std::string text;
};

struct LoggedRun {
    int status = -1;
    std::string skip;
    std::vector<LogMessage> messages;
    std::string report;
};

// Splits "<pri>stamp ident[pid]: text" into priority and text.
LogMessage ParseDatagram(const std::string& datagram, pid_t pid)
{
    LogMessage message = {-1, ""};
    std::string marker = std::string(APP_NAME) + "[" + std::to_string(pid) + "]: ";
    size_t close = datagram.find('>');
    size_t at = datagram.find(marker);
    if (datagram.compare(0, 1, "<") == 0 && close != std::string::npos && at != std::string::npos) {
        message.priority = std::stoi(datagram.substr(1, close - 1));
        message.text = datagram.substr(at + marker.size());
    }
    return message;
}

// Gets signalNumber under a guard in a child that has a private tmpfs on /dev
// with our datagram socket at /dev/log; collects what reaches the socket
// while the child lives (the child waits when the socket's queue is full).
LoggedRun RunWithLogSocket(bool syslogOn, int signalNumber)
{
    LoggedRun run;
    if (geteuid() != 0) {
        run.skip = "needs root to put a socket at /dev/log in a mount namespace";
        return run;
    }
    TempDir dir;
    std::string log = dir.File("report.log");
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int lifeline[2] = {-1, -1};
    if (sock < 0 || pipe2(lifeline, O_CLOEXEC) != 0) {
        run.skip = "no socket or pipe";
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        PrepareChild();
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
            bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            _exit(77);
        }
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, syslogOn, false);
        raise(signalNumber);
        _exit(99);
    }
    close(lifeline[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READ_LIMIT_MS);
    bool childGone = false;
    while (pid > 0 && !childGone) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd ready[2] = {{sock, POLLIN, 0}, {lifeline[0], POLLIN, 0}};
        if (left.count() <= 0 || poll(ready, 2, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        childGone = ready[0].revents == 0 && ready[1].revents != 0;
        char datagram[2048];
        ssize_t count = recv(sock, datagram, sizeof datagram, MSG_DONTWAIT);
        if (count > 0) {
            run.messages.push_back(ParseDatagram(std::string(datagram, static_cast<size_t>(count)), pid));
        }
    }
    close(lifeline[0]);
    close(sock);
    run.status = pid > 0 ? WaitChild(pid, 0) : -1;
    if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 77) {
        run.skip = "mount namespaces are not available here";
    }
    run.report = ReadFile(log);
    return run;
}

}  // namespace

TEST(CrashGuardSyslog, BacktraceGoesToLogLineByLineAndFileIsTheSameWithLogOff)
{
    LoggedRun runs[2];
    for (bool syslogOn : {true, false}) {
        runs[syslogOn ? 0 : 1] = RunWithLogSocket(syslogOn, SIGSEGV);
    }
    if (!runs[0].skip.empty()) {
        GTEST_SKIP() << runs[0].skip;
    }
    EXPECT_TRUE(EndedBy(runs[0].status, SIGSEGV));
    std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
    std::vector<std::string> frames = ExpectBacktrace(runs[0].report, header);
    ASSERT_EQ(frames.size() + 2, runs[0].messages.size());
    std::vector<std::string> expected = {header};
    expected.insert(expected.end(), frames.begin(), frames.end());
    expected.push_back("========= End of Backtace of the Auto Provision Client =========\n");
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(LOG_USER + LOG_ERR, runs[0].messages[i].priority);
        EXPECT_EQ(11, runs[0].messages[i].priority);
        EXPECT_EQ(expected[i], runs[0].messages[i].text);
    }

    EXPECT_TRUE(EndedBy(runs[1].status, SIGSEGV));
    EXPECT_TRUE(runs[1].messages.empty());
    EXPECT_EQ(runs[0].report, runs[1].report);
}

TEST(CrashGuardSyslog, StopLineIsLoggedAsWarning)
{
    LoggedRun run = RunWithLogSocket(true, SIGTERM);
    if (!run.skip.empty()) {
        GTEST_SKIP() << run.skip;
    }
    EXPECT_TRUE(EndedBy(run.status, SIGTERM));
    ExpectStopLine(run.report, "SIGTERM", SIGTERM);
    ASSERT_EQ(1u, run.messages.size());
    EXPECT_EQ(12, run.messages[0].priority);
    EXPECT_EQ(run.report, run.messages[0].text);
}
