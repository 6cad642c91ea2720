// Sending a configuration command to the daemon and waiting for its answer.
#include "tools/command_sender.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "messaging/messaging.h"
#include "configurator/zentro_configurator.h"

namespace CommandTool {

namespace {

// The words a tool may send: those before "status", which is the daemon's
// own and is not offered.
const int KNOWN_COMMAND_COUNT = ConfigurationControl::CONFIG_COMMAND_STATUS;

const int MAX_TIMEOUT_MS = 600000;

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The daemon echoes the command in an UPDATE of the same type.
bool IsAnswer(const Messaging::Message& reply)
{
    return reply.kind == Messaging::MSG_UPDATE && reply.code == Update_Configuration_Command;
}

}  // namespace

int ExitCode(SendResult result)
{
    switch (result) {
    case SendResult::Accepted:
        return 0;
    case SendResult::UnknownCommand:
        return 3;
    case SendResult::DaemonNotRunning:
        return 4;
    case SendResult::PermissionDenied:
        return 5;
    case SendResult::NoAnswer:
        return 6;
    case SendResult::Failed:
        break;
    }
    return 1;
}

CommandSender::CommandSender(int timeoutMs) : mTimeoutMs(timeoutMs), mLastError(0)
{
}

bool CommandSender::IsKnownCommand(const std::string& word)
{
    for (int i = 0; i < KNOWN_COMMAND_COUNT; ++i) {
        if (word == ConfigurationControl::configCommands[i])
            return true;
    }
    return false;
}

std::string CommandSender::KnownCommands()
{
    std::string list;
    for (int i = 0; i < KNOWN_COMMAND_COUNT; ++i) {
        if (i > 0)
            list += ", ";
        list += ConfigurationControl::configCommands[i];
    }
    return list;
}

SendResult CommandSender::Send(const std::string& word)
{
    mLastError = 0;
    if (!IsKnownCommand(word))
        return SendResult::UnknownCommand;

    std::unique_ptr<CyclicMessageQueue> endpoint;
    try {
        endpoint.reset(new CyclicMessageQueue(0));
    } catch (const std::system_error& error) {
        mLastError = error.code().value();
        return SendResult::Failed;
    }

    Messaging::Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.code = Update_Configuration_Command;
    update.number = 0;
    update.strings.push_back(word);
    int error = 0;
    if (!endpoint->SendTo(Messaging::CGI_QUEUE, update, &error))
        return ClassifySendError(error);

    // Anything else that reaches the anonymous endpoint is skipped; the wait
    // as a whole stays within the time-out.
    const long long deadline = NowMs() + mTimeoutMs;
    for (;;) {
        long long left = deadline - NowMs();
        if (left <= 0 || !endpoint->WaitForInput(static_cast<int>(left)))
            return SendResult::NoAnswer;
        Messaging::Message reply;
        while (endpoint->ReceiveMessage(reply)) {
            if (IsAnswer(reply))
                return SendResult::Accepted;
        }
    }
}

SendResult CommandSender::ClassifySendError(int error)
{
    mLastError = error;
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
        return SendResult::DaemonNotRunning;
    case EACCES:
    case EPERM:
        return SendResult::PermissionDenied;
    default:
        return SendResult::Failed;
    }
}

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error)
{
    line = CommandLine();
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            line.help = true;
            return true;
        }
        if (argument == "--queue-dir" || argument == "--timeout-ms") {
            if (i + 1 >= argc) {
                error = argument + " needs a value";
                return false;
            }
            std::string value = argv[++i];
            if (argument == "--queue-dir") {
                if (value.empty()) {
                    error = "--queue-dir needs a directory";
                    return false;
                }
                line.queueDirectory = value;
                continue;
            }
            char* end = nullptr;
            errno = 0;
            long timeout = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || timeout < 1 || timeout > MAX_TIMEOUT_MS) {
                error = "--timeout-ms needs a number of milliseconds from 1 to " + std::to_string(MAX_TIMEOUT_MS);
                return false;
            }
            line.timeoutMs = static_cast<int>(timeout);
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        }
        if (!line.command.empty()) {
            error = "only one command may be given";
            return false;
        }
        line.command = argument;
    }
    if (line.command.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

std::string UsageText(const char* program)
{
    return std::string("usage: ") + program + " [--queue-dir DIR] [--timeout-ms N] COMMAND\n"
           "  COMMAND           one of: " + CommandSender::KnownCommands() + "\n"
           "  --queue-dir DIR   directory of the messaging queues (default " + Messaging::QueueDirectory() + ")\n"
           "  --timeout-ms N    longest wait for the daemon's answer (default 2000)\n"
           "exit status: 0 accepted, 1 other failure, 2 usage, 3 unknown command,\n"
           "             4 daemon not running, 5 permission denied, 6 no answer\n";
}

}  // namespace CommandTool
