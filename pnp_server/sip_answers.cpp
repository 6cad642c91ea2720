// Building the provisioning server's SIP answers and NOTIFYs.
#include "pnp_server/sip_answers.h"

#include <algorithm>
#include <cctype>
#include <vector>

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

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
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

// The first Via value of the message, split into its first element and the rest.
bool TopVia(const Sip::SipMessage& message, std::string& top, std::string& rest)
{
    const std::string* via = message.Header("Via");
    if (via == nullptr)
        return false;
    size_t comma = via->find(',');
    top = Trim(via->substr(0, comma));
    rest = comma == std::string::npos ? std::string() : via->substr(comma);
    return true;
}

// "host[:port]" -> endpoint, when host is a dotted quad.
bool ParseHostPort(const std::string& hostPort, Ipv4Endpoint& endpoint)
{
    size_t colon = hostPort.find(':');
    Ipv4Endpoint parsed;
    if (!ParseIpv4(hostPort.substr(0, colon), parsed.address))
        return false;
    parsed.port = DEFAULT_SIP_PORT;
    long port = 0;
    if (colon != std::string::npos) {
        if (!ParseNumber(hostPort.substr(colon + 1), 1, 65535, port))
            return false;
        parsed.port = static_cast<uint16_t>(port);
    }
    endpoint = parsed;
    return true;
}

// The port of a Via's sent-by ("SIP/2.0/UDP 10.0.0.2:5062;..."), 5060 if none.
uint16_t SentByPort(const std::string& top)
{
    size_t blank = top.find_first_of(" \t");
    if (blank == std::string::npos)
        return DEFAULT_SIP_PORT;
    std::string sentBy = Trim(top.substr(blank, top.find(';') - blank));
    size_t colon = sentBy.rfind(':');
    long port = 0;
    if (colon == std::string::npos || sentBy.find(']', colon) != std::string::npos ||
        !ParseNumber(sentBy.substr(colon + 1), 1, 65535, port))
        return DEFAULT_SIP_PORT;
    return static_cast<uint16_t>(port);
}

// A name-addr with ";tag=tag" added unless it carries a tag already.
std::string WithTag(const std::string& nameAddr, const std::string& tag)
{
    if (tag.empty() || !TagOf(nameAddr).empty())
        return nameAddr;
    return nameAddr + ";tag=" + tag;
}

void CopyHeaders(const Sip::SipMessage& from, Sip::SipMessage& to, const char* name)
{
    for (const std::string& value : from.HeaderValues(name))
        to.AddHeader(name, value);
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

bool TopViaHasParameter(const Sip::SipMessage& message, const std::string& name)
{
    std::string top, rest;
    if (!TopVia(message, top, rest))
        return false;
    size_t semicolon = top.find(';');
    while (semicolon != std::string::npos) {
        size_t next = top.find(';', semicolon + 1);
        std::string parameter = top.substr(semicolon + 1, next == std::string::npos ? std::string::npos
                                                                                      : next - semicolon - 1);
        std::string key = Trim(parameter.substr(0, parameter.find('=')));
        if (key.size() == name.size() && StartsWithNoCase(key, name))
            return true;
        semicolon = next;
    }
    return false;
}

Ipv4Endpoint ResponseDestination(const Sip::SipMessage& request, const Ipv4Endpoint& source)
{
    Ipv4Endpoint destination = source;
    std::string top, rest;
    if (!TopViaHasParameter(request, "rport") && TopVia(request, top, rest))
        destination.port = SentByPort(top);
    return destination;
}

Sip::SipMessage BuildResponse(const Sip::SipMessage& request, int code, const Ipv4Endpoint& source,
                              const std::string& toTag)
{
    Sip::SipMessage response;
    response.isRequest = false;
    response.statusCode = code;
    const char* reason = Sip::ReasonPhrase(code);
    response.reason = *reason != '\0' ? reason : "Rejected";

    std::vector<std::string> vias = request.HeaderValues("Via");
    std::string top, rest;
    if (TopVia(request, top, rest)) {
        // Drop received/rport and write them anew with what the packet showed.
        std::string marked;
        size_t start = 0;
        bool rport = false;
        while (start <= top.size()) {
            size_t end = top.find(';', start);
            if (end == std::string::npos)
                end = top.size();
            std::string part = top.substr(start, end - start);
            std::string key = Trim(part.substr(0, part.find('=')));
            bool isRport = key.size() == 5 && StartsWithNoCase(key, "rport");
            bool isReceived = key.size() == 8 && StartsWithNoCase(key, "received");
            rport = rport || isRport;
            if (start == 0 || (!isRport && !isReceived))
                marked += (start == 0 ? "" : ";") + part;
            start = end + 1;
        }
        marked += ";received=" + source.Host();
        if (rport)
            marked += ";rport=" + std::to_string(source.port);
        vias[0] = marked + rest;
    }
    for (const std::string& via : vias)
        response.AddHeader("Via", via);
    CopyHeaders(request, response, "From");
    const std::string* to = request.Header("To");
    if (to != nullptr)
        response.AddHeader("To", code > 100 ? WithTag(*to, toTag) : *to);
    CopyHeaders(request, response, "Call-ID");
    CopyHeaders(request, response, "CSeq");
    return response;
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
