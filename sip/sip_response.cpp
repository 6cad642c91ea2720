#include "sip/sip_response.h"

#include <cctype>

#include "utility/decimal.h"

namespace Sip {

namespace {

const uint16_t DEFAULT_SIP_PORT = 5060;

bool EqualNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first element of a Via value, and the rest from its comma on.
void SplitTopVia(const std::string& via, std::string& top, std::string& rest)
{
    const size_t comma = via.find(',');
    top = Trim(via.substr(0, comma));
    rest = comma == std::string::npos ? std::string() : via.substr(comma);
}

// visit(key, parameter) for each ";key[=value]" parameter of one Via element.
template <typename Visit>
void ForEachParameter(const std::string& top, Visit visit)
{
    size_t semicolon = top.find(';');
    while (semicolon != std::string::npos) {
        const size_t next = top.find(';', semicolon + 1);
        const std::string parameter =
            top.substr(semicolon + 1, next == std::string::npos ? std::string::npos : next - semicolon - 1);
        visit(Trim(parameter.substr(0, parameter.find('='))), parameter);
        semicolon = next;
    }
}

// The port of a Via's sent-by ("SIP/2.0/UDP 10.0.0.2:5062;..."), 5060 if none.
uint16_t SentByPort(const std::string& top)
{
    const size_t blank = top.find_first_of(" \t");
    if (blank == std::string::npos)
        return DEFAULT_SIP_PORT;
    const std::string sentBy = Trim(top.substr(blank, top.find(';') - blank));
    const size_t colon = sentBy.rfind(':');
    unsigned long port = 0;
    if (colon == std::string::npos || sentBy.find(']', colon) != std::string::npos ||
        !ParseDecimal(sentBy.substr(colon + 1), 1, 65535, port))
        return DEFAULT_SIP_PORT;
    return static_cast<uint16_t>(port);
}

}  // namespace

SipMessage MakeResponse(const SipMessage& request, int statusCode, const std::string& toTag)
{
    SipMessage response;
    response.statusCode = statusCode;
    const char* reason = ReasonPhrase(statusCode);
    response.reason = *reason != '\0' ? reason : "Rejected";
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"}) {
        if (EqualNoCase(name, "To")) {
            const std::string* to = request.Header(name);
            if (to == nullptr)
                continue;
            const bool tagged = statusCode > 100 && !toTag.empty() && HeaderParameter(*to, "tag").empty();
            response.AddHeader(name, tagged ? *to + ";tag=" + toTag : *to);
            continue;
        }
        for (const std::string& value : request.HeaderValues(name))
            response.AddHeader(name, value);
    }
    return response;
}

void MarkTopVia(SipMessage& response, const std::string& sourceHost, uint16_t sourcePort)
{
    for (auto& header : response.headers) {
        if (!EqualNoCase(CanonicalHeaderName(header.first), "Via"))
            continue;
        std::string top, rest;
        SplitTopVia(header.second, top, rest);
        std::string marked = top.substr(0, top.find(';'));
        bool rport = false;
        ForEachParameter(top, [&](const std::string& key, const std::string& parameter) {
            const bool isRport = EqualNoCase(key, "rport");
            rport = rport || isRport;
            if (!isRport && !EqualNoCase(key, "received"))
                marked += ";" + parameter;
        });
        marked += ";received=" + sourceHost;
        if (rport)
            marked += ";rport=" + std::to_string(sourcePort);
        header.second = marked + rest;
        return;
    }
}

bool TopViaHasParameter(const SipMessage& message, const std::string& name)
{
    const std::string* via = message.Header("Via");
    if (via == nullptr)
        return false;
    std::string top, rest;
    SplitTopVia(*via, top, rest);
    bool found = false;
    ForEachParameter(top, [&](const std::string& key, const std::string&) {
        found = found || EqualNoCase(key, name.c_str());
    });
    return found;
}

uint16_t ResponsePort(const SipMessage& request, uint16_t sourcePort)
{
    const std::string* via = request.Header("Via");
    if (via == nullptr || TopViaHasParameter(request, "rport"))
        return sourcePort;
    std::string top, rest;
    SplitTopVia(*via, top, rest);
    return SentByPort(top);
}

}  // namespace Sip
