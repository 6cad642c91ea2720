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
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_support.h"

using testing_support::ReadFile;

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

// Forks a child running body, bounded by an alarm, without core files and
// from the default dispositions, not from a runtime's handlers.
pid_t StartChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        for (int number = 1; number < SIGRTMIN; ++number) {
            signal(number, SIG_DFL);
        }
        _exit(body());
    }
    return pid;
}

std::string Killed(int signalNumber)
{
    return "signal " + std::to_string(signalNumber);
}

// Waits for a child: "exit N" or "signal N". The one place where the tests retry on EINTR.
std::string Ending(pid_t pid)
{
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid <= 0) {
        return "no child";
    }
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : Killed(WTERMSIG(status));
}

// Wraps body to run in a private mount namespace with a fresh tmpfs on dir.
std::function<int()> InPrivateMount(const char* dir, const std::function<int()>& body)
{
    return [=] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) {
            return UNAVAILABLE;
        }
        return body();
    };
}

// Reads fd until its end, or with a lifeline until that ends and fd is drained; one piece per read.
// Bounded to 20 s.
std::vector<std::string> Collect(int fd, int lifeline = -1)
{
    using Clock = std::chrono::steady_clock;
    std::vector<std::string> pieces;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    char chunk[4096];
    for (ssize_t count = 1; count > 0;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        struct pollfd ready[2] = {{fd, POLLIN, 0}, {lifeline, POLLIN, 0}};
        if (left <= 0 || poll(ready, 2, static_cast<int>(left)) <= 0 || ready[0].revents == 0) {
            break;
        }
        if ((count = read(fd, chunk, sizeof chunk)) > 0) {
            pieces.emplace_back(chunk, static_cast<size_t>(count));
        }
    }
    return pieces;
}

std::string SignalHeader(const std::string& path, const char* signalName, int number)
{
    return "\n======= Backtrace dump of the process " + path + " (" + APP_NAME + "), got signal " +
           signalName + "(" + std::to_string(number) + ") =======\n";
}

// Checks report = header, frame lines " 0x<hex>: <symbol text>", then the footer sized from the
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
    std::vector<std::string> frames;
    for (size_t start = header.size(), end; start < report.size() - footer.size(); start = end + 1) {
        end = report.find('\n', start);
        frames.push_back(report.substr(start, end - start));
        size_t colon = frames.back().find(": ");
        EXPECT_TRUE(frames.back().compare(0, 3, " 0x") == 0 && colon != std::string::npos && colon > 3 &&
                    frames.back().find_first_not_of("0123456789abcdef", 3) == colon &&
                    colon + 2 < frames.back().size())
            << "[" << frames.back() << "]";
    }
    EXPECT_GE(frames.size(), 1u);
    return frames;
}

// Checks report is exactly one stop line for the signal, at a time of day.
void ExpectStopLine(const std::string& report, const char* signalName, int number)
{
    std::string head = std::string("\n======= Process ") + APP_PATH + " (" + APP_NAME +
                       ") has been stopped by signal " + signalName + "(" + std::to_string(number) + ") at ";
    EXPECT_EQ(head, report.substr(0, head.size())) << report;
    std::string time = report.substr(std::min(head.size(), report.size()));
    std::string shape = time;
    std::replace_if(shape.begin(), shape.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); },
                    '9');
    EXPECT_TRUE(shape == "99:99:99 =======\n" && time.compare(0, 2, "24") < 0 && time[3] < '6' &&
                time.compare(6, 2, "60") <= 0)
        << report;
}

// Bodies of guarded children, given the signal of their case.
int Raise(int number)
{
    return raise(number) + 99;
}

// A store through a null pointer the compiler cannot see, left unchecked by
// the sanitizers so that the hardware raises the fault.
int* volatile gNowhere = nullptr;
__attribute__((noinline, no_sanitize("address", "thread", "undefined"))) int WriteToNull(int)
{
    *gNowhere = 1;
    return 99;
}

int FaultOnTwoThreads(int)
{
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, 2);
    std::thread other([&] {
        pthread_barrier_wait(&start);
        WriteToNull(0);
    });
    pthread_barrier_wait(&start);
    WriteToNull(0);
    other.join();
    return 98;
}

// A second guard changes nothing: not the buffer, the texts, the log or the relaunch.
int RaiseUnderSecondGuard(int number)
{
    const char* buffer = GuardProbe::TraceBuf();
    // Never destroyed: it would release the first guard's state.
    new CrashGuard("/nonexistent/other.log", "Other", "/usr/sbin/other", true, true);
    bool same = buffer == GuardProbe::TraceBuf() && !GuardProbe::SyslogOn() && !GuardProbe::AutoRestart();
    return same ? Raise(number) : 1;
}

// The guard of a child run by RunGuarded, so that a body can destroy it.
CrashGuard* gGuard = nullptr;

int RaiseAfterDestruction(int number)
{
    delete gGuard;
    return Raise(number);
}

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

// Writes a stand-in program that reports into a FIFO, a line each: its blocked signals, its
// arguments, and whether it leads a new session, reads a pipe and has no standard error.
// Returns the FIFO's read end. The shell reads its mask itself: a forked command could see
// the shell's own mask of the moment of forking.
int WriteLaunchee(const std::string& script, const std::string& fifo)
{
    testing_support::WriteFile(
        script, "#!/bin/sh\n{\n"
                "while read -r key value; do [ \"$key\" != SigBlk: ] || echo \"SigBlk:$value\"; "
                "done < /proc/$$/status\n"
                "for a in \"$@\"; do printf 'arg:%s\\n' \"$a\"; done\n"
                "read -r stat < /proc/$$/stat; set -- $stat; [ \"$$\" != \"$6\" ] || echo session:new\n"
                "case $(readlink /proc/$$/fd/0) in pipe:*) echo stdin:pipe;; esac\n"
                "[ -e /proc/$$/fd/2 ] || echo stderr:closed\n"
                "} > " + fifo + "\n");
    chmod(script.c_str(), 0755);
    return mkfifo(fifo.c_str(), 0600) == 0 ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
}

// Checks the launchee's whole report (the FIFO shows data or an end only once a writer opened it).
void ExpectLaunched(int fifo, const std::vector<std::string>& args)
{
    std::string expected = "SigBlk:0000000000000000\n";
    for (const std::string& arg : args) {
        expected += "arg:" + arg + "\n";
    }
    std::string text;
    for (const std::string& piece : Collect(fifo)) {
        text += piece;
    }
    close(fifo);
    EXPECT_EQ(expected + "session:new\nstdin:pipe\nstderr:closed\n", text);
}

// The test process and all its children share gStartupPid's value: this one.
const std::string gOwnPid = std::to_string(getpid());

// Each test has a fresh directory under /tmp, removed at the end with every
// file named through File() (no directory listing: 32-bit readdir under
// emulation can fail on the host's large directory offsets).
class CrashGuardTest : public ::testing::Test {
protected:
    CrashGuardTest() : mDir(mkdtemp(mPattern) != nullptr ? mPattern : "/tmp"), mLog(File("report.log")) {}
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
        return Ending(StartChild([&] {
            gGuard = new CrashGuard(mLog.c_str(), APP_NAME, path.c_str(), false, false);
            return body();
        }));
    }
    std::string Report() const { return ReadFile(mLog); }

    char mPattern[32] = "/tmp/crash_guard_XXXXXX";
    std::vector<std::string> mNames;
    std::string mDir;
    std::string mLog;
};

}  // namespace

TEST_F(CrashGuardTest, EachEndIsReportedOnceAndTakesItsCourse)
{
    // The example: the 107-character header gives bars of 44.
    EXPECT_EQ(107u, SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV).size());
    enum Outcome { STOP_LINE, BACKTRACE, BACKTRACE_AND_LIVES, NOTHING };
    const struct { const char* name; int number; int (*body)(int number); Outcome outcome; } cases[] = {
        {"SIGTERM", SIGTERM, Raise, STOP_LINE},   {"SIGHUP", SIGHUP, Raise, STOP_LINE},
        {"SIGINT", SIGINT, Raise, STOP_LINE},     {"SIGQUIT", SIGQUIT, Raise, STOP_LINE},
        {"SIGSEGV", SIGSEGV, Raise, BACKTRACE},   {"SIGBUS", SIGBUS, Raise, BACKTRACE},
        {"SIGFPE", SIGFPE, Raise, BACKTRACE},     {"SIGILL", SIGILL, Raise, BACKTRACE},
        {"SIGABRT", SIGABRT, Raise, BACKTRACE},   {"SIGSTKFLT", SIGSTKFLT, Raise, BACKTRACE},
        {"SIGSEGV", SIGSEGV, WriteToNull, BACKTRACE},
        {"SIGSEGV", SIGSEGV, FaultOnTwoThreads, BACKTRACE},   // one report for both
        {"SIGTERM", SIGTERM, RaiseUnderSecondGuard, STOP_LINE},   // the first guard's file, path and name
        // Outside the table: a fault that restores nothing, so the re-raise finds the default, or
        // the handler where one was installed (then the spent guard swallows it).
        {"Unknown", SIGUSR1, [](int number) { CrashGuard::FuneralProc(number); return 99; }, BACKTRACE},
        {"Unknown", SIGUSR1,
         [](int number) {
             signal(number, CrashGuard::FuneralProc);
             raise(number);
             return signal(number, SIG_DFL) == CrashGuard::FuneralProc ? 0 : 1;
         },
         BACKTRACE_AND_LIVES},
        // A destroyed guard leaves its handler, which lets each signal take its course unreported.
        {"", SIGTERM, RaiseAfterDestruction, NOTHING},   {"", SIGSEGV, RaiseAfterDestruction, NOTHING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases) + " " + c.name);
        EXPECT_EQ(c.outcome == BACKTRACE_AND_LIVES ? "exit 0" : Killed(c.number),
                  RunGuarded([&] { return c.body(c.number); }));
        if (c.outcome == STOP_LINE) {
            ExpectStopLine(Report(), c.name, c.number);
        } else if (c.outcome == NOTHING) {
            EXPECT_EQ(-1, access(mLog.c_str(), F_OK));
        } else {
            ExpectBacktrace(Report(), SignalHeader(APP_PATH, c.name, c.number));
        }
    }
}

TEST_F(CrashGuardTest, AbortReportsTheReasonWhenGivenAndExitsWithOne)
{
    for (const char* reason : {"Unknown exception in main", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(reason != nullptr ? reason : "no reason");
        EXPECT_EQ("exit 1", RunGuarded([&]() -> int { CrashGuard::Abort(reason); }));
        ExpectBacktrace(Report(), std::string("\n======= Backtrace dump of the process ") + APP_PATH + " (" +
                                      APP_NAME + "), caught C++ unhandled exception" +
                                      (reason != nullptr ? ", reason: Unknown exception in main" : "") +
                                      " =======\n");
    }
}

TEST_F(CrashGuardTest, LongPathIsCutAtTheBufferEnd)
{
    std::string path = "/" + std::string(5000, 'p');
    EXPECT_EQ(Killed(SIGSEGV), RunGuarded([] { return Raise(SIGSEGV); }, path));
    std::string report = Report();
    EXPECT_EQ(CrashGuard::TRACE_BUF_SIZE - 1, report.size());
    EXPECT_EQ(0, SignalHeader(path, "SIGSEGV", SIGSEGV).compare(0, report.size(), report));
}

TEST_F(CrashGuardTest, HookRunsOnceAndASpentGuardSwallowsAllButAHardwareFault)
{
    // A signal ignored beforehand is reported, ignored again, and the process lives on: the hook's
    // SIGTERM during the report and the later signals reach the spent guard and are swallowed, until
    // a real fault ends the process. SIGINT ends it at once.
    const struct { const char* name; int number; bool fault; int endsBy; } cases[] = {
        {"SIGABRT", SIGABRT, true, SIGSEGV}, {"SIGTSTP", SIGTSTP, false, SIGSEGV},
        {"SIGINT", SIGINT, false, SIGINT}};
    std::string hookLog = File("hook.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(hookLog.c_str());
        unlink(mLog.c_str());
        std::string ending = Ending(StartChild([&] {
            signal(SIGABRT, SIG_IGN);
            signal(SIGTSTP, SIG_IGN);
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
            CrashGuard::SetUserRoutine(RecordingHook, const_cast<char*>(hookLog.c_str()));
            raise(c.number);
            raise(SIGTERM);
            CrashGuard::FuneralProc(SIGABRT);
            return WriteToNull(0);
        }));
        EXPECT_EQ(Killed(c.endsBy), ending);
        EXPECT_EQ((c.fault ? "1 " : "0 ") + std::to_string(c.number) + "\n", ReadFile(hookLog));
        if (c.fault) {
            ExpectBacktrace(Report(), SignalHeader(APP_PATH, c.name, c.number));
        } else {
            ExpectStopLine(Report(), c.name, c.number);
        }
    }
}

TEST_F(CrashGuardTest, PidFileNamedAfterBaseNameHoldsStartupPid)
{
    // A null display name is the path's last component; a backslash path has
    // no '/', so its pid file is named by the whole path.
    const struct { const char* path; const char* name; const char* shown; const char* pidFile; } cases[] = {
        {APP_PATH, APP_NAME, APP_NAME, "x.pid"}, {"/opt/bin/provd", nullptr, "provd", "provd.pid"},
        {"C:\\apps\\prov.exe", nullptr, "prov.exe", "C:\\apps\\prov.exe.pid"}};
    std::string directory = mDir + "/";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ("exit 0", Ending(StartChild([&] {
                      CrashGuard guard(mLog.c_str(), c.name, c.path, false, false);
                      bool named = strcmp(GuardProbe::AppName(), c.shown) == 0;
                      return named && GuardProbe::WritePid(directory.c_str()) ? 0 : 1;
                  })));
        EXPECT_EQ(gOwnPid + "\n", ReadFile(File(c.pidFile)));
    }
    // The guard itself writes /var/run/x.pid, and only with auto-restart.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private /var/run";
    }
    for (bool autoRestart : {true, false}) {
        std::string ending = Ending(StartChild(InPrivateMount("/var/run", [&] {
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, autoRestart);
            return ReadFile("/var/run/x.pid") == (autoRestart ? gOwnPid + "\n" : "") ? 0 : 1;
        })));
        if (ending == NO_NAMESPACE) {
            GTEST_SKIP() << "mount namespaces are not available here";
        }
        EXPECT_EQ("exit 0", ending) << "auto restart " << autoRestart;
    }
}

TEST_F(CrashGuardTest, CreateProcessSplitsAtMostFifteenArgumentsAndAFaultRelaunches)
{
    const struct { const char* cmdLine; std::vector<std::string> args; } cases[] = {
        {"one two three", {"one", "two", "three"}}, {"", {}}, {"a  b", {"a", "", "b"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15 16 17 18"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmdLine);
        std::string name = "launchee" + std::to_string(&c - cases);
        std::string script = File(name + ".sh");
        int fifo = WriteLaunchee(script, File(name + ".fifo"));
        unsigned long pid = 0;
        ASSERT_TRUE(CrashGuard::CreateProcess(script.c_str(), c.cmdLine, &pid));
        ASSERT_NE(0u, pid);
        Ending(static_cast<pid_t>(pid));   // reaps the intermediate child
        ExpectLaunched(fifo, c.args);
    }

    // A fault relaunches the program with this process's own arguments (fewer than 15 here).
    // Root writes the pid file to a private /var/run; others cannot write it.
    std::string script = File("relaunched.sh");
    int fifo = WriteLaunchee(script, File("relaunched.fifo"));
    std::function<int()> body = [&] {
        CrashGuard guard(mLog.c_str(), APP_NAME, script.c_str(), false, true);
        return Raise(SIGSEGV);
    };
    std::string ending = Ending(StartChild(geteuid() == 0 ? InPrivateMount("/var/run", body) : body));
    if (ending == NO_NAMESPACE) {
        close(fifo);
        GTEST_SKIP() << "mount namespaces are not available here";
    }
    EXPECT_EQ(Killed(SIGSEGV), ending);
    ExpectBacktrace(Report(), SignalHeader(script, "SIGSEGV", SIGSEGV));
    std::vector<std::string> arguments = ::testing::internal::GetArgvs();
    arguments.erase(arguments.begin());
    ExpectLaunched(fifo, arguments);
}

// Children get signals under a guard, with a private tmpfs on /dev that holds our datagram socket at
// /dev/log; what reaches the socket while a child lives (it waits while the queue is full) is
// compared with its report file.
TEST_F(CrashGuardTest, SystemLogGetsReportsLineByLineAndFileIsTheSameWithLogOff)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to put a socket at /dev/log in a mount namespace";
    }
    auto logged = [](int priority, const std::string& text) {
        return std::to_string(LOG_USER | priority) + " " + text;
    };
    struct Run {
        bool syslogOn;
        int number;
        std::string ending, report;
        std::vector<std::string> messages;   // "<priority> <text>"
    } runs[] = {{true, SIGSEGV, "", "", {}}, {false, SIGSEGV, "", "", {}}, {true, SIGTERM, "", "", {}}};
    for (Run& run : runs) {   // one call site: the two backtraces then match frame for frame
        int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int lifeline[2] = {-1, -1};
        ASSERT_TRUE(sock >= 0 && pipe2(lifeline, O_CLOEXEC) == 0);
        unlink(mLog.c_str());
        pid_t pid = StartChild(InPrivateMount("/dev", [&] {
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            strcpy(address.sun_path, "/dev/log");
            if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                return UNAVAILABLE;
            }
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, run.syslogOn, false);
            return Raise(run.number);
        }));
        close(lifeline[1]);
        // Each datagram reads "<priority>stamp ident[pid]: text".
        std::string marker = std::string(APP_NAME) + "[" + std::to_string(pid) + "]: ";
        for (const std::string& datagram : Collect(sock, lifeline[0])) {
            size_t at = datagram.find(marker);
            bool parsed = datagram[0] == '<' && at != std::string::npos;
            run.messages.push_back(parsed ? logged(atoi(&datagram[1]), datagram.substr(at + marker.size()))
                                          : datagram);
        }
        close(lifeline[0]);
        close(sock);
        run.ending = Ending(pid);
        run.report = Report();
    }
    const Run& on = runs[0];
    const Run& off = runs[1];
    const Run& stop = runs[2];
    if (on.ending == NO_NAMESPACE) {
        GTEST_SKIP() << "mount namespaces are not available here";
    }
    EXPECT_EQ(Killed(SIGSEGV), on.ending);
    std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
    std::vector<std::string> expected = {logged(LOG_ERR, header)};
    for (const std::string& frame : ExpectBacktrace(on.report, header)) {
        expected.push_back(logged(LOG_ERR, frame));
    }
    expected.push_back(logged(LOG_ERR, "========= End of Backtace of the Auto Provision Client =========\n"));
    EXPECT_EQ(expected, on.messages);

    EXPECT_EQ(Killed(SIGSEGV), off.ending);
    EXPECT_TRUE(off.messages.empty());
    EXPECT_EQ(on.report, off.report);

    EXPECT_EQ(Killed(SIGTERM), stop.ending);
    ExpectStopLine(stop.report, "SIGTERM", SIGTERM);
    EXPECT_EQ(std::vector<std::string>{logged(LOG_WARNING, stop.report)}, stop.messages);
}
