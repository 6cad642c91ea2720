// Network-check library: addresses of a named interface, read through ioctl.
#ifndef PLATFORM_NET_CHECK_H
#define PLATFORM_NET_CHECK_H

#include <string>

#include "utility/scoped_override.h"

// MAC address of ifname as 12 lowercase hex digits without separators; empty
// when the interface does not exist. error (may be null) receives a static
// text naming the failure, or null.
std::string GetMACAddress(std::string ifname, char** error);

// Non-zero when mac is 12 hex digits (lowercase) naming a unicast address
// that is not all zero.
int IsCorrectMACAddress(std::string mac);

// Fills ip with the interface's IPv4 address and mask with its netmask, both
// dotted. Returns false (leaving both untouched) when it has none.
bool GetIPAddress(std::string ifname, std::string& ip, std::string& mask);

// Where the calls above get their answers. The default reads the kernel;
// tests swap in a fake with ScopedNetCheckBackend.
class NetCheckBackend {
public:
    virtual ~NetCheckBackend() = default;
    virtual std::string MacAddress(const std::string& ifname) = 0;
    virtual bool IpAddress(const std::string& ifname, std::string& ip, std::string& mask) = 0;
};

// Makes backend (null: the kernel) the one in force while this object lives;
// scopes nest. The backend must outlive it.
class ScopedNetCheckBackend {
public:
    explicit ScopedNetCheckBackend(NetCheckBackend* backend);

private:
    PlatformDetail::ScopedOverride<NetCheckBackend*> mOverride;
};

#endif
