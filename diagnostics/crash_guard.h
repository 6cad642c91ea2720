// The process's crash guard: takes over the stop and fault signals, writes a
// stop line or a backtrace report to its own file and to the system log, and
// can relaunch the program after a fault.
#ifndef DIAGNOSTICS_CRASH_GUARD_H
#define DIAGNOSTICS_CRASH_GUARD_H

#include <signal.h>

#include <cstddef>

class CrashGuard {
public:
    // Hook called by the handler: (fault class, signal number, user data).
    typedef void (*UserRoutine)(bool isFault, int signalNumber, void* userData);

    // Size of the report buffer and of the command-line buffer.
    static constexpr unsigned int TRACE_BUF_SIZE = 4096;
    static constexpr unsigned int CMD_LINE_SIZE = 256;

    // Installs the guard for the process. logFile is required; a null appName
    // or appPath is derived from the running executable. With autoRestart the
    // handler relaunches the program after a fault and a pid file is written.
    // A second guard while one is installed changes nothing.
    CrashGuard(const char* logFile, const char* appName, const char* appPath,
               bool syslogOn, bool autoRestart);
    // Releases the guard's texts and buffers; the handler stays installed.
    ~CrashGuard();
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;

    // The signal handler: reports the process's end once, then lets the
    // signal take its course. Installed through OnSignal; called directly it
    // takes a fault signal reaching a spent guard for a real fault.
    static void FuneralProc(int signalNumber);

    // Writes a backtrace report: the signal header when signalName is given,
    // else the exception header (with the reason when one is given).
    static void DumpStack(int signalNumber, char* signalName, const char* reason);

    // Writes the exception backtrace report, then exits with status 1.
    [[noreturn]] static void Abort(const char* reason);

    // Launches a detached process running path with the blank-separated
    // arguments of cmdLine (shorter than 256 characters, may be null).
    // pidOut (may be null) receives the id of the short-lived intermediate
    // child, so that a caller may reap it. False when nothing was launched.
    static bool CreateProcess(const char* path, const char* cmdLine, unsigned long* pidOut);

    // Registers the hook (null: none) and the pointer passed to it.
    static void SetUserRoutine(UserRoutine routine, void* userData);

    // Whether fault reports are left to an attached debugger: never here.
    static bool IsDebuggerOn();

protected:
    // Writes the start-up process id to directory + base name of mpAppPath +
    // ".pid" (directory ends with '/'). False when no file was written.
    static bool WritePidFile(const char* directory);

    // The installed entry (SA_SIGINFO): FuneralProc, told by si_code whether
    // the kernel raised the signal. A later entry returns at once unless it
    // is a hardware fault raised by the kernel, which would repeat.
    static void OnSignal(int signalNumber, siginfo_t* info, void* context);
    static void Funeral(int signalNumber, bool raisedByKernel);

    // Appends the first length bytes of the report buffer to the report file
    // (skipped when the file or its directory cannot be trusted).
    static void WriteReportFile(size_t length);

    // Process-wide state; a guard object has none of its own.
    static char* mpLogFile;
    static char* mpAppName;
    static char* mpAppPath;
    static char* mpCmdLine;
    static char* mpTraceBuf;     // non-null while a guard is installed
    static bool mSyslogOn;
    static bool mAutoRestart;
    static bool mIsDone;         // claimed atomically by the first handler entry
    static UserRoutine mpUserRoutine;
    static void* mpUserData;
};

#endif
