#include "discovery/auto_provision_messenger.h"

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"

AutoProvisionMessenger::AutoProvisionMessenger(const AutoProvisionClient* client)
    : PresenceMessenger(Messaging::PRESENCE_CLIENT_QUEUE, nullptr), mpClient(const_cast<AutoProvisionClient*>(client))
{
}

AutoProvisionMessenger::~AutoProvisionMessenger() {}

int AutoProvisionMessenger::OnConfirm(const unsigned long long& subscriptionID)
{
    logger.TRACE(3, true, "OnConfirm : subID = %llu\n", subscriptionID);
    return 0;
}

int AutoProvisionMessenger::OnErrorConvey(const unsigned long long& subscriptionID,
                                          const PresenceUAClientErrorCode& code)
{
    switch (code) {
    case Presence_Subscription_Failed:
        // Only a failure of the current attempt is retried.
        if (mpClient != nullptr && subscriptionID == mpClient->GetSubscribtionID()) {
            logger.TRACE(3, true, "OnErrorConvey: Presence_Subscription_Failed \n");
            Unsubscribe(subscriptionID);
            ReSubscribe();
        }
        break;
    case Presence_Network_Failure:
        logger.TRACE(3, true, "OnErrorConvey: Presence_Network_Failure \n");
        break;
    case Presence_Subscription_Time_Out:
        logger.TRACE(3, true, "OnErrorConvey: Presence_Subscription_Time_Out \n");
        Unsubscribe(subscriptionID);
        CheckRequestStatus();
        break;
    default:
        break;
    }
    return 0;
}

int AutoProvisionMessenger::OnNotify(const unsigned long long& subscriptionID, const std::string& url)
{
    logger.TRACE(3, true, "OnNotify:URL = %s\n", url.c_str());
    if (mpClient == nullptr)
        return 1;
    mpClient->Notify(subscriptionID, url);
    return 0;
}

int AutoProvisionMessenger::OnPresencePartyStateChanged(bool online)
{
    logger.TRACE(3, true, "Auto Provision client is %sconnected...", online ? "" : "dis");
    return 0;
}

int AutoProvisionMessenger::OnPartyStateChanged(bool online)
{
    return OnPresencePartyStateChanged(online);
}

int AutoProvisionMessenger::ReSubscribe()
{
    if (mpClient == nullptr)
        return 1;
    mpClient->ConfigUpdate();
    return 0;
}

int AutoProvisionMessenger::CheckRequestStatus()
{
    if (mpClient == nullptr)
        return 1;
    if (mpClient->IsMulticastMsgSentSuccessfully() == 0)
        ReSubscribe();
    return 0;
}
