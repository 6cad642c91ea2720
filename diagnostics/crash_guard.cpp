// The crash guard: signal take-over, stop and backtrace reports, relaunch and
// pid file.
//
// The handler composes its reports in the preallocated report buffer with
// ReportText below, a small bounded formatter of our own (no snprintf), so a
// report takes no lock and no memory of its own. What it needs beyond
// async-signal-safe calls is what the reports are made of: localtime_r (the
// time zone is loaded at installation), backtrace (libgcc is loaded at
// installation), backtrace_symbols (the one allocation) and syslog.
#include "diagnostics/crash_guard.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/utility.h"

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

// ---------------------------------------------------------------- report text

// Composes text into a fixed buffer like snprintf: what does not fit
// (terminator included) is cut, the buffer always stays terminated, and the
// length the whole text would have had is kept. Takes no lock, no memory.
class ReportText {
public:
    ReportText(char* buffer, size_t capacity)
        : mpBuffer(buffer), mCapacity(capacity), mLength(0), mWanted(0)
    {
        if (mCapacity > 0) {
            mpBuffer[0] = '\0';
        }
    }

    // A null text is rendered as "(null)", as printf's %s does.
    void Append(const char* text)
    {
        if (text == nullptr) {
            text = "(null)";
        }
        for (; *text != '\0'; ++text) {
            AppendChar(*text);
        }
    }

    void AppendChar(char c, size_t count = 1)
    {
        for (size_t i = 0; i < count; ++i) {
            ++mWanted;
            if (mLength + 1 < mCapacity) {
                mpBuffer[mLength++] = c;
                mpBuffer[mLength] = '\0';
            }
        }
    }

    // printf's %d, or %02d with minDigits 2.
    void AppendDecimal(long value, int minDigits = 1)
    {
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                            : static_cast<unsigned long>(value);
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count < minDigits) {
            digits[count++] = '0';
        }
        if (value < 0) {
            AppendChar('-');
        }
        while (count > 0) {
            AppendChar(digits[--count]);
        }
    }

    // printf's %p as the GNU C library renders it: "0x" and lower-case hex
    // digits, "(nil)" for a null pointer.
    void AppendPointer(const void* pointer)
    {
        uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
        if (value == 0) {
            Append("(nil)");
            return;
        }
        char digits[2 * sizeof value];
        int count = 0;
        while (value != 0) {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        }
        Append("0x");
        while (count > 0) {
            AppendChar(digits[--count]);
        }
    }

    size_t Length() const { return mLength; }
    size_t Wanted() const { return mWanted; }

private:
    char* mpBuffer;
    size_t mCapacity;
    size_t mLength;
    size_t mWanted;
};

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
const size_t LINE_SIZE = 1024;   // a system-log line; longer symbol texts are cut
const size_t APP_PATH_SIZE = 1024;

#if defined(__powerpc__) && !defined(__powerpc64__)
// Without a vDSO (as under user-mode emulation) libgcc's unwinder aborts when
// it meets a signal frame. The stack is then walked along the ABI's back
// chain instead, stepping over a signal frame by its saved registers.
bool gWalkBackChain = false;

const uintptr_t SIGNAL_FRAME_SIZE = 64;    // below the kernel's signal frame
const uintptr_t REGS_POINTER_AT = 28;      // in the sigcontext and in the ucontext
const uintptr_t RT_GAP = 16;               // rt_ frames: gap before the siginfo
const uintptr_t SIGINFO_SIZE = 128;
const int SAVED_R1 = 1;                    // word indexes in the saved registers
const int SAVED_NIP = 32;

uintptr_t Word(uintptr_t address)
{
    return *reinterpret_cast<const uintptr_t*>(address);
}

// The registers saved by the signal frame at frame when returnAddress is a
// signal return trampoline ("li r0,sigreturn; sc" or the rt_ variant), else 0.
uintptr_t SavedRegisters(uintptr_t returnAddress, uintptr_t frame)
{
    if (Word(returnAddress + 4) != 0x44000002) {
        return 0;
    }
    uintptr_t call = Word(returnAddress);
    if (call == 0x38000077 || call == 0x38007777) {
        return Word(frame + SIGNAL_FRAME_SIZE + REGS_POINTER_AT);
    }
    if (call == 0x380000ac || call == 0x38006666) {
        return Word(frame + SIGNAL_FRAME_SIZE + RT_GAP + SIGINFO_SIZE + REGS_POINTER_AT);
    }
    return 0;
}

// Like backtrace(): return addresses, innermost (into the caller) first.
__attribute__((noinline)) int WalkBackChain(void** frames, int max)
{
    int count = 0;
    frames[count++] = __builtin_return_address(0);
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    sp = Word(sp);   // the caller's frame
    while (count < max) {
        uintptr_t caller = Word(sp);
        if (caller <= sp || (caller & 3) != 0) {
            break;
        }
        uintptr_t returnAddress = Word(caller + 4);
        if (returnAddress == 0) {
            break;
        }
        frames[count++] = reinterpret_cast<void*>(returnAddress);
        uintptr_t regs = SavedRegisters(returnAddress, caller);
        if (regs != 0 && count < max) {
            frames[count++] = reinterpret_cast<void*>(Word(regs + 4 * SAVED_NIP));
            caller = Word(regs + 4 * SAVED_R1);
        }
        sp = caller;
    }
    return count;
}

int CaptureStack(void** frames, int max)
{
    return gWalkBackChain ? WalkBackChain(frames, max) : backtrace(frames, max);
}
#else
int CaptureStack(void** frames, int max)
{
    return backtrace(frames, max);
}
#endif

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

// Makes fd the descriptor target of the new program (dup2 leaves the
// close-on-exec flag of an fd that is already target in place).
void MoveDescriptor(int fd, int target)
{
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, target);
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
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = FuneralProc;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        struct sigaction previous;
        // A guard installed again after an earlier one was destroyed finds its
        // own handler: the slot keeps the disposition from before the first.
        if (sigaction(gSignals[i].number, &action, &previous) == 0 &&
            previous.sa_handler != FuneralProc) {
            gPrevious[i] = previous;
        }
    }
    mSyslogOn = syslogOn;
    mAutoRestart = autoRestart;
    mpLogFile = CopyText(logFile);
    mpTraceBuf = NewZeroed(TRACE_BUF_SIZE);
    mpCmdLine = NewZeroed(CMD_LINE_SIZE);
    if (mpTraceBuf == nullptr || mpCmdLine == nullptr) {
        // Without its buffers the guard stays uninstalled: its handler then
        // lets every signal take its course without a report.
        Release(mpLogFile);
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

    // The first backtrace() loads libgcc's unwinder, which allocates, and the
    // first local-time conversion reads the time zone: do both now, not in
    // the handler.
    void* frame[1];
    backtrace(frame, 1);
    tzset();
#if defined(__powerpc__) && !defined(__powerpc64__)
    gWalkBackChain = getauxval(AT_SYSINFO_EHDR) == 0;
#endif
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
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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

// ---------------------------------------------------------------- relaunch

bool CrashGuard::CreateProcess(const char* path, const char* cmdLine, unsigned long* pidOut)
{
    char line[CMD_LINE_SIZE];
    memset(line, 0, sizeof line);
    if (cmdLine != nullptr) {
        strncpy(line, cmdLine, sizeof line - 1);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    // At most 15 arguments after the path; the 15th holds the rest.
    char* argv[17] = {};
    argv[0] = const_cast<char*>(path);
    if (line[0] != '\0') {
        argv[1] = line;
        int next = 2;
        for (char* p = line; *p != '\0' && next < 16; ++p) {
            if (*p == ' ') {
                *p = '\0';
                argv[next++] = p + 1;
            }
        }
    }

#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's vfork keeps one return address per thread and cannot
    // nest: in that build the intermediate child is a copy made by fork.
    pid_t child = fork();
#else
    pid_t child = vfork();
#endif
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        // The intermediate child ends at once so that the program is orphaned;
        // _exit, as a vfork child must not run exit-time clean-up.
        if (vfork() == 0) {
            setsid();
            MoveDescriptor(pipeFds[0], STDIN_FILENO);
            MoveDescriptor(pipeFds[1], STDOUT_FILENO);
            for (int fd : pipeFds) {
                if (fd > STDOUT_FILENO) {
                    close(fd);
                }
            }
            close(STDERR_FILENO);
            // The relaunched program starts with no signal blocked, not with
            // the handler's full mask.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(path, argv);
            _exit(1);
        }
        _exit(0);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    waitpid(child, nullptr, WNOHANG);
    if (pidOut != nullptr) {
        *pidOut = static_cast<unsigned long>(child);
    }
    return true;
}

// ---------------------------------------------------------------- reports

namespace {

// Appends text to the report file with one write (0644 chosen for a file
// the handler creates). Failures are not examined.
void WriteReportFile(const char* path, const char* text, size_t length)
{
    if (path == nullptr) {
        return;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    ssize_t ignored = write(fd, text, length);
    (void)ignored;
    close(fd);
}

}  // namespace

void CrashGuard::FuneralProc(int signalNumber)
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
        if (IsHardwareFault(signalNumber)) {
            // Returning would repeat the fault for ever. Let a report still
            // in progress on another thread finish, then end by the signal.
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
        WriteReportFile(mpLogFile, mpTraceBuf, text.Length());
    } else if (!IsDebuggerOn()) {
        DumpStack(signalNumber, name, nullptr);
    }
    if (mpUserRoutine != nullptr) {
        mpUserRoutine(fault, signalNumber, mpUserData);
    }
    if (fault && mAutoRestart) {
        CreateProcess(mpAppPath, mpCmdLine, nullptr);
    }
    // The previous disposition comes back only now, right before the signal
    // is raised again: a fault on another thread meanwhile reaches the spent
    // handler and waits for this report instead of ending the process.
    if (slot >= 0) {
        sigaction(signalNumber, &gPrevious[slot], nullptr);
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
    int count = CaptureStack(frames, MAX_FRAMES);
    char** symbols = count > 0 ? backtrace_symbols(frames, count) : nullptr;

    if (mSyslogOn) {
        openlog(mpAppName, LOG_PID, LOG_USER);
        syslog(LOG_ERR, "%s", mpTraceBuf);
    }
    char line[LINE_SIZE];
    for (int i = 0; i < count; ++i) {
        ReportText frame(line, sizeof line);
        frame.AppendChar(' ');
        frame.AppendPointer(frames[i]);
        frame.Append(": ");
        frame.Append(symbols != nullptr ? symbols[i] : nullptr);
        if (mSyslogOn) {
            syslog(LOG_ERR, "%s", line);
        }
        text.Append(line);
        text.AppendChar('\n');
    }
    if (mSyslogOn) {
        ReportText footer(line, sizeof line);
        footer.Append("========= End of Backtace of the ");
        footer.Append(mpAppName);
        footer.Append(" =========\n");
        syslog(LOG_ERR, "%s", line);
        closelog();
    }
    free(symbols);

    size_t half = headerLength > 18 ? (headerLength - 18) / 2 : 0;
    text.AppendChar('=', half);
    text.Append(" End of Backtace ");
    text.AppendChar('=', half);
    text.Append("\n\n");
    WriteReportFile(mpLogFile, mpTraceBuf, text.Length());
}

void CrashGuard::Abort(const char* reason)
{
    DumpStack(SIGABRT, nullptr, reason);
    exit(1);
}
