#include "core/auto_provision_client.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "discovery/auto_provision_messenger.h"
#include "testing/fake_device.h"

using namespace testing_support;
using namespace Messaging;
using Lines = std::vector<std::string>;

namespace {

const char* const kVersionFile = "Version: 5.1.3\n";
const char* const kAttemptLine = "AutoConfigClient::SendMulticastMessage \n";

Message Make(MessageKind kind, uint64_t id, int code, const char* url = "")
{
    Message message;
    message.kind = kind;
    message.id = id;
    message.code = code;
    message.url = url;
    return message;
}

// Answers WaitForEvents from a script; at() throws past its end, which ends Run.
struct ScriptedPoller : CyclicQueuePoller {
    explicit ScriptedPoller(std::vector<int> values) : CyclicQueuePoller(30), mValues(std::move(values)) {}
    int WaitForEvents() override { return mValues.at(mNext++); }
    std::vector<int> mValues;
    size_t mNext = 0;
};

// Reaches the client's fields; its update callback can be made to throw.
class TestClient : public AutoProvisionClient {
public:
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mThreadID;
    using AutoProvisionClient::mUserAgent;

    void UseScript(const std::vector<int>& script)
    {
        mpPoller = new ScriptedPoller(script);
        mpMessenger = new AutoProvisionMessenger(this);
    }
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        if (mThrowOnUpdate)
            throw std::runtime_error("callback failed");
        return AutoProvisionClient::OnUpdate(type, data);
    }
    AutoProvisionMessenger* Messenger() { return mpMessenger; }

    bool mThrowOnUpdate = false;
};

class ClientTest : public ::testing::Test {
protected:
    ClientTest() { UseTemporaryQueueDirectory(); }

    // Each captured line as "<level>[T] <text>", T standing for a stripped time stamp.
    Lines Leveled() const
    {
        Lines out;
        for (TraceLine line : mLog.Lines()) {
            const char* stamp = StripTimeStamp(line.text) ? "T " : " ";
            out.push_back(std::to_string(line.level) + stamp + line.text);
        }
        return out;
    }

    FakeNetCheck mNet;
    LogCapture mLog;
};

}  // namespace

TEST_F(ClientTest, EachInitializeFailureReleasesOnlyWhatWasCreated)
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
        mLog.Clear();
        std::unique_ptr<CyclicMessageQueue> busy(row.queueBusy ? new CyclicMessageQueue(125) : nullptr);
        RecordingConfigurator configurator(row.opens);
        FakeDeviceFiles device(row.lineNumber, kVersionFile);
        {
            TestClient client;
            EXPECT_FALSE(client.Initialize());
            EXPECT_EQ(0ul, client.mThreadID);   // no worker to stop
        }
        EXPECT_EQ(row.calls, configurator.Calls());
        EXPECT_EQ(Lines{row.line}, Leveled());
    }
}

TEST_F(ClientTest, RunLinesForEachWaitResultAndAThrowingCallback)
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
        mLog.Clear();
        std::unique_ptr<CyclicMessageQueue> agent(row.agentOnline ? new CyclicMessageQueue(124) : nullptr);
        TestClient client;
        client.UseScript(row.script);
        client.mThrowOnUpdate = row.callbackThrows;
        const Message update = Make(MSG_UPDATE, 0, Update_Configuration_Command);
        ASSERT_TRUE(CyclicMessageQueue(0).SendTo(CGI_QUEUE, update));
        EXPECT_FALSE(client.Run());
        EXPECT_EQ(row.lines, Leveled());
    }
}

// A running client with a test peer on the presence agent's queue; the test
// thread stands in for the event loop and processes the presence queue.
class ProvisioningStateTest : public ClientTest {
protected:
    // The identifier of the agent's next message of this kind, others skipped; 0 if none.
    uint64_t Next(MessageKind kind)
    {
        Message message;
        while (WaitForMessage(mAgent, message, 3000)) {
            if (message.kind == kind)
                return message.id;
        }
        return 0;
    }
    // True when the agent gets no message at all within ms.
    bool Quiet(int ms)
    {
        Message message;
        return !WaitForMessage(mAgent, message, ms);
    }
    // Waits up to 5 s until text was traced at least n times.
    bool WaitForLines(const std::string& text, long n)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            Lines texts = mLog.Texts();
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
        uint64_t id = Next(MSG_SUBSCRIBE);
        EXPECT_NE(0u, id);
        EXPECT_TRUE(WaitForLines(kAttemptLine, ++mAttempts));
        EXPECT_EQ(0, mClient->mSubscribeRequested.load());
        return id;
    }
    // Sends an ERROR or a NOTIFY as the agent and processes the presence queue once.
    void Deliver(MessageKind kind, uint64_t id, int code, const char* url = "")
    {
        ASSERT_TRUE(CyclicMessageQueue(0).SendTo(PRESENCE_CLIENT_QUEUE, Make(kind, id, code, url)));
        pollfd entry = {mClient->Messenger()->GetFD(), POLLIN, 0};
        ASSERT_EQ(1, poll(&entry, 1, 3000));
        mClient->Messenger()->ProcessMessageFromQueue(1);
    }

    RecordingConfigurator mConfigurator;
    CyclicMessageQueue mAgent{PRESENCE_AGENT_QUEUE};
    FakeDeviceFiles mDevice{"2", kVersionFile};
    std::unique_ptr<TestClient> mClient{new TestClient()};   // destroyed first: stops the worker
    long mAttempts = 0;
};

TEST_F(ProvisioningStateTest, StartsWithNoIdentifierAndSubscribesAfterTheFirstQueueCall)
{
    // No period is waited; the best of three starts keeps scheduling noise out.
    auto best = std::chrono::steady_clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        mClient.reset();   // its queues are free again before the next client
        mLog.Clear();
        mAttempts = 0;
        mClient.reset(new TestClient());
        EXPECT_EQ(0u, mClient->GetSubscribtionID());   // never drawn: no early notification matches
        EXPECT_EQ(0, mClient->IsMulticastMsgSentSuccessfully());
        EXPECT_EQ(1, mClient->mSubscribeRequested.load());
        ASSERT_TRUE(mClient->Initialize());   // starts the worker last
        auto start = std::chrono::steady_clock::now();
        uint64_t id = NextSubscription();
        best = std::min(best, std::chrono::steady_clock::now() - start);
        EXPECT_EQ(mClient->GetSubscribtionID(), id);
        EXPECT_EQ(Lines{std::string("3 ") + kAttemptLine}, Leveled());
    }
    EXPECT_LT(best, std::chrono::milliseconds(100));
    EXPECT_EQ("User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n", mClient->mUserAgent);
}

TEST_F(ProvisioningStateTest, TransitionsOnRequestsFailuresTimeOutsAndNotifications)
{
    ASSERT_TRUE(mClient->Initialize());
    uint64_t first = NextSubscription();
    for (int i = 0; i < 5; ++i)
        mClient->ConfigUpdate();   // several between two ticks: one attempt
    uint64_t second = NextSubscription();
    EXPECT_NE(first, second);

    // A failure resubscribes only for the current identifier.
    mLog.Clear();
    mAttempts = 0;
    Deliver(MSG_ERROR, first, Presence_Subscription_Failed);
    EXPECT_TRUE(mLog.Texts().empty());
    EXPECT_TRUE(Quiet(350));
    Deliver(MSG_ERROR, second, Presence_Subscription_Failed);
    EXPECT_EQ(Lines{"OnErrorConvey: Presence_Subscription_Failed \n"}, mLog.Texts());
    EXPECT_EQ(second, Next(MSG_UNSUBSCRIBE));
    uint64_t third = NextSubscription();
    EXPECT_NE(second, third);

    // Not yet notified: even a time-out of an older attempt asks for a new one.
    Deliver(MSG_ERROR, second, Presence_Subscription_Time_Out);
    EXPECT_EQ(second, Next(MSG_UNSUBSCRIBE));
    uint64_t fourth = NextSubscription();
    EXPECT_NE(third, fourth);

    // Only a notification for the current identifier counts; a second one changes nothing.
    Deliver(MSG_NOTIFY, third, 0, "http://127.0.0.1/x");
    EXPECT_EQ(0, mClient->IsMulticastMsgSentSuccessfully());
    Deliver(MSG_NOTIFY, fourth, 0, "no url");
    Deliver(MSG_NOTIFY, fourth, 0, "no url");
    EXPECT_EQ(1, mClient->IsMulticastMsgSentSuccessfully());

    // Notified: a time-out only cancels.
    Deliver(MSG_ERROR, fourth, Presence_Subscription_Time_Out);
    EXPECT_EQ(fourth, Next(MSG_UNSUBSCRIBE));
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_TRUE(Quiet(250));
}

TEST_F(ProvisioningStateTest, InvalidMacRepeatsOncePerPeriod)
{
    // Each rejected attempt draws a fresh identifier: multicast_subscription_test.
    mNet.SetMac("");
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(mClient->Initialize());
    ASSERT_TRUE(WaitForLines("AutoConfigClient::not valid mac address!!!\n", 3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));   // two periods
    const Lines all = Leveled();
    EXPECT_EQ(Lines(all.size(), "1T AutoConfigClient::not valid mac address!!!\n"), all);
    EXPECT_EQ(1, mClient->mSubscribeRequested.load());
    EXPECT_TRUE(Quiet(50));

    mNet.SetMac("001122334455");   // once valid, the next tick subscribes
    NextSubscription();
}
