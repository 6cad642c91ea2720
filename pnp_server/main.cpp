// pnp-server: a provisioning server for the lab, the demo and end-to-end
// tests. Answers multicast SUBSCRIBEs for ua-profile with a NOTIFY carrying a
// configuration URL and serves the configuration files over HTTP.
#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "apc_version.h"
#include "pnp_server/pnp_server.h"

namespace {

Pnp::StopSignal* gpStop = nullptr;

void OnStopSignal(int)
{
    if (gpStop != nullptr)
        gpStop->Raise();
}

void InstallHandlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    if (ApcAnswerVersion(argc, argv, "pnp-server"))
        return 0;
    Pnp::ServerOptions options;
    std::string error;
    if (!Pnp::ParseServerOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "pnp-server: %s\n%s", error.c_str(), Pnp::ServerUsage("pnp-server").c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(Pnp::ServerUsage("pnp-server").c_str(), stdout);
        return 0;
    }
    Pnp::EventLog log;
    if (!options.logPath.empty() && !log.OpenFile(options.logPath, error)) {
        std::fprintf(stderr, "pnp-server: %s\n", error.c_str());
        return 1;
    }
    static Pnp::StopSignal stop;
    if (!stop.Valid()) {
        std::fprintf(stderr, "pnp-server: cannot make the stop pipe\n");
        return 1;
    }
    gpStop = &stop;
    InstallHandlers();

    // Memory freed stays with the process: a rack's burst would otherwise
    // give heap back and fault it in again, page by page, many times over.
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    Pnp::PnpServer server(options, log);
    if (!server.Open(error)) {
        log.Line(error);
        std::fprintf(stderr, "pnp-server: %s\n", error.c_str());
        return 1;
    }
    return server.Run(stop) ? 0 : 1;
}
