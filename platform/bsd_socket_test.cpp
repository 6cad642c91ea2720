#include "platform/utility.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const int WAIT_MS = 10000;

sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Receives into a text until the peer closes or nothing comes within WAIT_MS.
std::string ReadToEnd(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t count;
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, WAIT_MS) == 1 && (count = recv(fd, chunk, sizeof chunk, 0)) > 0) {
        text.append(chunk, static_cast<size_t>(count));
    }
    return text;
}

// Listens on 127.0.0.1 at an ephemeral port and hands its one accepted
// connection to serve on a server thread.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(int)> serve)
        : mListener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(0, bind(mListener, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, listen(mListener, 1));
        getsockname(mListener, reinterpret_cast<sockaddr*>(&address), &length);
        mPort = ntohs(address.sin_port);
        mThread = std::thread([this, serve] {
            pollfd entry = {mListener, POLLIN, 0};
            if (poll(&entry, 1, WAIT_MS) == 1) {
                int connection = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
                serve(connection);
                close(connection);
            }
        });
    }
    ~LoopbackServer()
    {
        Join();
        close(mListener);
    }
    void Join()
    {
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    sockaddr_in Address() const { return Loopback(mPort); }
    std::string PortText() const { return std::to_string(mPort); }

private:
    int mListener;
    unsigned short mPort = 0;
    std::thread mThread;
};

}  // namespace

TEST(SockAddr, ParsesAddressesAndPorts)
{
    SockAddr plain("10.0.0.5", "8080");
    ASSERT_TRUE(plain.IsValid());
    EXPECT_EQ(htons(8080), plain.Get().sin_port);
    EXPECT_EQ(htonl(0x0a000005), plain.Get().sin_addr.s_addr);
    EXPECT_EQ(htons(8081), SockAddr("10.0.0.5:8081", "80").Get().sin_port);
    for (SockAddr bad : {SockAddr("", "80"), SockAddr(nullptr, "80"), SockAddr("10.0.0.5", "http"),
                         SockAddr("10.0.0.5", "65536")}) {
        EXPECT_FALSE(bad.IsValid());
        EXPECT_EQ(0u, bad.Get().sin_addr.s_addr + bad.Get().sin_port);
    }
}

TEST(BsdSocket, RefusedInvalidAndUnconnectedFail)
{
    // A port that was free a moment ago and has no listener.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length));
    close(probe);

    BsdSocket socket(false);
    EXPECT_EQ(0, socket.CreateTCPSocket(true, address, 0, 0));
    EXPECT_EQ(0, socket.CreateTCPSocket(true, Loopback(0), 0, 0));
    EXPECT_EQ(0, socket.CreateTCPSocket(true, SockAddr("", "80"), 0, 0));
    char buffer[16];
    EXPECT_EQ(0, socket.Send("x", 1, 1, 0));
    EXPECT_EQ(BsdSocket::RECV_RESET, socket.Receive(buffer, sizeof buffer, 100, 0));
}

TEST(BsdSocket, DataThenOrderlyCloseNeverGivesZero)
{
    LoopbackServer server([](int connection) { send(connection, "hello", 5, MSG_NOSIGNAL); });
    BsdSocket socket(false);
    ASSERT_EQ(1, socket.CreateTCPSocket(true, server.Address(), 0, 0));
    char buffer[16];
    ASSERT_EQ(5, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ("hello", std::string(buffer, 5));
    EXPECT_EQ(BsdSocket::RECV_CLOSED, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ(BsdSocket::RECV_CLOSED, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    socket.Disconnect();
    socket.Close();  // idempotent
    EXPECT_EQ(BsdSocket::RECV_RESET, socket.Receive(buffer, sizeof buffer, 100, 0));
}

TEST(BsdSocket, SilenceTimesOut)
{
    LoopbackServer server([](int connection) { ReadToEnd(connection); });
    BsdSocket socket(false);
    ASSERT_EQ(1, socket.CreateTCPSocket(true, server.Address(), 0, 0));
    char buffer[16];
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(BsdSocket::RECV_TIMEOUT, socket.Receive(buffer, sizeof buffer, 100, 0));
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::milliseconds(BsdSocket::DEFAULT_RECV_TIMEOUT_MS));
}

TEST(BsdSocket, ResetIsReportedAndSendFailsWithoutSigpipe)
{
    LoopbackServer server([](int connection) {
        // Reset only once the client has seen its connection complete.
        if (ReadToEnd(connection) == "!") {
            linger abort = {1, 0};  // close sends RST
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
    });
    BsdSocket socket(false);
    ASSERT_EQ(1, socket.CreateTCPSocket(true, server.Address(), 0, 0));
    ASSERT_NE(0, socket.Send("!", 1, 10, 0));
    shutdown(socket.GetFD(), SHUT_WR);  // ends the server's read
    char buffer[16];
    EXPECT_EQ(BsdSocket::RECV_RESET, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0));
    EXPECT_EQ(0, socket.Send("data", 4, 1, 0));
}

TEST(BsdSocket, LargeSendToSlowReaderArrivesWhole)
{
    std::string payload(8u << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7 + i / 4096);
    }
    std::string received;
    LoopbackServer server([&received](int connection) { received = ReadToEnd(connection); });
    BsdSocket socket(false);
    ASSERT_EQ(1, socket.CreateTCPSocket(true, server.Address(), 0, 0));
    int size = 64 * 1024;  // a small send buffer forces many partial sends
    setsockopt(socket.GetFD(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    EXPECT_NE(0, socket.Send(payload.data(), static_cast<int>(payload.size()), 60, 0));
    socket.Disconnect();
    server.Join();
    EXPECT_TRUE(received == payload) << "received " << received.size() << " bytes";
}

TEST(BsdSocket, HostTextPortWinsAndNamesResolve)
{
    for (const char* host : {"127.0.0.1", "localhost"}) {
        LoopbackServer server([](int connection) { send(connection, "ok", 2, MSG_NOSIGNAL); });
        std::string text = std::string(host) + ":" + server.PortText();
        SockAddr address(text.c_str(), "1");  // the wrong port argument loses
        ASSERT_TRUE(address.IsValid()) << text;
        BsdSocket socket(false);
        ASSERT_EQ(1, socket.CreateTCPSocket(true, address, 0, 0)) << text;
        char buffer[4];
        EXPECT_EQ(2, socket.Receive(buffer, sizeof buffer, WAIT_MS, 0)) << text;
    }
}
