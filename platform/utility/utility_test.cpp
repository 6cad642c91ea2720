// Strings, decimal numbers, process-unique numbers and stoppable threads.
#include "utility/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <unordered_set>
#include <vector>

#include "utility/decimal.h"

TEST(StringUtils, Trim)
{
    // 16 MiB with 15 MiB of blanks: one erase per end keeps this fast.
    const std::string word(1u << 20, 'x');
    const std::string huge = std::string(8u << 20, ' ') + word + std::string(7u << 20, '\n');
    const struct { std::string text; bool left, right; std::string expected; bool removed; } cases[] = {
        {" \t value x \r\n", true, true, "value x", true}, {"  value  ", true, false, "value  ", true},
        {"  value  ", false, true, "  value", true},       {"value", true, true, "value", false},
        {" \t\r\n ", true, true, "", true},                {huge, true, true, word, true},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.removed, StringUtils::Trim(text, " \t\r\n", c.left, c.right)) << c.text.substr(0, 20);
        EXPECT_EQ(c.expected, text);
    }
}

TEST(Decimal, DigitsWithinBoundsAndNoMoreDigitsThanTheBound)
{
    const struct { const char* text; unsigned long low, high; bool ok; unsigned long value; } cases[] = {
        {"0", 0, 65535, true, 0},   {"65535", 0, 65535, true, 65535}, {"05060", 1, 65535, true, 5060},
        {"0", 1, 65535, false, 0},  {"65536", 0, 65535, false, 0},    {"005060", 0, 65535, false, 0},
        {"", 0, 65535, false, 0},   {" 1", 0, 65535, false, 0},       {"-1", 0, 65535, false, 0},
        {"1:", 0, 65535, false, 0}, {"+1", 0, 65535, false, 0},       {"9999999999", 0, 4294967295UL, false, 0},
        {"2147483647", 0, 2147483647, true, 2147483647},
    };
    for (const auto& c : cases) {
        unsigned long value = 7;
        EXPECT_EQ(c.ok, ParseDecimal(c.text, c.low, c.high, value)) << c.text;
        EXPECT_EQ(c.ok ? c.value : 7ul, value) << c.text;
    }
}

TEST(Utility, UniqueNumbersAreDistinctAndNonZeroAcrossThreads)
{
    auto draw = [] {
        std::vector<unsigned long long> numbers(100000);
        std::generate(numbers.begin(), numbers.end(), Utility::GenerateUniqueNumber);
        return numbers;
    };
    auto other = std::async(std::launch::async, draw);
    std::unordered_set<unsigned long long> seen = {0};   // 0 is never drawn
    for (const auto& numbers : {draw(), other.get()})
        seen.insert(numbers.begin(), numbers.end());
    EXPECT_EQ(200001u, seen.size());
}

namespace {

struct SharedLog {
    ThreadMutex mutex;
    int writers = 0;                  // guarded by mutex
    std::vector<std::string> texts;   // guarded by mutex
    std::promise<void> inside;
    std::promise<void> done;
};

// Writes a trace line in two parts under the mutex, as the logger does; the first writer is stopped
// between the parts, holding the mutex.
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
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    char text[4096];
    ASSERT_TRUE(Thread::GetCommandLine(text, 4, true, false, true));
    EXPECT_EQ(std::string(exe, 3), text);   // the path, cut to size - 1; the words are the relaunch test's
}
