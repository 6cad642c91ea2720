// The provisioning server's poll() loop and stop signal.
#include "pnp_server/pnp_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace Pnp {

namespace {

// Descriptors besides the connections: standard streams, log, sockets, the
// stop pipe, a file being read.
const rlim_t SPARE_DESCRIPTORS = 16;

// Raises the soft limit of open files towards what the connections need,
// within the hard limit; the log says when they cannot all be open at once.
void RaiseOpenFileLimit(size_t connections, EventLog& log)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = static_cast<rlim_t>(connections) + SPARE_DESCRIPTORS;
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted)
        log.Line("HTTP at most " + std::to_string(limit.rlim_cur) + " open files: fewer than " +
                 std::to_string(connections) + " connections at once");
}

}  // namespace

StopSignal::StopSignal()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        mRead.Reset(fds[0]);
        mWrite.Reset(fds[1]);
    }
}

void StopSignal::Raise()
{
    // Async-signal-safe; a full pipe already holds a stop request.
    char byte = 1;
    ssize_t ignored = write(mWrite.Get(), &byte, 1);
    (void)ignored;
}

PnpServer::PnpServer(const ServerOptions& options, EventLog& log)
    : mLog(log), mMaxConnections(options.http.maxConnections), mStatus(options.statusRows), mHttp(options.http, log, mStatus), mSip(options.sip, log)
{
    mSip.SetStatus(&mStatus);
}

bool PnpServer::Open(std::string& error)
{
    RaiseOpenFileLimit(mMaxConnections, mLog);
    if (!mHttp.Open(error))
        return false;
    mSip.SetHttpPort(mHttp.Port());
    const bool opened = mSip.Open(error);
    mLog.Flush();
    return opened;
}

bool PnpServer::Run(const StopSignal& stop)
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        pollfd entry;
        entry.fd = stop.Fd();
        entry.events = POLLIN;
        entry.revents = 0;
        fds.push_back(entry);
        entry.fd = mSip.Fd();
        fds.push_back(entry);
        mHttp.AppendPollFds(fds);

        mLog.Flush();
        Clock::time_point now = Clock::now();
        Clock::time_point next = std::min(mSip.NextDeadline(), mHttp.NextDeadline());
        // A signal does not move the deadline: each retry waits for what is left.
        int ready = RetryOnInterrupt([&] {
            int timeout = next == Clock::time_point::max() ? -1 : MillisecondsUntil(next, Clock::now());
            return poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
        });
        if (ready < 0) {
            mLog.Line("poll failed; stopping");
            mLog.Flush();
            return false;
        }
        if (fds[0].revents != 0) {
            mLog.Line("stopping");
            mLog.Flush();
            return true;
        }
        now = Clock::now();
        if (fds[1].revents != 0)
            mSip.OnReadable(now);
        mHttp.HandlePollFds(fds.data() + 2, fds.size() - 2, now);
        mSip.OnTimers(now);
        mHttp.ExpireConnections(now);
    }
}

}  // namespace Pnp
