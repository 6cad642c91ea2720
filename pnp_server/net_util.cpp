// Socket helpers of the provisioning server.
#include "pnp_server/net_util.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "sip/sip_text.h"

namespace Pnp {

int MillisecondsUntil(Clock::time_point when, Clock::time_point now)
{
    if (when <= now)
        return 0;
    // Rounded up, so that a wait of that length reaches the deadline.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now + std::chrono::microseconds(999));
    return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

Ipv4Endpoint Ipv4Endpoint::FromSockaddr(const sockaddr_in& address)
{
    Ipv4Endpoint endpoint;
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = ntohs(address.sin_port);
    return endpoint;
}

bool Ipv4Endpoint::Parse(const std::string& host, uint16_t port, Ipv4Endpoint& endpoint)
{
    in_addr address;
    if (!Sip::ParseIpv4(host, address))
        return false;
    endpoint.address = address.s_addr;
    endpoint.port = port;
    return true;
}

sockaddr_in Ipv4Endpoint::ToSockaddr() const
{
    sockaddr_in result;
    std::memset(&result, 0, sizeof(result));
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

namespace {

// The decimal digits of value at the end of text.
void AppendNumber(std::string& text, unsigned value)
{
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        text += digits[--count];
}

}  // namespace

// Written by hand: every log line names an endpoint, and inet_ntop goes through sprintf.
std::string Ipv4Endpoint::Host() const
{
    const uint32_t value = ntohl(address);
    std::string text;
    text.reserve(15);
    for (int shift = 24; shift >= 0; shift -= 8) {
        AppendNumber(text, (value >> shift) & 0xff);
        if (shift > 0)
            text += '.';
    }
    return text;
}

std::string Ipv4Endpoint::ToString() const
{
    std::string text = Host();
    text += ':';
    AppendNumber(text, port);
    return text;
}

FileDescriptor::~FileDescriptor()
{
    Reset();
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int FileDescriptor::Release()
{
    int fd = mFd;
    mFd = -1;
    return fd;
}

void FileDescriptor::Reset(int fd)
{
    if (mFd >= 0)
        close(mFd);
    mFd = fd;
}

FileDescriptor BoundSocket(int type, const Ipv4Endpoint& local, bool packetInfo)
{
    FileDescriptor fd(socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    sockaddr_in address = local.ToSockaddr();
    if (!fd.Valid() || setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        (packetInfo && setsockopt(fd.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) != 0) ||
        bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int reason = errno;
        fd.Reset();
        errno = reason;
    }
    return fd;
}

uint16_t BoundPort(int fd)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return Ipv4Endpoint::FromSockaddr(address).port;
}

}  // namespace Pnp
