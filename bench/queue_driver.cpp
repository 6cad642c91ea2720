#include "bench/queue_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "utility/utility.h"

namespace bench {

namespace {

const int SEND_TIMEOUT_MS = 2000;
const int REPLY_TIMEOUT_MS = 2000;
const int SUBSCRIBE_WAIT_MS = 5000;
// Two ticks of the daemon's worker (100 ms each) without a new SUBSCRIBE.
const int QUIET_MS = 250;

using PlatformDetail::RetryOnInterrupt;

int64_t MonotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Wall-clock milliseconds, comparable with the trace log's and the apply hook's stamps.
int64_t WallMs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int RemainingMs(int64_t deadlineMs)
{
    const int64_t left = deadlineMs - MonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void PutU32(std::vector<uint8_t>& out, size_t offset, uint32_t value)
{
    out[offset] = static_cast<uint8_t>(value >> 24);
    out[offset + 1] = static_cast<uint8_t>(value >> 16);
    out[offset + 2] = static_cast<uint8_t>(value >> 8);
    out[offset + 3] = static_cast<uint8_t>(value);
}

std::string Median(std::vector<int64_t> values)
{
    if (values.empty())
        return "0";
    std::sort(values.begin(), values.end());
    return std::to_string(values[values.size() / 2]);
}

}  // namespace

int64_t WallClockMs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---------------------------------------------------------------- QueueSender

QueueSender::QueueSender(int queue) : mFd(-1)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Credentials on our own socket bind it to an address at connect, so the
    // daemon can answer a command sent from it.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    const std::string path = Messaging::QueuePath(queue);
    if (path.size() >= sizeof(address.sun_path) ||
        (std::memcpy(address.sun_path, path.c_str(), path.size() + 1),
         RetryOnInterrupt([&] { return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)); }) != 0)) {
        close(fd);
        return;
    }
    mFd = fd;
}

QueueSender::~QueueSender()
{
    if (mFd >= 0)
        close(mFd);
}

bool QueueSender::Send(const uint8_t* data, size_t length, int timeoutMs)
{
    if (mFd < 0)
        return false;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const ssize_t sent = RetryOnInterrupt([&] { return send(mFd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (sent == static_cast<ssize_t>(length))
            return true;
        if (sent >= 0 || errno != EAGAIN)
            return false;
        // A connected datagram socket becomes writable when the peer's queue has room.
        pollfd entry = {mFd, POLLOUT, 0};
        // Each retry after a signal waits for what is left until the deadline.
        if (RemainingMs(deadline) == 0 ||
            RetryOnInterrupt([&] { return poll(&entry, 1, RemainingMs(deadline)); }) <= 0)
            return false;
    }
}

bool QueueSender::Send(const Messaging::Message& message, int timeoutMs)
{
    std::vector<uint8_t> datagram;
    return Messaging::EncodeMessage(message, datagram) && Send(datagram.data(), datagram.size(), timeoutMs);
}

bool QueueSender::Receive(Messaging::Message& message, int timeoutMs)
{
    if (mFd < 0)
        return false;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    std::vector<uint8_t> buffer(Messaging::MAX_MESSAGE_SIZE + 1);
    for (;;) {
        const ssize_t received = RetryOnInterrupt([&] { return recv(mFd, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (received >= 0)
            return Messaging::DecodeMessage(buffer.data(), static_cast<size_t>(received), message);
        if (errno != EAGAIN)
            return false;
        pollfd entry = {mFd, POLLIN, 0};
        // Each retry after a signal waits for what is left until the deadline.
        if (RemainingMs(deadline) == 0 ||
            RetryOnInterrupt([&] { return poll(&entry, 1, RemainingMs(deadline)); }) <= 0)
            return false;
    }
}

// ---------------------------------------------------------------- Random, GarbageMaker

uint64_t Random::Next()
{
    mState ^= mState >> 12;
    mState ^= mState << 25;
    mState ^= mState >> 27;
    return mState * 0x2545F4914F6CDD1DULL;
}

size_t Random::Between(size_t low, size_t high)
{
    return low + static_cast<size_t>(Next() % (static_cast<uint64_t>(high - low) + 1));
}

std::vector<uint8_t> GarbageMaker::ValidMessage()
{
    Messaging::Message message;
    switch (mRandom.Between(0, 3)) {
    case 0:
        message.kind = Messaging::MSG_NOTIFY;
        message.url = "http://127.0.0.1:1/garbage.xml";
        break;
    case 1:
        message.kind = Messaging::MSG_UPDATE;
        message.code = Update_Configuration_Command;
        message.strings.push_back("status");
        break;
    case 2:
        message.kind = Messaging::MSG_SUBSCRIBE;
        message.subscriber.userName = "MAC:000000000000";
        message.target.ipAddress = "224.0.1.75";
        break;
    default:
        message.kind = Messaging::MSG_ERROR;
        message.code = Presence_Subscription_Failed;
        break;
    }
    message.id = mRandom.Next() | 1;
    std::vector<uint8_t> out;
    Messaging::EncodeMessage(message, out);
    return out;
}

std::vector<uint8_t> GarbageMaker::Make(unsigned long index)
{
    std::vector<uint8_t> out;
    switch (index % 5) {
    case 0: {  // random bytes
        out.resize(mRandom.Between(1, 512));
        for (uint8_t& byte : out)
            byte = static_cast<uint8_t>(mRandom.Next());
        break;
    }
    case 1: {  // a valid message cut short, an empty datagram included
        out = ValidMessage();
        out.resize(mRandom.Between(0, out.size() - 1));
        break;
    }
    case 2: {  // longer than any message, with a header that matches its size
        out.resize(mRandom.Between(Messaging::MAX_MESSAGE_SIZE + 1, Messaging::MAX_MESSAGE_SIZE + 4096));
        for (uint8_t& byte : out)
            byte = static_cast<uint8_t>(mRandom.Next());
        out[0] = 'A';
        out[1] = 'P';
        out[2] = Messaging::WIRE_VERSION;
        out[3] = Messaging::MSG_NOTIFY;
        PutU32(out, 4, static_cast<uint32_t>(out.size() - Messaging::HEADER_SIZE));
        break;
    }
    case 3: {  // a valid message with one fault in its header or trailing bytes
        out = ValidMessage();
        switch (mRandom.Between(0, 4)) {
        case 0: out[0] ^= 0x20; break;
        case 1: out[2] = static_cast<uint8_t>(Messaging::WIRE_VERSION + 1); break;
        case 2: out[3] = static_cast<uint8_t>(mRandom.Between(8, 255)); break;
        case 3: PutU32(out, 4, static_cast<uint32_t>(out.size() - Messaging::HEADER_SIZE + 1)); break;
        default:
            out.push_back(0);
            PutU32(out, 4, static_cast<uint32_t>(out.size() - Messaging::HEADER_SIZE));
            break;
        }
        break;
    }
    default: {  // a sound header over a random payload
        // Sizes that a short message of some kind has exactly (1, 8, 12) are
        // left out, so that none of these decodes by chance.
        size_t payload = mRandom.Between(2, 64);
        if (payload == 8 || payload == 12)
            ++payload;
        out.resize(Messaging::HEADER_SIZE + payload);
        for (uint8_t& byte : out)
            byte = static_cast<uint8_t>(mRandom.Next());
        out[0] = 'A';
        out[1] = 'P';
        out[2] = Messaging::WIRE_VERSION;
        out[3] = static_cast<uint8_t>(mRandom.Between(1, 7));
        PutU32(out, 4, static_cast<uint32_t>(payload));
        break;
    }
    }
    return out;
}

// ---------------------------------------------------------------- AppliedLog

AppliedLog::AppliedLog(const std::string& path) : mPath(path), mWatchFd(-1)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return;
    if (inotify_add_watch(fd, directory.c_str(), IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        close(fd);
        return;
    }
    mWatchFd = fd;
}

AppliedLog::~AppliedLog()
{
    if (mWatchFd >= 0)
        close(mWatchFd);
}

size_t AppliedLog::Count() const
{
    const int fd = RetryOnInterrupt([&] { return open(mPath.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0)
        return 0;
    size_t lines = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t got = RetryOnInterrupt([&] { return read(fd, buffer, sizeof(buffer)); });
        if (got <= 0)
            break;
        lines += static_cast<size_t>(std::count(buffer, buffer + got, '\n'));
    }
    close(fd);
    return lines;
}

void AppliedLog::Acknowledge()
{
    char events[4096];
    while (mWatchFd >= 0 && RetryOnInterrupt([&] { return read(mWatchFd, events, sizeof(events)); }) > 0) {
    }
}

// ---------------------------------------------------------------- QueueDriver

QueueDriver::QueueDriver() : mLatestId(0), mLatestAtMs(0), mSubscribes(0) {}

bool QueueDriver::Open(std::string& error)
{
    try {
        mpAgent.reset(new CyclicMessageQueue(Messaging::PRESENCE_AGENT_QUEUE));
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
    return true;
}

void QueueDriver::HandleAgentMessage(const Messaging::Message& message)
{
    if (message.kind != Messaging::MSG_SUBSCRIBE)
        return;
    mLatestId = message.id;
    mLatestAtMs = WallClockMs();
    ++mSubscribes;
    if (!mAutoNotifyUrl.empty())
        SendNotify(message.id, mAutoNotifyUrl);
}

void QueueDriver::Drain()
{
    Messaging::Message message;
    while (mpAgent->ReceiveMessage(message))
        HandleAgentMessage(message);
}

bool QueueDriver::SendNotify(uint64_t id, const std::string& url)
{
    // The daemon's queues appear after the driver's, so the senders connect late.
    if (!mpToPresence || !mpToPresence->IsOpen())
        mpToPresence.reset(new QueueSender(Messaging::PRESENCE_CLIENT_QUEUE));
    Messaging::Message message;
    message.kind = Messaging::MSG_NOTIFY;
    message.id = id;
    message.url = url;
    return mpToPresence->Send(message, SEND_TIMEOUT_MS);
}

bool QueueDriver::WaitForEither(AppliedLog& log, int64_t deadlineMs)
{
    pollfd entries[2] = {{mpAgent->GetFD(), POLLIN, 0}, {log.WatchFD(), POLLIN, 0}};
    const int remaining = RemainingMs(deadlineMs);
    if (remaining == 0)
        return false;
    // Without inotify the log is looked at every 20 ms instead.
    const int bound = log.WatchFD() >= 0 ? remaining : std::min(remaining, 20);
    const int ready = RetryOnInterrupt([&] { return poll(entries, log.WatchFD() >= 0 ? 2 : 1, bound); });
    log.Acknowledge();
    return ready >= 0;
}

std::string QueueDriver::WaitSubscribe(int timeoutMs)
{
    const unsigned long wanted = mSubscribes + 1;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        Drain();
        if (mSubscribes >= wanted)
            return "ok subscribes=" + std::to_string(mSubscribes) + " latest=" + std::to_string(mLatestId) +
                   " at_ms=" + std::to_string(mLatestAtMs);
        if (!mpAgent->WaitForInput(RemainingMs(deadline)) && RemainingMs(deadline) == 0)
            return "fail no SUBSCRIBE within " + std::to_string(timeoutMs) + " ms";
    }
}

std::string QueueDriver::Garbage(unsigned long count, uint64_t seed)
{
    QueueSender toPresence(Messaging::PRESENCE_CLIENT_QUEUE);
    QueueSender toWeb(Messaging::CGI_QUEUE);
    GarbageMaker maker(seed);
    unsigned long sent = 0;
    for (unsigned long i = 0; i < count; ++i) {
        const std::vector<uint8_t> datagram = maker.Make(i);
        QueueSender& target = (i & 1) != 0 ? toWeb : toPresence;
        if (target.Send(datagram.data(), datagram.size(), SEND_TIMEOUT_MS))
            ++sent;
        if (i % 64 == 0)
            Drain();
    }
    return std::string(sent == count ? "ok" : "fail") + " garbage sent=" + std::to_string(sent) +
           " of " + std::to_string(count);
}

std::string QueueDriver::Stale(unsigned long count, const std::string& url)
{
    Random random(count);
    unsigned long sent = 0;
    for (unsigned long i = 0; i < count; ++i) {
        Drain();
        // Identifier 0 (before any subscription) and random ones, never the current one.
        uint64_t id = i % 100 == 0 ? 0 : random.Next();
        if (id == mLatestId)
            id ^= 1;
        if (SendNotify(id, url))
            ++sent;
    }
    return std::string(sent == count ? "ok" : "fail") + " stale sent=" + std::to_string(sent) +
           " of " + std::to_string(count);
}

std::string QueueDriver::Commands(unsigned long count)
{
    // Words the daemon knows apart from reboot and reset, unknown words, a
    // wrong letter case, an empty list and an unknown update type.
    static const char* const WORDS[] = {"status", "update", "frobnicate", "UPDATE", "", "updatex"};
    QueueSender commander(Messaging::CGI_QUEUE);
    unsigned long sent = 0;
    unsigned long answered = 0;
    for (unsigned long i = 0; i < count; ++i) {
        Messaging::Message command;
        command.kind = Messaging::MSG_UPDATE;
        command.code = i % 7 == 6 ? 183 : Update_Configuration_Command;
        command.number = static_cast<uint32_t>(i);
        const char* word = WORDS[i % (sizeof(WORDS) / sizeof(WORDS[0]))];
        if (*word != '\0')
            command.strings.push_back(word);
        if (!commander.Send(command, SEND_TIMEOUT_MS))
            continue;
        ++sent;
        Messaging::Message reply;
        if (commander.Receive(reply, REPLY_TIMEOUT_MS) && reply.kind == Messaging::MSG_UPDATE &&
            reply.code == command.code && reply.strings == command.strings)
            ++answered;
        Drain();
    }
    return std::string(answered == count ? "ok" : "fail") + " commands sent=" + std::to_string(sent) +
           " answered=" + std::to_string(answered) + " of " + std::to_string(count);
}

std::string QueueDriver::Download(unsigned long count, const std::string& url, const std::string& appliedFile,
                                  int timeoutMs)
{
    AppliedLog log(appliedFile);
    const size_t first = log.Count();
    std::vector<int64_t> times;
    unsigned long resent = 0;
    int64_t sentWallMs = 0;   // the last notification, wall clock
    // A subscription still under way (after an "update") would make the
    // first notification stale or, were it taken, lead to a second apply
    // when it is sent again: start once none has come for a while.
    WaitQuiet(QUIET_MS, timeoutMs);
    for (unsigned long i = 0; i < count; ++i) {
        Drain();
        if (mLatestId == 0 && WaitSubscribe(std::min(timeoutMs, SUBSCRIBE_WAIT_MS)).compare(0, 2, "ok") != 0)
            return "fail download: no subscription to notify";
        const size_t before = log.Count();
        const int64_t start = MonotonicMs();
        const int64_t deadline = start + timeoutMs;
        uint64_t notified = mLatestId;
        sentWallMs = WallMs();
        SendNotify(notified, url);
        while (log.Count() <= before) {
            Drain();
            // A subscription that went out after the notification replaces
            // the identifier the notification carried: notify again.
            if (mLatestId != notified) {
                notified = mLatestId;
                sentWallMs = WallMs();
                SendNotify(notified, url);
                ++resent;
            }
            if (!WaitForEither(log, deadline) || RemainingMs(deadline) == 0) {
                if (log.Count() > before)
                    break;
                return "fail download " + std::to_string(i + 1) + " not applied within " +
                       std::to_string(timeoutMs) + " ms";
            }
        }
        times.push_back(MonotonicMs() - start);
    }
    const size_t applied = log.Count() - first;
    return std::string(applied == count ? "ok" : "fail") + " download applied=" + std::to_string(applied) +
           " of " + std::to_string(count) + " resent=" + std::to_string(resent) + " median_ms=" + Median(times) +
           " max_ms=" + std::to_string(times.empty() ? 0 : *std::max_element(times.begin(), times.end())) +
           " sent_ms=" + std::to_string(sentWallMs);
}

void QueueDriver::WaitQuiet(int quietMs, int timeoutMs)
{
    const int64_t deadline = MonotonicMs() + timeoutMs;
    Drain();
    unsigned long seen = mSubscribes;
    int64_t quietSince = MonotonicMs();
    while (RemainingMs(deadline) > 0) {
        const int64_t quietEnd = quietSince + quietMs;
        if (MonotonicMs() >= quietEnd)
            return;
        mpAgent->WaitForInput(static_cast<int>(std::min<int64_t>(quietEnd - MonotonicMs(), RemainingMs(deadline))));
        Drain();
        if (mSubscribes != seen) {
            seen = mSubscribes;
            quietSince = MonotonicMs();
        }
    }
}

std::string QueueDriver::WaitApplied(const std::string& appliedFile, size_t count, int timeoutMs)
{
    AppliedLog log(appliedFile);
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        Drain();
        const size_t applied = log.Count();
        if (applied >= count)
            return "ok applied=" + std::to_string(applied);
        if (!WaitForEither(log, deadline) || RemainingMs(deadline) == 0) {
            const size_t last = log.Count();
            return std::string(last >= count ? "ok" : "fail") + " applied=" + std::to_string(last);
        }
    }
}

std::string QueueDriver::Execute(const std::string& line)
{
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "auto-notify") {
        in >> mAutoNotifyUrl;
        if (mAutoNotifyUrl == "off")
            mAutoNotifyUrl.clear();
        return "ok auto-notify " + (mAutoNotifyUrl.empty() ? std::string("off") : mAutoNotifyUrl);
    }
    if (command == "wait-subscribe") {
        int timeoutMs = SUBSCRIBE_WAIT_MS;
        in >> timeoutMs;
        return WaitSubscribe(timeoutMs);
    }
    if (command == "garbage") {
        unsigned long count = 0;
        uint64_t seed = 1;
        in >> count >> seed;
        return Garbage(count, seed);
    }
    if (command == "stale") {
        unsigned long count = 0;
        std::string url;
        in >> count >> url;
        return Stale(count, url);
    }
    if (command == "commands") {
        unsigned long count = 0;
        in >> count;
        return Commands(count);
    }
    if (command == "download") {
        unsigned long count = 0;
        std::string url;
        std::string file;
        int timeoutMs = 10000;
        in >> count >> url >> file >> timeoutMs;
        if (url.empty() || file.empty())
            return "fail usage: download COUNT URL APPLIED_FILE TIMEOUT_MS";
        return Download(count, url, file, timeoutMs);
    }
    if (command == "wait-applied") {
        std::string file;
        size_t count = 1;
        int timeoutMs = 10000;
        in >> file >> count >> timeoutMs;
        if (file.empty())
            return "fail usage: wait-applied APPLIED_FILE COUNT TIMEOUT_MS";
        return WaitApplied(file, count, timeoutMs);
    }
    if (command == "state") {
        Drain();
        return "ok subscribes=" + std::to_string(mSubscribes) + " latest=" + std::to_string(mLatestId) +
               " at_ms=" + std::to_string(mLatestAtMs) + " dropped=" + std::to_string(mpAgent->GetDroppedCount());
    }
    return "fail unknown command \"" + command + "\"";
}

}  // namespace bench
