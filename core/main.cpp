// Entry point of the auto-provisioning client daemon.
#include <string>

#include "core/auto_provision_client.h"
#include "core/entry.h"

int main(int argc, char* argv[])
{
    std::string logFile;
    try {
        logFile = std::string("/tmp/logs/") + "autoprovisionclient.log";
    } catch (...) {
        return 1;  // no guard exists yet to report it
    }
    return RunProvisioningClient<AutoProvisionClient>(logFile.c_str(), argc > 0 ? argv[0] : nullptr);
}
