// The UDP socket of one local SIP party.
#ifndef PRESENCE_AGENT_SIP_SOCKET_H
#define PRESENCE_AGENT_SIP_SOCKET_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

class SipSocket {
public:
    SipSocket();
    ~SipSocket();
    SipSocket(const SipSocket&) = delete;
    SipSocket& operator=(const SipSocket&) = delete;

    // Opens a non-blocking UDP socket with SO_REUSEADDR bound to
    // localIp:port, or to localIp on a free port when that port is held
    // without SO_REUSEADDR; an empty localIp binds any address. Port 0 asks
    // for a free port at once. Multicast from it leaves with TTL 1 through
    // the interface that owns localIp. False (errno tells: EADDRNOTAVAIL for
    // an address that is not, or not yet, the machine's) when no socket
    // could be had.
    bool Open(const std::string& localIp, uint16_t port);

    int GetFD() const { return mFd; }
    // The bound address, as getsockname() reports it.
    const sockaddr_in& LocalAddress() const { return mLocal; }

    bool SendTo(const sockaddr_in& to, const std::string& data);
    // One pending datagram without blocking. False when none is pending or
    // the read failed (errno tells).
    bool Receive(std::string& data, sockaddr_in& from);

private:
    bool BindTo(const in_addr& ip, uint16_t port);

    int mFd;
    sockaddr_in mLocal;
};

#endif
