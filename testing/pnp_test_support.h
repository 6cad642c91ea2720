// Helpers of the provisioning server's tests: a server running on a thread
// over loopback, and bounded client-side reads. Included by tests only.
#ifndef TESTING_PNP_TEST_SUPPORT_H
#define TESTING_PNP_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "pnp_server/pnp_server.h"

namespace PnpTest {

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/pnp_server_test.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp");
        mPath = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
};

// Options for a server on 127.0.0.1, any ports, no multicast, log in dir.
inline Pnp::ServerOptions LoopbackOptions(const std::string& dir)
{
    Pnp::ServerOptions options;
    options.sip.bindAddress = "127.0.0.1";
    options.sip.port = 0;
    options.sip.joinMulticast = false;
    options.http.address = "127.0.0.1";
    options.http.port = 0;
    options.http.rootDirectory = dir + "/root";
    options.logPath = dir + "/server.log";
    return options;
}

// The whole server running on a thread until destroyed.
class RunningServer {
public:
    explicit RunningServer(const Pnp::ServerOptions& options) : mLogPath(options.logPath), mServer(options, mLog)
    {
        std::string error;
        if (!mLog.OpenFile(options.logPath, error) || !mServer.Open(error))
            throw std::runtime_error(error);
        mThread = std::thread([this] { mServer.Run(mStop); });
    }
    ~RunningServer()
    {
        mStop.Raise();
        mThread.join();
    }
    uint16_t SipPort() const { return mServer.SipPort(); }
    uint16_t HttpPort() const { return mServer.HttpPort(); }

    // The log as written so far; with awaited, once it holds that text (at most 5 s): the server writes
    // its log when it goes back to waiting, which a quick client may outrun by several requests.
    std::string LogText(const std::string& awaited = "") const
    {
        std::string text;
        for (int round = 0; round < 100; ++round) {
            std::ifstream in(mLogPath);
            std::stringstream read;
            read << in.rdbuf();
            text = read.str();
            if (text.find(awaited) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return text;
    }

private:
    std::string mLogPath;
    Pnp::EventLog mLog;
    Pnp::StopSignal mStop;
    Pnp::PnpServer mServer;
    std::thread mThread;
};

inline sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// True when fd becomes readable within timeoutMs.
inline bool WaitReadable(int fd, int timeoutMs)
{
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

}  // namespace PnpTest

#endif
