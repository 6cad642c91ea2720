#include "diagnostics/crash_guard.h"

#include <gtest/gtest.h>

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
#include <cctype>
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
const int UNAVAILABLE = 77;   // exit status of a child that could not set itself up
const char* const NO_NAMESPACE = "exit 77";

// Reads the guard's process-wide state.
class GuardProbe : public CrashGuard {
public:
    static const char* AppName() { return mpAppName; }
    static const char* TraceBuf() { return mpTraceBuf; }
    static bool SyslogOn() { return mSyslogOn; }
    static bool AutoRestart() { return mAutoRestart; }
    static bool WritePid(const char* directory) { return WritePidFile(directory); }
};

std::string ReadFile(const std::string& path)
{
    std::string text;
    char chunk[4096];
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    for (ssize_t count; fd >= 0 && (count = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(count));
    }
    close(fd);   // fails harmlessly for -1
    return text;
}

// The one place where the tests retry on EINTR.
int WaitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Forks a child running body, bounded by an alarm, without core files and
// from the default dispositions, not from a runtime's handlers.
pid_t StartChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(CHILD_TIME_LIMIT_S);
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGILL, SIGABRT, SIGBUS,
                           SIGFPE, SIGSEGV, SIGSTKFLT, SIGUSR1}) {
            signal(number, SIG_DFL);
        }
        _exit(body());
    }
    return pid;
}

// How a child ended: "exit N" or "signal N".
std::string Ending(int status)
{
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

std::string Killed(int signalNumber)
{
    return "signal " + std::to_string(signalNumber);
}

// Runs body in a child; returns how it ended.
std::string RunChild(const std::function<int()>& body)
{
    pid_t pid = StartChild(body);
    return pid > 0 ? Ending(WaitChild(pid)) : "no child";
}

// Wraps body to run in a private mount namespace with a fresh tmpfs on dir.
std::function<int()> InPrivateMount(const char* dir, const std::function<int()>& body)
{
    return [=] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) {
            return UNAVAILABLE;
        }
        return body();
    };
}

std::string SignalHeader(const std::string& path, const char* signalName, int number)
{
    return "\n======= Backtrace dump of the process " + path + " (" + APP_NAME + "), got signal " +
           signalName + "(" + std::to_string(number) + ") =======\n";
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

// Checks report = header, at least one frame line, footer sized from the
// header. Returns the frame lines.
std::vector<std::string> ExpectBacktrace(const std::string& report, const std::string& header)
{
    std::string bar((header.size() - 18) / 2, '=');
    std::string footer = bar + " End of Backtace " + bar + "\n\n";
    if (report.size() < header.size() + footer.size()) {
        ADD_FAILURE() << "short report [" << report << "]";
        return {};
    }
    EXPECT_EQ(header, report.substr(0, header.size()));
    EXPECT_EQ(footer, report.substr(report.size() - footer.size())) << report;
    std::vector<std::string> frames =
        SplitLines(report.substr(header.size(), report.size() - header.size() - footer.size()));
    EXPECT_GE(frames.size(), 1u);
    for (const std::string& line : frames) {
        // " 0x<hex digits>: <symbol text>"
        size_t colon = line.find(": ", 3);
        bool frame = line.compare(0, 3, " 0x") == 0 && colon != std::string::npos && colon > 3 &&
                     line.find_first_not_of("0123456789abcdef", 3) == colon && colon + 2 < line.size();
        EXPECT_TRUE(frame) << "[" << line << "]";
    }
    return frames;
}

// Checks report is exactly one stop line for the signal.
void ExpectStopLine(const std::string& report, const char* signalName, int number)
{
    std::string head = std::string("\n======= Process ") + APP_PATH + " (" + APP_NAME +
                       ") has been stopped by signal " + signalName + "(" +
                       std::to_string(number) + ") at ";
    EXPECT_EQ(head, report.substr(0, head.size())) << report;
    // "hh:mm:ss =======\n" with a valid time of day
    const std::string tail = report.size() > head.size() ? report.substr(head.size()) : "";
    auto field = [&](size_t at) {
        return isdigit(static_cast<unsigned char>(tail[at])) && isdigit(static_cast<unsigned char>(tail[at + 1]))
                   ? (tail[at] - '0') * 10 + (tail[at + 1] - '0')
                   : -1;
    };
    bool valid = tail.size() == 17 && tail[2] == ':' && tail[5] == ':' && tail.compare(8, 9, " =======\n") == 0 &&
                 field(0) >= 0 && field(0) < 24 && field(3) >= 0 && field(3) < 60 && field(6) >= 0 &&
                 field(6) <= 60;
    EXPECT_TRUE(valid) << report;
}

// A store through a null pointer the compiler cannot see, left unchecked by
// the sanitizers so that the hardware raises the fault.
int* volatile gNowhere = nullptr;
__attribute__((noinline, no_sanitize("address", "thread", "undefined"))) int WriteToNull()
{
    *gNowhere = 1;
    return 99;
}

// The test process and all its children share gStartupPid's value: this one.
const std::string gOwnPid = std::to_string(getpid());

// Each test has a fresh directory under /tmp, removed at the end with every
// file named through File() (no directory listing: 32-bit readdir under
// emulation can fail on the host's large directory offsets).
class CrashGuardTest : public ::testing::Test {
protected:
    CrashGuardTest()
    {
        char pattern[] = "/tmp/crash_guard_XXXXXX";
        const char* made = mkdtemp(pattern);
        mDir = made != nullptr ? made : "/tmp";
        mLog = File("report.log");
    }
    ~CrashGuardTest() override
    {
        for (const std::string& name : mNames) {
            unlink(name.c_str());
        }
        rmdir(mDir.c_str());
    }
    std::string File(const std::string& name)
    {
        mNames.push_back(mDir + "/" + name);
        return mNames.back();
    }
    // Runs body in a child under a guard on the report file (fresh each run);
    // returns how the child ended.
    std::string RunGuarded(const std::function<int()>& body, const std::string& path = APP_PATH)
    {
        unlink(mLog.c_str());
        return RunChild([&] {
            CrashGuard guard(mLog.c_str(), APP_NAME, path.c_str(), false, false);
            return body();
        });
    }
    std::string Report() const { return ReadFile(mLog); }

    std::string mDir;
    std::vector<std::string> mNames;
    std::string mLog;
};

}  // namespace

TEST_F(CrashGuardTest, EachGuardedSignalIsReportedAndEndsTheProcess)
{
    // Stop signals give one stop line, faults a backtrace report.
    const struct {
        int number;
        const char* name;
        bool fault;
    } signals[] = {{SIGTERM, "SIGTERM", false}, {SIGHUP, "SIGHUP", false},
                   {SIGINT, "SIGINT", false},   {SIGQUIT, "SIGQUIT", false},
                   {SIGSEGV, "SIGSEGV", true},  {SIGBUS, "SIGBUS", true},
                   {SIGFPE, "SIGFPE", true},    {SIGILL, "SIGILL", true},
                   {SIGABRT, "SIGABRT", true},  {SIGSTKFLT, "SIGSTKFLT", true}};
    for (const auto& item : signals) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(Killed(item.number), RunGuarded([&] { return raise(item.number) + 99; }));
        if (item.fault) {
            ExpectBacktrace(Report(), SignalHeader(APP_PATH, item.name, item.number));
        } else {
            ExpectStopLine(Report(), item.name, item.number);
        }
    }
}

TEST_F(CrashGuardTest, RealNullWriteIsReportedWithFooterAsWideAsHeader)
{
    EXPECT_EQ(Killed(SIGSEGV), RunGuarded(WriteToNull));
    // The 107-character header gives bars of 44.
    std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
    EXPECT_EQ(107u, header.size());
    std::string report = Report();
    ExpectBacktrace(report, header);
    std::string bar(44, '=');
    EXPECT_EQ(bar + " End of Backtace " + bar + "\n\n",
              report.substr(report.size() - std::min<size_t>(report.size(), 107)));
}

// SIGTSTP, ignored beforehand, is reported once; later stop and fault signals
// reach the spent guard and are swallowed, but a hardware fault ends the process.
TEST_F(CrashGuardTest, SpentGuardSwallowsSignalsButAFaultEndsTheProcess)
{
    std::string ending = RunChild([&] {
        signal(SIGTSTP, SIG_IGN);
        CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
        raise(SIGTSTP);
        raise(SIGTERM);
        CrashGuard::FuneralProc(SIGINT);
        CrashGuard::FuneralProc(SIGABRT);
        return WriteToNull();
    });
    EXPECT_EQ(Killed(SIGSEGV), ending);
    ExpectStopLine(Report(), "SIGTSTP", SIGTSTP);
}

TEST_F(CrashGuardTest, UnknownSignalIsAFaultAndRestoresNothing)
{
    // Called directly: the re-raised SIGUSR1 finds its default disposition.
    EXPECT_EQ(Killed(SIGUSR1), RunGuarded([] { CrashGuard::FuneralProc(SIGUSR1); return 99; }));
    ExpectBacktrace(Report(), SignalHeader(APP_PATH, "Unknown", SIGUSR1));

    // Installed for SIGUSR1: the handler stays, so the re-raised signal
    // reaches the spent guard and the process lives on.
    EXPECT_EQ("exit 0", RunGuarded([] {
                  signal(SIGUSR1, CrashGuard::FuneralProc);
                  raise(SIGUSR1);
                  struct sigaction now;
                  sigaction(SIGUSR1, nullptr, &now);
                  return now.sa_handler == CrashGuard::FuneralProc ? 0 : 1;
              }));
    ExpectBacktrace(Report(), SignalHeader(APP_PATH, "Unknown", SIGUSR1));
}

TEST_F(CrashGuardTest, LongPathIsCutAtTheBufferEnd)
{
    std::string path = "/" + std::string(5000, 'p');
    EXPECT_EQ(Killed(SIGSEGV), RunGuarded([] { return raise(SIGSEGV) + 99; }, path));
    std::string report = Report();
    EXPECT_EQ(CrashGuard::TRACE_BUF_SIZE - 1, report.size());
    EXPECT_EQ(0, SignalHeader(path, "SIGSEGV", SIGSEGV).compare(0, report.size(), report));
}

TEST_F(CrashGuardTest, AbortReportsTheReasonWhenGivenAndExitsWithOne)
{
    for (const char* reason : {"Unknown exception in main", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(reason != nullptr ? reason : "no reason");
        EXPECT_EQ("exit 1", RunGuarded([&]() -> int { CrashGuard::Abort(reason); }));
        ExpectBacktrace(Report(), std::string("\n======= Backtrace dump of the process ") + APP_PATH +
                                      " (" + APP_NAME + "), caught C++ unhandled exception" +
                                      (reason != nullptr ? ", reason: Unknown exception in main" : "") +
                                      " =======\n");
    }
}

TEST_F(CrashGuardTest, SecondGuardChangesNothing)
{
    std::string second = File("second.log");
    std::string ending = RunGuarded([&] {
        const char* buffer = GuardProbe::TraceBuf();
        // Never destroyed: it would release the first guard's state.
        new CrashGuard(second.c_str(), "Other", "/usr/sbin/other", true, true);
        if (buffer != GuardProbe::TraceBuf() || GuardProbe::SyslogOn() || GuardProbe::AutoRestart()) {
            return 1;
        }
        return raise(SIGTERM) + 99;
    });
    EXPECT_EQ(Killed(SIGTERM), ending);
    ExpectStopLine(Report(), "SIGTERM", SIGTERM);   // the first guard's file, path and name
    EXPECT_EQ(-1, access(second.c_str(), F_OK));
}

TEST_F(CrashGuardTest, AfterDestructionSignalsTakeTheirCourseUnreported)
{
    for (int number : {SIGTERM, SIGSEGV}) {
        EXPECT_EQ(Killed(number), RunChild([&] {
                      {
                          CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
                      }
                      return raise(number) + 99;
                  }));
    }
    EXPECT_EQ(-1, access(mLog.c_str(), F_OK));
}

namespace {

// Appends "<fault class> <signal>" to the file named by the user data, then
// sends a stop signal while the report is still being made.
void RecordingHook(bool isFault, int signalNumber, void* userData)
{
    std::string record = std::to_string(isFault ? 1 : 0) + " " + std::to_string(signalNumber) + "\n";
    int fd = open(static_cast<const char*>(userData), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ssize_t ignored = write(fd, record.data(), record.size());
    (void)ignored;
    close(fd);
    kill(getpid(), SIGTERM);
}

}  // namespace

TEST_F(CrashGuardTest, HookRunsOnceAndSignalDuringReportGivesNoSecondReport)
{
    // SIGABRT is ignored beforehand, so the process outlives its report and
    // the hook's SIGTERM reaches the spent guard; SIGINT ends the process.
    std::string hookLog = File("hook.log");
    for (int number : {SIGABRT, SIGINT}) {
        SCOPED_TRACE(strsignal(number));
        unlink(hookLog.c_str());
        unlink(mLog.c_str());
        std::string ending = RunChild([&] {
            signal(SIGABRT, number == SIGABRT ? SIG_IGN : SIG_DFL);
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
            CrashGuard::SetUserRoutine(RecordingHook, const_cast<char*>(hookLog.c_str()));
            return raise(number);
        });
        bool fault = number == SIGABRT;
        EXPECT_EQ(fault ? "exit 0" : Killed(SIGINT), ending);
        EXPECT_EQ((fault ? "1 " : "0 ") + std::to_string(number) + "\n", ReadFile(hookLog));
        if (fault) {
            ExpectBacktrace(Report(), SignalHeader(APP_PATH, "SIGABRT", SIGABRT));
        } else {
            ExpectStopLine(Report(), "SIGINT", SIGINT);
        }
    }
}

TEST_F(CrashGuardTest, TwoThreadsFaultingTogetherGiveOneReport)
{
    std::string ending = RunGuarded([] {
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, 2);
        std::thread other([&] {
            pthread_barrier_wait(&start);
            WriteToNull();
        });
        pthread_barrier_wait(&start);
        WriteToNull();
        other.join();
        return 98;
    });
    EXPECT_EQ(Killed(SIGSEGV), ending);
    std::string report = Report();
    EXPECT_EQ(report.find("Backtrace dump"), report.rfind("Backtrace dump")) << report;
    ExpectBacktrace(report, SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV));
}

TEST_F(CrashGuardTest, PidFileNamedAfterBaseNameHoldsStartupPid)
{
    // A null display name is the path's last component; a backslash path has
    // no '/', so its pid file is named by the whole path.
    const struct {
        const char* path;
        const char* name;
        const char* shownName;
        const char* pidFile;
    } cases[] = {{APP_PATH, APP_NAME, APP_NAME, "x.pid"},
                 {"/opt/bin/provd", nullptr, "provd", "provd.pid"},
                 {"C:\\apps\\prov.exe", nullptr, "prov.exe", "C:\\apps\\prov.exe.pid"}};
    std::string directory = mDir + "/";
    for (const auto& item : cases) {
        SCOPED_TRACE(item.path);
        EXPECT_EQ("exit 0", RunChild([&] {
                      CrashGuard guard(mLog.c_str(), item.name, item.path, false, false);
                      if (strcmp(GuardProbe::AppName(), item.shownName) != 0) {
                          return 1;
                      }
                      return GuardProbe::WritePid(directory.c_str()) ? 0 : 2;
                  }));
        EXPECT_EQ(gOwnPid + "\n", ReadFile(File(item.pidFile)));
    }
}

TEST_F(CrashGuardTest, VarRunPidFileOnlyWithAutoRestart)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    for (bool autoRestart : {true, false}) {
        std::string ending = RunChild(InPrivateMount("/var/run", [&] {
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, autoRestart);
            return ReadFile("/var/run/x.pid") == (autoRestart ? gOwnPid + "\n" : "") ? 0 : 1;
        }));
        if (ending == NO_NAMESPACE) {
            GTEST_SKIP() << "mount namespaces are not available here";
        }
        EXPECT_EQ("exit 0", ending) << "auto restart " << autoRestart;
    }
}

namespace {

// A stand-in program that reports into a FIFO, a line each: its blocked
// signals, its arguments, and whether it leads a new session, reads a pipe
// and has no standard error.
class Launchee {
public:
    Launchee(const std::string& script, const std::string& fifo)
        : mScript(script), mFifo(fifo), mFd(-1)
    {
        // The mask is read by the shell itself: a forked command could see
        // the shell's own mask of the moment of forking.
        std::string text =
            "#!/bin/sh\n{\n"
            "while read -r key value; do [ \"$key\" != SigBlk: ] || echo \"SigBlk:$value\"; "
            "done < /proc/$$/status\n"
            "for a in \"$@\"; do printf 'arg:%s\\n' \"$a\"; done\n"
            "read -r stat < /proc/$$/stat; set -- $stat; [ \"$$\" != \"$6\" ] || echo session:new\n"
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

    // Waits, bounded, for the program's whole report (the FIFO shows data or
    // an end only once a writer has opened it) and checks it against args.
    void Expect(const std::vector<std::string>& args)
    {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READ_LIMIT_MS);
        char chunk[1024];
        for (ssize_t count = 1; mFd >= 0 && count > 0;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd ready = {mFd, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            if ((count = read(mFd, chunk, sizeof chunk)) > 0) {
                text.append(chunk, static_cast<size_t>(count));
            }
        }
        std::vector<std::string> expected = {"SigBlk:0000000000000000"};
        for (const std::string& arg : args) {
            expected.push_back("arg:" + arg);
        }
        expected.insert(expected.end(), {"session:new", "stdin:pipe", "stderr:closed"});
        EXPECT_EQ(expected, SplitLines(text));
    }

private:
    std::string mScript;
    std::string mFifo;
    int mFd;
};

}  // namespace

TEST_F(CrashGuardTest, CreateProcessSplitsAtMostFifteenArguments)
{
    const struct {
        const char* cmdLine;
        std::vector<std::string> args;
    } cases[] = {
        {"one two three", {"one", "two", "three"}},
        {"", {}},
        {"a  b", {"a", "", "b"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15 16 17 18"}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.cmdLine);
        std::string name = "launchee" + std::to_string(&item - cases);
        Launchee launchee(File(name + ".sh"), File(name + ".fifo"));
        unsigned long pid = 0;
        ASSERT_TRUE(CrashGuard::CreateProcess(launchee.Path().c_str(), item.cmdLine, &pid));
        ASSERT_NE(0u, pid);
        WaitChild(static_cast<pid_t>(pid));   // the intermediate child, if not yet reaped
        launchee.Expect(item.args);
    }
}

TEST_F(CrashGuardTest, FaultRelaunchesProgramWithItsArguments)
{
    Launchee launchee(File("launchee.sh"), File("launchee.fifo"));
    // Root writes the pid file to a private /var/run; others cannot write it.
    std::function<int()> body = [&] {
        CrashGuard guard(mLog.c_str(), APP_NAME, launchee.Path().c_str(), false, true);
        return raise(SIGSEGV) + 99;
    };
    std::string ending = RunChild(geteuid() == 0 ? InPrivateMount("/var/run", body) : body);
    if (ending == NO_NAMESPACE) {
        GTEST_SKIP() << "mount namespaces are not available here";
    }
    EXPECT_EQ(Killed(SIGSEGV), ending);
    ExpectBacktrace(Report(), SignalHeader(launchee.Path(), "SIGSEGV", SIGSEGV));

    // The relaunch gets this program's own arguments, 15 at most.
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
    launchee.Expect(expected);
}

namespace {

struct LoggedRun {
    std::string ending;
    std::vector<std::pair<int, std::string>> messages;   // priority, text
    std::string report;
};

// Gets signalNumber under a guard in a child that has a private tmpfs on /dev
// with our datagram socket at /dev/log; collects what reaches the socket
// while the child lives (the child waits when the socket's queue is full).
LoggedRun RunWithLogSocket(const std::string& log, bool syslogOn, int signalNumber)
{
    LoggedRun run;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int lifeline[2] = {-1, -1};
    if (sock < 0 || pipe2(lifeline, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no socket or pipe";
        return run;
    }
    unlink(log.c_str());
    pid_t pid = StartChild(InPrivateMount("/dev", [&] {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return UNAVAILABLE;
        }
        CrashGuard guard(log.c_str(), APP_NAME, APP_PATH, syslogOn, false);
        return raise(signalNumber) + 99;
    }));
    close(lifeline[1]);
    // Each datagram reads "<priority>stamp ident[pid]: text".
    std::string marker = std::string(APP_NAME) + "[" + std::to_string(pid) + "]: ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(READ_LIMIT_MS);
    for (bool childGone = false; pid > 0 && !childGone;) {
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
        std::string text(datagram, static_cast<size_t>(count > 0 ? count : 0));
        size_t at = text.find(marker);
        if (count > 0) {
            bool parsed = text[0] == '<' && at != std::string::npos;
            run.messages.emplace_back(parsed ? atoi(text.c_str() + 1) : -1,
                                      parsed ? text.substr(at + marker.size()) : text);
        }
    }
    close(lifeline[0]);
    close(sock);
    run.ending = pid > 0 ? Ending(WaitChild(pid)) : "no child";
    run.report = ReadFile(log);
    return run;
}

}  // namespace

TEST_F(CrashGuardTest, SystemLogGetsReportsLineByLineAndFileIsTheSameWithLogOff)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to put a socket at /dev/log in a mount namespace";
    }
    // One call site: the two backtraces then match frame for frame.
    LoggedRun runs[3];
    for (int i = 0; i < 3; ++i) {
        runs[i] = RunWithLogSocket(mLog, i != 1, i < 2 ? SIGSEGV : SIGTERM);
    }
    const LoggedRun& on = runs[0];
    const LoggedRun& off = runs[1];
    const LoggedRun& stop = runs[2];
    if (on.ending == NO_NAMESPACE) {
        GTEST_SKIP() << "mount namespaces are not available here";
    }
    EXPECT_EQ(Killed(SIGSEGV), on.ending);
    std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
    std::vector<std::string> expected = ExpectBacktrace(on.report, header);
    expected.insert(expected.begin(), header);
    expected.push_back("========= End of Backtace of the Auto Provision Client =========\n");
    ASSERT_EQ(expected.size(), on.messages.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(LOG_USER + LOG_ERR, on.messages[i].first);
        EXPECT_EQ(expected[i], on.messages[i].second);
    }

    EXPECT_EQ(Killed(SIGSEGV), off.ending);
    EXPECT_TRUE(off.messages.empty());
    EXPECT_EQ(on.report, off.report);

    EXPECT_EQ(Killed(SIGTERM), stop.ending);
    ExpectStopLine(stop.report, "SIGTERM", SIGTERM);
    ASSERT_EQ(1u, stop.messages.size());
    EXPECT_EQ(LOG_USER + LOG_WARNING, stop.messages[0].first);
    EXPECT_EQ(stop.report, stop.messages[0].second);
}
