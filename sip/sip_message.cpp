#include "sip/sip_message.h"

#include <cstring>

namespace Sip {

namespace {

struct CompactForm {
    char letter;
    const char* name;
};

// RFC 3261 7.3.3 and the later extensions' compact forms.
const CompactForm COMPACT_FORMS[] = {
    {'a', "Accept-Contact"}, {'b', "Referred-By"},   {'c', "Content-Type"},
    {'d', "Request-Disposition"}, {'e', "Content-Encoding"}, {'f', "From"},
    {'i', "Call-ID"},        {'j', "Reject-Contact"}, {'k', "Supported"},
    {'l', "Content-Length"}, {'m', "Contact"},        {'n', "Identity-Info"},
    {'o', "Event"},          {'r', "Refer-To"},       {'s', "Subject"},
    {'t', "To"},             {'u', "Allow-Events"},   {'v', "Via"},
    {'x', "Session-Expires"}, {'y', "Identity"},
};

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string LowerCopy(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text, const char* set = " \t\r\n")
{
    const size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

// RFC 3261 token characters.
bool IsTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr("-.!%*_+`'~", c) != nullptr;
}

bool IsToken(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (!IsTokenChar(c))
            return false;
    }
    return true;
}

// Control characters other than HT have no place in a start or header line.
bool HasControl(const std::string& text)
{
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f)
            return true;
    }
    return false;
}

bool IsSipVersion(const std::string& text)
{
    return EqualNoCase(text, "SIP/2.0");
}

bool ParseRequestLine(const std::string& line, SipMessage& message)
{
    const size_t first = line.find(' ');
    if (first == std::string::npos)
        return false;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos)
        return false;
    const std::string method = line.substr(0, first);
    const std::string uri = line.substr(first + 1, second - first - 1);
    const std::string version = line.substr(second + 1);
    if (!IsToken(method) || uri.empty() || uri.find('\t') != std::string::npos || !IsSipVersion(version))
        return false;
    if (uri.find(':') == std::string::npos)
        return false;
    message.isRequest = true;
    message.method = method;
    message.requestUri = uri;
    return true;
}

bool ParseStatusLine(const std::string& line, SipMessage& message)
{
    // "SIP/2.0 SP 3DIGIT SP reason"; a missing reason is taken as empty.
    if (line.size() < 11 || !IsSipVersion(line.substr(0, 7)) || line[7] != ' ')
        return false;
    int code = 0;
    for (size_t i = 8; i < 11; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        code = code * 10 + (line[i] - '0');
    }
    if (code < 100 || code > 699)
        return false;
    if (line.size() > 11 && line[11] != ' ')
        return false;
    message.isRequest = false;
    message.statusCode = code;
    message.reason = line.size() > 12 ? line.substr(12) : std::string();
    return true;
}

// Content-Length as a number of at most nine digits.
bool ParseLength(const std::string& value, size_t& length)
{
    const std::string digits = Trim(value);
    if (digits.empty() || digits.size() > 9)
        return false;
    length = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    return true;
}

// Position just after the next occurrence of c outside quotes and <...>,
// or npos. Starts at from.
size_t FindOutside(const std::string& text, char c, size_t from)
{
    bool quoted = false;
    bool bracketed = false;
    for (size_t i = from; i < text.size(); ++i) {
        const char here = text[i];
        if (quoted) {
            if (here == '\\' && i + 1 < text.size())
                ++i;
            else if (here == '"')
                quoted = false;
        } else if (bracketed) {
            if (here == '>')
                bracketed = false;
        } else if (here == '"') {
            quoted = true;
        } else if (here == '<') {
            bracketed = true;
        } else if (here == c) {
            return i;
        }
    }
    return std::string::npos;
}

std::string Unquote(const std::string& text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return text;
    std::string out;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

// Written out, a message gains CR before bare LFs, a blank after each colon
// and a Content-Length line; one that then outgrows a datagram is refused,
// so that every accepted message can be sent on.
bool FitsWhenWritten(const SipMessage& message)
{
    return Serialize(message).size() <= MAX_DATAGRAM_SIZE;
}

}  // namespace

std::string CanonicalHeaderName(const std::string& name)
{
    if (name.size() == 1) {
        const char letter = Lower(name[0]);
        for (const CompactForm& form : COMPACT_FORMS) {
            if (form.letter == letter)
                return form.name;
        }
    }
    return name;
}

const std::string* SipMessage::Header(const std::string& name) const
{
    const std::string wanted = CanonicalHeaderName(name);
    for (const auto& header : headers) {
        if (EqualNoCase(CanonicalHeaderName(header.first), wanted))
            return &header.second;
    }
    return nullptr;
}

std::vector<std::string> SipMessage::HeaderValues(const std::string& name) const
{
    std::vector<std::string> values;
    const std::string wanted = CanonicalHeaderName(name);
    for (const auto& header : headers) {
        if (EqualNoCase(CanonicalHeaderName(header.first), wanted))
            values.push_back(header.second);
    }
    return values;
}

void SipMessage::AddHeader(const std::string& name, const std::string& value)
{
    headers.emplace_back(name, value);
}

bool ParseMessage(const char* data, size_t length, SipMessage& message)
{
    message = SipMessage();
    if (data == nullptr || length == 0 || length > MAX_DATAGRAM_SIZE)
        return false;
    const std::string text(data, length);

    size_t position = 0;
    bool startLine = true;
    bool ended = false;
    while (position < text.size()) {
        const size_t newline = text.find('\n', position);
        if (newline == std::string::npos)
            return false;   // the header section never ends
        std::string line = text.substr(position, newline - position);
        position = newline + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (HasControl(line))
            return false;
        if (startLine) {
            // RFC 3261 7.5: blank lines before the start line are skipped.
            if (line.empty())
                continue;
            startLine = false;
            const bool parsed = line.compare(0, 4, "SIP/") == 0 ? ParseStatusLine(line, message)
                                                                 : ParseRequestLine(line, message);
            if (!parsed)
                return false;
            continue;
        }
        if (line.empty()) {
            ended = true;
            break;
        }
        if (IsBlank(line[0])) {
            // A folded line continues the previous header.
            if (message.headers.empty())
                return false;
            const std::string more = Trim(line);
            if (!more.empty())
                message.headers.back().second += (message.headers.back().second.empty() ? "" : " ") + more;
            continue;
        }
        if (message.headers.size() >= MAX_HEADERS)
            return false;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        const std::string name = Trim(line.substr(0, colon), " \t");
        if (!IsToken(name))
            return false;
        message.headers.emplace_back(name, Trim(line.substr(colon + 1)));
    }
    if (!ended)
        return false;

    const std::string rest = text.substr(position);
    const std::vector<std::string> lengths = message.HeaderValues("Content-Length");
    if (lengths.empty()) {
        // Written out, the message gains a Content-Length line: keep room for it.
        if (message.headers.size() >= MAX_HEADERS)
            return false;
        message.body = rest;
        return FitsWhenWritten(message);
    }
    size_t bodyLength = 0;
    if (!ParseLength(lengths.front(), bodyLength))
        return false;
    for (const std::string& other : lengths) {
        size_t otherLength = 0;
        if (!ParseLength(other, otherLength) || otherLength != bodyLength)
            return false;
    }
    if (bodyLength > rest.size())
        return false;
    // RFC 3261 18.3: bytes past Content-Length in a datagram are discarded.
    message.body = rest.substr(0, bodyLength);
    return FitsWhenWritten(message);
}

std::string Serialize(const SipMessage& message)
{
    std::string out;
    if (message.isRequest) {
        out = message.method + " " + message.requestUri + " SIP/2.0\r\n";
    } else {
        out = "SIP/2.0 " + std::to_string(message.statusCode) + " " + message.reason + "\r\n";
    }
    for (const auto& header : message.headers) {
        if (EqualNoCase(CanonicalHeaderName(header.first), "Content-Length"))
            continue;
        out += header.first + ": " + header.second + "\r\n";
    }
    out += "Content-Length: " + std::to_string(message.body.size()) + "\r\n\r\n";
    out += message.body;
    return out;
}

std::string HeaderParameter(const std::string& value, const std::string& name)
{
    // Only the first of several comma-separated values counts.
    const size_t comma = FindOutside(value, ',', 0);
    const std::string first = comma == std::string::npos ? value : value.substr(0, comma);
    size_t semicolon = FindOutside(first, ';', 0);
    while (semicolon != std::string::npos) {
        const size_t next = FindOutside(first, ';', semicolon + 1);
        const std::string parameter =
            first.substr(semicolon + 1, next == std::string::npos ? std::string::npos : next - semicolon - 1);
        const size_t equals = parameter.find('=');
        const std::string key = Trim(parameter.substr(0, equals));
        if (EqualNoCase(key, name)) {
            if (equals == std::string::npos)
                return std::string();
            return Unquote(Trim(parameter.substr(equals + 1)));
        }
        semicolon = next;
    }
    return std::string();
}

std::string HeaderUri(const std::string& value)
{
    // The first '<' outside a quoted display name opens the URI.
    size_t open = std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < value.size() && open == std::string::npos; ++i) {
        if (quoted && value[i] == '\\')
            ++i;
        else if (value[i] == '"')
            quoted = !quoted;
        else if (!quoted && value[i] == '<')
            open = i;
    }
    if (open != std::string::npos) {
        const size_t close = value.find('>', open + 1);
        if (close == std::string::npos)
            return std::string();
        return Trim(value.substr(open + 1, close - open - 1));
    }
    // A bare URI without angle brackets: its parameters belong to the header.
    const size_t semicolon = value.find(';');
    return Trim(value.substr(0, semicolon));
}

bool ParseCSeq(const std::string& value, unsigned long& number, std::string& method)
{
    const std::string text = Trim(value);
    size_t i = 0;
    number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (i >= 9)
            return false;   // RFC 3261 caps it below 2**31
        number = number * 10 + static_cast<unsigned long>(text[i] - '0');
        ++i;
    }
    if (i == 0 || i >= text.size() || !IsBlank(text[i]))
        return false;
    method = Trim(text.substr(i));
    return IsToken(method);
}

std::string NotifyUrl(const SipMessage& notify)
{
    const std::string* contentType = notify.Header("Content-Type");
    if (contentType == nullptr)
        return std::string();
    const std::string mediaType = LowerCopy(Trim(contentType->substr(0, contentType->find(';'))));
    if (mediaType == "application/url" || mediaType == "text/plain")
        return Trim(notify.body);
    if (mediaType == "message/external-body")
        return Trim(HeaderParameter(*contentType, "URL"));
    return std::string();
}

const char* ReasonPhrase(int statusCode)
{
    switch (statusCode) {
    case 100: return "Trying";
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 481: return "Call/Transaction Does Not Exist";
    case 489: return "Bad Event";
    case 500: return "Server Internal Error";
    case 503: return "Service Unavailable";
    default: return "";
    }
}

}  // namespace Sip
