// The SIP messages of the provisioning server: the answer to a SUBSCRIBE,
// the NOTIFY carrying the configuration URL, and where each one goes.
#ifndef PNP_SERVER_SIP_ANSWERS_H
#define PNP_SERVER_SIP_ANSWERS_H

#include <cstdint>
#include <string>

#include "pnp_server/net_util.h"
#include "sip/sip_message.h"

namespace Pnp {

// The MAC of a Request-URI "sip:MAC%3a<mac>@..." or "sip:MAC:<mac>@...":
// 12 hex digits, kept as written. False for any other user part.
bool ExtractMac(const std::string& requestUri, std::string& mac);

// Replaces each {mac}, {host} and {port} of urlTemplate.
std::string ExpandUrlTemplate(const std::string& urlTemplate, const std::string& mac, const std::string& host,
                              uint16_t port);

// The tag of a From or To value; empty if none.
std::string TagOf(const std::string& nameAddr);

struct NotifyContent {
    std::string localTag;     // our tag: the To tag of our answer to the SUBSCRIBE
    unsigned long cseq = 1;
    std::string branch;       // of our Via, "z9hG4bK..."
    Ipv4Endpoint local;       // our address and SIP port, for Via and Contact
    unsigned long expires = 0;  // 0 ends the subscription
    std::string url;          // the body; empty for none
};

// The remote target of subscribe: the Contact URI when its host is an IPv4
// address (port 5060 unless given), else the From URI sent to source.
void NotifyTarget(const Sip::SipMessage& subscribe, const Ipv4Endpoint& source, std::string& requestUri,
                  Ipv4Endpoint& destination);

// The NOTIFY of the dialog subscribe created, sent to requestUri.
Sip::SipMessage BuildNotify(const Sip::SipMessage& subscribe, const std::string& requestUri,
                            const NotifyContent& content);

}  // namespace Pnp

#endif
