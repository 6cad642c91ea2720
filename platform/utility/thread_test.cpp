#include "utility/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

struct SharedLog {
    ThreadMutex mutex;
    int writers = 0;                  // guarded by mutex
    std::vector<std::string> texts;   // guarded by mutex
    std::promise<void> inside;
    std::promise<void> done;
};

// Writes a trace line in two parts under the mutex, as the logger does. The first writer sleeps
// between the parts, so that it is stopped in the middle of the line, holding the mutex.
unsigned long TraceLine(void* arg)
{
    SharedLog* log = static_cast<SharedLog*>(arg);
    log->mutex.Lock();
    log->texts.push_back("trace ");
    if (log->writers++ == 0) {
        log->inside.set_value();
        Thread::Sleep(60000);
    }
    log->texts.push_back("line\n");
    log->mutex.Unlock();
    log->done.set_value();
    return 0;
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
    // The next line, from another thread, gets the mutex and is written whole.
    std::future<void> done = log->done.get_future();
    unsigned long next = Thread::BeginThread(TraceLine, log, 0);
    ASSERT_EQ(std::future_status::ready, done.wait_for(bound));
    EXPECT_TRUE(Thread::TerminateThread(next, 0));
    EXPECT_EQ((std::vector<std::string>{"trace ", "trace ", "line\n"}), log->texts);
    delete log;
}

TEST(Thread, CommandLine)
{
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    char text[4096];
    ASSERT_TRUE(Thread::GetCommandLine(text, sizeof text, true, false, true));
    EXPECT_EQ(std::string(exe, static_cast<size_t>(length)), text);
    ASSERT_TRUE(Thread::GetCommandLine(text, 4, true, false, true));
    EXPECT_EQ(std::string(exe, 3), text);   // cut to size - 1
    // gtest keeps the words it was started with (ctest passes a filter). Without the path they are
    // checked by the crash guard's relaunch test.
    std::string words;
    for (const std::string& word : ::testing::internal::GetArgvs())
        words += (words.empty() ? "" : " ") + word;
    ASSERT_TRUE(Thread::GetCommandLine(text, sizeof text, true, false, false));
    EXPECT_EQ(words, text);
}
