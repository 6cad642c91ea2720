// The client's end of the conversation with the presence user agent: turns
// the subscription's confirmations, notifications and errors into client
// actions.
#ifndef DISCOVERY_AUTO_PROVISION_MESSENGER_H
#define DISCOVERY_AUTO_PROVISION_MESSENGER_H

#include <string>

#include "messaging/messaging.h"

class AutoProvisionClient;

class AutoProvisionMessenger : public PresenceMessenger {
public:
    // client must outlive the messenger; it is called through this pointer.
    explicit AutoProvisionMessenger(const AutoProvisionClient* client);
    virtual ~AutoProvisionMessenger();

    using PresenceMessenger::OnNotify;
    int OnConfirm(const unsigned long long& subscriptionID) override;
    int OnErrorConvey(const unsigned long long& subscriptionID,
                      const PresenceUAClientErrorCode& code) override;
    int OnNotify(const unsigned long long& subscriptionID, const std::string& url) override;
    int OnPresencePartyStateChanged(bool online) override;
    int OnPartyStateChanged(bool online) override;

    // Asks the client's worker for a new subscription.
    int ReSubscribe();
    // Resubscribes unless the current subscription has been answered.
    int CheckRequestStatus();

private:
    AutoProvisionClient* mpClient;
};

#endif
