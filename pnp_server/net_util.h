// Small socket helpers of the provisioning server: IPv4 endpoints, bound
// sockets, the platform's retry on EINTR, descriptors that close themselves.
#ifndef PNP_SERVER_NET_UTIL_H
#define PNP_SERVER_NET_UTIL_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "utility/utility.h"

namespace Pnp {

using Clock = std::chrono::steady_clock;

using PlatformDetail::RetryOnInterrupt;

// Milliseconds from now until when, at least 0, at most INT_MAX.
int MillisecondsUntil(Clock::time_point when, Clock::time_point now);

// An IPv4 address (network byte order) and a port (host byte order).
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    static Ipv4Endpoint FromSockaddr(const sockaddr_in& address);
    // A dotted quad and a port; false (endpoint unchanged) for any other host text.
    static bool Parse(const std::string& host, uint16_t port, Ipv4Endpoint& endpoint);
    sockaddr_in ToSockaddr() const;
    std::string Host() const;        // dotted quad
    std::string ToString() const;    // "a.b.c.d:port"
};

// Owns one descriptor and closes it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : mFd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : mFd(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return mFd; }
    bool Valid() const { return mFd >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int mFd;
};

// A non-blocking IPv4 socket of type with SO_REUSEADDR (and IP_PKTINFO when
// packetInfo) bound to local. Invalid on failure, with errno telling why.
FileDescriptor BoundSocket(int type, const Ipv4Endpoint& local, bool packetInfo);

// The port a bound socket got.
uint16_t BoundPort(int fd);

}  // namespace Pnp

#endif
