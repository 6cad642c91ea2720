// Tests of the provisioning server's HTTP side over real loopback connections.
#include "pnp_server/http_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "testing/pnp_test_support.h"

namespace {

const std::string CONFIG = std::string("<?xml version=\"1.0\"?>\r\n<config>\0\x01\xff</config>\n", 43);

// The daemon's own request form.
std::string DaemonRequest(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "User-Agent: Tovix zentro-fxs 4 firmware=2.1.7\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n";
}

Pnp::FileDescriptor Connect(uint16_t port)
{
    Pnp::FileDescriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = PnpTest::Loopback(port);
    EXPECT_EQ(connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}

// Sends request, then reads until the answer holds until or, when until is empty, the server closes;
// each wait for input is bounded.
std::string Exchange(int fd, const std::string& request, const std::string& until = "")
{
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string answer;
    char buffer[4096];
    ssize_t got = 1;   // then 0 at a close, -1 at a reset, -2 when no input came in time
    for (int i = 0; i < 1000 && got > 0 && (until.empty() || answer.find(until) == std::string::npos); ++i) {
        got = PnpTest::WaitReadable(fd, 5000) ? recv(fd, buffer, sizeof(buffer), 0) : -2;
        answer.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    EXPECT_TRUE(!until.empty() || got == 0 || got == -1) << "not closed after " << request.substr(0, 40);
    return answer;
}

// The server's whole answer with CONFIG.
std::string ConfigAnswer(const std::string& connection)
{
    return "HTTP/1.1 200 OK\r\nServer: pnp-server\r\nContent-Type: text/xml\r\nContent-Length: 43\r\n"
           "Connection: " + connection + "\r\n\r\n" + CONFIG;
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

TEST_F(HttpServerTest, ServesAFileByteForByteAndClosesThenRefusesWhatIsNotAFileInTheRoot)
{
    ASSERT_EQ(mkfifo((mDir.Path() + "/root/cfg/fifo.xml").c_str(), 0644), 0);
    ASSERT_EQ(symlink("../../secret", (mDir.Path() + "/root/cfg/link.xml").c_str()), 0);
    PnpTest::RunningServer server(mOptions);
    // The target decoded (an escaped digit, and an escaped dot that still gives text/xml), without query
    // and fragment; closed by default although the client asked to keep the connection.
    const std::string served = "/cfg/00112%32aabbcc%2Exml?x=1#f";
    EXPECT_EQ(Exchange(Connect(server.HttpPort()).Get(), DaemonRequest(served)), ConfigAnswer("close"));
    std::vector<std::pair<std::string, int>> cases = {
        {"POST /cfg/001122aabbcc.xml HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"hello\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 431},
    };
    // Missing, out of the root, badly escaped, a directory, a FIFO (which must not block the server),
    // a symbolic link out of the root, not a path.
    for (const char* target : {"/cfg/unknown.xml", "/../secret", "/cfg/../../secret", "/cfg/%zz", "/cfg/%0",
                               "/cfg/%2e%2e/%2E%2E/secret", "/cfg/a%00.xml", "/cfg", "/cfg/fifo.xml",
                               "/cfg/link.xml", "relative/path"})
        cases.emplace_back(DaemonRequest(target), 404);
    for (const auto& [request, status] : cases) {
        SCOPED_TRACE(request.substr(0, 40));
        const std::string response = Exchange(Connect(server.HttpPort()).Get(), request);
        EXPECT_EQ(response.substr(0, 13), "HTTP/1.1 " + std::to_string(status) + " ");
        EXPECT_EQ(response.find("outside the root"), std::string::npos);
    }
    // The request's log lines: e2e/scenarios/provisioning.scn.
    const std::string log = server.LogText("(refused target)");
    EXPECT_NE(log.find("(refused target)"), std::string::npos) << log;
    EXPECT_NE(log.find(": 200 OK " + served + " (43 bytes)\n"), std::string::npos) << log;
    std::string path;   // only a whole ".." segment is refused
    EXPECT_TRUE(Pnp::DocumentRoot::DecodePath("/cfg/..x/x..", path) && path == "/cfg/..x/x..") << path;
}

TEST_F(HttpServerTest, KeepAliveAnswersSeveralRequestsAndClosesWhenIdle)
{
    mOptions.http.keepAlive = true;
    mOptions.http.keepAliveIdleMs = 400;
    PnpTest::RunningServer server(mOptions);
    const Pnp::FileDescriptor fd = Connect(server.HttpPort());
    const std::string request = DaemonRequest("/cfg/001122aabbcc.xml");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Exchange(fd.Get(), request, CONFIG), ConfigAnswer("keep-alive"));
    char byte = 0;
    EXPECT_TRUE(PnpTest::WaitReadable(fd.Get(), 5000));
    EXPECT_EQ(recv(fd.Get(), &byte, 1, 0), 0);   // closed once idle

    // A client that asks for close gets it, keep-alive or not. The server, one thread, logged the
    // idle close before it took this connection.
    const std::string once = "GET /cfg/001122aabbcc.xml HTTP/1.1\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(Exchange(Connect(server.HttpPort()).Get(), once), ConfigAnswer("close"));
    EXPECT_NE(server.LogText().find("closed idle after 2 answer(s)"), std::string::npos) << server.LogText();
}
