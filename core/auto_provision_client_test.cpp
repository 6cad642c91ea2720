#include "core/auto_provision_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "discovery/auto_provision_messenger.h"
#include "testing/test_client.h"

using namespace testing_support;
using namespace Messaging;

namespace {

::testing::Environment* const kQueues = ::testing::AddGlobalTestEnvironment(new TemporaryQueueDirectory);

const char* const kVersionFile = "Version: 5.1.3\n";
const char* const kAttemptLine = "AutoConfigClient::SendMulticastMessage \n";

// Answers WaitForEvents from a script; at() throws past its end, which ends Run.
struct ScriptedPoller : CyclicQueuePoller {
    explicit ScriptedPoller(std::vector<int> values) : CyclicQueuePoller(30), mValues(std::move(values)) {}
    int WaitForEvents() override { return mValues.at(mNext++); }
    std::vector<int> mValues;
    size_t mNext = 0;
};

struct ThrowingClient : TestClient {
    int OnUpdate(UpdateType, const std::list<std::string>&) override { throw std::runtime_error("callback"); }
};

}  // namespace

TEST(ClientTest, EachInitializeFailureReleasesOnlyWhatWasCreated)
{
    struct Case { bool queueBusy; bool opens; const char* lineNumber; Lines calls; const char* line; };
    const Case cases[] = {
        {true, true, "2", {}, "0T AutoConfigClient::Faild to initialize Auto Provisioning Client\n"},
        {false, false, "2", {"GetInstance"},
         "0T AutoProvisionClient::Failed to initialize ZentroConfigurator\n"},
        {false, true, "", {"GetInstance", "CloseInstance"}, "0T Invalid fxs line number\n"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.line);
        LogCapture log;
        std::unique_ptr<CyclicMessageQueue> busy(row.queueBusy ? new CyclicMessageQueue(125) : nullptr);
        RecordingConfigurator configurator(row.opens);
        FakeDeviceFiles device(row.lineNumber, kVersionFile);
        {
            TestClient client;
            EXPECT_FALSE(client.Initialize());
            EXPECT_EQ(0ul, client.mThreadID);   // no worker to stop
        }
        EXPECT_EQ(row.calls, configurator.Calls());
        EXPECT_EQ(Lines{row.line}, Leveled(log));
    }
}

TEST(ClientTest, RunLinesForEachWaitResultAndAThrowingCallback)
{
    const std::string failed = "1T Failed to get event from Queue\n";
    const std::string unknown = "1T Unappropriate  event recieved from Queue\n";
    const std::string connected = "3T Auto Provision client is connected...";
    struct Case { bool agentOnline; bool callbackThrows; std::vector<int> script; Lines lines; };
    const Case cases[] = {
        {false, false, {0, 124, 127, -1}, {failed, unknown, unknown, unknown}},
        {true, false, {0}, {connected, connected, failed}},   // online at start: connected twice
        {false, true, {126, 0}, {}},                          // the throw ends Run before the 0
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::PrintToString(row.script));
        LogCapture log;
        std::unique_ptr<CyclicMessageQueue> agent(row.agentOnline ? new CyclicMessageQueue(124) : nullptr);
        std::unique_ptr<TestClient> client(row.callbackThrows ? new ThrowingClient : new TestClient);
        client->mpPoller = new ScriptedPoller(row.script);
        client->mpMessenger = new AutoProvisionMessenger(client.get());
        Message update;
        update.kind = MSG_UPDATE;
        update.code = Update_Configuration_Command;
        ASSERT_TRUE(CyclicMessageQueue(0).SendTo(CGI_QUEUE, update));
        EXPECT_FALSE(client->Run());
        EXPECT_EQ(row.lines, Leveled(log));
    }
}

// A running client with a test peer on the presence agent's queue. What each
// presence answer does is checked on the messenger itself
// (auto_provision_messenger_test) and end to end (e2e/).
class ProvisioningStateTest : public ::testing::Test {
protected:
    // Waits up to 5 s until text was traced at least n times.
    bool WaitForLines(const std::string& text, long n)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const Lines texts = mLog.Texts();
            if (std::count(texts.begin(), texts.end(), text) >= n)
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // The next SUBSCRIBE's identifier, once its attempt has ended with the trace
    // line (written after the request flag is cleared).
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

TEST_F(ProvisioningStateTest, SeveralRequestsBetweenTwoTicksGiveOneFreshAttempt)
{
    ASSERT_TRUE(mClient->Initialize());
    const uint64_t first = NextSubscription();
    for (int i = 0; i < 5; ++i)
        mClient->ConfigUpdate();
    EXPECT_NE(first, NextSubscription());
    Message message;
    EXPECT_FALSE(WaitForMessage(mAgent, message, 250));   // nothing more in two ticks
}

TEST_F(ProvisioningStateTest, InvalidMacRepeatsOncePerPeriod)
{
    // Each rejected attempt draws a fresh identifier: multicast_subscription_test.
    mNet.SetMac("");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(mClient->Initialize());
    ASSERT_TRUE(WaitForLines("AutoConfigClient::not valid mac address!!!\n", 3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));   // two periods
    const Lines all = Leveled(mLog);
    EXPECT_EQ(Lines(all.size(), "1T AutoConfigClient::not valid mac address!!!\n"), all);
    mNet.SetMac("001122334455");   // once valid, the next tick subscribes
    NextSubscription();
}
