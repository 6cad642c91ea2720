// The command tool against a real web-side messenger on a temporary queue directory.
#include "tools/command_sender.h"

#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "messaging/messaging.h"
#include "testing/child_process.h"
#include "testing/fake_device.h"

namespace {

using CommandTool::CommandSender;
using CommandTool::SendResult;

// The daemon's web-side queue: records each update as "type word..." and answers the first three with
// their own type, later ones with another type, which is no answer.
class AnsweringDaemon : public CGIMessenger {
public:
    AnsweringDaemon() : CGIMessenger(Messaging::CGI_QUEUE) {}
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        mSeen.push_back(std::to_string(type));
        for (const std::string& word : data)
            mSeen.back() += " " + word;
        return Update(mSeen.size() <= 3 ? type : Update_None, data, 1);
    }
    std::vector<std::string> mSeen;
};

::testing::Environment* const gQueues =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

// Missing socket, a daemon that answers or answers wrongly, then the socket file a dead daemon left.
TEST(CommandSenderTest, ResultsFollowTheDaemonsLife)
{
    CommandSender sender(5000);
    EXPECT_EQ(sender.Send("update"), SendResult::DaemonNotRunning);
    {
        AnsweringDaemon daemon;
        std::thread serving([&daemon] {   // four updates, each awaited at most 30 s
            for (int i = 0; i < 4 && daemon.WaitForInput(30000); ++i)
                daemon.ProcessMessageFromQueue(1);
        });
        for (const char* word : {"status", "Update", "", "update ", "shutdown"})
            EXPECT_EQ(sender.Send(word), SendResult::UnknownCommand) << "'" << word << "'";
        for (const char* word : {"reset", "update", "reboot"})
            EXPECT_EQ(sender.Send(word), SendResult::Accepted) << word;
        // An answer of another type is no answer: the tool waits out its time-out, and no longer.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CommandSender(250).Send("update"), SendResult::NoAnswer);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(waited >= std::chrono::milliseconds(240) && waited < std::chrono::seconds(5));
        serving.join();
        EXPECT_EQ(daemon.mSeen,
                  (std::vector<std::string>{"182 reset", "182 update", "182 reboot", "182 update"}));
    }
    // A daemon that died leaves its queue's file behind, with nobody bound to it.
    ASSERT_EQ("exit 0", testing_support::Ending(testing_support::StartChild([]() -> int {
                  CGIMessenger dying(Messaging::CGI_QUEUE);
                  _exit(0);
              })));
    EXPECT_EQ(sender.Send("reboot"), SendResult::DaemonNotRunning);
    EXPECT_EQ(sender.LastError(), ECONNREFUSED);
}

// The queue directory's modes keep another user out.
TEST(CommandSenderTest, OtherUserIsDenied)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    EXPECT_EQ("exit 0", testing_support::Ending(testing_support::StartChild([] {
                  CommandSender sender(500);
                  const bool nobody = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
                  return nobody && sender.Send("update") == SendResult::PermissionDenied &&
                         sender.LastError() == EACCES ? 0 : 1;
              })));
}

TEST(CommandLineTest, ParsesOptionsRefusesBadOnesAndGivesEachResultItsExitCode)
{
    CommandTool::CommandLine line;
    std::string error;
    const char* full[] = {"autoprovision-cmd", "--queue-dir", "/tmp/q", "--timeout-ms", "750", "reboot"};
    ASSERT_TRUE(CommandTool::ParseCommandLine(6, full, line, error)) << error;
    EXPECT_TRUE(line.queueDirectory == "/tmp/q" && line.timeoutMs == 750 && line.command == "reboot");
    const std::vector<std::vector<const char*>> bad = {{"x"}, {"x", "update", "reboot"},
        {"x", "--timeout-ms"}, {"x", "--timeout-ms", "0", "update"}, {"x", "--timeout-ms", "12ms", "update"},
        {"x", "--bogus", "update"}, {"x", "--queue-dir", "", "update"}};
    for (const auto& args : bad)
        EXPECT_FALSE(CommandTool::ParseCommandLine(static_cast<int>(args.size()), args.data(), line, error));
    // The exit statuses the usage text promises, one per result.
    std::vector<int> codes;
    for (SendResult result : {SendResult::Accepted, SendResult::UnknownCommand, SendResult::DaemonNotRunning,
                              SendResult::PermissionDenied, SendResult::NoAnswer, SendResult::Failed})
        codes.push_back(CommandTool::ExitCode(result));
    EXPECT_EQ(codes, (std::vector<int>{0, 3, 4, 5, 6, 1}));
}

}  // namespace
