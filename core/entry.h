// The body of the daemon's entry point, over the client type so that tests
// can run it with a client of their own.
#ifndef CORE_ENTRY_H
#define CORE_ENTRY_H

#include <exception>

#include "diagnostics/crash_guard.h"

// Installs the crash guard, runs one Client (Initialize, then Run when that
// succeeded) and returns 0. An exception that leaves the client's
// construction, its work or its destruction ends in CrashGuard::Abort
// (exit status 1) while the guard is still installed.
template <typename Client>
int RunProvisioningClient(const char* logFile, const char* appPath)
{
    CrashGuard guard(logFile, "Auto Provision Client", appPath, true, false);
    try {
        // The client lives in this block so that it is destroyed before a
        // report is written, while the guard lives on until we return.
        {
            Client client;
            if (client.Initialize())
                client.Run();
        }
        Client::RethrowCleanUpFailure();
    } catch (const std::exception& error) {
        CrashGuard::Abort(error.what());
    } catch (...) {
        CrashGuard::Abort("Unknown exception in main");
    }
    return 0;
}

#endif
