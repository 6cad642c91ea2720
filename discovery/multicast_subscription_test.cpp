#include <gtest/gtest.h>

#include "core/auto_provision_client.h"
#include "discovery/auto_provision_messenger.h"
#include "testing/fake_device.h"

using namespace testing_support;

namespace {

::testing::Environment* const kQueues = ::testing::AddGlobalTestEnvironment(new TemporaryQueueDirectory);

class SubscribingClient : public AutoProvisionClient {
public:
    SubscribingClient() { mpMessenger = new AutoProvisionMessenger(this); }
    using AutoProvisionClient::mMACAddress;
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
};

// Every field of a party record in declared order, '|'-separated.
std::string Fields(const CallParams& p)
{
    std::string out;
    for (const std::string* field : {&p.userName, &p.displayName, &p.domain, &p.password, &p.ipAddress,
                                     &p.port, &p.transport, &p.contact, &p.callId, &p.tag})
        out += *field + "|";
    return out + std::to_string(p.expires);
}

class MulticastSubscriptionTest : public ::testing::Test {
protected:
    FakeNetCheck mNet;
    LogCapture mLog;
    CyclicMessageQueue mAgent{Messaging::PRESENCE_AGENT_QUEUE};
    SubscribingClient mClient;
    Messaging::Message mMessage;
};

}  // namespace

TEST_F(MulticastSubscriptionTest, ValidAttemptsHandTheAgentBothPartiesWithAFreshIdentifier)
{
    mNet.SetMac("0a1b2c3d4e5f");
    mNet.SetIp("10.1.2.3");
    mClient.mMulticastMsgSent = 1;
    mClient.SendMulticastMessage();
    ASSERT_TRUE(WaitForMessage(mAgent, mMessage, 3000));
    ASSERT_EQ(Messaging::MSG_SUBSCRIBE, mMessage.kind);
    const uint64_t first = mMessage.id;
    EXPECT_EQ(mClient.GetSubscribtionID(), first);
    EXPECT_EQ("MAC:0a1b2c3d4e5f||||10.1.2.3|5060|||||0", Fields(mMessage.subscriber));
    EXPECT_EQ("MAC:0a1b2c3d4e5f||||224.0.1.75|5060|||||0", Fields(mMessage.target));
    EXPECT_EQ(0x30u, mMessage.watchingStates);
    EXPECT_EQ(0u, mMessage.expires);
    EXPECT_EQ(0, mClient.mSubscribeRequested.load());
    EXPECT_EQ(0, mClient.mMulticastMsgSent.load());
    EXPECT_EQ("0a1b2c3d4e5f", mClient.mMACAddress.Get());
    ASSERT_EQ(1u, mLog.Lines().size());
    EXPECT_EQ(3, mLog.Lines()[0].level);
    EXPECT_EQ("AutoConfigClient::SendMulticastMessage \n", mLog.Lines()[0].text);   // no stamp

    // A failed address lookup leaves the subscriber's address empty but still subscribes.
    mNet.SetIp("");
    mClient.SendMulticastMessage();
    ASSERT_TRUE(WaitForMessage(mAgent, mMessage, 3000));
    EXPECT_EQ("MAC:0a1b2c3d4e5f|||||5060|||||0", Fields(mMessage.subscriber));
    EXPECT_NE(first, mMessage.id);
    EXPECT_EQ(mClient.GetSubscribtionID(), mMessage.id);
}

TEST_F(MulticastSubscriptionTest, RejectedMacIsKeptAndDrawsAnIdentifierButSendsNothing)
{
    for (const char* mac : {"", "ffffffffffff"}) {
        SCOPED_TRACE(mac);
        mLog.Clear();
        mNet.SetMac(mac);
        mClient.mMulticastMsgSent = 1;
        const unsigned long long before = mClient.GetSubscribtionID();   // 0 on the first round
        mClient.SendMulticastMessage();
        EXPECT_NE(before, mClient.GetSubscribtionID());
        EXPECT_EQ(1, mClient.mSubscribeRequested.load());
        EXPECT_EQ(1, mClient.mMulticastMsgSent.load());
        EXPECT_EQ(mac, mClient.mMACAddress.Get());
        ASSERT_EQ(1u, mLog.Lines().size());
        EXPECT_EQ(1, mLog.Lines()[0].level);
        EXPECT_EQ("AutoConfigClient::not valid mac address!!!\n", mLog.Texts()[0]);
        EXPECT_FALSE(WaitForMessage(mAgent, mMessage, 50));
    }
}
