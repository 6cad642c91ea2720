#include "discovery/auto_provision_messenger.h"

#include <gtest/gtest.h>

#include "core/auto_provision_client.h"
#include "testing/fake_device.h"

using namespace testing_support;

namespace {

class StateClient : public AutoProvisionClient {
public:
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mSubscriptionID;
};

class MessengerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseTemporaryQueueDirectory();
        mAgent.reset(new CyclicMessageQueue(Messaging::PRESENCE_AGENT_QUEUE));
        mClient.reset(new StateClient());
        mClient->mSubscriptionID.Store(77);
        mClient->mSubscribeRequested = 0;
        mMessenger.reset(new AutoProvisionMessenger(mClient.get()));
    }

    // The identifier of the UNSUBSCRIBE the agent got, or 0.
    uint64_t Unsubscribed()
    {
        Messaging::Message message;
        if (!WaitForMessage(*mAgent, message, 200) || message.kind != Messaging::MSG_UNSUBSCRIBE)
            return 0;
        return message.id;
    }

    LogCapture mLog;
    std::unique_ptr<CyclicMessageQueue> mAgent;
    std::unique_ptr<StateClient> mClient;
    std::unique_ptr<AutoProvisionMessenger> mMessenger;
};

}  // namespace

TEST_F(MessengerTest, ConfirmationOnlyWritesItsLine)
{
    EXPECT_EQ(0, mMessenger->OnConfirm(42));
    EXPECT_EQ(std::vector<std::string>{"OnConfirm : subID = 42\n"}, mLog.Texts());
    EXPECT_EQ(3, mLog.Lines()[0].level);
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_EQ(0, mClient->mMulticastMsgSent.load());
}

TEST_F(MessengerTest, NotificationIsHandedToTheClientWhateverItsIdentifier)
{
    EXPECT_EQ(0, mMessenger->OnNotify(5, ""));
    EXPECT_EQ((std::vector<std::string>{"OnNotify:URL = \n",
                                        "AutoConfigClient::Recieve Notify Message form SIP \n"}),
              mLog.Texts());
    EXPECT_EQ(0, mClient->mMulticastMsgSent.load());
}

TEST_F(MessengerTest, FailureOfTheCurrentSubscriptionResubscribes)
{
    EXPECT_EQ(0, mMessenger->OnErrorConvey(77, Presence_Subscription_Failed));
    EXPECT_EQ(std::vector<std::string>{"OnErrorConvey: Presence_Subscription_Failed \n"}, mLog.Texts());
    EXPECT_EQ(77u, Unsubscribed());
    EXPECT_EQ(1, mClient->mSubscribeRequested.load());
}

TEST_F(MessengerTest, FailureOfAnOlderSubscriptionIsIgnored)
{
    EXPECT_EQ(0, mMessenger->OnErrorConvey(76, Presence_Subscription_Failed));
    EXPECT_TRUE(mLog.Lines().empty());
    EXPECT_EQ(0u, Unsubscribed());
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
}

TEST_F(MessengerTest, TimeOutResubscribesOnlyWhileUnanswered)
{
    EXPECT_EQ(0, mMessenger->OnErrorConvey(12, Presence_Subscription_Time_Out));
    EXPECT_EQ(12u, Unsubscribed());
    EXPECT_EQ(1, mClient->mSubscribeRequested.load());

    mClient->mSubscribeRequested = 0;
    mClient->mMulticastMsgSent = 1;
    EXPECT_EQ(0, mMessenger->OnErrorConvey(77, Presence_Subscription_Time_Out));
    EXPECT_EQ(77u, Unsubscribed());
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_EQ((std::vector<std::string>{"OnErrorConvey: Presence_Subscription_Time_Out \n",
                                        "OnErrorConvey: Presence_Subscription_Time_Out \n"}),
              mLog.Texts());
}

TEST_F(MessengerTest, NetworkFailureAndUnknownCodesDoNothingElse)
{
    EXPECT_EQ(0, mMessenger->OnErrorConvey(77, Presence_Network_Failure));
    EXPECT_EQ(0, mMessenger->OnErrorConvey(77, static_cast<PresenceUAClientErrorCode>(4)));
    EXPECT_EQ(std::vector<std::string>{"OnErrorConvey: Presence_Network_Failure \n"}, mLog.Texts());
    EXPECT_EQ(0u, Unsubscribed());
    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
}

TEST_F(MessengerTest, PartyStateLinesHaveNoLineEnd)
{
    EXPECT_EQ(0, mMessenger->OnPresencePartyStateChanged(false));
    EXPECT_EQ(0, mMessenger->OnPresencePartyStateChanged(true));
    EXPECT_EQ(0, mMessenger->OnPartyStateChanged(false));
    EXPECT_EQ((std::vector<std::string>{"Auto Provision client is disconnected...",
                                        "Auto Provision client is connected...",
                                        "Auto Provision client is disconnected..."}),
              mLog.Texts());
}

TEST(MessengerWithoutClient, ReportsTheMissingClient)
{
    UseTemporaryQueueDirectory();
    LogCapture log;
    AutoProvisionMessenger messenger(nullptr);
    EXPECT_EQ(1, messenger.OnNotify(1, "x"));
    EXPECT_EQ(1, messenger.ReSubscribe());
    EXPECT_EQ(1, messenger.CheckRequestStatus());
    EXPECT_EQ(0, messenger.OnErrorConvey(1, Presence_Subscription_Failed));
    EXPECT_EQ(0, messenger.OnErrorConvey(1, Presence_Subscription_Time_Out));
    EXPECT_EQ((std::vector<std::string>{"OnNotify:URL = x\n",
                                        "OnErrorConvey: Presence_Subscription_Time_Out \n"}),
              log.Texts());
}
