#include "core/auto_provision_client.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "core/entry.h"
#include "diagnostics/auto_provision_logger.h"
#include "discovery/auto_provision_messenger.h"
#include "testing/child_process.h"
#include "testing/test_client.h"

// The nth nothrow allocation from now returns null (0: none fails); others go to the ordinary new.
static int gFailNothrowNew = 0;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (gFailNothrowNew > 0 && --gFailNothrowNew == 0)
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

// The worker's pause, on a thread not started by BeginThread, ends in clock_nanosleep; a test makes it throw.
static bool gPauseThrows = false;

extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remain)
{
    if (gPauseThrows)
        throw std::runtime_error("pause");
    using Real = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_nanosleep"));
    return real(clock, flags, request, remain);
}

// Thread starts fail while set, as without memory for a thread's stack.
static bool gThreadsFail = false;

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    return gThreadsFail ? EAGAIN : real(thread, attr, start, arg);
}

using namespace testing_support;
using namespace Messaging;

namespace {

::testing::Environment* const kQueues = ::testing::AddGlobalTestEnvironment(new TemporaryQueueDirectory);

const char* const kVersionFile = "Version: 5.1.3\n";
const char* const kAttemptLine = "3 AutoConfigClient::SendMulticastMessage \n";   // as Leveled shows it

// Answers WaitForEvents from a script; at() throws past its end, which ends Run.
struct ScriptedPoller : CyclicQueuePoller {
    explicit ScriptedPoller(std::vector<int> values) : CyclicQueuePoller(30), mValues(std::move(values)) {}
    int WaitForEvents() override { return mValues.at(mNext++); }
    std::vector<int> mValues;
    size_t mNext = 0;
};

// Traces "update" for each update before the (mThrowAt+1)th, which throws.
struct ThrowingClient : TestClient {
    int OnUpdate(UpdateType, const std::list<std::string>&) override
    {
        if (mUpdates++ == mThrowAt)
            throw std::runtime_error("callback");
        logger.TRACE(3, false, "update\n");
        return 0;
    }
    int mUpdates = 0;
    int mThrowAt = 0;
};

// A configurator whose release throws, as a failing CleanUp would.
struct ThrowingCloseConfigurator : RecordingConfigurator {
    void Close() override { throw std::runtime_error("close failed"); }
};

// The entry point's client for one case, set by gEntryCase; it records its steps in the file gEvents.
enum EntryCase { INITIALIZE_THROWS, INITIALIZE_FAILS, RUN_THROWS, RUN_RETURNS, CLEANUP_THROWS };
EntryCase gEntryCase;
std::string gEvents;

void Event(const std::string& text)
{
    WriteFile(gEvents, ReadFile(gEvents) + text + " ");
}

struct EntryClient : TestClient {
    ~EntryClient() override { Event("destroyed"); }
    bool Initialize()
    {
        if (gEntryCase == INITIALIZE_THROWS)
            throw std::runtime_error("initialize failed");
        if (gEntryCase == CLEANUP_THROWS)
            mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
        return gEntryCase != INITIALIZE_FAILS;
    }
    bool Run()
    {
        Event("run");
        if (gEntryCase == RUN_THROWS)
            throw 7;
        return false;
    }
};

// A messenger whose queue call records its count, then throws.
struct ThrowingQueueMessenger : AutoProvisionMessenger {
    using AutoProvisionMessenger::AutoProvisionMessenger;
    int ProcessMessageFromQueue(int count) override
    {
        Event("queue " + std::to_string(count));
        throw std::runtime_error("queue");
    }
};

// Interface addresses whose lookup throws.
struct ThrowingNetCheck : FakeNetCheck {
    std::string MacAddress(const std::string&) override { throw std::runtime_error("mac"); }
};

long Threads()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

}  // namespace

// The entry point: exit 1 with a report in its file and, under the display name, in the system log for
// any exception that leaves the client, after the client is gone; exit 0 otherwise; never a pid file.
TEST(EntryTest, ExceptionsFromTheClientEndInAReportAndExitOne)
{
    const struct { EntryCase entryCase; const char* ending; std::string reason; const char* events; } cases[] = {
        {INITIALIZE_THROWS, "exit 1", "initialize failed", "destroyed exit "},
        {INITIALIZE_FAILS, "exit 0", "", "destroyed "},   // the child ends with _exit
        {RUN_THROWS, "exit 1", "Unknown exception in main", "run destroyed exit "},
        {RUN_RETURNS, "exit 0", "", "run destroyed "},
        {CLEANUP_THROWS, "exit 1", "close failed", "run destroyed exit "},
    };
    TempDir dir;
    gEvents = dir.File("events");
    const std::string report = dir.File("report.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        WriteFile(gEvents, "");
        unlink(report.c_str());
        gEntryCase = c.entryCase;
        const LoggedRun run = RunWithSystemLog("Auto Provision Client", [&] {
            ThrowingCloseConfigurator configurator;
            atexit([] {   // exit-time clean-up runs; a pid file would show in the fresh /var/run
                for (const auto& entry : std::filesystem::directory_iterator("/var/run"))
                    Event(entry.path().filename());
                Event("exit");
            });
            return RunProvisioningClient<EntryClient>(report.c_str(), "/usr/sbin/x");
        }, {"/var/run"});
        if (run.ending == "exit 77")
            GTEST_SKIP() << "needs root and mount namespaces for a private /dev/log and /var/run";
        EXPECT_EQ(c.ending, run.ending);
        EXPECT_EQ(c.events, ReadFile(gEvents));
        const std::string head = "\n======= Backtrace dump of the process /usr/sbin/x (Auto Provision Client), "
                                 "caught C++ unhandled exception, reason: " + c.reason + " =======\n";
        EXPECT_EQ(c.reason.empty() ? "" : head, ReadFile(report).substr(0, c.reason.empty() ? 0 : head.size()));
        EXPECT_EQ(c.reason.empty(), ReadFile(report).empty());
        // The report's header as the first system-log message, user facility, error.
        EXPECT_EQ(c.reason.empty() ? "" : "11 " + head, run.messages.empty() ? "" : run.messages[0]);
    }
}

// The worker ends with 1, without a line, on a null client and on anything thrown: by its first queue
// call, an attempt or its pause.
TEST(WorkerTest, EndsWithOneOnANullClientOrAnException)
{
    enum Fault { NULL_CLIENT, QUEUE_CALL, ATTEMPT, PAUSE };
    const struct { Fault fault; const char* events; } cases[] = {
        {NULL_CLIENT, ""}, {QUEUE_CALL, "queue 1 "}, {ATTEMPT, ""}, {PAUSE, ""}};
    TempDir dir;
    gEvents = dir.File("events");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        WriteFile(gEvents, "");
        EXPECT_EQ("exit 1", Ending(StartChild([&]() -> int {
                      LogCapture log;
                      ThrowingNetCheck net;
                      TestClient client;
                      client.mpMessenger = c.fault == QUEUE_CALL ? new ThrowingQueueMessenger(&client)
                                                                 : new AutoProvisionMessenger(&client);
                      client.mSubscribeRequested = c.fault == ATTEMPT ? 1 : 0;
                      gPauseThrows = c.fault == PAUSE;
                      const unsigned long result =
                          AutoProvisionClient::RequestProc(c.fault == NULL_CLIENT ? nullptr : &client);
                      gPauseThrows = false;
                      return log.Lines().empty() ? static_cast<int>(result) : 2;
                  })));
        EXPECT_EQ(c.events, ReadFile(gEvents));
    }
}

// Run, on what Initialize made, selects the presence queue first, lets the messenger take one message,
// reports the agent online, then takes turns between the two queues.
TEST(ClientTest, RunSelectsBothQueuesAndTakesOneMessageAtATime)
{
    TempDir dir;
    const std::string lines = dir.File("lines");
    EXPECT_EQ("exit 0", Ending(StartChild([&] {
                  FakeNetCheck net;
                  FakeDeviceFiles device("2", kVersionFile);
                  RecordingConfigurator configurator;
                  CyclicMessageQueue agent(PRESENCE_AGENT_QUEUE);
                  LogCapture log;
                  ThrowingClient client;
                  Message message;
                  // The worker's first queue call is over once its first attempt has been traced.
                  if (!client.Initialize() || !WaitForMessage(agent, message, 3000))
                      return 2;
                  WaitUntil([&] { return Leveled(log) == Lines{kAttemptLine}; }, 3000, 10);
                  log.Clear();
                  message.kind = Messaging::MSG_CONFIRM;
                  for (message.id = 1; message.id <= 3; ++message.id)
                      agent.SendTo(PRESENCE_CLIENT_QUEUE, message);
                  message.kind = MSG_UPDATE;
                  message.code = Update_Configuration_Command;
                  agent.SendTo(CGI_QUEUE, message);
                  agent.SendTo(CGI_QUEUE, message);
                  client.mThrowAt = 1;
                  const bool result = client.Run();   // ends when the second update's callback throws
                  std::string text;
                  for (const std::string& line : Leveled(log))
                      text += line + "|";
                  WriteFile(lines, text);
                  return result ? 1 : 0;
              })));
    EXPECT_EQ("3T OnConfirm : subID = 1\n|3T Auto Provision client is connected...|"
              "3T Auto Provision client is connected...|3T OnConfirm : subID = 2\n|3 update\n|"
              "3T OnConfirm : subID = 3\n|",
              ReadFile(lines));
}

TEST(ClientTest, EachInitializeFailureReleasesOnlyWhatWasCreated)
{
    // failedAllocation: the nth nothrow allocation of Initialize fails (the poller's, the messenger's); -1: the
    // worker's thread does not start.
    const struct { int failedAllocation; bool queueBusy, opens; const char* lineNumber; Lines calls; const char* line; }
        cases[] = {
        {1, false, true, "2", {}, "0T AutoProvisionClient::Failed to initialize CyclicQueuePoller\n"},
        {2, false, true, "2", {}, "0T AutoProvisionClient::Failed to initialize AutoProvisionMessenger\n"},
        {0, true, true, "2", {}, "0T AutoConfigClient::Faild to initialize Auto Provisioning Client\n"},
        {0, false, false, "2", {"GetInstance"}, "0T AutoProvisionClient::Failed to initialize ZentroConfigurator\n"},
        {0, false, true, "", {"GetInstance", "CloseInstance"}, "0T Invalid fxs line number\n"},
        {-1, false, true, "2", {"GetInstance", "CloseInstance"}, "0T Failed to start autoprovisioning process\n"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.line);
        LogCapture log;
        std::unique_ptr<CyclicMessageQueue> busy(row.queueBusy ? new CyclicMessageQueue(125) : nullptr);
        RecordingConfigurator configurator(row.opens);
        FakeDeviceFiles device(row.lineNumber, kVersionFile);
        {
            TestClient client;
            gFailNothrowNew = row.failedAllocation;
            gThreadsFail = row.failedAllocation < 0;
            EXPECT_FALSE(client.Initialize());
            gFailNothrowNew = 0;
            gThreadsFail = false;
            EXPECT_EQ(0ul, client.mThreadID);   // no worker to stop
        }
        EXPECT_EQ(row.calls, configurator.Calls());
        EXPECT_EQ(Lines{row.line}, Leveled(log));
    }
}

// CleanUp stops the worker before it releases the configurator.
TEST(ClientTest, CleanUpStopsTheWorkerBeforeTheConfiguratorIsReleased)
{
    struct CountingConfigurator : RecordingConfigurator {
        void Close() override { mThreadsAtClose = Threads(); }
        long mThreadsAtClose = 0;
    } configurator;
    if (getauxval(AT_SYSINFO_EHDR) == 0)
        GTEST_SKIP() << "no vDSO: user-mode emulation, whose thread count is not the program's";
    FakeNetCheck net;
    FakeDeviceFiles device("2", kVersionFile);
    LogCapture log;
#if defined(__SANITIZE_THREAD__)
    std::thread([] {}).join();   // the sanitizer's own helper thread is up from here on
#endif
    const long before = Threads();
    {
        TestClient client;
        ASSERT_TRUE(client.Initialize());
        EXPECT_EQ(before + 1, Threads());
    }
    EXPECT_EQ(before, configurator.mThreadsAtClose);
}

// A failed wait and a queue number that is neither of the client's each have their line.
TEST(ClientTest, RunLinesForAFailedWaitAndAnUnknownQueue)
{
    LogCapture log;
    TestClient client;
    client.mpPoller = new ScriptedPoller({0, 124, 127, -1});
    client.mpMessenger = new AutoProvisionMessenger(&client);
    EXPECT_FALSE(client.Run());   // ended by the script's end
    const std::string unknown = "1T Unappropriate  event recieved from Queue\n";
    EXPECT_EQ((Lines{"1T Failed to get event from Queue\n", unknown, unknown, unknown}), Leveled(log));
}

// A running client with a test peer on the presence agent's queue; what each presence answer does is
// checked on the messenger itself and end to end.
class ProvisioningStateTest : public ::testing::Test {
protected:
    // Waits up to 5 s until line (as Leveled shows it) was traced at least n times.
    bool WaitForLines(const std::string& line, long n)
    {
        return WaitUntil([&] {
            const Lines all = Leveled(mLog);
            return std::count(all.begin(), all.end(), line) >= n;
        }, 5000);
    }
    // The next SUBSCRIBE's identifier, once its attempt has ended with its trace line (written after the
    // request flag is cleared).
    uint64_t NextSubscription()
    {
        Message message;
        EXPECT_TRUE(WaitForMessage(mAgent, message, 3000) && message.kind == MSG_SUBSCRIBE);
        EXPECT_TRUE(WaitForLines(kAttemptLine, ++mAttempts));
        EXPECT_EQ(0, mClient->mSubscribeRequested.load());
        return message.id;
    }

    FakeNetCheck mNet;
    LogCapture mLog;
    RecordingConfigurator mConfigurator;
    CyclicMessageQueue mAgent{PRESENCE_AGENT_QUEUE};
    FakeDeviceFiles mDevice{"2", kVersionFile};
    std::unique_ptr<TestClient> mClient{new TestClient()};   // destroyed first: stops the worker
    long mAttempts = 0;
};

TEST_F(ProvisioningStateTest, FirstAttemptFollowsTheWorkersFirstQueueCallWithoutWaitingAPeriod)
{
    // The best of three starts keeps scheduling noise out.
    auto best = std::chrono::steady_clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        mClient.reset();   // its queues are free again before the next client
        mClient.reset(new TestClient());
        EXPECT_EQ(0u, mClient->GetSubscribtionID());   // never drawn: no early notification matches
        ASSERT_TRUE(mClient->Initialize());   // starts the worker last
        const auto start = std::chrono::steady_clock::now();
        NextSubscription();
        best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    EXPECT_LT(best, std::chrono::milliseconds(100));
}

TEST_F(ProvisioningStateTest, InvalidMacRepeatsOncePerPeriod)
{
    mNet.SetMac("");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(mClient->Initialize());
    ASSERT_TRUE(WaitForLines("1T AutoConfigClient::not valid mac address!!!\n", 3));
    const auto twoPeriods = std::chrono::steady_clock::now() - start;
    EXPECT_GE(twoPeriods, std::chrono::milliseconds(200));
    EXPECT_LT(twoPeriods, std::chrono::milliseconds(1500));
    const Lines all = Leveled(mLog);
    EXPECT_EQ(Lines(all.size(), "1T AutoConfigClient::not valid mac address!!!\n"), all);
    mNet.SetMac("001122334455");   // once valid, the next tick subscribes
    NextSubscription();
}
