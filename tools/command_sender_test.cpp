// The command tool against a real web-side messenger on a temporary queue directory.
#include "tools/command_sender.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/messaging.h"

namespace {

using CommandTool::CommandSender;
using CommandTool::SendResult;

// The daemon's side on a thread (for at most 30 s): records each update as "type word..." and
// answers it with mAnswerType. mSeen is read after Stop.
class AnsweringDaemon : public CGIMessenger {
public:
    AnsweringDaemon() : CGIMessenger(Messaging::CGI_QUEUE), mThread([this] { Run(); }) {}
    ~AnsweringDaemon() override { Stop(); }
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        mSeen.push_back(std::to_string(type));
        for (const std::string& word : data)
            mSeen.back() += " " + word;
        return Update(static_cast<UpdateType>(mAnswerType.load()), data, 1);
    }
    // Ends serving after one more round, which takes whatever was sent before.
    void Stop()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
    }

    std::atomic<int> mAnswerType{Update_Configuration_Command};
    std::vector<std::string> mSeen;

private:
    void Run()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (bool last = false; !last;) {
            last = mStop || std::chrono::steady_clock::now() > deadline;
            if (WaitForInput(50))
                ProcessMessageFromQueue(8);
        }
    }

    std::atomic<bool> mStop{false};
    std::thread mThread;
};

class CommandSenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/command_sender_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mBase = pattern;
        Messaging::SetQueueDirectory(mBase + "/msgq");
    }
    void TearDown() override { std::filesystem::remove_all(mBase, mIgnored); }

    std::string mBase;
    std::error_code mIgnored;
};

TEST_F(CommandSenderTest, KnownWordsAreAcceptedOnceUnknownOnesSendNothingAndAWrongAnswerIsNone)
{
    AnsweringDaemon daemon;
    CommandSender sender(5000);
    for (const char* word : {"status", "Update", "", "update ", "shutdown"})
        EXPECT_EQ(sender.Send(word), SendResult::UnknownCommand) << "'" << word << "'";
    for (const char* word : {"reset", "update", "reboot"})
        EXPECT_EQ(sender.Send(word), SendResult::Accepted) << word;

    // An answer of another type is no answer: the tool waits out its time-out, and no longer.
    daemon.mAnswerType = Update_None;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CommandSender(250).Send("update"), SendResult::NoAnswer);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(240));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    daemon.Stop();
    EXPECT_EQ(daemon.mSeen,
              (std::vector<std::string>{"182 reset", "182 update", "182 reboot", "182 update"}));
    EXPECT_EQ(daemon.GetDroppedCount(), 0u);
}

TEST_F(CommandSenderTest, AbsentDaemonIsReportedForMissingAndStaleSockets)
{
    CommandSender sender(1000);
    EXPECT_EQ(sender.Send("update"), SendResult::DaemonNotRunning);
    EXPECT_EQ(sender.LastError(), ENOENT);
    // A daemon that dies leaves its socket file behind, with nobody bound to it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CGIMessenger dying(Messaging::CGI_QUEUE);
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(sender.Send("reboot"), SendResult::DaemonNotRunning);
    EXPECT_EQ(sender.LastError(), ECONNREFUSED);
}

TEST_F(CommandSenderTest, OtherUserIsDeniedByTheSocketMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    // The directories are open to everyone, so that only the socket's mode stops the sender.
    ASSERT_EQ(chmod(mBase.c_str(), 0755), 0);
    ASSERT_EQ(chmod((mBase + "/msgq").c_str(), 0777), 0);
    ASSERT_EQ(chmod(Messaging::QueuePath(Messaging::CGI_QUEUE).c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CommandSender sender(500);
        const bool nobody = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        const bool denied = nobody && sender.Send("update") == SendResult::PermissionDenied;
        _exit(denied && sender.LastError() == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(daemon.WaitForInput(0));
}

TEST(CommandLineTest, ParsesOptionsRefusesBadOnesAndGivesEachResultItsExitCode)
{
    CommandTool::CommandLine line;
    std::string error;
    const char* full[] = {"autoprovision-cmd", "--queue-dir", "/tmp/q", "--timeout-ms", "750", "reboot"};
    ASSERT_TRUE(CommandTool::ParseCommandLine(6, full, line, error)) << error;
    EXPECT_EQ(line.queueDirectory + " " + std::to_string(line.timeoutMs) + " " + line.command,
              "/tmp/q 750 reboot");
    const char* plain[] = {"autoprovision-cmd", "update"};
    ASSERT_TRUE(CommandTool::ParseCommandLine(2, plain, line, error));
    EXPECT_TRUE(line.timeoutMs == 2000 && line.queueDirectory.empty());

    const std::vector<std::vector<const char*>> bad = {
        {"x"}, {"x", "update", "reboot"}, {"x", "--timeout-ms", "0", "update"},
        {"x", "--timeout-ms", "12ms", "update"}, {"x", "--timeout-ms"}, {"x", "--bogus", "update"},
        {"x", "--queue-dir", "", "update"},
    };
    for (const auto& arguments : bad) {
        error.clear();
        const int count = static_cast<int>(arguments.size());
        EXPECT_FALSE(CommandTool::ParseCommandLine(count, arguments.data(), line, error)) << count;
        EXPECT_FALSE(error.empty());
    }

    // The exit statuses the usage text promises, one per result.
    std::vector<int> codes = {CommandTool::USAGE_EXIT_CODE};
    for (SendResult result : {SendResult::Accepted, SendResult::UnknownCommand, SendResult::DaemonNotRunning,
                              SendResult::PermissionDenied, SendResult::NoAnswer, SendResult::Failed})
        codes.push_back(CommandTool::ExitCode(result));
    EXPECT_EQ(codes, (std::vector<int>{2, 0, 3, 4, 5, 6, 1}));
}

}  // namespace
