#include "core/auto_provision_client.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <deque>
#include <stdexcept>
#include <thread>

#include "discovery/auto_provision_messenger.h"
#include "testing/fake_device.h"

using namespace testing_support;

namespace {

const char* const kVersionFile = "Version: 5.1.3\n";

// Reaches the client's fields and lets a test hand it its own poller.
class TestClient : public AutoProvisionClient {
public:
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mThreadID;
    using AutoProvisionClient::mUserAgent;

    void UsePoller(CyclicQueuePoller* poller)
    {
        delete mpPoller;
        mpPoller = poller;
    }
    void CreateMessenger() { mpMessenger = new AutoProvisionMessenger(this); }
    AutoProvisionMessenger* Messenger() { return mpMessenger; }
};

// Answers a fixed list of values, then ends the event loop with an exception.
class ScriptedPoller : public CyclicQueuePoller {
public:
    explicit ScriptedPoller(std::deque<int> values) : CyclicQueuePoller(30), mValues(values) {}
    int WaitForEvents() override
    {
        if (mValues.empty())
            throw std::runtime_error("end of script");
        int value = mValues.front();
        mValues.pop_front();
        return value;
    }

private:
    std::deque<int> mValues;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { UseTemporaryQueueDirectory(); }

    FakeNetCheck mNet;
    RecordingConfigurator mConfigurator;
    LogCapture mLog;
};

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- initialisation

TEST_F(ClientTest, StartsInTheRequestedStateWithNoIdentifier)
{
    TestClient client;
    EXPECT_EQ(1, client.mSubscribeRequested.load());
    EXPECT_EQ(0, client.IsMulticastMsgSentSuccessfully());
    EXPECT_EQ(0u, client.GetSubscribtionID());
    EXPECT_EQ(0ul, client.mThreadID);
}

TEST(ClientInitialize, MissingConfiguratorReleasesOnlyWhatWasCreated)
{
    UseTemporaryQueueDirectory();
    RecordingConfigurator configurator(false);
    LogCapture log;
    {
        TestClient client;
        EXPECT_FALSE(client.Initialize());
        EXPECT_EQ(0ul, client.mThreadID);
    }
    EXPECT_EQ(std::vector<std::string>{"GetInstance"}, configurator.Calls());
    ASSERT_EQ(1u, log.Lines().size());
    EXPECT_EQ(0, log.Lines()[0].level);
    EXPECT_EQ("AutoProvisionClient::Failed to initialize ZentroConfigurator\n", log.Texts()[0]);
}

TEST_F(ClientTest, MissingLineNumberFailsAfterTheConfiguratorWasObtained)
{
    FakeDeviceFiles device("", kVersionFile);
    {
        TestClient client;
        EXPECT_FALSE(client.Initialize());
        EXPECT_EQ(0ul, client.mThreadID);
    }
    EXPECT_EQ((std::vector<std::string>{"GetInstance", "CloseInstance"}), mConfigurator.Calls());
    EXPECT_EQ(std::vector<std::string>{"Invalid fxs line number\n"}, mLog.Texts());
}

TEST_F(ClientTest, BusyPresenceQueueFailsWithTheCatchAllLine)
{
    CyclicMessageQueue otherInstance(125);
    {
        TestClient client;
        EXPECT_FALSE(client.Initialize());
    }
    EXPECT_TRUE(mConfigurator.Calls().empty());
    ASSERT_EQ(1u, mLog.Lines().size());
    EXPECT_EQ(0, mLog.Lines()[0].level);
    EXPECT_EQ("AutoConfigClient::Faild to initialize Auto Provisioning Client\n", mLog.Texts()[0]);
}

TEST_F(ClientTest, InitializeBuildsTheUserAgentAndStartsTheWorker)
{
    FakeDeviceFiles device("2", kVersionFile);
    TestClient client;
    ASSERT_TRUE(client.Initialize());
    EXPECT_NE(0ul, client.mThreadID);
    EXPECT_EQ("User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n", client.mUserAgent);
}

// ---------------------------------------------------------------- event loop

TEST_F(ClientTest, EventLoopReportsFailedAndUnknownEvents)
{
    TestClient client;
    client.CreateMessenger();
    client.UsePoller(new ScriptedPoller({0, 124, 127, -1}));
    EXPECT_FALSE(client.Run());

    auto lines = mLog.Lines();
    ASSERT_EQ(4u, lines.size());
    for (auto& line : lines)
        EXPECT_EQ(1, line.level);
    EXPECT_EQ((std::vector<std::string>{"Failed to get event from Queue\n",
                                        "Unappropriate  event recieved from Queue\n",
                                        "Unappropriate  event recieved from Queue\n",
                                        "Unappropriate  event recieved from Queue\n"}),
              mLog.Texts());
}

TEST_F(ClientTest, OnlineAgentAtStartGivesTheConnectedLineTwice)
{
    CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
    TestClient client;
    client.CreateMessenger();
    client.UsePoller(new ScriptedPoller({0}));
    EXPECT_FALSE(client.Run());
    EXPECT_EQ((std::vector<std::string>{"Auto Provision client is connected...",
                                        "Auto Provision client is connected...",
                                        "Failed to get event from Queue\n"}),
              mLog.Texts());
}

class ThrowingClient : public TestClient {
public:
    int OnUpdate(UpdateType, const std::list<std::string>&) override
    {
        throw std::runtime_error("callback failed");
    }
};

TEST_F(ClientTest, ThrowingCallbackEndsTheLoopWithoutALine)
{
    ThrowingClient client;
    client.CreateMessenger();
    client.UsePoller(new ScriptedPoller({126, 0}));
    CyclicMessageQueue web(0);
    Messaging::Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.code = Update_Configuration_Command;
    update.strings = {"update"};
    ASSERT_TRUE(web.SendTo(Messaging::CGI_QUEUE, update));

    EXPECT_FALSE(client.Run());
    EXPECT_TRUE(mLog.Lines().empty());
}

// ---------------------------------------------------------------- worker and provisioning state

// A running client with a test peer in the presence agent's place. The test
// thread stands in for the event loop and processes the presence queue.
class ProvisioningStateTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        mAgent.reset(new CyclicMessageQueue(Messaging::PRESENCE_AGENT_QUEUE));
        mDevice.reset(new FakeDeviceFiles("2", kVersionFile));
    }
    void TearDown() override
    {
        mClient.reset();
        mAgent.reset();
    }

    void Start()
    {
        mClient.reset(new TestClient());
        ASSERT_TRUE(mClient->Initialize());
    }

    // Waits for the next SUBSCRIBE and for the worker to clear its request.
    uint64_t NextSubscription()
    {
        Messaging::Message message;
        while (WaitForMessage(*mAgent, message, 3000)) {
            if (message.kind != Messaging::MSG_SUBSCRIBE)
                continue;
            // The attempt ends with its trace line, written after the request is cleared.
            ++mAttempts;
            EXPECT_TRUE(WaitUntil([this] { return AttemptLines() >= mAttempts; }, 3000));
            EXPECT_EQ(0, mClient->mSubscribeRequested.load());
            return message.id;
        }
        ADD_FAILURE() << "no subscription";
        return 0;
    }

    int AttemptLines()
    {
        int count = 0;
        for (const std::string& text : mLog.Texts())
            count += text == "AutoConfigClient::SendMulticastMessage \n";
        return count;
    }

    // Forgets the captured lines; call only between attempts.
    void ClearLog()
    {
        mLog.Clear();
        mAttempts = 0;
    }

    bool NoSubscriptionWithin(int ms)
    {
        Messaging::Message message;
        while (WaitForMessage(*mAgent, message, ms)) {
            if (message.kind == Messaging::MSG_SUBSCRIBE)
                return false;
        }
        return true;
    }

    void Error(uint64_t id, PresenceUAClientErrorCode code)
    {
        Messaging::Message message;
        message.kind = Messaging::MSG_ERROR;
        message.id = id;
        message.code = code;
        DeliverAndProcess(message);
    }

    void NotifyWith(uint64_t id, const std::string& url)
    {
        Messaging::Message message;
        message.kind = Messaging::MSG_NOTIFY;
        message.id = id;
        message.url = url;
        DeliverAndProcess(message);
    }

    void DeliverAndProcess(const Messaging::Message& message)
    {
        CyclicMessageQueue peer(0);
        ASSERT_TRUE(peer.SendTo(Messaging::PRESENCE_CLIENT_QUEUE, message));
        pollfd entry = {mClient->Messenger()->GetFD(), POLLIN, 0};
        ASSERT_EQ(1, poll(&entry, 1, 3000));
        mClient->Messenger()->ProcessMessageFromQueue(1);
    }

    std::unique_ptr<CyclicMessageQueue> mAgent;
    std::unique_ptr<FakeDeviceFiles> mDevice;
    std::unique_ptr<TestClient> mClient;
    int mAttempts = 0;
};

TEST_F(ProvisioningStateTest, FirstAttemptFollowsTheWorkersFirstQueueCall)
{
    // The request flag is set from construction, so the worker subscribes
    // right after its first queue call instead of after a period. Take the
    // best of three starts to keep scheduling noise out of the measurement.
    auto best = std::chrono::steady_clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        mClient.reset();
        ClearLog();
        auto start = std::chrono::steady_clock::now();
        Start();
        uint64_t id = NextSubscription();
        best = std::min(best, std::chrono::steady_clock::now() - start);
        EXPECT_EQ(mClient->GetSubscribtionID(), id);
        EXPECT_NE(0u, id);
        ASSERT_EQ(1u, mLog.Lines().size());
        EXPECT_EQ("AutoConfigClient::SendMulticastMessage \n", mLog.Lines()[0].text);
    }
    EXPECT_LT(best, std::chrono::milliseconds(100));
}

TEST_F(ProvisioningStateTest, SeveralRequestsBetweenTwoTicksGiveOneAttempt)
{
    Start();
    uint64_t first = NextSubscription();
    for (int i = 0; i < 5; ++i)
        mClient->ConfigUpdate();
    uint64_t second = NextSubscription();
    EXPECT_NE(first, second);
    EXPECT_TRUE(NoSubscriptionWithin(350));
}

TEST_F(ProvisioningStateTest, FailureResubscribesOnlyForTheCurrentIdentifier)
{
    Start();
    uint64_t first = NextSubscription();
    mClient->ConfigUpdate();
    uint64_t second = NextSubscription();

    ClearLog();
    Error(first, Presence_Subscription_Failed);
    EXPECT_TRUE(mLog.Texts().empty());
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_TRUE(NoSubscriptionWithin(250));

    Error(second, Presence_Subscription_Failed);
    EXPECT_EQ(std::vector<std::string>{"OnErrorConvey: Presence_Subscription_Failed \n"}, mLog.Texts());
    Messaging::Message unsubscribe;
    ASSERT_TRUE(WaitForMessage(*mAgent, unsubscribe, 3000));
    EXPECT_EQ(Messaging::MSG_UNSUBSCRIBE, unsubscribe.kind);
    EXPECT_EQ(second, unsubscribe.id);
    EXPECT_NE(second, NextSubscription());
}

TEST_F(ProvisioningStateTest, TimeOutResubscribesOnlyBeforeAMatchingNotification)
{
    Start();
    uint64_t first = NextSubscription();
    mClient->ConfigUpdate();
    uint64_t second = NextSubscription();

    // Waiting: even a time-out of the older attempt asks for a new one.
    Error(first, Presence_Subscription_Time_Out);
    Messaging::Message message;
    ASSERT_TRUE(WaitForMessage(*mAgent, message, 3000));
    EXPECT_EQ(Messaging::MSG_UNSUBSCRIBE, message.kind);
    EXPECT_EQ(first, message.id);
    uint64_t third = NextSubscription();
    EXPECT_NE(second, third);

    // Notified: a time-out only cancels.
    NotifyWith(third, "no url");
    EXPECT_EQ(1, mClient->IsMulticastMsgSentSuccessfully());
    Error(third, Presence_Subscription_Time_Out);
    ASSERT_TRUE(WaitForMessage(*mAgent, message, 3000));
    EXPECT_EQ(Messaging::MSG_UNSUBSCRIBE, message.kind);
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_TRUE(NoSubscriptionWithin(250));
}

TEST_F(ProvisioningStateTest, NotificationForAnotherIdentifierChangesNothing)
{
    Start();
    uint64_t id = NextSubscription();
    NotifyWith(id + 1, "http://127.0.0.1/x");
    EXPECT_EQ(0, mClient->IsMulticastMsgSentSuccessfully());
    NotifyWith(id, "not a url");
    EXPECT_EQ(1, mClient->IsMulticastMsgSentSuccessfully());
    // Notified stays notified on a second matching notification.
    NotifyWith(id, "not a url");
    EXPECT_EQ(1, mClient->IsMulticastMsgSentSuccessfully());
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
}

TEST_F(ProvisioningStateTest, InvalidMacRepeatsOncePerPeriodWithFreshIdentifiers)
{
    mNet.SetMac("");
    Start();
    std::vector<uint64_t> ids;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        uint64_t id = mClient->GetSubscribtionID();
        if (id != 0 && (ids.empty() || ids.back() != id))
            ids.push_back(id);
        return mLog.Lines().size() >= 3;
    }, 5000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));  // three attempts span two periods
    for (auto& line : mLog.Lines()) {
        std::string text = line.text;
        StripTimeStamp(text);
        EXPECT_EQ("AutoConfigClient::not valid mac address!!!\n", text);
        EXPECT_EQ(1, line.level);
    }
    EXPECT_GE(ids.size(), 2u);
    EXPECT_EQ(1, mClient->mSubscribeRequested.load());
    EXPECT_TRUE(NoSubscriptionWithin(50));

    // Once the address is valid the next tick subscribes.
    mNet.SetMac("001122334455");
    EXPECT_NE(0u, NextSubscription());
}
