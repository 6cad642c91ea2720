#include "presence_agent/network_watch.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Messages read per Drain(); more stay queued for the next round of the loop.
const int MAX_READS = 64;
// Addresses looked at; a gateway has a handful.
const int MAX_ADDRESSES = 64;

struct LocalAddress {
    std::string interfaceName;
    std::string address;
    bool usable;   // its interface is up and running (has carrier)
};

std::vector<LocalAddress> ReadLocalAddresses()
{
    std::vector<LocalAddress> found;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return found;
    ifreq entries[MAX_ADDRESSES];
    ifconf list;
    memset(entries, 0, sizeof(entries));
    list.ifc_len = sizeof(entries);
    list.ifc_req = entries;
    if (ioctl(fd, SIOCGIFCONF, &list) == 0) {
        const size_t count = static_cast<size_t>(list.ifc_len) / sizeof(ifreq);
        for (size_t i = 0; i < count && i < static_cast<size_t>(MAX_ADDRESSES); ++i) {
            if (entries[i].ifr_addr.sa_family != AF_INET)
                continue;
            sockaddr_in address;
            memcpy(&address, &entries[i].ifr_addr, sizeof(address));
            char text[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) == nullptr)
                continue;
            // An alias label ("eth1:0") names its interface before the colon.
            std::string name(entries[i].ifr_name, strnlen(entries[i].ifr_name, IFNAMSIZ));
            name = name.substr(0, name.find(':'));
            ifreq flags;
            memset(&flags, 0, sizeof(flags));
            memcpy(flags.ifr_name, name.data(), name.size());
            const bool usable = ioctl(fd, SIOCGIFFLAGS, &flags) == 0 &&
                                (flags.ifr_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
            found.push_back({name, text, usable});
        }
    }
    close(fd);
    return found;
}

}  // namespace

NetworkWatch::NetworkWatch(const std::string& interfaceName) : mInterface(interfaceName), mFd(-1)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local;
    memset(&local, 0, sizeof(local));
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0) {
        mFd = fd;
        return;
    }
    fprintf(stderr, "presence-agent: no rtnetlink (%s): a waiting subscription looks at the network every second\n",
            strerror(errno));
    if (fd >= 0)
        close(fd);
}

NetworkWatch::~NetworkWatch()
{
    if (mFd >= 0)
        close(mFd);
}

bool NetworkWatch::Drain()
{
    if (mFd < 0)
        return false;
    bool changed = false;
    char buffer[8192];
    for (int reads = 0; reads < MAX_READS; ++reads) {
        const ssize_t got = recv(mFd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0 || (got < 0 && errno == ENOBUFS)) {
            // What changed does not matter: the network is looked at as a whole.
            changed = true;
        } else if (got != 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return changed;
}

std::string NetworkWatch::SourceAddress(const std::string& wanted) const
{
    const std::vector<LocalAddress> addresses = ReadLocalAddresses();
    for (const LocalAddress& local : addresses) {
        if (local.usable && local.address == wanted)
            return wanted;
    }
    for (const LocalAddress& local : addresses) {
        if (local.usable && local.interfaceName == mInterface)
            return local.address;
    }
    return std::string();
}
