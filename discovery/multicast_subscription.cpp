#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"
#include "discovery/auto_provision_messenger.h"
#include "media_control/call_params.h"
#include "net_check/net_check.h"

const char* const AutoProvision::_MULTI_CAST_IP_ADDRESS_ = "224.0.1.75";

void AutoProvisionClient::SendMulticastMessage()
{
    std::string netmask;
    CallParams subscriber;
    CallParams target;
    WatchingStates states = 0x30;
    unsigned long expires = 0;

    const unsigned long long subscriptionID = Utility::GenerateUniqueNumber();
    mSubscriptionID.Store(subscriptionID);

    std::string mac = GetMACAddress("eth1", nullptr);
    mMACAddress.Set(mac);
    if (mac.empty() || IsCorrectMACAddress(mac) == 0) {
        logger.TRACE(1, true, "AutoConfigClient::not valid mac address!!!\n");
        return;
    }
    mac.insert(0, "MAC:");

    // A failed look-up leaves the subscriber's address empty; the attempt goes on.
    GetIPAddress("eth1", subscriber.ipAddress, netmask);
    subscriber.userName = mac;
    subscriber.port = "5060";
    target.ipAddress = AutoProvision::_MULTI_CAST_IP_ADDRESS_;
    target.userName = mac;
    target.port = "5060";

    mMulticastMsgSent = 0;
    mpMessenger->Subscribe(subscriptionID, subscriber, target, states, expires);
    // A ConfigUpdate landing during Subscribe is absorbed here: the attempt that
    // just went out already answers it.
    mSubscribeRequested = 0;
    logger.TRACE(3, false, "AutoConfigClient::SendMulticastMessage \n");
}
