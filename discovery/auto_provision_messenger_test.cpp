#include "discovery/auto_provision_messenger.h"

#include <gtest/gtest.h>

#include "testing/test_client.h"

using namespace testing_support;

TEST(AutoProvisionMessenger, ErrorCodesAgainstTheCurrentIdentifier)
{
    TestClient client;
    CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
    client.mSubscriptionID.Store(77);
    AutoProvisionMessenger messenger(&client);
    const std::string failed = "3T OnErrorConvey: Presence_Subscription_Failed \n";
    const std::string timeOut = "3T OnErrorConvey: Presence_Subscription_Time_Out \n";
    const struct { uint64_t id; int code; int notified; Lines lines; uint64_t unsubscribed; int requested; } cases[] = {
        {77, Presence_Subscription_Failed, 0, {failed}, 77, 1},
        {76, Presence_Subscription_Failed, 0, {}, 0, 0},   // an older attempt's failure is ignored
        {12, Presence_Subscription_Time_Out, 0, {timeOut}, 12, 1},
        {77, Presence_Subscription_Time_Out, 1, {timeOut}, 77, 0},   // notified: only cancels
        {77, Presence_Network_Failure, 0, {"3T OnErrorConvey: Presence_Network_Failure \n"}, 0, 0},
        {77, 4, 0, {}, 0, 0},   // unknown code
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(testing::Message() << "id " << row.id << " code " << row.code);
        LogCapture log;
        client.mSubscribeRequested = 0;
        client.mMulticastMsgSent = row.notified;
        EXPECT_EQ(0, messenger.OnErrorConvey(row.id, static_cast<PresenceUAClientErrorCode>(row.code)));
        EXPECT_EQ(row.lines, Leveled(log));
        Messaging::Message message;
        const bool unsubscribed = WaitForMessage(agent, message, 200) && message.kind == Messaging::MSG_UNSUBSCRIBE;
        EXPECT_EQ(row.unsubscribed, unsubscribed ? message.id : 0u);
        EXPECT_EQ(row.requested, client.mSubscribeRequested.load());
    }
}

TEST(AutoProvisionMessenger, OtherCallbacksWriteTheirLinesWithOrWithoutAClient)
{
    LogCapture log;
    TestClient client;
    client.mSubscriptionID.Store(6);
    {   // its queue is free again for the next one
        AutoProvisionMessenger messenger(&client);
        EXPECT_EQ(0, messenger.OnConfirm(42));
        EXPECT_EQ(0, messenger.OnNotify(5, ""));   // handed to the client whatever the identifier
        EXPECT_EQ(0, messenger.OnNotify(6, ""));   // the current one: retrieved
        EXPECT_EQ(0, messenger.OnPresencePartyStateChanged(false));
        EXPECT_EQ(0, messenger.OnPartyStateChanged(true));
        client.mMulticastMsgSent = 1;
        client.mSubscribeRequested = 0;
        EXPECT_EQ(0, messenger.CheckRequestStatus());   // notified: nothing to request
        EXPECT_EQ(0, client.mSubscribeRequested.load());
        EXPECT_EQ(0, messenger.ReSubscribe());
        EXPECT_EQ(1, client.mSubscribeRequested.load());
    }
    const std::string notified = "3T AutoConfigClient::Recieve Notify Message form SIP \n";
    EXPECT_EQ((Lines{"3T OnConfirm : subID = 42\n", "3T OnNotify:URL = \n", notified, "3T OnNotify:URL = \n",
                     notified, "1T AutoProvisionClient::not valid URL recieved\n",
                     "3T Auto Provision client is disconnected...", "3T Auto Provision client is connected..."}),
              Leveled(log));
    log.Clear();
    AutoProvisionMessenger orphan(nullptr);   // nothing to hand on to
    EXPECT_EQ(1, orphan.OnNotify(1, "x"));
    EXPECT_EQ(0, orphan.OnErrorConvey(1, Presence_Subscription_Failed));
    EXPECT_EQ(0, orphan.OnErrorConvey(1, Presence_Subscription_Time_Out));
    EXPECT_EQ(1, orphan.ReSubscribe());
    EXPECT_EQ(1, orphan.CheckRequestStatus());
    EXPECT_EQ((Lines{"3T OnNotify:URL = x\n", "3T OnErrorConvey: Presence_Subscription_Time_Out \n"}),
              Leveled(log));
}
