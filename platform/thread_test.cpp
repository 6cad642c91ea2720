#include "platform/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

const auto WAIT_BOUND = std::chrono::seconds(10);

struct Worker {
    ThreadMutex mutex;
    std::promise<void> started;
    std::promise<int> finished;
};

unsigned long Finish(void* arg)
{
    static_cast<Worker*>(arg)->finished.set_value(42);
    return 0;
}

unsigned long SleepHoldingMutex(void* arg)
{
    Worker* worker = static_cast<Worker*>(arg);
    worker->mutex.Lock();
    worker->started.set_value();
    Thread::Sleep(60000);  // stopped here by the test
    worker->mutex.Unlock();
    worker->finished.set_value(1);
    return 0;
}

// Whether mutex can be locked within the bound. The attempt runs on a detached
// thread, so a mutex left held fails the test instead of hanging it.
bool LockableSoon(ThreadMutex& mutex)
{
    auto locked = std::make_shared<std::promise<void>>();
    std::future<void> done = locked->get_future();
    std::thread([&mutex, locked] {
        mutex.Lock();
        mutex.Unlock();
        locked->set_value();
    }).detach();
    return done.wait_for(WAIT_BOUND) == std::future_status::ready;
}

std::string CommandLine(bool withPath, bool pathOnly, unsigned int size = 4096)
{
    std::string buffer(size, 'x');
    EXPECT_TRUE(Thread::GetCommandLine(&buffer[0], size, withPath, false, pathOnly));
    return buffer.c_str();
}

}  // namespace

TEST(Thread, RunsFunctionAndReclaimsEndedThread)
{
    Worker worker;
    std::future<int> finished = worker.finished.get_future();
    unsigned long handle = Thread::BeginThread(Finish, &worker, 0);
    ASSERT_NE(0u, handle);
    ASSERT_EQ(std::future_status::ready, finished.wait_for(WAIT_BOUND));
    EXPECT_EQ(42, finished.get());
    EXPECT_TRUE(Thread::TerminateThread(handle, 0));
    EXPECT_FALSE(Thread::TerminateThread(0, 0));
}

TEST(Thread, TerminateInSleepReleasesHeldMutex)
{
    Worker worker;
    std::future<int> finished = worker.finished.get_future();
    unsigned long handle = Thread::BeginThread(SleepHoldingMutex, &worker, 0);
    ASSERT_NE(0u, handle);
    ASSERT_EQ(std::future_status::ready, worker.started.get_future().wait_for(WAIT_BOUND));

    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(Thread::TerminateThread(handle, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_NE(std::future_status::ready, finished.wait_for(std::chrono::seconds(0)));
    EXPECT_TRUE(LockableSoon(worker.mutex));
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
