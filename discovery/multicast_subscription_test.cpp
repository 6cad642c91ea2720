#include <gtest/gtest.h>

#include "core/auto_provision_client.h"
#include "discovery/auto_provision_messenger.h"
#include "testing/fake_device.h"

using namespace testing_support;

namespace {

class SubscribingClient : public AutoProvisionClient {
public:
    SubscribingClient() { mpMessenger = new AutoProvisionMessenger(this); }
    using AutoProvisionClient::mMACAddress;
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
};

class MulticastSubscriptionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseTemporaryQueueDirectory();
        mAgent.reset(new CyclicMessageQueue(Messaging::PRESENCE_AGENT_QUEUE));
        mClient.reset(new SubscribingClient());
    }

    void ExpectRejectedMac(const std::string& mac)
    {
        mNet.SetMac(mac);
        mClient->mMulticastMsgSent = 1;
        unsigned long long before = mClient->GetSubscribtionID();
        mClient->SendMulticastMessage();

        EXPECT_NE(before, mClient->GetSubscribtionID());
        EXPECT_NE(0u, mClient->GetSubscribtionID());
        EXPECT_EQ(1, mClient->mSubscribeRequested.load());
        EXPECT_EQ(1, mClient->mMulticastMsgSent.load());
        EXPECT_EQ(mac, mClient->mMACAddress.Get());
        ASSERT_EQ(1u, mLog.Lines().size());
        EXPECT_EQ(1, mLog.Lines()[0].level);
        EXPECT_EQ("AutoConfigClient::not valid mac address!!!\n", mLog.Texts()[0]);
        Messaging::Message message;
        EXPECT_FALSE(WaitForMessage(*mAgent, message, 50));
    }

    FakeNetCheck mNet;
    LogCapture mLog;
    std::unique_ptr<CyclicMessageQueue> mAgent;
    std::unique_ptr<SubscribingClient> mClient;
};

void ExpectOnlyUsedFields(const CallParams& party)
{
    EXPECT_EQ("", party.displayName);
    EXPECT_EQ("", party.domain);
    EXPECT_EQ("", party.password);
    EXPECT_EQ("", party.transport);
    EXPECT_EQ("", party.contact);
    EXPECT_EQ("", party.callId);
    EXPECT_EQ("", party.tag);
    EXPECT_EQ(0, party.expires);
}

}  // namespace

TEST_F(MulticastSubscriptionTest, ValidAttemptHandsTheAgentBothParties)
{
    mNet.SetMac("0a1b2c3d4e5f");
    mNet.SetIp("10.1.2.3");
    mClient->SendMulticastMessage();

    Messaging::Message message;
    ASSERT_TRUE(WaitForMessage(*mAgent, message, 3000));
    ASSERT_EQ(Messaging::MSG_SUBSCRIBE, message.kind);
    EXPECT_EQ(mClient->GetSubscribtionID(), message.id);
    EXPECT_EQ("MAC:0a1b2c3d4e5f", message.subscriber.userName);
    EXPECT_EQ("10.1.2.3", message.subscriber.ipAddress);
    EXPECT_EQ("5060", message.subscriber.port);
    EXPECT_EQ("MAC:0a1b2c3d4e5f", message.target.userName);
    EXPECT_EQ("224.0.1.75", message.target.ipAddress);
    EXPECT_EQ("5060", message.target.port);
    ExpectOnlyUsedFields(message.subscriber);
    ExpectOnlyUsedFields(message.target);
    EXPECT_EQ(0x30u, message.watchingStates);
    EXPECT_EQ(0u, message.expires);

    EXPECT_EQ(0, mClient->mSubscribeRequested.load());
    EXPECT_EQ(0, mClient->mMulticastMsgSent.load());
    EXPECT_EQ("0a1b2c3d4e5f", mClient->mMACAddress.Get());
    ASSERT_EQ(1u, mLog.Lines().size());
    EXPECT_EQ(3, mLog.Lines()[0].level);
    EXPECT_EQ("AutoConfigClient::SendMulticastMessage \n", mLog.Lines()[0].text);  // no stamp
}

TEST_F(MulticastSubscriptionTest, EmptyMacSendsNothing)
{
    ExpectRejectedMac("");
}

TEST_F(MulticastSubscriptionTest, RejectedMacIsKeptButSendsNothing)
{
    ExpectRejectedMac("ffffffffffff");
}

TEST_F(MulticastSubscriptionTest, FailedAddressLookupStillSubscribes)
{
    mNet.SetIp("");
    mClient->SendMulticastMessage();
    Messaging::Message message;
    ASSERT_TRUE(WaitForMessage(*mAgent, message, 3000));
    EXPECT_EQ(Messaging::MSG_SUBSCRIBE, message.kind);
    EXPECT_EQ("", message.subscriber.ipAddress);
}

TEST_F(MulticastSubscriptionTest, EveryAttemptDrawsANewIdentifier)
{
    mClient->SendMulticastMessage();
    Messaging::Message first;
    ASSERT_TRUE(WaitForMessage(*mAgent, first, 3000));
    mClient->SendMulticastMessage();
    Messaging::Message second;
    ASSERT_TRUE(WaitForMessage(*mAgent, second, 3000));
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(second.id, mClient->GetSubscribtionID());
}
