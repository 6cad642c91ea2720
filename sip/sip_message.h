// SIP message library: parses and writes one SIP message per UDP datagram.
//
// The parser is strict where a wrong guess could misroute a message (start
// line, header syntax, Content-Length) and lenient about line ends (a bare LF
// is taken for CRLF) and folded header lines (joined with one blank).
// Its work is bounded: a datagram above MAX_DATAGRAM_SIZE or with more than
// MAX_HEADERS header lines is refused without further looking.
#ifndef SIP_SIP_MESSAGE_H
#define SIP_SIP_MESSAGE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace Sip {

const size_t MAX_DATAGRAM_SIZE = 65535;
const size_t MAX_HEADERS = 256;

struct SipMessage {
    bool isRequest = false;
    std::string method;        // requests
    std::string requestUri;    // requests
    int statusCode = 0;        // responses
    std::string reason;        // responses
    std::vector<std::pair<std::string, std::string>> headers;   // in order, names as received
    std::string body;

    // First header value by name, case-insensitive, compact forms understood
    // (v, f, t, i, m, l, c, e, o ...); null if absent.
    const std::string* Header(const std::string& name) const;
    void AddHeader(const std::string& name, const std::string& value);
    // Every value of the headers called name (or its compact form), in order.
    std::vector<std::string> HeaderValues(const std::string& name) const;
};

// Parses one datagram; false for anything malformed.
bool ParseMessage(const char* data, size_t length, SipMessage& message);

// Serialises with CRLF line ends and a correct Content-Length (any
// Content-Length header of the message is replaced by the body's size, written last).
std::string Serialize(const SipMessage& message);

// Value of parameter `name` in a header value such as "<sip:x@y>;tag=abc" or
// "SIP/2.0/UDP h:p;branch=z9hG4bK..". Parameters inside <...> belong to the
// URI and are not seen; a quoted value is returned without its quotes.
// Empty if absent.
std::string HeaderParameter(const std::string& value, const std::string& name);

// URL carried by a NOTIFY: for application/url or text/plain the trimmed
// body; for message/external-body the URL parameter (quoted or not) of its
// Content-Type. Empty if none.
std::string NotifyUrl(const SipMessage& notify);

// The full header name of a compact form ("v" -> "Via"); name itself otherwise.
std::string CanonicalHeaderName(const std::string& name);

// The URI of a header value, in angle brackets or bare: "\"A\" <sip:a@b>;tag=1" -> "sip:a@b".
std::string HeaderUri(const std::string& value);

// The number of a CSeq value ("12 SUBSCRIBE" -> 12, method "SUBSCRIBE").
// False when it is not a number followed by a method.
bool ParseCSeq(const std::string& value, unsigned long& number, std::string& method);

// The standard reason phrase of a status code ("" for unknown codes).
const char* ReasonPhrase(int statusCode);

}  // namespace Sip

#endif
