// The benchmarks' stand-in for the presence agent against a fake daemon on a thread of this process.
#include "bench/queue_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "testing/fake_device.h"
#include "testing/test_support.h"

namespace {

using Reaction = std::function<void(CyclicMessageQueue& presence, const Messaging::Message& message)>;

// The daemon's queues on a thread (for at most 60 s): keeps each valid message of queue 125, after
// `react` saw it, and answers every command on queue 126 with its own type and words, as the daemon
// does.
class FakeDaemon : public CGIMessenger {
public:
    explicit FakeDaemon(Reaction react = nullptr)
        : CGIMessenger(Messaging::CGI_QUEUE), mPresence(Messaging::PRESENCE_CLIENT_QUEUE), mReact(react),
          mThread([this] { Serve(); })
    {
    }
    ~FakeDaemon() override { Stop(); }
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        return Update(type, data, 1);
    }
    // Ends serving after one more round, which takes whatever was sent before.
    void Stop()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
    }
    unsigned long Dropped() const { return mPresence.GetDroppedCount() + GetDroppedCount(); }

    CyclicMessageQueue mPresence;
    std::vector<Messaging::Message> mReceived;   // read after Stop

private:
    void Serve()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (bool last = false; !last;) {
            last = mStop || std::chrono::steady_clock::now() > deadline;
            mPresence.WaitForInput(5);
            Messaging::Message message;
            while (mPresence.ReceiveMessage(message)) {
                if (mReact)
                    mReact(mPresence, message);
                mReceived.push_back(message);
            }
            ProcessMessageFromQueue(1000);
        }
    }

    Reaction mReact;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// The daemon's SUBSCRIBE to the agent.
bool Subscribe(CyclicMessageQueue& from, uint64_t id)
{
    Messaging::Message message;
    message.kind = Messaging::MSG_SUBSCRIBE;
    message.id = id;
    return from.SendTo(Messaging::PRESENCE_AGENT_QUEUE, message);
}

bool StartsWith(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

::testing::Environment* const gQueues =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

class QueueDriverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDriver.Open(mError)) << mError; }

    bench::QueueDriver mDriver;
    std::string mError;
};

TEST(GarbageMakerTest, NoDatagramDecodesEveryKindComesUpAndAnUnservedQueueRefusesIt)
{
    bench::GarbageMaker maker(42);
    bool empty = false;
    bool oversized = false;
    for (unsigned long i = 0; i < 20000; ++i) {
        const std::vector<uint8_t> datagram = maker.Make(i);
        Messaging::Message message;
        ASSERT_FALSE(Messaging::DecodeMessage(datagram.data(), datagram.size(), message)) << "datagram " << i;
        empty = empty || datagram.empty();
        oversized = oversized || datagram.size() > Messaging::MAX_MESSAGE_SIZE;
    }
    EXPECT_TRUE(empty && oversized) << empty << oversized;
    bench::QueueSender sender(99);
    EXPECT_FALSE(sender.IsOpen());
    const uint8_t byte = 0;
    EXPECT_FALSE(sender.Send(&byte, 1, 10));
}

// Subscriptions are learnt (and answered once asked to), garbage is all dropped, commands are all
// answered and stale notifications all arrive.
TEST_F(QueueDriverTest, ServesTheDaemonsQueues)
{
    FakeDaemon daemon;
    const std::string url = "http://127.0.0.1:1/a.xml";
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 50"), "fail"));
    ASSERT_TRUE(Subscribe(daemon.mPresence, 77));
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 2000"), "ok subscribes=1 latest=77 "));
    EXPECT_EQ("ok auto-notify " + url, mDriver.Execute("auto-notify " + url));
    ASSERT_TRUE(Subscribe(daemon.mPresence, 78));
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 2000"), "ok subscribes=2 latest=78 "));
    // More garbage than a queue holds at once: the sender waits for room.
    EXPECT_EQ("ok garbage sent=300 of 300", mDriver.Execute("garbage 300 9"));
    EXPECT_EQ("ok commands sent=40 answered=40 of 40", mDriver.Execute("commands 40"));
    EXPECT_TRUE(StartsWith(mDriver.Execute("stale 30 " + url), "ok stale sent=30"));
    EXPECT_EQ("fail unknown command \"frobnicate\"", mDriver.Execute("frobnicate"));

    daemon.Stop();
    EXPECT_EQ(300u, daemon.Dropped());
    ASSERT_EQ(31u, daemon.mReceived.size());   // the NOTIFY for 78 (none for 77), then the stale ones
    EXPECT_TRUE(daemon.mReceived[0].kind == Messaging::MSG_NOTIFY && daemon.mReceived[0].id == 78u);
    EXPECT_EQ(url, daemon.mReceived[0].url);
}

TEST_F(QueueDriverTest, DownloadsWaitForEachApplyAndFollowANewSubscription)
{
    testing_support::TempDir dir;
    const std::string applied = dir.File("applied.log");
    // A notification for 5 starts subscription 6 instead, as an "update" would; one for 6 is applied.
    uint64_t current = 5;   // used on the daemon's thread only
    FakeDaemon daemon([&](CyclicMessageQueue& presence, const Messaging::Message& message) {
        if (message.id == 5 && current == 5) {
            current = 6;
            Subscribe(presence, 6);
        } else if (message.id == current) {
            std::ofstream(applied, std::ios::app) << "applied\n";
        }
    });
    const std::string early = mDriver.Execute("download 1 http://h/x " + applied + " 200");
    EXPECT_TRUE(StartsWith(early, "fail download: no subscription")) << early;
    ASSERT_TRUE(Subscribe(daemon.mPresence, 5));
    const std::string answer = mDriver.Execute("download 3 http://h/x " + applied + " 5000");
    EXPECT_TRUE(StartsWith(answer, "ok download applied=3 of 3 resent=1 ")) << answer;
    EXPECT_EQ("ok applied=3", mDriver.Execute("wait-applied " + applied + " 3 1000"));
    EXPECT_EQ("fail applied=3", mDriver.Execute("wait-applied " + applied + " 4 100"));
    daemon.Stop();
    std::vector<uint64_t> ids;
    for (const Messaging::Message& message : daemon.mReceived)
        ids.push_back(message.id);
    EXPECT_EQ((std::vector<uint64_t>{5, 6, 6, 6}), ids);   // never a stale one
}

}  // namespace
