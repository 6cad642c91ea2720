#include "presence_agent/sip_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "utility/utility.h"
#include "sip/sip_text.h"

using PlatformDetail::RetryOnInterrupt;
using Sip::ParseIpv4;

SipSocket::SipSocket() : mFd(-1)
{
    memset(&mLocal, 0, sizeof(mLocal));
}

SipSocket::~SipSocket()
{
    if (mFd >= 0)
        close(mFd);
}

bool SipSocket::BindTo(const in_addr& ip, uint16_t port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = ip;
    return bind(mFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool SipSocket::Open(const std::string& localIp, uint16_t port)
{
    if (mFd >= 0)
        return false;
    in_addr local;
    local.s_addr = htonl(INADDR_ANY);
    if (!localIp.empty() && !ParseIpv4(localIp, local)) {
        errno = EINVAL;
        return false;
    }
    mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (mFd < 0)
        return false;
    const int on = 1;
    setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (!BindTo(local, port) && !BindTo(local, 0)) {
        const int error = errno;
        close(mFd);
        mFd = -1;
        errno = error;
        return false;
    }
    socklen_t length = sizeof(mLocal);
    getsockname(mFd, reinterpret_cast<sockaddr*>(&mLocal), &length);

    // Provisioning requests stay on the local link, on the party's interface.
    const int ttl = 1;
    setsockopt(mFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    if (local.s_addr != htonl(INADDR_ANY))
        setsockopt(mFd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof(local));
    return true;
}

bool SipSocket::SendTo(const sockaddr_in& to, const std::string& data)
{
    if (mFd < 0)
        return false;
    const ssize_t sent = RetryOnInterrupt([&] {
        return sendto(mFd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                      sizeof(to));
    });
    return sent == static_cast<ssize_t>(data.size());
}

bool SipSocket::Receive(std::string& data, sockaddr_in& from)
{
    if (mFd < 0)
        return false;
    // One byte more than the largest message the parser takes, so an
    // oversized datagram shows as such instead of being cut to fit.
    static const size_t BUFFER_SIZE = 65536;
    data.resize(BUFFER_SIZE);
    socklen_t length = sizeof(from);
    const ssize_t received = RetryOnInterrupt([&] {
        return recvfrom(mFd, &data[0], data.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
    });
    if (received < 0) {
        data.clear();
        return false;
    }
    data.resize(static_cast<size_t>(received) > BUFFER_SIZE ? BUFFER_SIZE : static_cast<size_t>(received));
    return true;
}
