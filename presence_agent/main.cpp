// presence-agent [--queue-dir DIR] [--timer-f-ms N] [--verbose]
//
// The device's presence user agent: serves queue 124 for the
// auto-provisioning client and sends its subscriptions as SIP over UDP.
// Ends cleanly on SIGTERM or SIGINT after telling the client it is offline.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "apc_version.h"
#include "messaging/messaging.h"
#include "presence_agent/presence_agent.h"
#include "presence_agent/signal_pipe.h"

namespace {

void Usage()
{
    fprintf(stderr, "usage: presence-agent [--queue-dir DIR] [--timer-f-ms N] [--verbose] [--version]\n");
}

bool ParseArguments(int argc, char** argv, PresenceAgentOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "--queue-dir" && i + 1 < argc) {
            Messaging::SetQueueDirectory(argv[++i]);
        } else if (argument == "--timer-f-ms" && i + 1 < argc) {
            char* end = nullptr;
            const long value = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || value < 1 || value > 3600000)
                return false;
            options.timers.timerFMs = value;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (ApcAnswerVersion(argc, argv, "presence-agent"))
        return 0;
    PresenceAgentOptions options;
    if (!ParseArguments(argc, argv, options)) {
        Usage();
        return 2;
    }
    SignalPipe signals;
    if (!signals.Install()) {
        fprintf(stderr, "presence-agent: cannot install the signal handlers\n");
        return 1;
    }
    try {
        PresenceAgent agent(options);
        agent.Run(signals.GetFD());
    } catch (const std::system_error& error) {
        fprintf(stderr, "presence-agent: cannot serve queue %d: %s\n", Messaging::PRESENCE_AGENT_QUEUE, error.what());
        return 1;
    }
    return 0;
}
