#include "platform/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

// A lock and a stream used as the logger uses them; the sink keeps every text.
struct SharedLog : LogSink {
    void Write(unsigned char, const char* text, size_t length) override { texts.emplace_back(text, length); }
    ThreadMutex mutex;
    LogStream stream{"unused.log", false, true, 9, 1, 64, false};
    int writers = 0;   // guarded by mutex
    std::vector<std::string> texts;
    std::promise<void> inside;
    std::promise<void> done;
    ScopedLogSink scope{this};
};

void Trace(LogStream& stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(1, format, args, 0);
    va_end(args);
}

// Writes one trace line in two parts under the mutex. The first writer sleeps between the parts,
// so that it is stopped in the middle of the line, holding the mutex.
unsigned long TraceLine(void* arg)
{
    SharedLog* log = static_cast<SharedLog*>(arg);
    log->mutex.Lock();
    Trace(log->stream, "%s", "trace ");
    if (log->writers++ == 0) {
        log->inside.set_value();
        Thread::Sleep(60000);
    }
    Trace(log->stream, "%s", "line\n");
    log->mutex.Unlock();
    log->done.set_value();
    return 0;
}

std::string CommandLine(bool withPath, bool pathOnly, unsigned int size = 4096)
{
    std::string buffer(size, 'x');
    EXPECT_TRUE(Thread::GetCommandLine(&buffer[0], size, withPath, false, pathOnly));
    return buffer.c_str();
}

}  // namespace

TEST(Thread, StoppedInTheMiddleOfATraceLineItLeavesItsMutexFree)
{
    const auto bound = std::chrono::seconds(10);
    SharedLog* log = new SharedLog;   // freed only on success: a blocked thread may still use it
    unsigned long stopped = Thread::BeginThread(TraceLine, log, 0);
    ASSERT_NE(0u, stopped);
    ASSERT_EQ(std::future_status::ready, log->inside.get_future().wait_for(bound));
    EXPECT_TRUE(Thread::TerminateThread(stopped, 1));

    // The next line, from another thread, gets the mutex and is written whole; that thread ends by
    // itself and is reclaimed.
    std::future<void> done = log->done.get_future();
    unsigned long next = Thread::BeginThread(TraceLine, log, 0);
    ASSERT_NE(0u, next);
    ASSERT_EQ(std::future_status::ready, done.wait_for(bound));
    EXPECT_TRUE(Thread::TerminateThread(next, 0));
    EXPECT_EQ((std::vector<std::string>{"trace ", "trace ", "line\n"}), log->texts);
    EXPECT_FALSE(Thread::TerminateThread(0, 0));
    delete log;
}

TEST(Thread, CommandLine)
{
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::string(exe, static_cast<size_t>(length)), CommandLine(true, true));
    EXPECT_EQ(std::string(exe, 3), CommandLine(true, true, 4));  // cut to size - 1

    // gtest keeps the arguments it was started with (ctest passes a filter).
    const std::vector<std::string> argv = ::testing::internal::GetArgvs();
    std::string arguments;
    for (size_t i = 1; i < argv.size(); ++i) {
        arguments += (i > 1 ? " " : "") + argv[i];
    }
    EXPECT_EQ(arguments, CommandLine(false, false));
    EXPECT_EQ(argv[0] + (arguments.empty() ? "" : " " + arguments), CommandLine(true, false));
}
