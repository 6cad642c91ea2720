// The web side's command tool: sends one configuration command word to the
// daemon's web-side queue and waits for the daemon's answer.
#ifndef TOOLS_COMMAND_SENDER_H
#define TOOLS_COMMAND_SENDER_H

#include <string>

namespace CommandTool {

enum class SendResult {
    Accepted,           // the daemon answered the update
    UnknownCommand,     // not a command word; nothing was sent
    DaemonNotRunning,   // no socket, or nobody bound to it
    PermissionDenied,   // the queue exists but this user may not reach it
    NoAnswer,           // sent, but no answer within the time-out
    Failed,             // anything else (queue full, no endpoint of our own)
};

// Exit status of the tool for a result; 0 only for Accepted.
int ExitCode(SendResult result);

// Exit status for a command line that cannot be used.
const int USAGE_EXIT_CODE = 2;

class CommandSender {
public:
    // timeoutMs: longest wait for the daemon's answer after sending.
    explicit CommandSender(int timeoutMs);

    // True for the words a command tool may send: reset, update, reboot.
    static bool IsKnownCommand(const std::string& word);
    // The known words for messages, e.g. "reset, update, reboot".
    static std::string KnownCommands();

    // Sends an update of type Update_Configuration_Command carrying word to
    // the daemon's queue from an anonymous endpoint and waits for its answer.
    SendResult Send(const std::string& word);

    // The errno behind the last DaemonNotRunning, PermissionDenied or Failed.
    int LastError() const { return mLastError; }

private:
    SendResult ClassifySendError(int error);

    int mTimeoutMs;
    int mLastError;
};

// The tool's command line: [--queue-dir DIR] [--timeout-ms N] COMMAND
struct CommandLine {
    std::string queueDirectory;   // empty: the messaging library's default
    int timeoutMs = 2000;
    std::string command;
    bool help = false;
};

// False with a message in error when the arguments cannot be used.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error);

// The usage text, one option a line.
std::string UsageText(const char* program);

}  // namespace CommandTool

#endif
