// The SIP side of one subscription: its dialog identifiers and the requests
// and responses the agent writes for it.
#ifndef PRESENCE_AGENT_SIP_DIALOG_H
#define PRESENCE_AGENT_SIP_DIALOG_H

#include <cstdint>
#include <string>

#include "sip/sip_message.h"

// Escapes a user name for a SIP URI's user part: characters outside the
// unreserved and user-unreserved sets become %xx with lower-case digits,
// so "MAC:00aa" is "MAC%3a00aa".
std::string EscapeSipUser(const std::string& user);
// "sip:<escaped user>@host", with ":port" unless the port is 5060.
std::string MakeSipUri(const std::string& user, const std::string& host, uint16_t port);
// The "Version" entry of the version file, trimmed; "unknown" when the file
// or the entry is missing.
std::string ReadFirmwareVersion(const char* path);

struct SipDialog {
    std::string user;          // the subscriber's user name, unescaped
    std::string localUri;      // From URI
    std::string remoteUri;     // To URI
    std::string requestUri;    // the Request-URI of requests in this dialog
    std::string callId;
    std::string localTag;
    std::string remoteTag;     // empty until a 2xx or NOTIFY brings one
    unsigned long cseq = 0;    // of the last request sent
};

// Writes the agent's SUBSCRIBE requests (RFC 6665, event package ua-profile of RFC 6080).
class SubscribeWriter {
public:
    // version: firmware version for the Event header's version parameter.
    explicit SubscribeWriter(const std::string& version);

    // A SUBSCRIBE in dialog with its current CSeq, from viaHost:viaPort,
    // with a fresh branch written to *branch.
    Sip::SipMessage Subscribe(const SipDialog& dialog, const std::string& viaHost, uint16_t viaPort,
                              unsigned int expiresSeconds, std::string* branch) const;

    const std::string& EventHeader() const { return mEvent; }

private:
    std::string mEvent;
};

#endif
