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
    // localIp:port. When that bind fails (address not assigned, port taken)
    // it falls back to INADDR_ANY:port and then to any free port, so a
    // subscription still goes out; port 0 asks for a free port at once.
    // Multicast from it leaves with TTL 1 through the interface that owns
    // localIp (when localIp is an address). False when no socket could be had.
    bool Open(const std::string& localIp, uint16_t port);

    int GetFD() const { return mFd; }
    // The bound address, as getsockname() reports it.
    const sockaddr_in& LocalAddress() const { return mLocal; }
    // The address to advertise in Via and Contact for requests to `to`: the
    // bound address, or when bound to any address the one the kernel routes
    // from towards `to`, else localIp as given, else "0.0.0.0".
    std::string AdvertisedAddress(const sockaddr_in& to) const;

    bool SendTo(const sockaddr_in& to, const std::string& data);
    // One pending datagram without blocking. False when none is pending or
    // the read failed (errno tells).
    bool Receive(std::string& data, sockaddr_in& from);

private:
    bool BindTo(const char* ip, uint16_t port);

    int mFd;
    std::string mLocalIp;
    sockaddr_in mLocal;
};

#endif
