#include "bench/queue_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "testing/fake_device.h"
#include "testing/test_support.h"

namespace {

using testing_support::TempDir;

bool StartsWith(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

// The daemon's two queues served by a thread of this process; handler sees
// each valid message of queue 125.
class FakeDaemon {
public:
    explicit FakeDaemon(std::function<void(const Messaging::Message&)> handler)
        : mPresence(Messaging::PRESENCE_CLIENT_QUEUE), mWeb(Messaging::CGI_QUEUE), mHandler(handler),
          mStop(false), mValid(0), mThread([this] { Serve(); })
    {
    }
    ~FakeDaemon()
    {
        mStop = true;
        mThread.join();
    }

    unsigned long Dropped() const { return mPresence.GetDroppedCount() + mWeb.GetDroppedCount(); }
    unsigned long Valid() const { return mValid; }
    CyclicMessageQueue& Presence() { return mPresence; }

private:
    // Answers every command as the daemon does.
    class Web : public CGIMessenger {
    public:
        explicit Web(int queue) : CGIMessenger(queue) {}
        int OnUpdate(UpdateType type, const std::list<std::string>& data) override
        {
            Update(type, data, 1);
            return 0;
        }
    };

    void Serve()
    {
        while (!mStop) {
            mPresence.WaitForInput(5);
            Messaging::Message message;
            while (mPresence.ReceiveMessage(message)) {
                ++mValid;
                mHandler(message);
            }
            mWeb.ProcessMessageFromQueue(16);
        }
    }

    CyclicMessageQueue mPresence;
    Web mWeb;
    std::function<void(const Messaging::Message&)> mHandler;
    std::atomic<bool> mStop;
    std::atomic<unsigned long> mValid;
    std::thread mThread;
};

class QueueDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing_support::UseTemporaryQueueDirectory();
        std::string error;
        ASSERT_TRUE(mDriver.Open(error)) << error;
    }

    // The daemon's SUBSCRIBE to the agent.
    static bool Subscribe(CyclicMessageQueue& from, uint64_t id)
    {
        Messaging::Message message;
        message.kind = Messaging::MSG_SUBSCRIBE;
        message.id = id;
        return from.SendTo(Messaging::PRESENCE_AGENT_QUEUE, message);
    }

    bench::QueueDriver mDriver;
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

    testing_support::UseTemporaryQueueDirectory();
    bench::QueueSender sender(99);
    EXPECT_FALSE(sender.IsOpen());
    const uint8_t byte = 0;
    EXPECT_FALSE(sender.Send(&byte, 1, 10));
}

TEST_F(QueueDriverTest, LearnsSubscriptionsAndAnswersThemWhenAsked)
{
    // 32-bit atomics: the 32-bit target has no lock-free 64-bit ones.
    std::atomic<uint32_t> notified(0);
    std::string url;
    std::mutex mutex;
    FakeDaemon daemon([&](const Messaging::Message& message) {
        std::lock_guard<std::mutex> lock(mutex);
        url = message.url;
        notified = static_cast<uint32_t>(message.id);
    });
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 50"), "fail"));

    ASSERT_TRUE(Subscribe(daemon.Presence(), 77));
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 2000"), "ok subscribes=1 latest=77 "));
    EXPECT_EQ(0u, notified.load());

    EXPECT_EQ("ok auto-notify http://127.0.0.1:1/a.xml", mDriver.Execute("auto-notify http://127.0.0.1:1/a.xml"));
    ASSERT_TRUE(Subscribe(daemon.Presence(), 78));
    EXPECT_TRUE(StartsWith(mDriver.Execute("wait-subscribe 2000"), "ok subscribes=2 latest=78 "));
    for (int i = 0; i < 200 && notified.load() != 78; ++i)
        mDriver.Execute("wait-subscribe 10");
    EXPECT_EQ(78u, notified.load());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ("http://127.0.0.1:1/a.xml", url);
}

TEST_F(QueueDriverTest, GarbageIsAllDroppedAndCommandsAreAllAnswered)
{
    FakeDaemon daemon([](const Messaging::Message&) {});
    // More than a queue holds at once: the sender waits for room.
    EXPECT_EQ("ok garbage sent=300 of 300", mDriver.Execute("garbage 300 9"));
    EXPECT_EQ("ok commands sent=40 answered=40 of 40", mDriver.Execute("commands 40"));
    EXPECT_EQ(0u, daemon.Valid());
    for (int i = 0; i < 200 && daemon.Dropped() < 300; ++i)
        mDriver.Execute("wait-subscribe 10");
    EXPECT_EQ(300u, daemon.Dropped());
    EXPECT_TRUE(StartsWith(mDriver.Execute("stale 30 http://127.0.0.1:1/s.xml"), "ok stale sent=30"));
    EXPECT_TRUE(StartsWith(mDriver.Execute("frobnicate"), "fail unknown command"));
}

TEST_F(QueueDriverTest, DownloadsWaitForEachApplyAndFollowANewSubscription)
{
    TempDir dir;
    const std::string applied = dir.File("applied.log");
    std::atomic<uint32_t> current(5);
    std::atomic<int> stale(0);
    CyclicMessageQueue* presence = nullptr;
    // Applies a notification for the current identifier; the first one
    // instead starts a new subscription, as an "update" would.
    FakeDaemon daemon([&](const Messaging::Message& message) {
        if (message.id != current.load()) {
            ++stale;
            return;
        }
        if (current.load() == 5) {
            current = 6;
            Subscribe(*presence, 6);
            return;
        }
        std::ofstream(applied, std::ios::app) << "applied\n";
    });
    presence = &daemon.Presence();
    EXPECT_TRUE(StartsWith(mDriver.Execute("download 1 http://h/x " + applied + " 200"), "fail download: no"));
    ASSERT_TRUE(Subscribe(daemon.Presence(), 5));

    const std::string answer = mDriver.Execute("download 3 http://h/x " + applied + " 5000");
    EXPECT_TRUE(StartsWith(answer, "ok download applied=3 of 3 resent=1 ")) << answer;
    EXPECT_EQ("ok applied=3", mDriver.Execute("wait-applied " + applied + " 3 1000"));
    EXPECT_EQ("fail applied=3", mDriver.Execute("wait-applied " + applied + " 4 100"));
    EXPECT_EQ(0, stale.load());
}

}  // namespace
