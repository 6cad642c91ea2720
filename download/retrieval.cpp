// Provisioning notifications, the retrieval they start, and the web side's
// configuration commands.
#include <list>
#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"

using ConfigurationControl::RequestParams;
using ConfigurationControl::configCommands;
using ConfigurationControl::CONFIG_COMMAND_REBOOT;
using ConfigurationControl::CONFIG_COMMAND_RESET;
using ConfigurationControl::CONFIG_COMMAND_UPDATE;

bool AutoProvisionClient::Notify(const unsigned long long& subscriptionID, const std::string& url)
{
    logger.TRACE(3, true, "AutoConfigClient::Recieve Notify Message form SIP \n");
    if (subscriptionID != mSubscriptionID.Load())
        return false;

    mMulticastMsgSent = 1;
    RetriveConfigurationByURL(url);
    return true;
}

void AutoProvisionClient::RetriveConfigurationByURL(const std::string& url)
{
    RequestParams params;
    if (!ParseURL(url, params)) {
        logger.TRACE(1, true, "AutoProvisionClient::not valid URL recieved\n");
        return;
    }
    if (!SendConfigRequest(params)) {
        logger.TRACE(3, true, "AutoProvisionClient::Failed to send configuration request to peer host\n");
        return;
    }

    logger.TRACE(3, true, "AutoProvisionClient::Start Zentro Configuration Controller\n");
    // An answer without a document leaves the path of an earlier download,
    // which is then applied again.
    const std::string path = mConfigFilePath.Get();
    if (!path.empty() && mpConfigurator != nullptr) {
        mpConfigurator->SetConfigFilePath(path);
        mpConfigurator->Start();
    }
}

int AutoProvisionClient::OnUpdate(UpdateType type, const std::list<std::string>& data)
{
    if (static_cast<int32_t>(type) == Update_Configuration_Command && !data.empty()) {
        const std::string& command = data.front();
        if (command == configCommands[CONFIG_COMMAND_UPDATE])
            ConfigUpdate();
        else if (command == configCommands[CONFIG_COMMAND_REBOOT] && mpConfigurator != nullptr)
            mpConfigurator->Reboot();
        else if (command == configCommands[CONFIG_COMMAND_RESET] && mpConfigurator != nullptr)
            mpConfigurator->ResetConfiguration();
    }
    Update(type, data, 1);
    return 0;
}
