// autoprovision-cmd: hands one configuration command of the web side to the
// auto-provisioning daemon and reports whether the daemon took it.
#include <cstdio>
#include <cstring>
#include <string>

#include "apc_version.h"
#include "messaging/messaging.h"
#include "tools/command_sender.h"

namespace {

const char* PROGRAM = "autoprovision-cmd";

// One line on stderr explaining a failed result.
void ReportFailure(CommandTool::SendResult result, const CommandTool::CommandLine& line, int error)
{
    using CommandTool::SendResult;
    const std::string queue = Messaging::QueuePath(Messaging::CGI_QUEUE);
    switch (result) {
    case SendResult::UnknownCommand:
        std::fprintf(stderr, "%s: %s: unknown command (valid commands: %s)\n", PROGRAM, line.command.c_str(),
                     CommandTool::CommandSender::KnownCommands().c_str());
        break;
    case SendResult::DaemonNotRunning:
        std::fprintf(stderr, "%s: %s: the daemon is not running (%s: %s)\n", PROGRAM, line.command.c_str(),
                     queue.c_str(), std::strerror(error));
        break;
    case SendResult::PermissionDenied:
        std::fprintf(stderr, "%s: %s: permission denied on %s: run as the daemon's user or group\n", PROGRAM,
                     line.command.c_str(), queue.c_str());
        break;
    case SendResult::NoAnswer:
        std::fprintf(stderr, "%s: %s: no answer from the daemon within %d ms\n", PROGRAM, line.command.c_str(),
                     line.timeoutMs);
        break;
    case SendResult::Failed:
        std::fprintf(stderr, "%s: %s: cannot send to %s: %s\n", PROGRAM, line.command.c_str(), queue.c_str(),
                     std::strerror(error));
        break;
    case SendResult::Accepted:
        break;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (ApcAnswerVersion(argc, argv, PROGRAM))
        return 0;
    CommandTool::CommandLine line;
    std::string error;
    if (!CommandTool::ParseCommandLine(argc, argv, line, error)) {
        std::fprintf(stderr, "%s: %s\n%s", PROGRAM, error.c_str(), CommandTool::UsageText(PROGRAM).c_str());
        return CommandTool::USAGE_EXIT_CODE;
    }
    if (line.help) {
        std::fputs(CommandTool::UsageText(PROGRAM).c_str(), stdout);
        return 0;
    }
    if (!line.queueDirectory.empty())
        Messaging::SetQueueDirectory(line.queueDirectory);

    CommandTool::CommandSender sender(line.timeoutMs);
    CommandTool::SendResult result = sender.Send(line.command);
    if (result == CommandTool::SendResult::Accepted) {
        std::printf("%s: %s: accepted\n", PROGRAM, line.command.c_str());
        return 0;
    }
    ReportFailure(result, line, sender.LastError());
    return CommandTool::ExitCode(result);
}
