// Tests of the provisioning server's HTTP side over real loopback connections.
#include "pnp_server/http_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "pnp_server/pnp_test_support.h"

using PnpTest::RunningServer;
using Clock = std::chrono::steady_clock;

namespace {

const std::string CONFIG = std::string("<?xml version=\"1.0\"?>\r\n<config>\0\x01\xff</config>\n", 43);

// The daemon's own request form.
std::string DaemonRequest(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "User-Agent: Tovix zentro-fxs 4 firmware=2.1.7\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n";
}

// A client connection with reads bounded in time.
class Client {
public:
    explicit Client(uint16_t port) : mFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = PnpTest::Loopback(port);
        connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~Client() { close(mFd); }

    bool Send(const std::string& bytes)
    {
        return send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until what came holds text (when given), the server closes, or timeoutMs pass. True
    // when the server closed.
    bool Read(int timeoutMs, const std::string& text = "")
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!mClosed && (text.empty() || mPending.find(text) == std::string::npos)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !PnpTest::WaitReadable(mFd, static_cast<int>(left.count())))
                break;
            char buffer[4096];
            const ssize_t got = recv(mFd, buffer, sizeof(buffer), 0);
            mClosed = got <= 0;
            mPending.append(buffer, mClosed ? 0 : static_cast<size_t>(got));
        }
        return mClosed;
    }

    // What came so far, then forgotten.
    std::string Take() { return std::exchange(mPending, std::string()); }

private:
    int mFd;
    bool mClosed = false;
    std::string mPending;
};

std::string Body(const std::string& response)
{
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(mDir.Path() + "/root/cfg");
        std::ofstream(mDir.Path() + "/root/cfg/001122aabbcc.xml", std::ios::binary) << CONFIG;
        std::ofstream(mDir.Path() + "/secret") << "outside the root\n";
    }

    PnpTest::TempDir mDir;
    Pnp::ServerOptions mOptions = PnpTest::LoopbackOptions(mDir.Path());
};

}  // namespace

TEST_F(HttpServerTest, RefusesWhatIsNotAFileInTheRootThenServesTheFileByteForByteAndCloses)
{
    ASSERT_EQ(mkfifo((mDir.Path() + "/root/cfg/fifo.xml").c_str(), 0644), 0);
    ASSERT_EQ(symlink("../../secret", (mDir.Path() + "/root/cfg/link.xml").c_str()), 0);
    RunningServer server(mOptions);
    std::vector<std::pair<std::string, int>> cases = {
        {"POST /cfg/001122aabbcc.xml HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"hello\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 431},
    };
    // Missing, out of the root, badly escaped, a directory, a FIFO (which must not block the server),
    // a symbolic link out of the root, not a path.
    for (const char* target : {"/cfg/unknown.xml", "/../secret", "/cfg/../../secret", "/cfg/%zz",
                               "/cfg/%2e%2e/%2E%2E/secret", "/cfg/a%00.xml", "/cfg", "/cfg/fifo.xml",
                               "/cfg/link.xml", "relative/path"})
        cases.emplace_back(DaemonRequest(target), 404);
    for (const auto& [request, status] : cases) {
        Client client(server.HttpPort());
        EXPECT_TRUE(client.Send(request));
        EXPECT_TRUE(client.Read(5000));
        const std::string response = client.Take();
        EXPECT_EQ(response.substr(0, 13), "HTTP/1.1 " + std::to_string(status) + " ")
            << request.substr(0, 40);
        EXPECT_EQ(Body(response).find("outside the root"), std::string::npos);
    }
    EXPECT_NE(server.LogText().find("(refused target)"), std::string::npos);

    // Still serving; closed by default although the client asked to keep the connection.
    Client client(server.HttpPort());
    const std::string request = DaemonRequest("/cfg/001122aabbcc.xml?x=1");
    ASSERT_TRUE(client.Send(request));
    EXPECT_TRUE(client.Read(3000));
    const std::string response = client.Take();
    EXPECT_EQ(Body(response), CONFIG);
    for (const char* line : {"HTTP/1.1 200 OK\r\n", "Content-Length: 43\r\n", "Connection: close\r\n"})
        EXPECT_NE(response.find(line), std::string::npos) << line << response;
    const std::string log = server.LogText();
    const std::string logged[] = {
        " (" + std::to_string(request.size()) + " bytes):\n    | GET /cfg/001122aabbcc.xml?x=1 HTTP/1.1\n",
        "    | User-Agent: Tovix zentro-fxs 4 firmware=2.1.7\n", "    | Connection: Keep-Alive\n",
        ": 200 OK /cfg/001122aabbcc.xml?x=1 (43 bytes)\n"};
    for (const std::string& line : logged)
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
}

TEST_F(HttpServerTest, KeepAliveAnswersSeveralRequestsAndClosesWhenIdle)
{
    mOptions.http.keepAlive = true;
    mOptions.http.keepAliveIdleMs = 400;
    RunningServer server(mOptions);
    Client client(server.HttpPort());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.Send(DaemonRequest("/cfg/001122aabbcc.xml")));
        EXPECT_FALSE(client.Read(5000, CONFIG));
        const std::string response = client.Take();
        EXPECT_EQ(Body(response), CONFIG);
        EXPECT_NE(response.find("Connection: keep-alive\r\n"), std::string::npos);
    }
    // Stays open while the idle time runs, then the server ends it.
    EXPECT_FALSE(client.Read(150));
    EXPECT_TRUE(client.Read(5000));

    // A client that asks for close gets it, keep-alive or not. The server, one thread, logged the
    // idle close before it took this connection.
    Client once(server.HttpPort());
    ASSERT_TRUE(once.Send("GET /cfg/001122aabbcc.xml HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(once.Read(3000));
    EXPECT_NE(once.Take().find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(server.LogText().find("closed idle after 2 answer(s)"), std::string::npos) << server.LogText();
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
