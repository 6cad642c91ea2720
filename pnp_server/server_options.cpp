// The provisioning server's command line.
#include "pnp_server/pnp_server.h"

#include <functional>
#include <map>

#include "utility/decimal.h"
#include "sip/sip_text.h"

namespace Pnp {

namespace {

bool ToNumber(const std::string& name, const std::string& text, unsigned long low, unsigned long high,
              unsigned long& value, std::string& error)
{
    if (ParseDecimal(text, low, high, value))
        return true;
    error = name + " needs a number from " + std::to_string(low) + " to " + std::to_string(high);
    return false;
}

// The handler of an option whose value is a number from low to high.
template <typename T>
std::function<bool(const std::string&)> NumberInto(T& target, const char* name, unsigned long low,
                                                   unsigned long high, std::string& error)
{
    return [&target, &error, name, low, high](const std::string& text) {
        unsigned long number = 0;
        if (!ToNumber(name, text, low, high, number, error))
            return false;
        target = static_cast<T>(number);
        return true;
    };
}

bool ToAddress(const std::string& name, const std::string& text, std::string& value, std::string& error)
{
    in_addr address;
    if (!Sip::ParseIpv4(text, address)) {
        error = name + " needs an IPv4 address";
        return false;
    }
    value = text;
    return true;
}

}  // namespace

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error)
{
    options = ServerOptions();
    bool unicastOnly = false;
    bool httpHostGiven = false;
    // Options with a value.
    const std::map<std::string, std::function<bool(const std::string&)>> valued = {
        {"--interface", [&](const std::string& v) { options.sip.interfaceName = v; return !v.empty(); }},
        {"--address", [&](const std::string& v) { return ToAddress("--address", v, options.sip.interfaceAddress, error); }},
        {"--sip-bind", [&](const std::string& v) { return ToAddress("--sip-bind", v, options.sip.bindAddress, error); }},
        {"--sip-port", NumberInto(options.sip.port, "--sip-port", 0, 65535, error)},
        {"--url-template", [&](const std::string& v) { options.sip.urlTemplate = v; return !v.empty(); }},
        {"--reject-code", NumberInto(options.sip.rejectCode, "--reject-code", 300, 699, error)},
        {"--expires", NumberInto(options.sip.maxExpires, "--expires", 0, 86400, error)},
        {"--timer-t1-ms", NumberInto(options.sip.t1Ms, "--timer-t1-ms", 10, 10000, error)},
        {"--timer-f-ms", NumberInto(options.sip.timerFMs, "--timer-f-ms", 10, 600000, error)},
        {"--max-pending", NumberInto(options.sip.maxPending, "--max-pending", 1, 1000000, error)},
        {"--sip-receive-buffer", NumberInto(options.sip.receiveBufferBytes, "--sip-receive-buffer", 0, 1 << 30, error)},
        {"--http-root", [&](const std::string& v) { options.http.rootDirectory = v; return !v.empty(); }},
        {"--http-address", [&](const std::string& v) {
             httpHostGiven = true;
             return ToAddress("--http-address", v, options.http.address, error); }},
        {"--http-port", NumberInto(options.http.port, "--http-port", 0, 65535, error)},
        {"--http-backlog", NumberInto(options.http.backlog, "--http-backlog", 1, 1 << 20, error)},
        {"--http-max-connections", NumberInto(options.http.maxConnections, "--http-max-connections", 1, 100000, error)},
        {"--status-rows", NumberInto(options.statusRows, "--status-rows", 0, 1000000, error)},
        {"--log", [&](const std::string& v) { options.logPath = v; return !v.empty(); }},
    };
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            return true;
        }
        if (argument == "--silent") {
            options.sip.silent = true;
        } else if (argument == "--keep-alive") {
            options.http.keepAlive = true;
        } else if (argument == "--unicast-only") {
            unicastOnly = true;
        } else {
            auto handler = valued.find(argument);
            if (handler == valued.end()) {
                error = "unknown argument " + argument;
                return false;
            }
            if (i + 1 >= argc) {
                error = argument + " needs a value";
                return false;
            }
            error.clear();
            if (!handler->second(argv[++i])) {
                if (error.empty())
                    error = argument + " needs a value";
                return false;
            }
        }
    }
    // The group is joined on one chosen interface, never on a guessed one.
    if (!options.sip.interfaceName.empty() && !options.sip.interfaceAddress.empty()) {
        error = "give --interface or --address, not both";
        return false;
    }
    bool interfaceGiven = !options.sip.interfaceName.empty() || !options.sip.interfaceAddress.empty();
    if (!unicastOnly && !interfaceGiven) {
        error = "give --interface NAME or --address IP (or --unicast-only)";
        return false;
    }
    if (unicastOnly && interfaceGiven) {
        error = "--unicast-only takes no interface";
        return false;
    }
    if (!unicastOnly && options.sip.bindAddress != "0.0.0.0") {
        error = "--sip-bind needs --unicast-only: the group is received on the wildcard address";
        return false;
    }
    options.sip.joinMulticast = !unicastOnly;
    if (httpHostGiven && options.http.address != "0.0.0.0")
        options.sip.httpHost = options.http.address;
    return true;
}

std::string ServerUsage(const char* program)
{
    return std::string("usage: ") + program + " (--interface NAME | --address IP | --unicast-only) [options]\n"
        "SIP:\n"
        "  --interface NAME      join 224.0.1.75 on this interface\n"
        "  --address IP          join 224.0.1.75 on the interface with this address\n"
        "  --unicast-only        join no group (tests on loopback)\n"
        "  --sip-bind IP         SIP address with --unicast-only (default 0.0.0.0)\n"
        "  --sip-port N          SIP port (default 5060; 0: any)\n"
        "  --url-template T      NOTIFY body; {mac}, {host}, {port} are replaced\n"
        "                        (default http://{host}:{port}/cfg/{mac}.xml)\n"
        "  --reject-code N       answer SUBSCRIBEs with N (300-699) instead of 200\n"
        "  --silent              never answer SUBSCRIBEs\n"
        "  --expires N           longest subscription granted in s (default 3600)\n"
        "  --timer-t1-ms N       first NOTIFY retransmission interval (default 500)\n"
        "  --timer-f-ms N        give a NOTIFY up after N ms (default 32000); an answered\n"
        "                        SUBSCRIBE is kept as long for its retransmissions\n"
        "  --max-pending N       NOTIFYs awaiting an answer and answered SUBSCRIBEs kept,\n"
        "                        each at most N; then the oldest goes (default 16384)\n"
        "  --sip-receive-buffer BYTES  the SIP socket's receive buffer, past the\n"
        "                        system's cap where allowed (default 4194304; 0: system's)\n"
        "HTTP:\n"
        "  --http-root DIR       directory served (default .)\n"
        "  --http-address IP     HTTP address, also {host} (default 0.0.0.0: {host} is\n"
        "                        the address the SUBSCRIBE came in on)\n"
        "  --http-port N         HTTP port (default 8080; 0: any)\n"
        "  --http-backlog N      connections waiting to be accepted (default 4096; the\n"
        "                        system caps it at net.core.somaxconn)\n"
        "  --http-max-connections N  connections served at once (default 1024)\n"
        "  --keep-alive          keep connections open after an answer (30 s idle)\n"
        "Status page at /status and /status.json on the HTTP address:\n"
        "  --status-rows N       gateways shown at most (default 4096; 0: no page)\n"
        "  --log FILE            log to FILE instead of stdout\n";
}

}  // namespace Pnp
