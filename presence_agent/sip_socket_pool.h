// The agent's SIP sockets: one per local address and port asked for, shared
// by the subscriptions and transactions that hold it, closed when none does.
#ifndef PRESENCE_AGENT_SIP_SOCKET_POOL_H
#define PRESENCE_AGENT_SIP_SOCKET_POOL_H

#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "presence_agent/sip_socket.h"

class SipSocketPool {
public:
    // The socket for localIp:port, opened on first use (see SipSocket::Open).
    // *opened tells whether it is new. Null (errno tells) when none can be had.
    std::shared_ptr<SipSocket> SocketFor(const std::string& localIp, uint16_t port, bool* opened);
    // Closes the sockets that only the pool still holds.
    void ReleaseUnused();
    // Appends one POLLIN entry per socket to fds and the socket to sockets, in the same order.
    void AddToPollSet(std::vector<pollfd>& fds, std::vector<std::shared_ptr<SipSocket>>& sockets) const;

private:
    std::map<std::string, std::shared_ptr<SipSocket>> mSockets;   // by "ip|port" asked for
};

#endif
