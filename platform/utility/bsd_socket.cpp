// IPv4 addresses, a TCP client socket and the datagram reader. The socket
// stays non-blocking; each call waits with poll, bounded by its own time-out.
#include "utility/utility.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utility/decimal.h"

const int BsdSocket::RECV_CLOSED;
const int BsdSocket::RECV_TIMEOUT;
const int BsdSocket::RECV_RESET;
const int BsdSocket::RECV_ERROR;

// A server that keeps the connection alive ends its download only by this
// idle time-out, so each such download costs this much extra. 2 s is well
// above the gaps of a LAN server and keeps the event loop responsive.
const int BsdSocket::DEFAULT_RECV_TIMEOUT_MS = 2000;
// A server that trickles its answer would otherwise hold the event loop, and
// with it every queued command, as long as it likes. 30 s is many times what
// the largest document the configurator takes needs on a LAN.
const int BsdSocket::DOWNLOAD_DEADLINE_MS = 30000;
const int BsdSocket::CONNECT_TIMEOUT_MS = 5000;

ssize_t PlatformDetail::DatagramReader::Receive(int fd, int flags)
{
    std::memset(mName, 0, mNameSize);
    std::memset(mControl, 0, mControlSize);
    std::memset(&mHeader, 0, sizeof(mHeader));
    mHeader.msg_name = mName;
    mHeader.msg_namelen = mNameSize;
    mHeader.msg_iov = &mVector;
    mHeader.msg_iovlen = 1;
    mHeader.msg_control = mControl;
    mHeader.msg_controllen = mControlSize;
    return RetryOnInterrupt([&] { return recvmsg(fd, &mHeader, flags); });
}

namespace {

using Clock = std::chrono::steady_clock;

using PlatformDetail::RemainingMs;

// Runs a socket call, retrying EINTR, and maps a failure's errno to a RECV_
// code; a success gives the call's non-negative result.
template <typename Call>
long SocketResult(Call call)
{
    long result = PlatformDetail::RetryOnInterrupt([&] { return static_cast<long>(call()); });
    if (result >= 0) {
        return result;
    }
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return BsdSocket::RECV_TIMEOUT;
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case EBADF:
        return BsdSocket::RECV_RESET;
    default:
        return BsdSocket::RECV_ERROR;
    }
}

// Waits until fd is ready for events or deadline passes: 1 ready, RECV_TIMEOUT
// or another RECV_ code.
long WaitFor(int fd, short events, Clock::time_point deadline)
{
    pollfd entry = {fd, events, 0};
    long ready = SocketResult([&] { return poll(&entry, 1, RemainingMs(deadline)); });
    return ready == 0 ? BsdSocket::RECV_TIMEOUT : ready;
}

bool ResolveHost(const std::string& host, in_addr& address)
{
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    sockaddr_in resolved;
    memcpy(&resolved, found->ai_addr, sizeof resolved);
    address = resolved.sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace

SockAddr::SockAddr(const char* host, const char* port) : mValid(false)
{
    memset(&mAddr, 0, sizeof mAddr);
    std::string name = host != nullptr ? host : "";
    std::string portText = port != nullptr ? port : "";
    size_t colon = name.rfind(':');
    if (colon != std::string::npos) {
        if (colon + 1 < name.size()) {
            portText = name.substr(colon + 1);
        }
        name.erase(colon);
    }
    unsigned long number = 0;
    in_addr address;
    if (name.empty() || (!portText.empty() && !ParseDecimal(portText, 0, 65535, number)) ||
        !ResolveHost(name, address)) {
        return;
    }
    mAddr.sin_family = AF_INET;
    mAddr.sin_port = htons(static_cast<in_port_t>(number));
    mAddr.sin_addr = address;
    mValid = true;
}

BsdSocket::BsdSocket(bool /*blocking*/) : mFd(-1) {}

BsdSocket::~BsdSocket()
{
    Close();
}

int BsdSocket::CreateTCPSocket(bool reuse, const sockaddr_in& address, unsigned short localPort,
                               unsigned long localAddr)
{
    Close();
    if (address.sin_port == 0 || address.sin_addr.s_addr == 0) {
        return 0;
    }
    mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mFd < 0) {
        return 0;
    }
    // Fixing the size ends the kernel's tuning of it for this one connection;
    // capped at rmem_max, a small device keeps its own bound on that memory.
    setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &RECEIVE_WINDOW_BYTES, sizeof RECEIVE_WINDOW_BYTES);
    int on = 1;
    if (reuse) {
        setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (localPort != 0 || localAddr != 0) {
        sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_port = htons(localPort);
        local.sin_addr.s_addr = static_cast<in_addr_t>(localAddr);
        if (bind(mFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return 0;
        }
    }
    // A non-blocking connect goes on after EINTR as well; poll sees the outcome.
    if (connect(mFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        Close();
        return 0;
    }
    int error = 0;
    socklen_t length = sizeof error;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(CONNECT_TIMEOUT_MS);
    if (WaitFor(mFd, POLLOUT, deadline) != 1 ||
        getsockopt(mFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        Close();
        return 0;
    }
    mConnectedAt = Clock::now();
    return 1;
}

int BsdSocket::Send(const char* data, int length, unsigned long timeoutSec, int flags)
{
    if (mFd < 0 || length < 0 || (data == nullptr && length > 0)) {
        return 0;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSec);
    size_t sent = 0;
    size_t total = static_cast<size_t>(length);
    while (sent < total) {
        long count = SocketResult(
            [&] { return send(mFd, data + sent, total - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (count > 0) {
            sent += static_cast<size_t>(count);
        } else if (count != RECV_TIMEOUT || WaitFor(mFd, POLLOUT, deadline) != 1) {
            return 0;  // failed, or the buffer stayed full until the deadline
        }
    }
    return 1;
}

int BsdSocket::Receive(char* buffer, int capacity, int timeoutMs, int flags)
{
    if (buffer == nullptr || capacity <= 0) {
        return RECV_ERROR;
    }
    if (mReadPos < mReadEnd) {
        return TakeReadAhead(buffer, capacity);
    }
    if (mFd < 0) {
        return RECV_RESET;
    }
    // Bytes already read ahead are handed out above even after the deadline:
    // they arrived within it.
    Clock::time_point deadline;
    if (timeoutMs < 0) {
        const Clock::time_point now = Clock::now();
        deadline = std::min(now + std::chrono::milliseconds(DEFAULT_RECV_TIMEOUT_MS),
                            mConnectedAt + std::chrono::milliseconds(DOWNLOAD_DEADLINE_MS));
        if (deadline <= now) {
            return RECV_TIMEOUT;
        }
    } else {
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    // Plain receives read ahead into a larger buffer, so that a caller taking
    // small pieces costs one system call per READ_AHEAD_SIZE bytes, not per piece.
    const bool readAhead = flags == 0;
    if (readAhead && mReadAhead.empty()) {
        mReadAhead.resize(READ_AHEAD_SIZE);
    }
    char* target = readAhead ? mReadAhead.data() : buffer;
    const size_t size = readAhead ? mReadAhead.size() : static_cast<size_t>(capacity);
    for (;;) {
        // Try first and wait only when nothing is there yet.
        long count = SocketResult([&] { return recv(mFd, target, size, flags | MSG_DONTWAIT); });
        if (count > 0) {
            if (!readAhead) {
                return static_cast<int>(count);
            }
            mReadPos = 0;
            mReadEnd = static_cast<size_t>(count);
            return TakeReadAhead(buffer, capacity);
        }
        if (count == 0) {
            return RECV_CLOSED;
        }
        if (count != RECV_TIMEOUT) {
            return static_cast<int>(count);
        }
        long ready = WaitFor(mFd, POLLIN, deadline);
        if (ready != 1) {
            return static_cast<int>(ready);
        }
    }
}

int BsdSocket::TakeReadAhead(char* buffer, int capacity)
{
    const size_t count = std::min(static_cast<size_t>(capacity), mReadEnd - mReadPos);
    memcpy(buffer, mReadAhead.data() + mReadPos, count);
    mReadPos += count;
    return static_cast<int>(count);
}

void BsdSocket::Disconnect()
{
    if (mFd >= 0) {
        shutdown(mFd, SHUT_RDWR);
    }
    Close();
}

void BsdSocket::Close()
{
    if (mFd >= 0) {
        close(mFd);  // not retried: Linux releases the descriptor even on EINTR
        mFd = -1;
    }
    mReadPos = mReadEnd = 0;
}
