#include "presence_agent/sip_socket_pool.h"

#include <cerrno>

std::shared_ptr<SipSocket> SipSocketPool::SocketFor(const std::string& localIp, uint16_t port, bool* opened)
{
    *opened = false;
    const std::string key = localIp + "|" + std::to_string(port);
    auto found = mSockets.find(key);
    if (found != mSockets.end())
        return found->second;
    std::shared_ptr<SipSocket> socket = std::make_shared<SipSocket>();
    if (!socket->Open(localIp, port)) {
        const int error = errno;
        socket.reset();
        errno = error;
        return nullptr;
    }
    mSockets[key] = socket;
    *opened = true;
    return socket;
}

void SipSocketPool::ReleaseUnused()
{
    for (auto entry = mSockets.begin(); entry != mSockets.end();) {
        if (entry->second.use_count() == 1)
            entry = mSockets.erase(entry);
        else
            ++entry;
    }
}

void SipSocketPool::AddToPollSet(std::vector<pollfd>& fds, std::vector<std::shared_ptr<SipSocket>>& sockets) const
{
    for (const auto& entry : mSockets) {
        sockets.push_back(entry.second);
        fds.push_back({entry.second->GetFD(), POLLIN, 0});
    }
}
