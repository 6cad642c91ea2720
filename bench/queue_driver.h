// The benchmarks' stand-in for the presence user agent: it serves queue 124,
// learns the daemon's subscription identifiers from its SUBSCRIBE messages and
// feeds the daemon notifications, commands and garbage on queues 125 and 126.
#ifndef BENCH_QUEUE_DRIVER_H
#define BENCH_QUEUE_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "messaging/messaging.h"

namespace bench {

// Milliseconds of the wall clock (the apply hook stamps with the same clock).
int64_t WallClockMs();

// A datagram socket connected to one queue. Send waits, bounded, while the
// queue is full, so a burst reaches the daemon whole instead of being lost.
class QueueSender {
public:
    explicit QueueSender(int queue);
    ~QueueSender();
    QueueSender(const QueueSender&) = delete;
    QueueSender& operator=(const QueueSender&) = delete;

    bool IsOpen() const { return mFd >= 0; }
    bool Send(const uint8_t* data, size_t length, int timeoutMs);
    bool Send(const Messaging::Message& message, int timeoutMs);
    // Waits, bounded, for one message from the queue (a command's answer).
    bool Receive(Messaging::Message& message, int timeoutMs);

private:
    int mFd;
};

// A small deterministic generator (xorshift64*), so a soak run can be repeated.
class Random {
public:
    explicit Random(uint64_t seed) : mState(seed != 0 ? seed : 0x9E3779B97F4A7C15ULL) {}
    uint64_t Next();
    // A number in [low, high].
    size_t Between(size_t low, size_t high);

private:
    uint64_t mState;
};

// Builds the invalid datagrams of a garbage run: random bytes, truncated
// messages, oversized ones and ones with a broken header or trailing bytes.
class GarbageMaker {
public:
    explicit GarbageMaker(uint64_t seed) : mRandom(seed) {}
    // The index picks the kind, so every kind comes up evenly.
    std::vector<uint8_t> Make(unsigned long index);

private:
    std::vector<uint8_t> ValidMessage();

    Random mRandom;
};

// Counts the lines of a file that only grows by whole lines (the apply log)
// and waits for it to reach a count, woken by inotify rather than polling.
class AppliedLog {
public:
    explicit AppliedLog(const std::string& path);
    ~AppliedLog();
    AppliedLog(const AppliedLog&) = delete;
    AppliedLog& operator=(const AppliedLog&) = delete;

    size_t Count() const;
    // The file's descriptor for poll(); -1 when inotify is not available.
    int WatchFD() const { return mWatchFd; }
    // Consumes pending inotify events.
    void Acknowledge();

private:
    std::string mPath;
    int mWatchFd;
};

// The driver itself; one command per input line, one answer line per command.
class QueueDriver {
public:
    QueueDriver();

    // Binds queue 124; false with the reason in error.
    bool Open(std::string& error);
    // Runs one command line; the answer starts with "ok" or "fail".
    std::string Execute(const std::string& line);

private:
    void Drain();
    void HandleAgentMessage(const Messaging::Message& message);
    bool SendNotify(uint64_t id, const std::string& url);
    std::string WaitSubscribe(int timeoutMs);
    std::string Garbage(unsigned long count, uint64_t seed);
    std::string Stale(unsigned long count, const std::string& url);
    std::string Commands(unsigned long count);
    std::string Download(unsigned long count, const std::string& url, const std::string& appliedFile,
                         int timeoutMs);
    // Returns once no SUBSCRIBE has come for quietMs, or after timeoutMs.
    void WaitQuiet(int quietMs, int timeoutMs);
    std::string WaitApplied(const std::string& appliedFile, size_t count, int timeoutMs);
    // Waits for input on queue 124 or the applied log until the deadline.
    bool WaitForEither(AppliedLog& log, int64_t deadlineMs);

    std::unique_ptr<CyclicMessageQueue> mpAgent;
    std::unique_ptr<QueueSender> mpToPresence;
    uint64_t mLatestId;
    int64_t mLatestAtMs;
    unsigned long mSubscribes;
    std::string mAutoNotifyUrl;   // empty: SUBSCRIBE is only recorded
};

}  // namespace bench

#endif
