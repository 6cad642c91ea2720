// Tests of the provisioning server's HTTP side over real loopback connections.
#include "pnp_server/http_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pnp_server/pnp_test_support.h"

using PnpTest::RunningServer;

namespace {

// The daemon's own request form.
std::string DaemonRequest(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\n"
           "Host: 127.0.0.1\r\n"
           "User-Agent: Tovix zentro-fxs 4 firmware=2.1.7\r\n"
           "Accept: */*\r\n"
           "Connection: Keep-Alive\r\n\r\n";
}

// A client connection with bounded reads.
class Client {
public:
    explicit Client(uint16_t port) : mFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = PnpTest::Loopback(port);
        mConnected = connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { close(mFd); }

    // False also when the connection failed.
    bool Send(const std::string& bytes)
    {
        return mConnected && send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // One whole response (header and Content-Length bytes of body), or what
    // came within timeoutMs.
    std::string ReadResponse(int timeoutMs = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t end = mPending.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t at = mPending.find("Content-Length: ");
                size_t length = at < end ? std::stoul(mPending.substr(at + 16)) : 0;
                if (mPending.size() >= end + 4 + length) {
                    std::string response = mPending.substr(0, end + 4 + length);
                    mPending.erase(0, response.size());
                    return response;
                }
            }
            if (!ReadSome(deadline))
                return mPending;
        }
    }

    // True when the server closes within timeoutMs (unread bytes are dropped).
    bool WaitClosed(int timeoutMs)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (ReadSome(deadline)) {
        }
        return mClosed;
    }

private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (mClosed || left.count() <= 0 || !PnpTest::WaitReadable(mFd, static_cast<int>(left.count())))
            return false;
        char buffer[4096];
        ssize_t got = recv(mFd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            mClosed = true;
            return false;
        }
        mPending.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int mFd;
    bool mConnected = false;
    bool mClosed = false;
    std::string mPending;
};

std::string Body(const std::string& response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

int Status(const std::string& response)
{
    return response.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(response.c_str() + 9) : 0;
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir((mDir.Path() + "/root").c_str(), 0755);
        mkdir((mDir.Path() + "/root/cfg").c_str(), 0755);
        mConfig = std::string("<?xml version=\"1.0\"?>\r\n<config>\0\x01\xff</config>\n", 43);
        WriteFile(mDir.Path() + "/root/cfg/001122aabbcc.xml", mConfig);
        WriteFile(mDir.Path() + "/secret", "outside the root\n");
    }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream out(path, std::ios::binary);
        out << content;
    }

    std::string Get(RunningServer& server, const std::string& request)
    {
        Client client(server.HttpPort());
        EXPECT_TRUE(client.Send(request));
        return client.ReadResponse();
    }

    PnpTest::TempDir mDir;
    std::string mConfig;
};

}  // namespace

TEST_F(HttpServerTest, ServesTheFileByteForByteLogsTheRequestAndCloses)
{
    RunningServer server(PnpTest::LoopbackOptions(mDir.Path()));
    Client client(server.HttpPort());
    ASSERT_TRUE(client.Send(DaemonRequest("/cfg/001122aabbcc.xml")));
    std::string response = client.ReadResponse();
    EXPECT_EQ(Status(response), 200) << response;
    EXPECT_NE(response.find("Content-Length: 43\r\n"), std::string::npos);
    EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(Body(response), mConfig);
    // Closed by default, although the client asked to keep it.
    EXPECT_TRUE(client.WaitClosed(3000));

    std::string log = server.LogText();
    EXPECT_NE(log.find("    | GET /cfg/001122aabbcc.xml HTTP/1.1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("    | User-Agent: Tovix zentro-fxs 4 firmware=2.1.7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("    | Connection: Keep-Alive\n"), std::string::npos) << log;
    EXPECT_NE(log.find("200 OK /cfg/001122aabbcc.xml (43 bytes)"), std::string::npos) << log;
}

TEST_F(HttpServerTest, MissingRefusedAndMalformedRequestsGetErrorsWithoutHarm)
{
    ASSERT_EQ(mkfifo((mDir.Path() + "/root/cfg/fifo.xml").c_str(), 0644), 0);
    ASSERT_EQ(symlink("../../secret", (mDir.Path() + "/root/cfg/link.xml").c_str()), 0);
    RunningServer server(PnpTest::LoopbackOptions(mDir.Path()));
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {DaemonRequest("/cfg/unknown.xml"), 404},
        {DaemonRequest("/../secret"), 404},
        {DaemonRequest("/cfg/../../secret"), 404},
        {DaemonRequest("/cfg/%2e%2e/%2E%2E/secret"), 404},
        {DaemonRequest("/cfg/%zz"), 404},
        {DaemonRequest("/cfg/a%00.xml"), 404},
        {DaemonRequest("/cfg"), 404},                 // a directory
        {DaemonRequest("/cfg/fifo.xml"), 404},        // must not block the server
        {DaemonRequest("/cfg/link.xml"), 404},        // a symbolic link out of the root
        {DaemonRequest("relative/path"), 404},
        {"POST /cfg/001122aabbcc.xml HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"hello\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 431},
    };
    for (const Case& c : cases) {
        std::string response = Get(server, c.request);
        EXPECT_EQ(Status(response), c.status) << c.request.substr(0, 60);
        EXPECT_EQ(Body(response).find("outside the root"), std::string::npos);
    }
    // Still serving after all that.
    EXPECT_EQ(Body(Get(server, DaemonRequest("/cfg/001122aabbcc.xml?x=1"))), mConfig);
    EXPECT_NE(server.LogText().find("(refused target)"), std::string::npos);
}

TEST_F(HttpServerTest, KeepAliveAnswersSeveralRequestsAndClosesWhenIdle)
{
    Pnp::ServerOptions options = PnpTest::LoopbackOptions(mDir.Path());
    options.http.keepAlive = true;
    options.http.keepAliveIdleMs = 400;
    RunningServer server(options);
    Client client(server.HttpPort());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.Send(DaemonRequest("/cfg/001122aabbcc.xml")));
        std::string response = client.ReadResponse();
        EXPECT_EQ(Body(response), mConfig);
        EXPECT_NE(response.find("Connection: keep-alive\r\n"), std::string::npos);
    }
    // Stays open while the idle time runs, then the server ends it.
    EXPECT_FALSE(client.WaitClosed(150));
    EXPECT_TRUE(client.WaitClosed(5000));
    // The server logs the close right after making it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.LogText().find("closed idle after 2 answer(s)") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(server.LogText().find("closed idle after 2 answer(s)"), std::string::npos) << server.LogText();

    // A client that asks for close gets it, keep-alive or not.
    Client once(server.HttpPort());
    ASSERT_TRUE(once.Send("GET /cfg/001122aabbcc.xml HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_NE(once.ReadResponse().find("Connection: close\r\n"), std::string::npos);
    EXPECT_TRUE(once.WaitClosed(3000));
}

TEST(DocumentRootTest, DecodesPathsAndRefusesTraversal)
{
    std::string path;
    EXPECT_TRUE(Pnp::DocumentRoot::DecodePath("/cfg/a%20b.xml?q=1#f", path));
    EXPECT_EQ(path, "/cfg/a b.xml");
    EXPECT_TRUE(Pnp::DocumentRoot::DecodePath("/cfg/..x/x..", path));
    for (const char* bad : {"/..", "/a/../b", "/a/%2e%2E", "a.xml", "", "/%0", "/a%00b", "*"})
        EXPECT_FALSE(Pnp::DocumentRoot::DecodePath(bad, path)) << bad;
}
