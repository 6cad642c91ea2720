// Socket helpers of the provisioning server.
#include "pnp_server/net_util.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

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

sockaddr_in Ipv4Endpoint::ToSockaddr() const
{
    sockaddr_in result;
    std::memset(&result, 0, sizeof(result));
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

std::string Ipv4Endpoint::Host() const
{
    char text[INET_ADDRSTRLEN] = {0};
    in_addr value;
    value.s_addr = address;
    inet_ntop(AF_INET, &value, text, sizeof(text));
    return text;
}

std::string Ipv4Endpoint::ToString() const
{
    return Host() + ":" + std::to_string(port);
}

bool ParseIpv4(const std::string& text, uint32_t& address)
{
    in_addr value;
    if (inet_pton(AF_INET, text.c_str(), &value) != 1)
        return false;
    address = value.s_addr;
    return true;
}

bool ParseNumber(const std::string& text, long low, long high, long& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
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

}  // namespace Pnp
