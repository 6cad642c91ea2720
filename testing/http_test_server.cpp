#include "testing/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "utility/utility.h"

namespace testing_support {

namespace {

using PlatformDetail::RetryOnInterrupt;

const std::chrono::seconds WAIT_LIMIT(30);

// A socket's receive and send time-out (accept's included).
void Bound(int fd)
{
    const timeval limit = {static_cast<time_t>(WAIT_LIMIT.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int ListenOnLoopback(unsigned short& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("test server cannot listen");
    }
    port = ntohs(address.sin_port);
    Bound(fd);
    return fd;
}

}  // namespace

HttpTestServer::HttpTestServer(const std::vector<Answer>& answers)
    : mAnswers(answers), mListenFd(ListenOnLoopback(mPort)), mThread(&HttpTestServer::Serve, this)
{
}

HttpTestServer::~HttpTestServer()
{
    {
        // Shutting a socket down ends a blocked accept, receive or send on it.
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        shutdown(mListenFd, SHUT_RDWR);
        if (mConnectionFd >= 0)
            shutdown(mConnectionFd, SHUT_RDWR);
        mChanged.notify_all();
    }
    mThread.join();
    close(mListenFd);
}

std::string HttpTestServer::Request(size_t index) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait_for(lock, WAIT_LIMIT, [&] { return mRequests.size() > index || mFinished; });
    return index < mRequests.size() ? mRequests[index] : std::string();
}

bool HttpTestServer::WaitFinished() const
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, WAIT_LIMIT, [&] { return mFinished; });
}

unsigned short HttpTestServer::UnusedPort()
{
    unsigned short port = 0;
    close(ListenOnLoopback(port));
    return port;
}

void HttpTestServer::Serve()
{
    for (const Answer& answer : mAnswers) {
        const int fd = RetryOnInterrupt([&] { return accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC); });
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (fd < 0 || mStopping) {
                close(fd);
                break;
            }
            mConnectionFd = fd;
        }
        ServeConnection(fd, answer);
        std::lock_guard<std::mutex> lock(mMutex);
        close(fd);
        mConnectionFd = -1;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mFinished = true;
    mChanged.notify_all();
}

void HttpTestServer::ServeConnection(int fd, const Answer& answer)
{
    Bound(fd);
    const int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    {
        std::unique_lock<std::mutex> lock(mMutex);
        if (mChanged.wait_for(lock, std::chrono::milliseconds(answer.readDelayMs), [&] { return mStopping; }))
            return;
    }
    char buffer[65536];
    if (answer.ending == RESET_ON_ARRIVAL) {
        const linger reset{1, 0};
        if (RetryOnInterrupt([&] { return recv(fd, buffer, 1, MSG_PEEK); }) > 0)
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        return;
    }
    // Read up to the empty line that ends the request header.
    std::string request;
    size_t headerEnd = std::string::npos;
    for (ssize_t count; headerEnd == std::string::npos &&
                        (count = RetryOnInterrupt([&] { return recv(fd, buffer, sizeof(buffer), 0); })) > 0;) {
        request.append(buffer, static_cast<size_t>(count));
        headerEnd = request.find("\r\n\r\n", request.size() - std::min(request.size(), static_cast<size_t>(count) + 3));
    }
    if (headerEnd != std::string::npos)
        request.resize(headerEnd + 4);

    for (size_t sent = 0, count = 1; count > 0 && sent < answer.bytes.size(); sent += count) {
        const ssize_t result = RetryOnInterrupt(
            [&] { return send(fd, answer.bytes.data() + sent, answer.bytes.size() - sent, MSG_NOSIGNAL); });
        count = result > 0 ? static_cast<size_t>(result) : 0;
    }
    // Recorded once answered: a copy of a 16 MiB request under a sanitizer must not delay the answer.
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mRequests.push_back(std::move(request));
        mChanged.notify_all();
    }
    if (answer.ending == KEEP_OPEN) {
        while (RetryOnInterrupt([&] { return recv(fd, buffer, sizeof(buffer), 0); }) > 0) {
        }
    } else {
        shutdown(fd, SHUT_WR);
    }
}

}  // namespace testing_support
