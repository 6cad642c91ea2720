#include "utility/utility.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

const int WAIT_MS = 10000;

// A socket on 127.0.0.1 at a port the system chose: listening (a connect completes in
// the backlog before accept), or only bound, so that every connect to it is refused.
struct LoopbackPort {
    explicit LoopbackPort(bool listening = true)
    {
        sockaddr_in address = SockAddr("127.0.0.1", "0");
        socklen_t length = sizeof address;
        EXPECT_EQ(0, bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &length));
        EXPECT_TRUE(!listening || listen(mFd, 1) == 0);
        mPort = ntohs(address.sin_port);
    }
    ~LoopbackPort()
    {
        close(mConnection);   // -1 when none was accepted: harmless
        close(mFd);
    }
    int Accept() { return mConnection = accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC); }
    SockAddr Address() const { return SockAddr("127.0.0.1", std::to_string(mPort).c_str()); }

    int mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int mConnection = -1;
    unsigned short mPort = 0;
};

// Dotted addresses and a port in the host text are what the connections below use.
TEST(SockAddr, TakesAHostNameAndRefusesBadHostsAndPorts)
{
    EXPECT_EQ(htonl(INADDR_LOOPBACK), SockAddr("localhost", "80").Get().sin_addr.s_addr);
    for (SockAddr bad : {SockAddr("", "80"), SockAddr(nullptr, "80"), SockAddr("10.0.0.5", "http"),
                         SockAddr("10.0.0.5", "65536")})
        EXPECT_FALSE(bad.IsValid());
}

// One socket's life: refused; connected by a host text with its own port (which wins), carrying data,
// timed out, many partial sends, an orderly close; connected again and reset by the server.
TEST(BsdSocket, RefusedTimedOutPartialSendsClosedAndReset)
{
    BsdSocket socket(false);
    char buffer[16];
    LoopbackPort refusing(false);
    EXPECT_EQ(0, socket.CreateTCPSocket(true, refusing.Address(), 0, 0));
    EXPECT_EQ(0, socket.CreateTCPSocket(true, SockAddr("", "80"), 0, 0));
    LoopbackPort server;
    const std::string host = "127.0.0.1:" + std::to_string(server.mPort);
    ASSERT_EQ(1, socket.CreateTCPSocket(true, SockAddr(host.c_str(), "1"), 0, 0));
    const int connection = server.Accept();
    // The receive buffer was fixed before the connect, at the size asked for or the system's cap.
    unsigned long cap = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
    int fixed = 0;
    socklen_t size = sizeof fixed;
    ASSERT_EQ(0, getsockopt(socket.GetFD(), SOL_SOCKET, SO_RCVBUF, &fixed, &size));
    if (cap > 0) {   // unreadable in some sandboxes
        EXPECT_EQ(2 * std::min<unsigned long>(BsdSocket::RECEIVE_WINDOW_BYTES, cap),
                  static_cast<unsigned long>(fixed));
    }
    ASSERT_EQ(5, send(connection, "hello", 5, MSG_NOSIGNAL));
    ASSERT_EQ(5, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ("hello", std::string(buffer, 5));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(BsdSocket::RECV_TIMEOUT, socket.Receive(buffer, sizeof buffer, 100, 0));
    const auto elapsed = std::chrono::steady_clock::now() - begin;   // the given time-out, not the default
    EXPECT_TRUE(elapsed >= std::chrono::milliseconds(100) &&
                elapsed < std::chrono::milliseconds(BsdSocket::DEFAULT_RECV_TIMEOUT_MS));
    // 8 MiB fill the socket buffers many times over; the reader takes it all at once, bounded in time.
    std::string payload(8u << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + i / 4096);
    timeval limit = {WAIT_MS / 1000, 0};
    ASSERT_EQ(0, setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
    std::string received(payload.size(), '\0');
    ssize_t count = -1;
    std::thread reader([&] { count = recv(connection, &received[0], received.size(), MSG_WAITALL); });
    EXPECT_NE(0, socket.Send(payload.data(), static_cast<int>(payload.size()), 60, 0));
    reader.join();
    EXPECT_EQ(static_cast<ssize_t>(payload.size()), count);
    EXPECT_TRUE(received == payload);
    // An orderly close reads as -1 every time, never as 0; the finished socket connects again.
    ASSERT_EQ(0, shutdown(connection, SHUT_WR));
    EXPECT_EQ(BsdSocket::RECV_CLOSED, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ(BsdSocket::RECV_CLOSED, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    socket.Disconnect();
    {
        LoopbackPort resetting;
        ASSERT_EQ(1, socket.CreateTCPSocket(true, resetting.Address(), 0, 0));
        linger abort = {1, 0};   // the server's close sends a reset
        ASSERT_EQ(0, setsockopt(resetting.Accept(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort));
    }
    EXPECT_EQ(BsdSocket::RECV_RESET, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ(0, socket.Send("data", 4, 1, 0));   // and raises no SIGPIPE
}

}  // namespace
