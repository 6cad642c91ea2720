// Entry point of the auto-provisioning client daemon.
#include <exception>
#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/crash_guard.h"

int main(int argc, char* argv[])
{
    std::string logFile;
    try {
        logFile = std::string("/tmp/logs/") + "autoprovisionclient.log";
    } catch (...) {
        return 1;  // no guard exists yet to report it
    }
    CrashGuard guard(logFile.c_str(), "Auto Provision Client", argc > 0 ? argv[0] : nullptr, true, false);
    try {
        // The client lives in this block so that it is destroyed before a
        // report is written, while the guard lives on until main returns.
        AutoProvisionClient client;
        if (client.Initialize())
            client.Run();
    } catch (const std::exception& error) {
        CrashGuard::Abort(error.what());
    } catch (...) {
        CrashGuard::Abort("Unknown exception in main");
    }
    return 0;
}
