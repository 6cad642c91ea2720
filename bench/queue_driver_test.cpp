// The benchmarks' stand-in for the presence agent against a fake daemon served by the test's thread:
// the commands bench/soak.sh and bench/footprint.sh give it, and what reaches the daemon.
#include "bench/queue_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <list>
#include <string>
#include <vector>

#include "testing/fake_device.h"

namespace {

using Messaging::Message;

::testing::Environment* const gQueues =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

// The daemon's queues: every command on queue 126 is answered with its own type and words, as the
// daemon does; the test reads queue 125.
class FakeDaemon : public CGIMessenger {
public:
    FakeDaemon() : CGIMessenger(Messaging::CGI_QUEUE) {}
    int OnUpdate(UpdateType type, const std::list<std::string>& data) override
    {
        return Update(type, data, 1);
    }
    bool Subscribe(uint64_t id)
    {
        Message message;
        message.kind = Messaging::MSG_SUBSCRIBE;
        message.id = id;
        return mPresence.SendTo(Messaging::PRESENCE_AGENT_QUEUE, message);
    }

    CyclicMessageQueue mPresence{Messaging::PRESENCE_CLIENT_QUEUE};
};

TEST(QueueDriver, DoesWhatTheSoakAndFootprintScriptsAsk)
{
    testing_support::TempDir dir;
    const std::string applied = dir.File("applied.log");
    const std::string url = "http://127.0.0.1:1/a.xml";
    FakeDaemon daemon;
    std::vector<Message> received;   // every valid message of queue 125
    uint64_t current = 5;
    // One round of the daemon: a notification for 5 starts subscription 6 instead, as an "update" would;
    // one for the current subscription is applied.
    auto serve = [&] {
        daemon.mPresence.WaitForInput(5);
        for (Message message; daemon.mPresence.ReceiveMessage(message); received.push_back(message)) {
            if (message.id == 5 && current == 5)
                daemon.Subscribe(current = 6);
            else if (message.id == current)
                std::ofstream(applied, std::ios::app) << "applied\n";
        }
        daemon.ProcessMessageFromQueue(1000);
    };
    bench::QueueDriver driver;
    std::string error;
    ASSERT_TRUE(driver.Open(error)) << error;
    // Runs a command on another thread while this one serves the daemon (at most 60 s).
    auto expectAnswer = [&](const std::string& line, const std::string& head) {
        auto answer = std::async(std::launch::async, [&] { return driver.Execute(line); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
               std::chrono::steady_clock::now() < deadline)
            serve();
        const std::string text = answer.get();
        EXPECT_EQ(head, text.substr(0, head.size())) << line << ": " << text;
    };

    expectAnswer("wait-subscribe 50", "fail");   // it waits for a new one
    expectAnswer("download 1 " + url + " " + applied + " 200", "fail download: no subscription");
    ASSERT_TRUE(daemon.Subscribe(5));
    expectAnswer("wait-subscribe 2000", "ok subscribes=1 latest=5 at_ms=");
    // More garbage than a queue holds at once: the sender waits for room.
    expectAnswer("garbage 300 9", "ok garbage sent=300 of 300");
    expectAnswer("commands 40", "ok commands sent=40 answered=40 of 40");
    expectAnswer("stale 30 " + url, "ok stale sent=30 of 30");
    expectAnswer("download 3 " + url + " " + applied + " 5000",
                 "ok download applied=3 of 3 resent=1 median_ms=");
    expectAnswer("wait-applied " + applied + " 3 1000", "ok applied=3");
    expectAnswer("wait-applied " + applied + " 4 100", "fail applied=3");
    expectAnswer("state", "ok subscribes=2 latest=6 at_ms=");
    // While auto-notify is on, each SUBSCRIBE is answered at once.
    expectAnswer("auto-notify " + url, "ok auto-notify " + url);
    ASSERT_TRUE(daemon.Subscribe(7));
    expectAnswer("wait-subscribe 2000", "ok subscribes=3 latest=7 ");
    expectAnswer("auto-notify off", "ok auto-notify off");
    ASSERT_TRUE(daemon.Subscribe(8));
    expectAnswer("wait-subscribe 2000", "ok subscribes=4 latest=8 ");

    serve();   // takes whatever is left
    EXPECT_EQ(300u, daemon.mPresence.GetDroppedCount() + daemon.GetDroppedCount());
    // The stale notifications, then those of the downloads (never a stale one) and the automatic one.
    ASSERT_EQ(35u, received.size());
    std::vector<uint64_t> ids;
    for (size_t i = 30; i < received.size(); ++i)
        ids.push_back(received[i].id);
    EXPECT_EQ((std::vector<uint64_t>{5, 6, 6, 6, 7}), ids);
    EXPECT_TRUE(received.back().kind == Messaging::MSG_NOTIFY && received.back().url == url);
}

}  // namespace
