// Building the provisioning server's SIP answers and NOTIFYs.
#include "pnp_server/sip_answers.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "utility/decimal.h"

namespace Pnp {

namespace {

const uint16_t DEFAULT_SIP_PORT = 5060;

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// "host[:port]" -> endpoint, when host is a dotted quad.
bool ParseHostPort(const std::string& hostPort, Ipv4Endpoint& endpoint)
{
    const size_t colon = hostPort.find(':');
    unsigned long port = DEFAULT_SIP_PORT;
    if (colon != std::string::npos && !ParseDecimal(hostPort.substr(colon + 1), 1, 65535, port))
        return false;
    return Ipv4Endpoint::Parse(hostPort.substr(0, colon), static_cast<uint16_t>(port), endpoint);
}

// A name-addr with ";tag=tag" added unless it carries a tag already.
std::string WithTag(const std::string& nameAddr, const std::string& tag)
{
    if (tag.empty() || !TagOf(nameAddr).empty())
        return nameAddr;
    return nameAddr + ";tag=" + tag;
}

}  // namespace

bool ExtractMac(const std::string& requestUri, std::string& mac)
{
    if (!StartsWithNoCase(requestUri, "sip:"))
        return false;
    size_t at = requestUri.find('@');
    if (at == std::string::npos)
        return false;
    std::string user = requestUri.substr(4, at - 4);
    std::string value;
    if (StartsWithNoCase(user, "MAC%3a"))
        value = user.substr(6);
    else if (StartsWithNoCase(user, "MAC:"))
        value = user.substr(4);
    else
        return false;
    if (value.size() != 12 || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    mac = value;
    return true;
}

std::string ExpandUrlTemplate(const std::string& urlTemplate, const std::string& mac, const std::string& host,
                              uint16_t port)
{
    std::string url = ReplaceAll(urlTemplate, "{mac}", mac);
    url = ReplaceAll(url, "{host}", host);
    return ReplaceAll(url, "{port}", std::to_string(port));
}

std::string TagOf(const std::string& nameAddr)
{
    return Sip::HeaderParameter(nameAddr, "tag");
}

void NotifyTarget(const Sip::SipMessage& subscribe, const Ipv4Endpoint& source, std::string& requestUri,
                  Ipv4Endpoint& destination)
{
    destination = source;
    const std::string* from = subscribe.Header("From");
    requestUri = from != nullptr ? Sip::HeaderUri(*from) : std::string();
    const std::string* contact = subscribe.Header("Contact");
    if (contact == nullptr)
        return;
    std::string uri = Sip::HeaderUri(*contact);
    if (!StartsWithNoCase(uri, "sip:"))
        return;
    std::string hostPart = uri.substr(4);
    size_t at = hostPart.rfind('@');
    if (at != std::string::npos)
        hostPart = hostPart.substr(at + 1);
    hostPart = hostPart.substr(0, hostPart.find_first_of(";?"));
    Ipv4Endpoint target;
    if (!ParseHostPort(hostPart, target))
        return;
    requestUri = uri;
    destination = target;
}

Sip::SipMessage BuildNotify(const Sip::SipMessage& subscribe, const std::string& requestUri,
                            const NotifyContent& content)
{
    Sip::SipMessage notify;
    notify.isRequest = true;
    notify.method = "NOTIFY";
    notify.requestUri = requestUri;
    notify.AddHeader("Via", "SIP/2.0/UDP " + content.local.ToString() + ";branch=" + content.branch + ";rport");
    notify.AddHeader("Max-Forwards", "70");
    const std::string* to = subscribe.Header("To");
    const std::string* from = subscribe.Header("From");
    const std::string* callId = subscribe.Header("Call-ID");
    notify.AddHeader("From", WithTag(to != nullptr ? *to : std::string(), content.localTag));
    notify.AddHeader("To", from != nullptr ? *from : std::string());
    notify.AddHeader("Call-ID", callId != nullptr ? *callId : std::string());
    notify.AddHeader("CSeq", std::to_string(content.cseq) + " NOTIFY");
    notify.AddHeader("Contact", "<sip:pnp-server@" + content.local.ToString() + ">");
    // The package of the subscription, with its id when the SUBSCRIBE gave one.
    std::string event = "ua-profile";
    const std::string* subscribeEvent = subscribe.Header("Event");
    std::string id = subscribeEvent != nullptr ? Sip::HeaderParameter(*subscribeEvent, "id") : std::string();
    if (!id.empty())
        event += ";id=" + id;
    notify.AddHeader("Event", event);
    if (content.expires > 0)
        notify.AddHeader("Subscription-State", "active;expires=" + std::to_string(content.expires));
    else
        notify.AddHeader("Subscription-State", "terminated;reason=timeout");
    if (!content.url.empty()) {
        notify.AddHeader("Content-Type", "application/url");
        notify.body = content.url;
    }
    return notify;
}

}  // namespace Pnp
