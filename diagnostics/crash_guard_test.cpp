#include "diagnostics/crash_guard.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/child_process.h"
#include "testing/test_support.h"

using testing_support::Ending;
using testing_support::Killed;
using testing_support::ReadFile;
using testing_support::StartChild;

#if defined(__SANITIZE_THREAD__)
// The symbol lookup of a backtrace allocates inside the handler, the one
// allocation the reports allow: ThreadSanitizer is told not to flag it.
extern "C" const char* __tsan_default_suppressions()
{
    return "signal:CrashGuard::DumpStack\n";
}
#endif

// A frame whose symbol text is longer than 1024 bytes: the test's link exports
// this one name, so that backtrace_symbols shows its mangled form.
template <typename Sequence>
__attribute__((noinline)) int LongSymbolText(int number)
{
    return raise(number) + 99;
}

namespace {

const char* const APP_NAME = "Auto Provision Client";
const char* const APP_PATH = "/usr/sbin/x";
const int UNAVAILABLE = testing_support::CHILD_UNAVAILABLE;
const char* const NO_NAMESPACE = "exit 77";
#if defined(__SANITIZE_THREAD__)
const bool RUNTIME_BLOCKS_ALL = true;   // ThreadSanitizer runs every handler with all signals blocked
#else
const bool RUNTIME_BLOCKS_ALL = false;
#endif

// Reads the guard's process-wide state.
struct GuardProbe : CrashGuard {
    static const char* AppName() { return mpAppName; }
    static bool SyslogOn() { return mSyslogOn; }
    static bool AutoRestart() { return mAutoRestart; }
    static bool WritePid(const char* directory) { return WritePidFile(directory); }
};

// Wraps body to run in a private mount namespace with a fresh tmpfs on dir.
std::function<int()> InPrivateMount(const char* dir, const std::function<int()>& body)
{
    return [=] { return testing_support::PrivateTmpfs({dir}) ? body() : UNAVAILABLE; };
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
    const std::string bar((header.size() - 18) / 2, '='), footer = bar + " End of Backtace " + bar + "\n\n";
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
        const size_t colon = frames.back().find(": ");
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
    const std::string head = std::string("\n======= Process ") + APP_PATH + " (" + APP_NAME +
                             ") has been stopped by signal " + signalName + "(" + std::to_string(number) + ") at ";
    std::string time = report.substr(std::min(head.size(), report.size()));
    for (char& c : time)
        c = isdigit(static_cast<unsigned char>(c)) ? '9' : c;
    EXPECT_EQ(head + "99:99:99 =======\n", report.substr(0, head.size()) + time) << report;
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

// The guard of a child run by RunGuarded, so that a body can destroy it.
CrashGuard* gGuard = nullptr;

// Appends "<fault class> <signal>", " restored" when the signal's disposition
// from before the guard is back already, and " all blocked" when every signal
// is blocked while it runs, to the file named by the user data, then
// sends a stop signal and a fault signal while the report is still being made:
// neither may give a second report, and the one sent by kill does not repeat.
void RecordingHook(bool isFault, int signalNumber, void* userData)
{
    sigset_t blocked;
    pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
    const bool all = sigismember(&blocked, SIGUSR2) == 1 && sigismember(&blocked, SIGHUP) == 1;
    struct sigaction now;
    sigaction(signalNumber, nullptr, &now);
    const bool restored = now.sa_handler == SIG_DFL || now.sa_handler == SIG_IGN;
    char record[48];   // formatted without allocating: a handler runs this
    const int length = snprintf(record, sizeof record, "%d %d%s%s\n", isFault ? 1 : 0, signalNumber,
                                restored ? " restored" : "", all ? " all blocked" : "");
    const int fd = open(static_cast<const char*>(userData), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const ssize_t ignored = write(fd, record, static_cast<size_t>(length));
    (void)ignored;
    close(fd);
    kill(getpid(), SIGTERM);
    kill(getpid(), SIGSEGV);
}

// Writes a stand-in program that reports into a FIFO, a line each: its blocked signals (read by the
// shell itself), its arguments, whether it leads a new session, reads a pipe, has no standard error and
// writes to the pipe it reads. Returns the FIFO's read end.
int WriteLaunchee(const std::string& script, const std::string& fifo)
{
    testing_support::WriteFile(
        script, "#!/bin/sh\nout=$(readlink /proc/$$/fd/1)\n{\n"
                "while read -r key value; do [ \"$key\" != SigBlk: ] || echo \"SigBlk:$value\"; done < /proc/$$/status\n"
                "for a in \"$@\"; do printf 'arg:%s\\n' \"$a\"; done\n"
                "read -r stat < /proc/$$/stat; set -- $stat; [ \"$$\" != \"$6\" ] || echo session:new\n"
                "case $(readlink /proc/$$/fd/0) in pipe:*) echo stdin:pipe;; esac\n"
                "[ -e /proc/$$/fd/2 ] || echo stderr:closed\n"
                "[ \"$out\" != \"$(readlink /proc/$$/fd/0)\" ] || echo stdout:same-pipe\n} > " + fifo + "\n");
    chmod(script.c_str(), 0755);
    return mkfifo(fifo.c_str(), 0600) == 0 ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
}

// Checks the launchee's whole report (the FIFO shows data or an end only once a writer opened it).
void ExpectLaunched(int fifo, const std::vector<std::string>& args)
{
    std::string expected = "SigBlk:0000000000000000\n", text;
    for (const std::string& arg : args)
        expected += "arg:" + arg + "\n";
    for (const std::string& piece : testing_support::ReadPieces(fifo))
        text += piece;
    close(fifo);
    EXPECT_EQ(expected + "session:new\nstdin:pipe\nstderr:closed\nstdout:same-pipe\n", text);
}


// The test process and all its children share gStartupPid's value: this one.
const std::string gOwnPid = std::to_string(getpid());

// Each test works in a fresh directory under /tmp, removed at the end.
class CrashGuardTest : public ::testing::Test {
protected:
    std::string File(const std::string& name) const { return mDir.File(name); }
    // Runs body in a child with SIGTSTP ignored, then under a guard on the report file with the
    // recording hook (both files fresh each run); returns how the child ended.
    std::string RunGuarded(const std::function<int()>& body, const std::string& path = APP_PATH,
                           const char* name = APP_NAME)
    {
        unlink(mLog.c_str());
        unlink(mHookLog.c_str());
        return Ending(StartChild([&] {
            signal(SIGTSTP, SIG_IGN);
            gGuard = new CrashGuard(mLog.c_str(), name, path.c_str(), false, false);
            CrashGuard::SetUserRoutine(RecordingHook, const_cast<char*>(mHookLog.c_str()));
            return body();
        }));
    }
    std::string Report() const { return ReadFile(mLog); }

    const testing_support::TempDir mDir;
    std::string mLog = File("report.log");
    const std::string mHookLog = File("hook.log");
};

}  // namespace

TEST_F(CrashGuardTest, EachEndIsReportedOnceAndTakesItsCourse)
{
    // Each report runs the hook once, whose SIGTERM and SIGSEGV reach the spent guard and give no
    // second report. STOP_THEN_LIVES: the process lives on and returns 97 (a SIGSEGV sent by kill
    // does not repeat); BACKTRACE_THEN_FAULT: it lives on until a real fault reaches the guard.
    // TWO_FAULTS: the other thread's fault may come after the disposition was restored and end
    // the process during the report, which is then cut short but never a second one.
    enum Outcome { STOP_LINE, BACKTRACE, STOP_THEN_LIVES, BACKTRACE_THEN_FAULT, TWO_FAULTS, NOTHING };
    const struct { const char* name; int number; int (*body)(int number); Outcome outcome; } cases[] = {
        {"SIGTERM", SIGTERM, Raise, STOP_LINE},   {"SIGHUP", SIGHUP, Raise, STOP_LINE},
        {"SIGINT", SIGINT, Raise, STOP_LINE},     {"SIGQUIT", SIGQUIT, Raise, STOP_LINE},
        {"SIGSEGV", SIGSEGV, Raise, BACKTRACE},   {"SIGBUS", SIGBUS, Raise, BACKTRACE},
        {"SIGFPE", SIGFPE, Raise, BACKTRACE},     {"SIGILL", SIGILL, Raise, BACKTRACE},
        {"SIGABRT", SIGABRT, Raise, BACKTRACE},   {"SIGSTKFLT", SIGSTKFLT, Raise, BACKTRACE},
        {"SIGSEGV", SIGSEGV, FaultOnTwoThreads, TWO_FAULTS},
        // Ignored before the guard, SIGTSTP is ignored again after its report.
        {"SIGTSTP", SIGTSTP, [](int number) { raise(number); return 97; }, STOP_THEN_LIVES},
        // Outside the table: a fault that restores nothing, so the re-raise finds the spent handler.
        {"Unknown", SIGUSR1,
         [](int number) {
             signal(number, CrashGuard::FuneralProc);
             raise(number);
             return signal(number, SIG_DFL) == CrashGuard::FuneralProc ? WriteToNull(0) : 1;
         },
         BACKTRACE_THEN_FAULT},
        // A second guard changes nothing: not the file, the texts, the system log or the relaunch.
        {"SIGTERM", SIGTERM,
         [](int number) {
             new CrashGuard("/nonexistent/other.log", "Other", "/usr/sbin/other", true, true);   // kept
             return GuardProbe::SyslogOn() || GuardProbe::AutoRestart() ? 1 : Raise(number);
         },
         STOP_LINE},
        // A destroyed guard leaves its handler, which lets each signal take its course unreported.
        {"", SIGTERM, [](int number) { delete gGuard; return Raise(number); }, NOTHING},
        {"", SIGSEGV, [](int number) { delete gGuard; return Raise(number); }, NOTHING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases) + " " + c.name);
        const std::string ending = c.outcome == STOP_THEN_LIVES        ? "exit 97"
                                   : c.outcome == BACKTRACE_THEN_FAULT ? Killed(SIGSEGV)
                                                                       : Killed(c.number);
        EXPECT_EQ(ending, RunGuarded([&] { return c.body(c.number); }));
        bool fault = c.outcome == BACKTRACE || c.outcome == BACKTRACE_THEN_FAULT || c.outcome == TWO_FAULTS;
        // The guard's own entry blocks every signal; the one installed by signal() only its own.
        // A signal of the table has its previous disposition back before the report and the hook.
        std::string hookRecord = (fault ? "1 " : "0 ") + std::to_string(c.number) +
                                 (c.outcome == BACKTRACE_THEN_FAULT ? "" : " restored") +
                                 (c.outcome == BACKTRACE_THEN_FAULT && !RUNTIME_BLOCKS_ALL ? "\n" : " all blocked\n");
        if (c.outcome == TWO_FAULTS) {
            const std::string report = Report(), header = SignalHeader(APP_PATH, c.name, c.number);
            EXPECT_TRUE(report.empty() || report.find(header) == 0) << report;
            EXPECT_EQ(std::string::npos, report.find(header, 1)) << report;
            EXPECT_EQ(0u, hookRecord.find(ReadFile(mHookLog)));
        } else if (c.outcome == NOTHING) {
            EXPECT_EQ("", ReadFile(mHookLog));
            EXPECT_EQ(-1, access(mLog.c_str(), F_OK));
        } else if (fault) {
            EXPECT_EQ(hookRecord, ReadFile(mHookLog));
            ExpectBacktrace(Report(), SignalHeader(APP_PATH, c.name, c.number));
        } else {
            EXPECT_EQ(hookRecord, ReadFile(mHookLog));
            ExpectStopLine(Report(), c.name, c.number);
        }
    }
}

TEST_F(CrashGuardTest, AbortReportsTheReasonWhenGivenAndNoReportPassesTheBufferEnd)
{
    for (const char* reason : {"Unknown exception in main", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(reason != nullptr ? reason : "no reason");
        EXPECT_EQ("exit 1", RunGuarded([&]() -> int { CrashGuard::Abort(reason); }));
        ExpectBacktrace(Report(), std::string("\n======= Backtrace dump of the process ") + APP_PATH + " (" +
                                      APP_NAME + "), caught C++ unhandled exception" +
                                      (reason != nullptr ? ", reason: Unknown exception in main" : "") +
                                      " =======\n");
    }
    // A frame line carries the whole symbol text, however long.
    EXPECT_EQ(Killed(SIGSEGV),
              RunGuarded([] { return LongSymbolText<std::make_integer_sequence<int, 220>>(SIGSEGV); }));
    size_t longest = 0;
    for (const std::string& frame : ExpectBacktrace(Report(), SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV))) {
        if (frame.find("LongSymbolText") != std::string::npos && frame.back() == ']')
            longest = std::max(longest, frame.size());
    }
    EXPECT_GT(longest, 1100u);
    // A report is appended to what the file held.
    testing_support::WriteFile(mLog, "earlier\n");
    EXPECT_EQ(Killed(SIGTERM), Ending(StartChild([&] {
                  CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
                  return Raise(SIGTERM);
              })));
    EXPECT_EQ("earlier\n", Report().substr(0, 8));
    ExpectStopLine(Report().substr(8), "SIGTERM", SIGTERM);
    // A path too long for the buffer is cut at its end.
    std::string path = "/" + std::string(5000, 'p');
    EXPECT_EQ(Killed(SIGSEGV), RunGuarded([] { return Raise(SIGSEGV); }, path));
    std::string report = Report();
    EXPECT_EQ(CrashGuard::TRACE_BUF_SIZE - 1, report.size());
    EXPECT_EQ(0, SignalHeader(path, "SIGSEGV", SIGSEGV).compare(0, report.size(), report));
}

TEST_F(CrashGuardTest, AutoRestartWritesThePidFileAndAFaultRelaunchesTheProgram)
{
    // A null display name is the path's last component; a backslash path has
    // no '/', so its pid file is named by the whole path.
    // A pid file name that is a symlink is not followed: no pid file.
    ASSERT_EQ(0, symlink(File("elsewhere").c_str(), File("linked.pid").c_str()));
    const struct { const char* path; const char* shown; const char* pidFile; bool written; } cases[] = {
        {"/opt/bin/provd", "provd", "provd.pid", true},
        {"C:\\apps\\prov.exe", "prov.exe", "C:\\apps\\prov.exe.pid", true},
        {"/opt/bin/linked", "linked", "elsewhere", false}};
    // An old pid file is truncated; a new one is made 0666 less the umask (0 here).
    testing_support::WriteFile(File(cases[1].pidFile), "12345678901234567890\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto namedAndWritten = [&] {
            umask(0);
            bool named = strcmp(GuardProbe::AppName(), c.shown) == 0;
            return named && GuardProbe::WritePid((mDir.Path() + "/").c_str()) ? 0 : 1;
        };
        EXPECT_EQ(c.written ? "exit 0" : "exit 1", RunGuarded(namedAndWritten, c.path, nullptr));
        EXPECT_EQ(c.written ? gOwnPid + "\n" : "", ReadFile(File(c.pidFile)));
    }
    struct stat info;
    ASSERT_EQ(0, stat(File(cases[0].pidFile).c_str(), &info));
    EXPECT_EQ(0666u, info.st_mode & 0777u);

    // CreateProcess gives at most 15 arguments, the 15th holding the rest.
    const struct { const char* cmdLine; std::vector<std::string> args; } launches[] = {
        {"one two three", {"one", "two", "three"}}, {"", {}}, {"a  b", {"a", "", "b"}},
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15 16 17 18"}},
    };
    for (const auto& c : launches) {
        SCOPED_TRACE(c.cmdLine);
        std::string script = File("launchee" + std::to_string(&c - launches));
        int fifo = WriteLaunchee(script, script + ".fifo");
        unsigned long pid = 0;
        ASSERT_TRUE(CrashGuard::CreateProcess(script.c_str(), c.cmdLine, &pid));
        Ending(static_cast<pid_t>(pid));   // reaps the intermediate child
        ExpectLaunched(fifo, c.args);
    }

    // Orphans of a guarded process with auto-restart come to this child: a fault leaves the
    // relaunch of a missing program, which ends with 1, a stop signal nothing.
    for (int number : {SIGTERM, SIGSEGV}) {
        SCOPED_TRACE(number);
        std::function<int()> adopter = [&] {
            if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
                return UNAVAILABLE;
            pid_t guarded = StartChild([&] {
                CrashGuard guard(mLog.c_str(), APP_NAME, File("missing").c_str(), false, true);
                return Raise(number);
            });
            int failedLaunches = 0;
            int status = 0;
            for (pid_t pid; failedLaunches < 10 && (pid = waitpid(-1, &status, 0)) > 0;)
                failedLaunches += pid != guarded && WIFEXITED(status) && WEXITSTATUS(status) == 1;
            return failedLaunches;
        };
        std::string ending = Ending(StartChild(geteuid() == 0 ? InPrivateMount("/var/run", adopter) : adopter));
        EXPECT_TRUE(ending == NO_NAMESPACE || ending == (number == SIGTERM ? "exit 0" : "exit 1")) << ending;
    }

    // A fault relaunches the program with this process's own arguments (fewer than 15 here). With
    // auto-restart the guard writes /var/run/<base name>.pid: root reads it in a private /var/run,
    // others cannot write it.
    std::string script = File("relaunched");
    int fifo = WriteLaunchee(script, script + ".fifo");
    std::function<int()> body = [&] {
        CrashGuard guard(mLog.c_str(), APP_NAME, script.c_str(), false, true);
        bool pidFileRight = geteuid() != 0 || ReadFile("/var/run/relaunched.pid") == gOwnPid + "\n";
        return pidFileRight ? Raise(SIGSEGV) : 1;
    };
    std::string ending = Ending(StartChild(geteuid() == 0 ? InPrivateMount("/var/run", body) : body));
    if (ending == NO_NAMESPACE) {
        close(fifo);
        GTEST_SKIP() << "mount namespaces are not available here";
    }
    EXPECT_EQ(Killed(SIGSEGV), ending) << "exit 1: /var/run/relaunched.pid is wrong";
    std::vector<std::string> arguments = ::testing::internal::GetArgvs();
    arguments.erase(arguments.begin());
    ExpectLaunched(fifo, arguments);
}

// Children get signals under a guard, with a private tmpfs on /dev that holds our datagram socket at
// /dev/log; what reaches the socket while a child lives (it waits while the queue is full) is
// compared with its report file.
TEST_F(CrashGuardTest, SystemLogGetsReportsLineByLineAndFileIsTheSameWithLogOff)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to put a socket at /dev/log in a mount namespace";
    auto logged = [](int priority, const std::string& text) { return std::to_string(LOG_USER | priority) + " " + text; };
    // A report directory that others may write to gets no file, and one system-log line says so.
    const std::string open = File("open/");
    ASSERT_EQ(0, mkdir(open.c_str(), 0777));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    const struct { bool syslogOn; int number; bool untrusted; } runs[] = {
        {true, SIGSEGV, false}, {false, SIGSEGV, false}, {true, SIGTERM, false}, {true, SIGTERM, true}};
    std::string faultReport;
    for (const auto& run : runs) {   // one call site: the two backtraces then match frame for frame
        SCOPED_TRACE(std::to_string(run.syslogOn) + " " + std::to_string(run.number) + " " +
                     std::to_string(run.untrusted));
        mLog = run.untrusted ? open + "report.log" : File("report.log");
        unlink(mLog.c_str());
        const testing_support::LoggedRun logRun = testing_support::RunWithSystemLog(APP_NAME, [&] {
            CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, run.syslogOn, false);
            return Raise(run.number);
        });
        if (logRun.ending == NO_NAMESPACE)
            GTEST_SKIP() << "mount namespaces are not available here";
        EXPECT_EQ(Killed(run.number), logRun.ending);
        const std::vector<std::string>& messages = logRun.messages;
        std::string report = Report();
        if (run.untrusted) {
            EXPECT_EQ(-1, access(mLog.c_str(), F_OK));
            ASSERT_EQ(2u, messages.size());
            ExpectStopLine(messages[0].substr(logged(LOG_WARNING, "").size()), "SIGTERM", SIGTERM);
            EXPECT_EQ(logged(LOG_WARNING, "report directory " + open +
                                              " is not a trusted directory: no report file written"),
                      messages[1]);
        } else if (run.number == SIGTERM) {
            ExpectStopLine(report, "SIGTERM", SIGTERM);
            EXPECT_EQ(std::vector<std::string>{logged(LOG_WARNING, report)}, messages);
        } else if (!run.syslogOn) {
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(faultReport, report);
        } else {
            std::string header = SignalHeader(APP_PATH, "SIGSEGV", SIGSEGV);
            std::vector<std::string> expected = {logged(LOG_ERR, header)};
            for (const std::string& frame : ExpectBacktrace(report, header))
                expected.push_back(logged(LOG_ERR, frame));
            expected.push_back(
                logged(LOG_ERR, "========= End of Backtace of the Auto Provision Client =========\n"));
            EXPECT_EQ(expected, messages);
            faultReport = report;
        }
    }
}

// What a local user may have prepared in the report file's place: the report
// goes only into a regular file, reached without a symlink, in a directory
// nobody else controls. The report texts are the same whatever happened.
TEST_F(CrashGuardTest, ReportFileIsNeverWrittenThroughWhatAnotherUserPrepared)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user and hand files to it";
    const std::string target = File("nologin");       // stands for a file that must never appear
    enum Plant { NOTHING, SYMLINK, FIFO, FOREIGN_DIRECTORY };
    const struct { const char* name; Plant plant; bool written; } cases[] = {
        {"nothing there: created 0640", NOTHING, true}, {"symlink", SYMLINK, false},
        {"FIFO nobody reads: no hang", FIFO, false}, {"directory owned by nobody", FOREIGN_DIRECTORY, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = File("logs" + std::to_string(&c - cases));
        mLog = dir + "/autoprovisionclient.log";
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        if (c.plant == SYMLINK) {
            ASSERT_EQ(0, symlink(target.c_str(), mLog.c_str()));
        } else if (c.plant == FIFO) {
            ASSERT_EQ(0, mkfifo(mLog.c_str(), 0666));
        } else if (c.plant == FOREIGN_DIRECTORY) {
            testing_support::WriteFile(mLog, "");
            ASSERT_EQ(0, chown(dir.c_str(), 65534, 0));
        }
        EXPECT_EQ(Killed(SIGTERM), Ending(StartChild([&] {
                      umask(0);
                      CrashGuard guard(mLog.c_str(), APP_NAME, APP_PATH, false, false);
                      return Raise(SIGTERM);
                  })));
        EXPECT_EQ(-1, access(target.c_str(), F_OK));
        struct stat info;
        ASSERT_EQ(0, lstat(mLog.c_str(), &info));
        if (c.written) {
            EXPECT_EQ(static_cast<mode_t>(S_IFREG | 0640), info.st_mode);
            ExpectStopLine(Report(), "SIGTERM", SIGTERM);
        } else if (S_ISREG(info.st_mode)) {
            EXPECT_EQ("", Report());
        }
    }
}
