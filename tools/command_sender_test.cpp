// Tests of the command tool against a real web-side messenger on a temporary
// queue directory.
#include "tools/command_sender.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/messaging.h"

using CommandTool::CommandSender;
using CommandTool::SendResult;

namespace {

// The daemon's side: records each update and answers it like the daemon does.
class AnsweringMessenger : public CGIMessenger {
public:
    explicit AnsweringMessenger(UpdateType answerType = Update_Configuration_Command)
        : CGIMessenger(Messaging::CGI_QUEUE), mAnswerType(answerType)
    {
    }

    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mTypes.push_back(type);
            mWords.push_back(data.empty() ? std::string("<none>") : data.front());
        }
        Update(mAnswerType, data, 1);
        return 0;
    }

    std::vector<std::string> Words()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mWords;
    }

    std::vector<int> Types()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTypes;
    }

private:
    UpdateType mAnswerType;
    std::mutex mMutex;
    std::vector<int> mTypes;
    std::vector<std::string> mWords;
};

// Serves a messenger on a thread until stopped; every wait is bounded.
class MessengerThread {
public:
    explicit MessengerThread(CGIMessenger& messenger)
        : mStop(false), mThread([this, &messenger] { Run(messenger); })
    {
    }
    ~MessengerThread()
    {
        mStop = true;
        mThread.join();
    }

private:
    void Run(CGIMessenger& messenger)
    {
        for (int round = 0; round < 200 && !mStop; ++round) {
            if (messenger.WaitForInput(50))
                messenger.ProcessMessageFromQueue(8);
        }
    }

    std::atomic<bool> mStop;
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
        ASSERT_EQ(mkdir((mBase + "/msgq").c_str(), 0770), 0);
    }

    void TearDown() override
    {
        unlink(Messaging::QueuePath(Messaging::CGI_QUEUE).c_str());
        rmdir((mBase + "/msgq").c_str());
        rmdir(mBase.c_str());
        Messaging::SetQueueDirectory("/var/run/msgq");
    }

    std::string mBase;
};

long long ElapsedMs(std::chrono::steady_clock::time_point since)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

}  // namespace

TEST_F(CommandSenderTest, EachKnownCommandIsAcceptedAndReachesTheDaemonOnce)
{
    AnsweringMessenger daemon;
    MessengerThread serving(daemon);
    CommandSender sender(5000);
    for (const char* word : {"reset", "update", "reboot"})
        EXPECT_EQ(sender.Send(word), SendResult::Accepted) << word;
    EXPECT_EQ(daemon.Words(), (std::vector<std::string>{"reset", "update", "reboot"}));
    EXPECT_EQ(daemon.Types(), (std::vector<int>(3, Update_Configuration_Command)));
    EXPECT_EQ(daemon.GetDroppedCount(), 0u);
}

TEST_F(CommandSenderTest, AnAnswerOfAnotherTypeDoesNotCount)
{
    AnsweringMessenger daemon(Update_None);
    MessengerThread serving(daemon);
    CommandSender sender(300);
    EXPECT_EQ(sender.Send("update"), SendResult::NoAnswer);
    EXPECT_EQ(daemon.Words(), std::vector<std::string>{"update"});
}

TEST_F(CommandSenderTest, AbsentDaemonIsReportedForMissingAndStaleSockets)
{
    CommandSender sender(1000);
    EXPECT_EQ(sender.Send("update"), SendResult::DaemonNotRunning);
    EXPECT_EQ(sender.LastError(), ENOENT);

    // A socket file left behind by a daemon that died: nobody is bound to it.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::string path = Messaging::QueuePath(Messaging::CGI_QUEUE);
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    EXPECT_EQ(sender.Send("reboot"), SendResult::DaemonNotRunning);
    EXPECT_EQ(sender.LastError(), ECONNREFUSED);
}

TEST_F(CommandSenderTest, UnknownWordsAreRefusedBeforeAnythingIsSent)
{
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    CommandSender sender(1000);
    for (const char* word : {"status", "Update", "", "update ", "shutdown"})
        EXPECT_EQ(sender.Send(word), SendResult::UnknownCommand) << "'" << word << "'";
    EXPECT_FALSE(daemon.WaitForInput(0));
    EXPECT_EQ(CommandSender::KnownCommands(), "reset, update, reboot");
    EXPECT_TRUE(CommandSender::IsKnownCommand("reset"));
    EXPECT_FALSE(CommandSender::IsKnownCommand("status"));
}

TEST_F(CommandSenderTest, BoundButSilentDaemonEndsInNoAnswerAfterTheTimeOut)
{
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    CommandSender sender(250);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sender.Send("update"), SendResult::NoAnswer);
    long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 240);
    EXPECT_LT(elapsed, 5000);

    // The update did arrive, whole.
    Messaging::Message received;
    ASSERT_TRUE(daemon.ReceiveMessage(received));
    EXPECT_EQ(received.kind, Messaging::MSG_UPDATE);
    EXPECT_EQ(received.code, Update_Configuration_Command);
    EXPECT_EQ(received.strings, std::list<std::string>{"update"});
}

TEST_F(CommandSenderTest, OtherUserIsDeniedByTheSocketMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send as another user";
    // The directories are open to everyone, so that only the socket's mode stops the sender.
    ASSERT_EQ(chmod(mBase.c_str(), 0755), 0);
    ASSERT_EQ(chmod((mBase + "/msgq").c_str(), 0777), 0);
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    ASSERT_EQ(chmod(Messaging::QueuePath(Messaging::CGI_QUEUE).c_str(), 0600), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        CommandSender sender(500);
        SendResult result = sender.Send("update");
        _exit(result == SendResult::PermissionDenied && sender.LastError() == EACCES ? 0 : 10 + CommandTool::ExitCode(result));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(daemon.WaitForInput(0));
}

TEST(CommandLineTest, ParsesOptionsAndRefusesBadOnes)
{
    CommandTool::CommandLine line;
    std::string error;
    const char* full[] = {"autoprovision-cmd", "--queue-dir", "/tmp/q", "--timeout-ms", "750", "reboot"};
    ASSERT_TRUE(CommandTool::ParseCommandLine(6, full, line, error)) << error;
    EXPECT_EQ(line.queueDirectory, "/tmp/q");
    EXPECT_EQ(line.timeoutMs, 750);
    EXPECT_EQ(line.command, "reboot");

    const char* plain[] = {"autoprovision-cmd", "update"};
    ASSERT_TRUE(CommandTool::ParseCommandLine(2, plain, line, error));
    EXPECT_EQ(line.timeoutMs, 2000);
    EXPECT_TRUE(line.queueDirectory.empty());

    const std::vector<std::vector<const char*>> bad = {
        {"x"},
        {"x", "update", "reboot"},
        {"x", "--timeout-ms", "0", "update"},
        {"x", "--timeout-ms", "12ms", "update"},
        {"x", "--timeout-ms"},
        {"x", "--bogus", "update"},
        {"x", "--queue-dir", "", "update"},
    };
    for (const auto& arguments : bad) {
        error.clear();
        EXPECT_FALSE(CommandTool::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), line, error))
            << arguments.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(CommandLineTest, EveryResultHasItsOwnExitCode)
{
    const SendResult results[] = {SendResult::Accepted,         SendResult::UnknownCommand,
                                  SendResult::DaemonNotRunning, SendResult::PermissionDenied,
                                  SendResult::NoAnswer,         SendResult::Failed};
    std::vector<int> codes;
    for (SendResult result : results)
        codes.push_back(CommandTool::ExitCode(result));
    codes.push_back(CommandTool::USAGE_EXIT_CODE);
    EXPECT_EQ(codes[0], 0);
    for (size_t i = 0; i < codes.size(); ++i) {
        for (size_t j = i + 1; j < codes.size(); ++j)
            EXPECT_NE(codes[i], codes[j]) << i << " " << j;
    }
}
