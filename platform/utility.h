// Utility library: threads, mutex, trace stream, strings, unique numbers,
// buffers and TCP sockets, on POSIX and glibc.
#ifndef PLATFORM_UTILITY_H
#define PLATFORM_UTILITY_H

#include <netinet/in.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <string>

// ---------------------------------------------------------------- threads

class Thread {
public:
    typedef unsigned long (*ThreadProc)(void*);

    // Starts fn(arg) on a new thread. Returns a non-zero handle, 0 on failure.
    // flags: reserved, pass 0.
    static unsigned long BeginThread(ThreadProc fn, void* arg, unsigned int flags);

    // Sleeps for ms milliseconds. In a thread started by BeginThread this is
    // the one place where TerminateThread can stop it.
    static void Sleep(unsigned int ms);

    // Stops the thread at its next Sleep, releases every ThreadMutex it still
    // holds and reclaims it. code is the thread's recorded exit code.
    static bool TerminateThread(unsigned long handle, unsigned long code);

    // Copies the process's command line into buf (size bytes, always
    // terminated). withPath: argv[0] comes first; quote: ignored, words are
    // blank-separated; pathOnly: only the executable's absolute path.
    static bool GetCommandLine(char* buf, unsigned int size, bool withPath,
                               bool quote, bool pathOnly);
};

// A non-recursive mutex. While a thread started by BeginThread holds one it
// cannot be terminated, and termination releases any it holds.
class ThreadMutex {
public:
    ThreadMutex();
    ~ThreadMutex();
    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

    void Lock();
    void Unlock();

private:
    pthread_mutex_t mMutex;
};

// ---------------------------------------------------------------- trace stream

// Where a LogStream's expanded text goes. The default sink appends to the
// stream's file; tests swap in a capturing sink with ScopedLogSink.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(unsigned char level, const char* text, size_t length) = 0;
};

// Swaps the sink of every LogStream for the life of this object.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink* sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    LogSink* mpPrevious;
};

// A trace file under LogStream::LOG_DIRECTORY, kept bounded by rotating it to
// one backup ("<name>.1") when it passes LogStream::MAX_FILE_SIZE.
class LogStream {
public:
    // The directory of every stream's file.
    static const char* const LOG_DIRECTORY;
    // Size at which the file is rotated.
    static const long MAX_FILE_SIZE;

    // name: file name; toConsole: also echo to stderr; append: keep earlier
    // contents; maxLevel: lines above this level are dropped; backups: rotated
    // copies kept (at most 1); lineMax: longest expanded text in bytes, longer
    // text is cut; stamp: ignored, callers stamp their own lines.
    LogStream(const char* name, bool toConsole, bool append, int maxLevel,
              int backups, unsigned int lineMax, bool stamp);
    virtual ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Expands format with args and writes the text if level <= maxLevel.
    // reserved: pass 0.
    void TRACE(unsigned char level, const char* format, va_list& args, unsigned char reserved);
    // Pushes written text to the file.
    void Flush();

private:
    void Rotate();

    std::string mPath;
    bool mToConsole;
    bool mAppend;
    int mMaxLevel;
    int mBackups;
    unsigned int mLineMax;
    int mFd;
    long mSize;
};

// Reads the trace switch from TRACE_SWITCH_FILE into *traceOn: a first word of
// "off", "0", "no" or "false" turns tracing off; anything else, or no file,
// leaves it on. *verbose (may be null) receives whether the word was
// "verbose". Returns false when the file could not be read.
bool GetLogLevel(bool* traceOn, bool* verbose);
extern const char* const TRACE_SWITCH_FILE;

// ---------------------------------------------------------------- strings, numbers, buffers

class StringUtils {
public:
    // Removes characters of set from the left and/or right end of text.
    // Returns whether anything was removed.
    static bool Trim(std::string& text, const char* set, bool left, bool right);
};

class Utility {
public:
    // A 64-bit number that never repeats within the process, is never 0, and
    // cannot be guessed from another host (random seed mixed with a counter).
    static unsigned long long GenerateUniqueNumber();
};

// A zero-filled heap buffer of DEFAULT_SIZE bytes.
class SmartBuffer {
public:
    static const unsigned int DEFAULT_SIZE = 256;

    SmartBuffer();
    explicit SmartBuffer(unsigned int size);
    ~SmartBuffer();
    SmartBuffer(const SmartBuffer&) = delete;
    SmartBuffer& operator=(const SmartBuffer&) = delete;

    char* GetBuffer() { return mpData; }
    const char* GetBuffer() const { return mpData; }
    unsigned int GetSize() const { return mSize; }

private:
    char* mpData;
    unsigned int mSize;
};

// ---------------------------------------------------------------- sockets

// An IPv4 address from a dotted address or host name and a port text.
// A host text "name:port" carries its own port, which wins over port.
class SockAddr {
public:
    SockAddr(const char* host, const char* port);

    bool IsValid() const { return mValid; }
    operator const sockaddr_in&() const { return mAddr; }
    const sockaddr_in& Get() const { return mAddr; }

private:
    sockaddr_in mAddr;
    bool mValid;
};

// A TCP client socket.
class BsdSocket {
public:
    // Receive result codes.
    static const int RECV_CLOSED = -1;    // orderly close by the peer
    static const int RECV_TIMEOUT = -2;   // nothing arrived within the time-out
    static const int RECV_RESET = -3;     // connection reset or otherwise gone
    static const int RECV_ERROR = -4;     // any other failure

    // Time-out of Receive(..., -1, ...): an idle gap this long ends a download.
    static const int DEFAULT_RECV_TIMEOUT_MS;
    // Upper bound on establishing a connection.
    static const int CONNECT_TIMEOUT_MS;

    // blocking: ignored; every call is bounded by its own time-out.
    explicit BsdSocket(bool blocking);
    virtual ~BsdSocket();
    BsdSocket(const BsdSocket&) = delete;
    BsdSocket& operator=(const BsdSocket&) = delete;

    // Connects to address. reuse: SO_REUSEADDR; localPort/localAddr: bind
    // first when non-zero. Returns 1 when connected, 0 otherwise.
    int CreateTCPSocket(bool reuse, const sockaddr_in& address,
                        unsigned short localPort, unsigned long localAddr);

    // Sends all length bytes within timeoutSec seconds. Non-zero on success.
    int Send(const char* data, int length, unsigned long timeoutSec, int flags);

    // Receives at most capacity bytes. timeoutMs -1 means DEFAULT_RECV_TIMEOUT_MS.
    // Returns the count (> 0) or one of the RECV_ codes.
    virtual int Receive(char* buffer, int capacity, int timeoutMs, int flags);

    // Ends the use of the connection: shuts it down and closes it.
    virtual void Disconnect();

    void Close();
    int GetFD() const { return mFd; }

private:
    int mFd;
};

#endif
