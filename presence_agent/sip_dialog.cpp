#include "presence_agent/sip_dialog.h"

#include <cstdio>
#include <cstring>

#include "config_file/config_file.h"
#include "utility/utility.h"
#include "sip/sip_text.h"

std::string EscapeSipUser(const std::string& user)
{
    static const char* const KEEP = "-_.!~*'()&=+$,;?/";
    std::string out;
    for (char c : user) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alphanumeric || (c != '\0' && std::strchr(KEEP, c) != nullptr)) {
            out += c;
        } else {
            char escaped[4];
            snprintf(escaped, sizeof(escaped), "%%%02x", u);
            out += escaped;
        }
    }
    return out;
}

std::string MakeSipUri(const std::string& user, const std::string& host, uint16_t port)
{
    std::string uri = "sip:" + EscapeSipUser(user) + "@" + host;
    if (port != 5060)
        uri += ":" + std::to_string(port);
    return uri;
}

std::string ReadFirmwareVersion(const char* path)
{
    try {
        Configuration::ConfigFile file(path, false, true, false, ":", "#", nullptr);
        SmartBuffer value;
        file.GetEntry("Version", value.GetBuffer(), value.GetSize());
        std::string version(value.GetBuffer(), strnlen(value.GetBuffer(), value.GetSize()));
        StringUtils::Trim(version, " \t\r\n", true, true);
        return version.empty() ? "unknown" : version;
    } catch (const Configuration::ConfigException&) {
        return "unknown";
    }
}

namespace {

// The text of a quoted-string: '"' and '\' escaped, control characters left out.
std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            continue;
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

SubscribeWriter::SubscribeWriter(const std::string& version)
    : mEvent("ua-profile;profile-type=\"device\";vendor=\"Tovix\";model=\"zentro-fxs\";version=" + Quoted(version))
{
}

Sip::SipMessage SubscribeWriter::Subscribe(const SipDialog& dialog, const std::string& viaHost, uint16_t viaPort,
                                           unsigned int expiresSeconds, std::string* branch) const
{
    const std::string newBranch = "z9hG4bK" + Sip::RandomToken();
    if (branch != nullptr)
        *branch = newBranch;
    const std::string hostPort = viaHost + ":" + std::to_string(viaPort);

    Sip::SipMessage request;
    request.isRequest = true;
    request.method = "SUBSCRIBE";
    request.requestUri = dialog.requestUri;
    request.AddHeader("Via", "SIP/2.0/UDP " + hostPort + ";branch=" + newBranch + ";rport");
    request.AddHeader("Max-Forwards", "70");
    request.AddHeader("From", "<" + dialog.localUri + ">;tag=" + dialog.localTag);
    request.AddHeader("To", "<" + dialog.remoteUri + ">" + (dialog.remoteTag.empty() ? "" : ";tag=" + dialog.remoteTag));
    request.AddHeader("Call-ID", dialog.callId);
    request.AddHeader("CSeq", std::to_string(dialog.cseq) + " SUBSCRIBE");
    request.AddHeader("Contact", "<sip:" + EscapeSipUser(dialog.user) + "@" + hostPort + ">");
    request.AddHeader("Event", mEvent);
    request.AddHeader("Expires", std::to_string(expiresSeconds));
    request.AddHeader("Accept", "application/url");
    return request;
}
