// Helpers of the SIP programs' tests: a UDP peer for the other side of an exchange, and network
// namespaces made for one test. Header only: the server's tests do not link the testing library.
#ifndef TESTING_SIP_TEST_PEER_H
#define TESTING_SIP_TEST_PEER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "sip/sip_message.h"

namespace sip_test {

inline sockaddr_in Address(const char* ip, uint16_t port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// A UDP socket bound to ip:port (0: a free one) that sends datagrams and reads the next one parsed.
class SipTestPeer {
public:
    explicit SipTestPeer(const char* ip = "127.0.0.1", uint16_t port = 0)
        : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), mAddress(Address(ip, port))
    {
        socklen_t length = sizeof(mAddress);
        const int on = 1;
        EXPECT_TRUE(bind(mFd, reinterpret_cast<sockaddr*>(&mAddress), length) == 0 &&
                    getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddress), &length) == 0 &&
                    setsockopt(mFd, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on)) == 0)
            << ip << ":" << port << ": " << std::strerror(errno);
    }
    ~SipTestPeer() { close(mFd); }
    SipTestPeer(const SipTestPeer&) = delete;
    SipTestPeer& operator=(const SipTestPeer&) = delete;

    int Fd() const { return mFd; }
    uint16_t Port() const { return ntohs(mAddress.sin_port); }
    const sockaddr_in& From() const { return mFrom; }   // of the last datagram read
    int Ttl() const { return mTtl; }                    // of the last datagram read; -1 unknown

    bool SendTo(const std::string& bytes, uint16_t port, const char* ip = "127.0.0.1") const
    {
        sockaddr_in to = Address(ip, port);
        return sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The next datagram within timeoutMs, parsed; false when none came or it is not SIP.
    bool Receive(Sip::SipMessage& message, int timeoutMs = 3000)
    {
        pollfd entry = {mFd, POLLIN, 0};
        char buffer[65536];
        char control[64];
        iovec data = {buffer, sizeof(buffer)};
        msghdr header = {&mFrom, sizeof(mFrom), &data, 1, control, sizeof(control), 0};
        const ssize_t got = poll(&entry, 1, timeoutMs) > 0 ? recvmsg(mFd, &header, 0) : -1;
        const cmsghdr* ttl = got > 0 ? CMSG_FIRSTHDR(&header) : nullptr;   // the only one asked for
        mTtl = -1;
        if (ttl != nullptr && ttl->cmsg_level == IPPROTO_IP && ttl->cmsg_type == IP_TTL)
            std::memcpy(&mTtl, CMSG_DATA(ttl), sizeof(mTtl));
        return got > 0 && Sip::ParseMessage(buffer, static_cast<size_t>(got), message);
    }

private:
    int mFd;
    sockaddr_in mAddress;
    sockaddr_in mFrom = {};
    int mTtl = -1;
};

// Runs a shell command with its output discarded; true when it exits 0.
inline bool Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A network namespace "<name><pid>" with lo up, made by `ip netns` (root only) and removed at the end.
class TestNetns {
public:
    explicit TestNetns(const std::string& name) : mName(name + std::to_string(getpid()))
    {
        mOk = geteuid() == 0 &&
              Shell("ip netns add " + mName + " && ip -n " + mName + " link set lo up multicast on");
    }
    ~TestNetns()
    {
        if (geteuid() == 0)
            Shell("ip netns del " + mName);
    }
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    bool Ok() const { return mOk; }
    const std::string& Name() const { return mName; }

    // Runs work on a thread inside the namespace (setns moves only the calling thread); sockets and
    // threads made there stay in it. False when the namespace could not be entered.
    bool Run(const std::function<void()>& work) const
    {
        bool entered = false;
        std::thread([&] {
            const int fd = open(("/run/netns/" + mName).c_str(), O_RDONLY | O_CLOEXEC);
            entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            try {
                if (entered)
                    work();
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
        }).join();
        return entered;
    }

private:
    std::string mName;
    bool mOk = false;
};

}  // namespace sip_test

#endif
