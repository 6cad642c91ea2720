// Threads and mutexes on POSIX threads. Threads from BeginThread run with
// cancellation disabled; TerminateThread leaves a cancellation pending and
// wakes the thread's Sleep, which then acts on it. The stop unwinds the
// thread's stack and releases every ThreadMutex the thread still holds.
//
// Chosen: Sleep waits on a condition variable and acts on the cancellation
// itself (pthread_testcancel), instead of enabling cancellation around a
// nanosleep. Cancelling a thread blocked in nanosleep unwinds from inside the
// cancellation signal handler, which aborts under user-mode emulation of the
// PowerPC target; a cancellation acted on at pthread_testcancel unwinds from
// an ordinary frame everywhere.
#include "utility/utility.h"

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

using PlatformDetail::ReadWholeFile;
using PlatformDetail::RetryOnInterrupt;

// Longest wait for a stopped thread to finish unwinding.
const time_t JOIN_TIMEOUT_SEC = 10;

// One per thread from BeginThread; its address is the handle.
struct ThreadRecord {
    pthread_t thread;
    Thread::ThreadProc fn;
    void* arg;
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool stopRequested = false;  // guarded by wakeMutex
};

// The record of the calling thread; null in threads not from BeginThread.
thread_local ThreadRecord* tCurrentThread = nullptr;

// The mutexes the calling thread holds, in locking order.
thread_local std::vector<pthread_mutex_t*> tHeldMutexes;

void ReleaseHeldMutexes()
{
    while (!tHeldMutexes.empty()) {
        pthread_mutex_unlock(tHeldMutexes.back());
        tHeldMutexes.pop_back();
    }
}

#if defined(__SANITIZE_ADDRESS__)
// A forced unwind removes frames without AddressSanitizer clearing their
// shadow; clear the dead part of the stack before anything reuses it.
void UnpoisonDeadStack()
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* base = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    char* low = static_cast<char*>(base);
    char* high = static_cast<char*>(__builtin_frame_address(0));
    if (high > low) {
        ASAN_UNPOISON_MEMORY_REGION(low, static_cast<size_t>(high - low));
    }
}
#else
void UnpoisonDeadStack() {}
#endif

void* RunThread(void* param)
{
    // Nothing before this line is a cancellation point, so a stop requested
    // right after the start still waits for the first Sleep.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    ThreadRecord* record = static_cast<ThreadRecord*>(param);
    tCurrentThread = record;
    try {
        record->fn(record->arg);
    } catch (...) {
        // Stopped in Sleep (abi::__forced_unwind): locals are gone, now free
        // what they did not. Caught as (...) because the forced unwind has no
        // object to bind a reference to (UBSan rejects that); any other
        // exception ends the process once rethrown, as with std::thread.
        Thread::ClearStoppedFrames();
        ReleaseHeldMutexes();
        throw;
    }
    return nullptr;
}

}  // namespace

void Thread::ClearStoppedFrames()
{
    UnpoisonDeadStack();
}

unsigned long Thread::BeginThread(ThreadProc fn, void* arg, unsigned int /*flags*/)
{
    if (fn == nullptr) {
        return 0;
    }
    ThreadRecord* record = new ThreadRecord();
    record->fn = fn;
    record->arg = arg;
    if (pthread_create(&record->thread, nullptr, RunThread, record) != 0) {
        delete record;
        return 0;
    }
    return reinterpret_cast<unsigned long>(record);
}

void Thread::Sleep(unsigned int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    ThreadRecord* self = tCurrentThread;
    if (self == nullptr) {
        // Not stoppable: a plain sleep to the deadline.
        auto since = deadline.time_since_epoch();
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        timespec until;
        until.tv_sec = static_cast<time_t>(seconds.count());
        until.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        RetryOnInterrupt([&] {
            int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
            if (rc != 0) {
                errno = rc;
                return -1;
            }
            return 0;
        });
        return;
    }
    {
        std::unique_lock<std::mutex> lock(self->wakeMutex);
        if (!self->wake.wait_until(lock, deadline, [self] { return self->stopRequested; })) {
            return;
        }
    }
    // TerminateThread left a cancellation pending: the one place it is acted on.
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_testcancel();
}

bool Thread::TerminateThread(unsigned long handle, unsigned long /*code*/)
{
    // code is not kept: the handle is gone after this call, so nobody could read it.
    ThreadRecord* record = reinterpret_cast<ThreadRecord*>(handle);
    if (record == nullptr || pthread_equal(record->thread, pthread_self())) {
        return false;
    }
    // Pending until the thread's next Sleep; harmless on a thread that has ended.
    pthread_cancel(record->thread);
    {
        std::lock_guard<std::mutex> lock(record->wakeMutex);
        record->stopRequested = true;
        record->wake.notify_all();
    }
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += JOIN_TIMEOUT_SEC;
    if (pthread_timedjoin_np(record->thread, nullptr, &deadline) != 0) {
        // Still busy outside Sleep: let it end by itself. Its record stays
        // allocated because the running thread still reads it.
        pthread_detach(record->thread);
        return false;
    }
    delete record;
    return true;
}

bool Thread::GetCommandLine(char* buf, unsigned int size, bool withPath, bool /*quote*/,
                            bool pathOnly)
{
    if (buf == nullptr || size == 0) {
        return false;
    }
    buf[0] = '\0';
    std::string raw;
    if (!ReadWholeFile("/proc/self/cmdline", raw)) {
        return false;
    }
    std::vector<std::string> words;
    for (size_t start = 0; start < raw.size();) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        words.push_back(raw.substr(start, end - start));
        start = end + 1;
    }

    std::string text;
    if (pathOnly) {
        char exe[4096];
        ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (length > 0) {
            text.assign(exe, static_cast<size_t>(length));
        } else if (!words.empty()) {
            text = words[0];
        }
    } else {
        size_t first = withPath ? 0 : 1;
        for (size_t i = first; i < words.size(); ++i) {
            if (i > first) {
                text += ' ';
            }
            text += words[i];
        }
    }
    size_t count = std::min<size_t>(text.size(), size - 1);
    memcpy(buf, text.data(), count);
    buf[count] = '\0';
    return true;
}

ThreadMutex::ThreadMutex()
{
    pthread_mutex_init(&mMutex, nullptr);
}

ThreadMutex::~ThreadMutex()
{
    pthread_mutex_destroy(&mMutex);
}

void ThreadMutex::Lock()
{
    pthread_mutex_lock(&mMutex);
    tHeldMutexes.push_back(&mMutex);
}

void ThreadMutex::Unlock()
{
    auto held = std::find(tHeldMutexes.rbegin(), tHeldMutexes.rend(), &mMutex);
    if (held != tHeldMutexes.rend()) {
        tHeldMutexes.erase(std::next(held).base());
    }
    pthread_mutex_unlock(&mMutex);
}
