// Interface addresses read from the kernel with ioctl, behind a swappable backend.
#include "net_check/net_check.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

char NO_HARDWARE_ADDRESS[] = "no such interface or no hardware address";

// The kernel's answers, through an AF_INET datagram socket.
class KernelNetCheck : public NetCheckBackend {
public:
    std::string MacAddress(const std::string& ifname) override
    {
        ifreq request;
        if (!Query(ifname, SIOCGIFHWADDR, request)) {
            return std::string();
        }
        const unsigned char* octet = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
        char text[13];
        snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", octet[0], octet[1], octet[2],
                 octet[3], octet[4], octet[5]);
        return text;
    }

    bool IpAddress(const std::string& ifname, std::string& ip, std::string& mask) override
    {
        ifreq address;
        ifreq netmask;
        std::string addressText;
        std::string maskText;
        if (!Query(ifname, SIOCGIFADDR, address) || !Query(ifname, SIOCGIFNETMASK, netmask) ||
            !Dotted(address.ifr_addr, addressText) || !Dotted(netmask.ifr_netmask, maskText)) {
            return false;
        }
        ip = addressText;
        mask = maskText;
        return true;
    }

private:
    static bool Query(const std::string& ifname, unsigned long command, ifreq& request)
    {
        if (ifname.empty() || ifname.size() >= IFNAMSIZ) {
            return false;
        }
        memset(&request, 0, sizeof request);
        memcpy(request.ifr_name, ifname.c_str(), ifname.size());
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        bool done = ioctl(fd, command, &request) == 0;
        close(fd);
        return done;
    }

    static bool Dotted(const sockaddr& address, std::string& text)
    {
        if (address.sa_family != AF_INET) {
            return false;
        }
        sockaddr_in inet;
        memcpy(&inet, &address, sizeof inet);
        char buffer[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &inet.sin_addr, buffer, sizeof buffer) == nullptr) {
            return false;
        }
        text = buffer;
        return true;
    }
};

KernelNetCheck gKernel;

// The backend in force. Its lock is held across each backend call, so a
// scope cannot end while its backend is in use.
PlatformDetail::Overridable<NetCheckBackend*>& Backends()
{
    static auto* backends = new PlatformDetail::Overridable<NetCheckBackend*>(&gKernel);
    return *backends;
}

}  // namespace

std::string GetMACAddress(std::string ifname, char** error)
{
    std::string mac = Backends().With([&](NetCheckBackend* backend) { return backend->MacAddress(ifname); });
    if (error != nullptr) {
        *error = mac.empty() ? NO_HARDWARE_ADDRESS : nullptr;
    }
    return mac;
}

int IsCorrectMACAddress(std::string mac)
{
    if (mac.size() != 12 || mac.find_first_not_of("0123456789abcdef") != std::string::npos ||
        mac == "000000000000") {
        return 0;
    }
    // The low bit of the first octet marks a group address (multicast, broadcast).
    unsigned int first = static_cast<unsigned int>(std::stoul(mac.substr(0, 2), nullptr, 16));
    return (first & 1u) == 0 ? 1 : 0;
}

bool GetIPAddress(std::string ifname, std::string& ip, std::string& mask)
{
    return Backends().With([&](NetCheckBackend* backend) { return backend->IpAddress(ifname, ip, mask); });
}

ScopedNetCheckBackend::ScopedNetCheckBackend(NetCheckBackend* backend)
    : mOverride(Backends(), backend != nullptr ? backend : &gKernel)
{
}
