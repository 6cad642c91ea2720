// Where the agent's SUBSCRIBEs can leave from, and a descriptor that turns
// readable when that may have changed (a link, IPv4 address or IPv4 route of
// any interface came, went or changed, read from rtnetlink).
#ifndef PRESENCE_AGENT_NETWORK_WATCH_H
#define PRESENCE_AGENT_NETWORK_WATCH_H

#include <string>

class NetworkWatch {
public:
    // interfaceName: the device's provisioning interface, whose address a
    // subscription goes out from when its own address is not usable.
    // Without rtnetlink (not permitted) GetFD() is -1 and the caller looks
    // again on a timer of its own.
    explicit NetworkWatch(const std::string& interfaceName);
    ~NetworkWatch();
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    const std::string& InterfaceName() const { return mInterface; }
    int GetFD() const { return mFd; }
    // Reads what rtnetlink has queued, a bounded number of messages per
    // call; true when anything came (or the kernel dropped messages), so the
    // network is worth looking at again.
    bool Drain();

    // The dotted IPv4 address to send from: `wanted` when an interface that
    // is up and running holds it, else the first address of the provisioning
    // interface when that one is up and running; empty when neither (no
    // address yet, link down or no carrier).
    std::string SourceAddress(const std::string& wanted) const;

private:
    std::string mInterface;
    int mFd;
};

#endif
