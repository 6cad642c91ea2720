// Responses to SIP requests, and where they go (RFC 3261 8.2.6 and 18.2.2, RFC 3581).
#ifndef SIP_SIP_RESPONSE_H
#define SIP_SIP_RESPONSE_H

#include <cstdint>
#include <string>

#include "sip/sip_message.h"

namespace Sip {

// A response to request: its Via headers in order, From, To, Call-ID and
// CSeq. Above 100 a To without a tag gets toTag (unless empty). A code
// without a standard reason phrase gets "Rejected".
SipMessage MakeResponse(const SipMessage& request, int statusCode, const std::string& toTag);

// Writes into the response's top Via what the request's packet showed:
// received=sourceHost and, when that Via asked for rport, rport=sourcePort;
// earlier received and rport parameters are dropped.
void MarkTopVia(SipMessage& response, const std::string& sourceHost, uint16_t sourcePort);

// True when the top Via of message carries parameter name, with or without a value.
bool TopViaHasParameter(const SipMessage& message, const std::string& name);

// The port a response to request goes to: the request's source port when
// its top Via asks for rport, else the Via's sent-by port (5060 if none).
uint16_t ResponsePort(const SipMessage& request, uint16_t sourcePort);

}  // namespace Sip

#endif
