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

#include <algorithm>
#include <atomic>
#include <chrono>
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

// The daemon's side, served on a thread with bounded waits: records each
// update as "type word" and answers it with answerType.
class AnsweringDaemon : public CGIMessenger {
public:
    explicit AnsweringDaemon(UpdateType answerType)
        : CGIMessenger(Messaging::CGI_QUEUE), mAnswerType(answerType), mStop(false), mThread([this] { Run(); })
    {
    }
    ~AnsweringDaemon() override
    {
        mStop = true;
        mThread.join();
    }

    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mSeen.push_back(std::to_string(type) + " " + (data.empty() ? std::string("<none>") : data.front()));
        }
        Update(mAnswerType, data, 1);
        return 0;
    }

    std::vector<std::string> Seen()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSeen;
    }

private:
    void Run()
    {
        for (int round = 0; round < 200 && !mStop; ++round) {
            if (WaitForInput(50))
                ProcessMessageFromQueue(8);
        }
    }

    UpdateType mAnswerType;
    std::mutex mMutex;
    std::vector<std::string> mSeen;
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

}  // namespace

TEST_F(CommandSenderTest, EachKnownCommandIsAcceptedAndReachesTheDaemonOnce)
{
    const std::string type = std::to_string(Update_Configuration_Command) + " ";
    {
        AnsweringDaemon daemon(Update_Configuration_Command);
        CommandSender sender(5000);
        for (const char* word : {"reset", "update", "reboot"})
            EXPECT_EQ(sender.Send(word), SendResult::Accepted) << word;
        EXPECT_EQ(daemon.Seen(), (std::vector<std::string>{type + "reset", type + "update", type + "reboot"}));
        EXPECT_EQ(daemon.GetDroppedCount(), 0u);
    }
    // An answer of another type does not count.
    AnsweringDaemon daemon(Update_None);
    EXPECT_EQ(CommandSender(300).Send("update"), SendResult::NoAnswer);
    EXPECT_EQ(daemon.Seen(), std::vector<std::string>{type + "update"});
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

TEST_F(CommandSenderTest, UnknownWordsSendNothingAndASilentDaemonEndsInNoAnswer)
{
    CGIMessenger daemon(Messaging::CGI_QUEUE);
    CommandSender sender(250);
    for (const char* word : {"status", "Update", "", "update ", "shutdown"})
        EXPECT_EQ(sender.Send(word), SendResult::UnknownCommand) << "'" << word << "'";
    EXPECT_FALSE(daemon.WaitForInput(0));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sender.Send("update"), SendResult::NoAnswer);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(240));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
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

TEST(CommandLineTest, ParsesOptionsRefusesBadOnesAndGivesEachResultItsExitCode)
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
        {"x"}, {"x", "update", "reboot"}, {"x", "--timeout-ms", "0", "update"}, {"x", "--timeout-ms", "12ms", "update"},
        {"x", "--timeout-ms"}, {"x", "--bogus", "update"}, {"x", "--queue-dir", "", "update"},
    };
    for (const auto& arguments : bad) {
        error.clear();
        EXPECT_FALSE(CommandTool::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), line, error))
            << arguments.size();
        EXPECT_FALSE(error.empty());
    }

    std::vector<int> codes = {CommandTool::USAGE_EXIT_CODE};
    for (SendResult result : {SendResult::Accepted, SendResult::UnknownCommand, SendResult::DaemonNotRunning,
                              SendResult::PermissionDenied, SendResult::NoAnswer, SendResult::Failed})
        codes.push_back(CommandTool::ExitCode(result));
    EXPECT_EQ(codes[1], 0);
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(std::unique(codes.begin(), codes.end()), codes.end());
}
