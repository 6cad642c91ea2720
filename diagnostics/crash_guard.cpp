// The crash guard: signal take-over, stop and backtrace reports, relaunch and
// pid file.
//
// The handler composes its reports in the preallocated report buffer with
// ReportText (report_text.h), a small bounded formatter of our own, so a
// report takes no lock and no memory of its own. What it needs beyond
// async-signal-safe calls is what the reports are made of: localtime_r (the
// time zone is loaded at installation), the stack capture (prepared at
// installation), backtrace_symbols (the one allocation) and syslog.
#include "diagnostics/crash_guard.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "diagnostics/report_text.h"
#include "diagnostics/stack_capture.h"
#include "utility/safe_file.h"
#include "utility/utility.h"

char* CrashGuard::mpLogFile = nullptr;
char* CrashGuard::mpAppName = nullptr;
char* CrashGuard::mpAppPath = nullptr;
char* CrashGuard::mpCmdLine = nullptr;
char* CrashGuard::mpTraceBuf = nullptr;
bool CrashGuard::mSyslogOn = false;
bool CrashGuard::mAutoRestart = false;
bool CrashGuard::mIsDone = false;
CrashGuard::UserRoutine CrashGuard::mpUserRoutine = nullptr;
void* CrashGuard::mpUserData = nullptr;

namespace {

// ---------------------------------------------------------------- signals

const int SLOT_COUNT = 11;

struct GuardedSignal {
    int number;
    char name[12];   // a char array, as DumpStack takes the name as char*
    bool fault;
};

// In installation order: slot i holds the disposition that signal i had before.
GuardedSignal gSignals[SLOT_COUNT] = {
    {SIGHUP, "SIGHUP", false},   {SIGINT, "SIGINT", false},   {SIGQUIT, "SIGQUIT", false},
    {SIGTERM, "SIGTERM", false}, {SIGTSTP, "SIGTSTP", false}, {SIGILL, "SIGILL", true},
    {SIGABRT, "SIGABRT", true},  {SIGBUS, "SIGBUS", true},    {SIGFPE, "SIGFPE", true},
    {SIGSEGV, "SIGSEGV", true},  {SIGSTKFLT, "SIGSTKFLT", true},
};
char gUnknownName[] = "Unknown";

struct sigaction gPrevious[SLOT_COUNT];

// The process id at start-up, recorded before the entry point runs.
const pid_t gStartupPid = getpid();

// Becomes readable once the first handler entry has finished its report; a
// thread whose hardware fault reaches the spent handler meanwhile waits on it.
int gReportDone[2] = {-1, -1};
const int REPORT_WAIT_MS = 10000;
thread_local bool tReporting = false;

const int MAX_FRAMES = 128;
const size_t APP_PATH_SIZE = 1024;

// The directory of the report file ("." for a bare name), checked before each
// report is written; and whether an untrusted one has been logged already.
char* gLogDirectory = nullptr;
bool gUntrustedLogged = false;

// Signals sent by a process (kill, raise, sigqueue) have si_code <= 0; those
// raised by the kernel, a real fault among them, have a positive one.
bool RaisedByKernel(const siginfo_t* info)
{
    return info == nullptr || info->si_code > 0;
}

int FindSlot(int signalNumber)
{
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (gSignals[i].number == signalNumber) {
            return i;
        }
    }
    return -1;
}

// Faults raised by the hardware repeat when the handler returns.
bool IsHardwareFault(int signalNumber)
{
    return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGILL ||
           signalNumber == SIGFPE;
}

void SetDefaultAction(int signalNumber)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

char* CopyText(const char* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t size = strlen(text) + 1;
    char* copy = new (std::nothrow) char[size];
    if (copy != nullptr) {
        memcpy(copy, text, size);
    }
    return copy;
}

char* NewZeroed(size_t size)
{
    return new (std::nothrow) char[size]();
}

// The part of path up to its last '/', that '/' included; "." when it has none.
char* CopyDirectory(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        return CopyText(".");
    }
    size_t length = static_cast<size_t>(slash - path) + 1;
    char* copy = NewZeroed(length + 1);
    if (copy != nullptr) {
        memcpy(copy, path, length);
    }
    return copy;
}

void Release(char*& text)
{
    delete[] text;
    text = nullptr;
}

void CloseReportDone()
{
    for (int& fd : gReportDone) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}


}  // namespace

// ---------------------------------------------------------------- installation

CrashGuard::CrashGuard(const char* logFile, const char* appName, const char* appPath,
                       bool syslogOn, bool autoRestart)
{
    if (mpTraceBuf != nullptr) {
        return;
    }
    // FuneralProc's entry with SA_SIGINFO, so that a later entry can tell a
    // real fault, which repeats, from one sent by kill.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        struct sigaction previous;
        // A guard installed again after an earlier one was destroyed finds its
        // own handler: the slot keeps the disposition from before the first.
        if (sigaction(gSignals[i].number, &action, &previous) == 0 &&
            !((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction == OnSignal)) {
            gPrevious[i] = previous;
        }
    }
    mSyslogOn = syslogOn;
    mAutoRestart = autoRestart;
    mpLogFile = CopyText(logFile);
    gLogDirectory = mpLogFile != nullptr ? CopyDirectory(mpLogFile) : nullptr;
    mpTraceBuf = NewZeroed(TRACE_BUF_SIZE);
    mpCmdLine = NewZeroed(CMD_LINE_SIZE);
    if (mpTraceBuf == nullptr || mpCmdLine == nullptr) {
        // Without its buffers the guard stays uninstalled: its handler then
        // lets every signal take its course without a report.
        Release(mpLogFile);
        Release(gLogDirectory);
        Release(mpCmdLine);
        Release(mpTraceBuf);
        return;
    }
    if (appPath != nullptr) {
        mpAppPath = CopyText(appPath);
    } else {
        mpAppPath = NewZeroed(APP_PATH_SIZE);
        if (mpAppPath != nullptr) {
            Thread::GetCommandLine(mpAppPath, APP_PATH_SIZE, true, false, true);
        }
    }
    Thread::GetCommandLine(mpCmdLine, CMD_LINE_SIZE, false, false, false);
    if (appName != nullptr) {
        mpAppName = CopyText(appName);
    } else if (mpAppPath != nullptr) {
        const char* base = strrchr(mpAppPath, '/');
        if (base == nullptr) {
            base = strrchr(mpAppPath, '\\');
        }
        mpAppName = CopyText(base != nullptr ? base + 1 : mpAppPath);
    }

    // The first stack capture loads libgcc's unwinder, which allocates, and
    // the first local-time conversion reads the time zone: do both now, not
    // in the handler.
    StackCapture::Prepare();
    tzset();
    if (pipe2(gReportDone, O_CLOEXEC) != 0) {
        gReportDone[0] = gReportDone[1] = -1;
    }

    if (mAutoRestart) {
        WritePidFile("/var/run/");
    }
}

CrashGuard::~CrashGuard()
{
    if (mpTraceBuf == nullptr) {
        return;
    }
    Release(mpLogFile);
    Release(gLogDirectory);
    Release(mpAppName);
    Release(mpAppPath);
    Release(mpCmdLine);
    Release(mpTraceBuf);
    CloseReportDone();
}

bool CrashGuard::WritePidFile(const char* directory)
{
    if (directory == nullptr || mpAppPath == nullptr) {
        return false;
    }
    const char* slash = strrchr(mpAppPath, '/');
    const char* base = slash != nullptr ? slash + 1 : mpAppPath;
    // For "/var/run/" this is the base name's length plus 16.
    size_t size = strlen(directory) + strlen(base) + 7;
    char* path = NewZeroed(size);
    if (path == nullptr) {
        return false;
    }
    snprintf(path, size, "%s%s.pid", directory, base);
    int fd = SafeFile::OpenRegular(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    delete[] path;
    if (fd < 0) {
        return false;
    }
    char text[24];
    int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(gStartupPid));
    ssize_t written = write(fd, text, static_cast<size_t>(length));
    close(fd);
    return written == length;
}

void CrashGuard::SetUserRoutine(UserRoutine routine, void* userData)
{
    mpUserRoutine = routine;
    mpUserData = userData;
}

bool CrashGuard::IsDebuggerOn()
{
    return false;
}

// ---------------------------------------------------------------- reports

void CrashGuard::WriteReportFile(size_t length)
{
    if (mpLogFile == nullptr) {
        return;
    }
    // A directory others could have prepared counts as missing.
    if (gLogDirectory == nullptr || !SafeFile::IsTrustedDirectory(gLogDirectory)) {
        if (mSyslogOn && gLogDirectory != nullptr &&
            !__atomic_exchange_n(&gUntrustedLogged, true, __ATOMIC_ACQ_REL)) {
            openlog(mpAppName, LOG_PID, LOG_USER);
            syslog(LOG_WARNING, "report directory %s is not a trusted directory: no report file written",
                   gLogDirectory);
            closelog();
        }
        return;
    }
    // Never through a symlink, never into a FIFO or device: those are skipped
    // as a failed open is. 0640 chosen for a file the handler creates.
    int fd = SafeFile::OpenRegular(mpLogFile, O_WRONLY | O_APPEND | O_CREAT, 0640);
    if (fd < 0) {
        return;
    }
    ssize_t ignored = write(fd, mpTraceBuf, length);
    (void)ignored;
    close(fd);
}

void CrashGuard::FuneralProc(int signalNumber)
{
    // Called directly or as a plain handler: where the signal came from is
    // not known, so a hardware fault is taken for a real one.
    Funeral(signalNumber, true);
}

void CrashGuard::OnSignal(int signalNumber, siginfo_t* info, void* /*context*/)
{
    Funeral(signalNumber, RaisedByKernel(info));
}

void CrashGuard::Funeral(int signalNumber, bool raisedByKernel)
{
    int slot = FindSlot(signalNumber);
    if (mpTraceBuf == nullptr) {
        // After the guard was destroyed nothing is reported: the signal takes
        // its course under the disposition from before the guard.
        if (slot >= 0) {
            sigaction(signalNumber, &gPrevious[slot], nullptr);
        } else {
            SetDefaultAction(signalNumber);
        }
        raise(signalNumber);
        return;
    }
    // Test and set in one step: of two threads entering together one goes on.
    if (__atomic_exchange_n(&mIsDone, true, __ATOMIC_ACQ_REL)) {
        if (raisedByKernel && IsHardwareFault(signalNumber)) {
            // Returning would repeat the fault for ever. Let a report still
            // in progress on another thread finish, then end by the signal.
            // A fault signal sent by kill does not repeat and is swallowed.
            if (!tReporting && gReportDone[0] >= 0) {
                struct pollfd done = {gReportDone[0], POLLIN, 0};
                poll(&done, 1, REPORT_WAIT_MS);
            }
            SetDefaultAction(signalNumber);
            raise(signalNumber);
        }
        return;
    }
    tReporting = true;
    // The previous disposition comes back before the report: the same signal
    // on another thread meanwhile takes its course under it.
    if (slot >= 0) {
        sigaction(signalNumber, &gPrevious[slot], nullptr);
    }

    char* name = slot >= 0 ? gSignals[slot].name : gUnknownName;
    bool fault = slot < 0 || gSignals[slot].fault;
    if (!fault) {
        // localtime_r: the time zone was loaded when the guard was installed.
        time_t now = time(nullptr);
        struct tm local;
        memset(&local, 0, sizeof local);
        localtime_r(&now, &local);
        ReportText text(mpTraceBuf, TRACE_BUF_SIZE);
        text.Append("\n======= Process ");
        text.Append(mpAppPath);
        text.Append(" (");
        text.Append(mpAppName);
        text.Append(") has been stopped by signal ");
        text.Append(name);
        text.AppendChar('(');
        text.AppendDecimal(signalNumber);
        text.Append(") at ");
        text.AppendDecimal(local.tm_hour, 2);
        text.AppendChar(':');
        text.AppendDecimal(local.tm_min, 2);
        text.AppendChar(':');
        text.AppendDecimal(local.tm_sec, 2);
        text.Append(" =======\n");
        if (mSyslogOn) {
            openlog(mpAppName, LOG_PID, LOG_USER);
            syslog(LOG_WARNING, "%s", mpTraceBuf);
            closelog();
        }
        WriteReportFile(text.Length());
    } else if (!IsDebuggerOn()) {
        DumpStack(signalNumber, name, nullptr);
    }
    if (mpUserRoutine != nullptr) {
        mpUserRoutine(fault, signalNumber, mpUserData);
    }
    if (fault && mAutoRestart) {
        CreateProcess(mpAppPath, mpCmdLine, nullptr);
    }
    raise(signalNumber);

    tReporting = false;
    if (gReportDone[1] >= 0) {
        ssize_t ignored = write(gReportDone[1], "", 1);
        (void)ignored;
    }
}

void CrashGuard::DumpStack(int signalNumber, char* signalName, const char* reason)
{
    if (mpTraceBuf == nullptr) {
        return;
    }
    ReportText text(mpTraceBuf, TRACE_BUF_SIZE);
    text.Append("\n======= Backtrace dump of the process ");
    text.Append(mpAppPath);
    text.Append(" (");
    text.Append(mpAppName);
    if (signalName != nullptr) {
        text.Append("), got signal ");
        text.Append(signalName);
        text.AppendChar('(');
        text.AppendDecimal(signalNumber);
        text.AppendChar(')');
    } else {
        text.Append("), caught C++ unhandled exception");
        if (reason != nullptr) {
            text.Append(", reason: ");
            text.Append(reason);
        }
    }
    text.Append(" =======\n");
    size_t headerLength = text.Wanted();

    void* frames[MAX_FRAMES];
    int count = StackCapture::Capture(frames, MAX_FRAMES);
    char** symbols = count > 0 ? backtrace_symbols(frames, count) : nullptr;

    if (mSyslogOn) {
        openlog(mpAppName, LOG_PID, LOG_USER);
        syslog(LOG_ERR, "%s", mpTraceBuf);
    }
    // Each frame line carries its whole symbol text, in the buffer as far as
    // the buffer goes and in the system log in full.
    for (int i = 0; i < count; ++i) {
        const char* symbol = symbols != nullptr ? symbols[i] : "(null)";
        if (mSyslogOn) {
            syslog(LOG_ERR, " %p: %s", frames[i], symbol);
        }
        text.AppendChar(' ');
        text.AppendPointer(frames[i]);
        text.Append(": ");
        text.Append(symbol);
        text.AppendChar('\n');
    }
    if (mSyslogOn) {
        syslog(LOG_ERR, "========= End of Backtace of the %s =========\n", mpAppName != nullptr ? mpAppName : "(null)");
        closelog();
    }
    free(symbols);

    size_t half = headerLength > 18 ? (headerLength - 18) / 2 : 0;
    text.AppendChar('=', half);
    text.Append(" End of Backtace ");
    text.AppendChar('=', half);
    text.Append("\n\n");
    WriteReportFile(text.Length());
}

void CrashGuard::Abort(const char* reason)
{
    DumpStack(SIGABRT, nullptr, reason);
    exit(1);
}
