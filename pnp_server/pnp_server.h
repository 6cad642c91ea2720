// The provisioning server as a whole: its options, the SIP and HTTP sides
// and the single poll() loop that drives both until told to stop.
#ifndef PNP_SERVER_PNP_SERVER_H
#define PNP_SERVER_PNP_SERVER_H

#include <cstdint>
#include <string>

#include "pnp_server/event_log.h"
#include "pnp_server/fleet_status.h"
#include "pnp_server/http_server.h"
#include "pnp_server/net_util.h"
#include "pnp_server/sip_endpoint.h"

namespace Pnp {

struct ServerOptions {
    SipOptions sip;
    HttpOptions http;
    size_t statusRows = 4096;   // gateways shown on the status page; 0: no page
    std::string logPath;   // empty: stdout
    bool help = false;
};

// False with a message in error when the arguments cannot be used.
bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error);
std::string ServerUsage(const char* program);

// Tells a running loop to stop; Raise may be called from a signal handler or
// another thread.
class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool Valid() const { return mRead.Valid() && mWrite.Valid(); }
    void Raise();
    int Fd() const { return mRead.Get(); }

private:
    FileDescriptor mRead;
    FileDescriptor mWrite;
};

class PnpServer {
public:
    PnpServer(const ServerOptions& options, EventLog& log);
    PnpServer(const PnpServer&) = delete;
    PnpServer& operator=(const PnpServer&) = delete;

    // Opens the HTTP side, then the SIP side (whose URLs name the HTTP port);
    // raises the soft limit of open files as far as the connections need.
    bool Open(std::string& error);
    uint16_t SipPort() const { return mSip.Port(); }
    uint16_t HttpPort() const { return mHttp.Port(); }

    // Serves until stop is raised. False when poll() itself fails.
    bool Run(const StopSignal& stop);

private:
    EventLog& mLog;
    size_t mMaxConnections;
    FleetStatus mStatus;
    HttpServer mHttp;
    SipEndpoint mSip;
};

}  // namespace Pnp

#endif
