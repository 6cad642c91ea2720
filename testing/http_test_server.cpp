#include "testing/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "utility/utility.h"

namespace testing_support {

namespace {

using PlatformDetail::RetryOnInterrupt;

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int ListenOnLoopback(unsigned short& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

HttpTestServer::HttpTestServer(const Answer& answer) : HttpTestServer(std::vector<Answer>{answer}) {}

HttpTestServer::HttpTestServer(const std::vector<Answer>& answers)
    : mAnswers(answers), mListenFd(-1), mStopPipe{-1, -1}, mPort(0), mFinished(false)
{
    mListenFd = ListenOnLoopback(mPort);
    if (mListenFd < 0)
        throw std::runtime_error("test server cannot listen");
    if (pipe2(mStopPipe, O_CLOEXEC) != 0) {
        close(mListenFd);
        throw std::runtime_error("test server cannot create its stop pipe");
    }
    mThread = std::thread(&HttpTestServer::Serve, this);
}

HttpTestServer::~HttpTestServer()
{
    const char stop = 's';
    RetryOnInterrupt([&] { return write(mStopPipe[1], &stop, 1); });
    mThread.join();
    close(mListenFd);
    close(mStopPipe[0]);
    close(mStopPipe[1]);
}

std::string HttpTestServer::Request(size_t index, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return mRequests.size() > index || mFinished; });
    return index < mRequests.size() ? mRequests[index] : std::string();
}

bool HttpTestServer::WaitFinished(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mFinished; });
}

unsigned short HttpTestServer::UnusedPort()
{
    unsigned short port = 0;
    const int fd = ListenOnLoopback(port);
    if (fd < 0)
        throw std::runtime_error("cannot find an unused port");
    close(fd);
    return port;
}

// Waits for events on fd or for the stop pipe; true only when fd is ready first.
bool HttpTestServer::Wait(int fd, short events, long long deadlineMs) const
{
    for (;;) {
        const long long left = deadlineMs - NowMs();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{fd, events, 0}, {mStopPipe[0], POLLIN, 0}};
        const int ready = RetryOnInterrupt([&] { return poll(fds, 2, static_cast<int>(left)); });
        if (ready < 0 || (fds[1].revents & POLLIN) != 0)
            return false;
        if (fds[0].revents != 0)
            return true;
    }
}

void HttpTestServer::RecordRequest(std::string request)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.push_back(std::move(request));
    mChanged.notify_all();
}

void HttpTestServer::Serve()
{
    for (const Answer& answer : mAnswers) {
        if (!Wait(mListenFd, POLLIN, NowMs() + WAIT_LIMIT_MS))
            break;
        const int fd = RetryOnInterrupt(
            [&] { return accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); });
        if (fd < 0)
            break;
        ServeConnection(fd, answer);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mFinished = true;
    mChanged.notify_all();
}

void HttpTestServer::ServeConnection(int fd, const Answer& answer)
{
    const long long deadline = NowMs() + WAIT_LIMIT_MS;
    // Non-blocking, so that no call can outlast the deadline or a stop.
    const int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    pollfd stop = {mStopPipe[0], POLLIN, 0};
    const bool stopped =
        answer.readDelayMs > 0 && RetryOnInterrupt([&] { return poll(&stop, 1, answer.readDelayMs); }) != 0;
    const linger reset{1, 0};
    if (!stopped && answer.ending == RESET_ON_ARRIVAL && Wait(fd, POLLIN, deadline))
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    if (stopped || answer.ending == RESET_ON_ARRIVAL)
        return static_cast<void>(close(fd));

    // Read up to the empty line that ends the request header.
    std::string request;
    size_t headerEnd = std::string::npos;
    while (headerEnd == std::string::npos && Wait(fd, POLLIN, deadline)) {
        char buffer[65536];
        const ssize_t count = RetryOnInterrupt([&] { return recv(fd, buffer, sizeof(buffer), 0); });
        if (count < 0 && errno == EAGAIN)
            continue;
        if (count <= 0)
            break;
        request.append(buffer, static_cast<size_t>(count));
        headerEnd = request.find("\r\n\r\n", request.size() - std::min(request.size(), static_cast<size_t>(count) + 3));
    }
    if (headerEnd != std::string::npos)
        request.resize(headerEnd + 4);

    // Each chunk goes out whole before the next one starts.
    const size_t total = answer.bytes.size(), chunk = answer.chunkSize == 0 ? total : answer.chunkSize;
    for (size_t sent = 0, chunkEnd = 0; sent < total && Wait(fd, POLLOUT, deadline);) {
        chunkEnd = sent == chunkEnd ? std::min(total, sent + chunk) : chunkEnd;
        const ssize_t count = RetryOnInterrupt(
            [&] { return send(fd, answer.bytes.data() + sent, chunkEnd - sent, MSG_NOSIGNAL); });
        if (count < 0 && errno == EAGAIN)
            continue;
        if (count <= 0)
            break;
        sent += static_cast<size_t>(count);
    }
    // Recorded once answered: a copy of a 16 MiB request under a sanitizer must not delay the answer.
    RecordRequest(std::move(request));

    if (answer.ending == KEEP_OPEN) {
        // Until the client closes its end or the server stops.
        while (Wait(fd, POLLIN, deadline)) {
            char buffer[512];
            const ssize_t count = RetryOnInterrupt([&] { return recv(fd, buffer, sizeof(buffer), 0); });
            if (count == 0 || (count < 0 && errno != EAGAIN))
                break;
        }
    } else {
        shutdown(fd, SHUT_WR);
    }
    close(fd);
}

}  // namespace testing_support
