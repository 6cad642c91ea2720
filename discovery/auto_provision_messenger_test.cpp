#include "discovery/auto_provision_messenger.h"

#include <gtest/gtest.h>

#include "core/auto_provision_client.h"
#include "testing/fake_device.h"

using namespace testing_support;
using Lines = std::vector<std::string>;

namespace {

class StateClient : public AutoProvisionClient {
public:
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mSubscriptionID;
};

}  // namespace

TEST(AutoProvisionMessenger, ErrorCodesAgainstTheCurrentIdentifier)
{
    UseTemporaryQueueDirectory();
    CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
    StateClient client;
    client.mSubscriptionID.Store(77);
    AutoProvisionMessenger messenger(&client);
    const std::string failed = "OnErrorConvey: Presence_Subscription_Failed \n";
    const std::string timeOut = "OnErrorConvey: Presence_Subscription_Time_Out \n";
    struct Case { uint64_t id; int code; int notified; Lines lines; uint64_t unsubscribed; int requested; };
    const Case cases[] = {
        {77, Presence_Subscription_Failed, 0, {failed}, 77, 1},
        {76, Presence_Subscription_Failed, 0, {}, 0, 0},   // an older attempt's failure is ignored
        {12, Presence_Subscription_Time_Out, 0, {timeOut}, 12, 1},
        {77, Presence_Subscription_Time_Out, 1, {timeOut}, 77, 0},   // notified: only cancels
        {77, Presence_Network_Failure, 0, {"OnErrorConvey: Presence_Network_Failure \n"}, 0, 0},
        {77, 4, 0, {}, 0, 0},   // unknown code
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "id " << row.id << " code " << row.code);
        LogCapture log;
        client.mSubscribeRequested = 0;
        client.mMulticastMsgSent = row.notified;
        EXPECT_EQ(0, messenger.OnErrorConvey(row.id, static_cast<PresenceUAClientErrorCode>(row.code)));
        EXPECT_EQ(row.lines, log.Texts());
        Messaging::Message message;
        bool unsubscribed = WaitForMessage(agent, message, 200) && message.kind == Messaging::MSG_UNSUBSCRIBE;
        EXPECT_EQ(row.unsubscribed, unsubscribed ? message.id : 0u);
        EXPECT_EQ(row.requested, client.mSubscribeRequested.load());
    }
}

TEST(AutoProvisionMessenger, OtherCallbacksWriteTheirLinesWithOrWithoutAClient)
{
    UseTemporaryQueueDirectory();
    LogCapture log;
    StateClient client;
    {
        AutoProvisionMessenger messenger(&client);
        EXPECT_EQ(0, messenger.OnConfirm(42));
        EXPECT_EQ(0, messenger.OnNotify(5, ""));   // handed to the client whatever the identifier
        EXPECT_EQ(0, messenger.OnPresencePartyStateChanged(false));
        EXPECT_EQ(0, messenger.OnPresencePartyStateChanged(true));
        EXPECT_EQ(0, messenger.OnPartyStateChanged(false));
    }
    EXPECT_EQ((Lines{"OnConfirm : subID = 42\n", "OnNotify:URL = \n",
                     "AutoConfigClient::Recieve Notify Message form SIP \n",
                     "Auto Provision client is disconnected...", "Auto Provision client is connected...",
                     "Auto Provision client is disconnected..."}),
              log.Texts());
    for (const TraceLine& line : log.Lines())
        EXPECT_EQ(3, line.level);
    EXPECT_EQ(0, client.mMulticastMsgSent.load());

    AutoProvisionMessenger orphan(nullptr);
    log.Clear();
    EXPECT_EQ(1, orphan.OnNotify(1, "x"));
    EXPECT_EQ(1, orphan.ReSubscribe());
    EXPECT_EQ(1, orphan.CheckRequestStatus());
    EXPECT_EQ(0, orphan.OnErrorConvey(1, Presence_Subscription_Failed));
    EXPECT_EQ(0, orphan.OnErrorConvey(1, Presence_Subscription_Time_Out));
    EXPECT_EQ((Lines{"OnNotify:URL = x\n", "OnErrorConvey: Presence_Subscription_Time_Out \n"}), log.Texts());
}
