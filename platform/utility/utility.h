// Utility library: threads, mutex, trace stream, strings, unique numbers,
// buffers and TCP sockets, on POSIX and glibc.
#ifndef PLATFORM_UTILITY_H
#define PLATFORM_UTILITY_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <vector>

#include "utility/scoped_override.h"

namespace PlatformDetail {

// Calls call() again while it fails with -1 and errno EINTR: the one retry
// loop of this library. Calls that take a time-out recompute it inside call.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Milliseconds left until deadline for poll(): rounded up so a wait never
// ends early, at least 0, at most INT_MAX. Computed inside a RetryOnInterrupt
// call, it keeps a wait's deadline across signals.
inline int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : left >= INT_MAX ? INT_MAX : static_cast<int>(left);
}

// One datagram read with recvmsg(2) into a buffer, with its sender's address
// and its ancillary data, both cleared before each read. Header() then holds
// what recvmsg set (flags, address length, control messages). The buffer,
// the address and the control room must outlive the reader.
class DatagramReader {
public:
    template <typename Name, typename Control>
    DatagramReader(void* buffer, size_t size, Name& name, Control& control)
        : mName(&name), mNameSize(sizeof(name)), mControl(&control), mControlSize(sizeof(control))
    {
        mVector.iov_base = buffer;
        mVector.iov_len = size;
    }
    DatagramReader(const DatagramReader&) = delete;
    DatagramReader& operator=(const DatagramReader&) = delete;

    // recvmsg's result, retried on EINTR.
    ssize_t Receive(int fd, int flags);
    msghdr& Header() { return mHeader; }

private:
    iovec mVector;
    msghdr mHeader;
    void* mName;
    socklen_t mNameSize;
    void* mControl;
    size_t mControlSize;
};

// Appends what is left to read on fd to content, at most limit bytes. False
// on a read error.
bool ReadAll(int fd, std::string& content, size_t limit = static_cast<size_t>(-1));

// Writes all length bytes to fd, going on after short writes and EINTR.
// False at the first error; the rest is not written.
bool WriteAll(int fd, const char* data, size_t length);

// Reads the whole file at path into content (appended). False when it cannot
// be opened or read.
bool ReadWholeFile(const char* path, std::string& content);

}  // namespace PlatformDetail

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
    // holds and reclaims it (join, bounded to 10 s; a thread that does not
    // reach a Sleep by then is detached and left to end by itself). A thread
    // that has already ended is just reclaimed. Every handle from BeginThread
    // must be passed here once; it is invalid afterwards, so code is not kept.
    // Threads run with cancellation disabled and Sleep is the one place that
    // acts on a stop, so a thread is never stopped in the middle of a write,
    // a download or a trace line.
    // The stop unwinds the thread's stack: a thread function that catches
    // everything with catch (...) must rethrow abi::__forced_unwind first,
    // calling ClearStoppedFrames just before it rethrows.
    static bool TerminateThread(unsigned long handle, unsigned long code);

    // In a handler that caught a stop: under AddressSanitizer, clears the
    // marks the unwound frames left on the stack, which the rethrow would
    // otherwise trip over; does nothing in other builds.
    static void ClearStoppedFrames();

    // Copies the process's command line into buf (size bytes, always
    // terminated). withPath: argv[0] comes first; quote: ignored, words are
    // blank-separated; pathOnly: only the executable's absolute path.
    static bool GetCommandLine(char* buf, unsigned int size, bool withPath,
                               bool quote, bool pathOnly);
};

// A non-recursive mutex. Each thread keeps a list of the ones it holds, so
// that a thread stopped by TerminateThread releases every one it still holds.
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

// Swaps the sink of every LogStream for the life of this object (null: each
// stream's file); scopes nest. The sink must outlive it.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink* sink);

private:
    PlatformDetail::ScopedOverride<LogSink*> mOverride;
};

// A trace file under LogStream::LOG_DIRECTORY, kept bounded by rotating it to
// one backup ("<name>.1") when it passes LogStream::MAX_FILE_SIZE.
class LogStream {
public:
    // The directory of every stream's file.
    static const char* const LOG_DIRECTORY;
    // Size at which the file is rotated.
    static const long MAX_FILE_SIZE;

    // name: file name under LOG_DIRECTORY, or an absolute path used as it is
    // (tests point a stream at a temporary directory); toConsole: also echo
    // to stderr; append: keep earlier contents; maxLevel: lines above this
    // level are dropped; backups: rotated copies kept (at most 1); lineMax:
    // longest expanded text in bytes, longer text is cut; stamp: ignored,
    // callers stamp their own lines. The file is opened at the first text.
    LogStream(const char* name, bool toConsole, bool append, int maxLevel,
              int backups, unsigned int lineMax, bool stamp);
    virtual ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Expands format with args and writes the text if level <= maxLevel.
    // reserved: pass 0.
    void TRACE(unsigned char level, const char* format, va_list& args, unsigned char reserved);
    // Pushes written text to the file. A no-op: every text goes out with
    // write(2) at once, and fdatasync per line would be too slow.
    void Flush();

private:
    void WriteText(LogSink* sink, unsigned char level, const char* text, size_t length);
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
// A host text "name:port" carries its own port, which wins over port. An
// empty or unresolvable host, or a port that is not a decimal number up to
// 65535, gives an invalid, zeroed address; a missing port gives port 0.
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
    // Receive(..., -1, ...) also times out once the connection has lasted this
    // long since it was made, however steadily bytes arrive.
    static const int DOWNLOAD_DEADLINE_MS;
    // Upper bound on establishing a connection.
    static const int CONNECT_TIMEOUT_MS;
    // Receive buffer asked for before connecting (the kernel caps it at
    // net.core.rmem_max): a server can send a large document at once instead
    // of waiting for the window to grow round trip by round trip.
    static constexpr int RECEIVE_WINDOW_BYTES = 4 * 1024 * 1024;

    // blocking: ignored; every call is bounded by its own time-out.
    explicit BsdSocket(bool blocking);
    virtual ~BsdSocket();
    BsdSocket(const BsdSocket&) = delete;
    BsdSocket& operator=(const BsdSocket&) = delete;

    // Connects to address. reuse: SO_REUSEADDR; localPort (host order) and
    // localAddr (network order, as sin_addr.s_addr): bind first when either
    // is non-zero. Returns 1 when connected, 0 otherwise.
    int CreateTCPSocket(bool reuse, const sockaddr_in& address,
                        unsigned short localPort, unsigned long localAddr);

    // Sends all length bytes within timeoutSec seconds, never raising SIGPIPE.
    // Non-zero only when every byte went; 0 on a closed socket.
    int Send(const char* data, int length, unsigned long timeoutSec, int flags);

    // Receives at most capacity bytes. timeoutMs -1 means DEFAULT_RECV_TIMEOUT_MS,
    // cut short by DOWNLOAD_DEADLINE_MS after the connect.
    // Returns the count (> 0) or one of the RECV_ codes, never 0.
    virtual int Receive(char* buffer, int capacity, int timeoutMs, int flags);

    // Ends the use of the connection: shuts it down and closes it.
    virtual void Disconnect();

    void Close();
    int GetFD() const { return mFd; }

private:
    static const size_t READ_AHEAD_SIZE = 64 * 1024;
    int TakeReadAhead(char* buffer, int capacity);

    int mFd;
    std::chrono::steady_clock::time_point mConnectedAt;   // when CreateTCPSocket succeeded
    std::vector<char> mReadAhead;   // bytes received but not yet taken
    size_t mReadPos = 0;
    size_t mReadEnd = 0;
};

#endif
