#include "sip/sip_text.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "utility/decimal.h"
#include "utility/utility.h"

namespace Sip {

std::string RandomToken()
{
    char text[20];
    snprintf(text, sizeof(text), "%016llx", Utility::GenerateUniqueNumber());
    return text;
}

bool ParseIpv4(const std::string& text, in_addr& address)
{
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool ParsePort(const std::string& text, bool allowZero, uint16_t& port)
{
    if (text.empty()) {
        port = 5060;
        return true;
    }
    unsigned long value = 0;
    if (!ParseDecimal(text, allowZero ? 0 : 1, 65535, value))
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::string HostText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

std::string AddressText(const sockaddr_in& address)
{
    return HostText(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in MakeAddress(const in_addr& host, uint16_t port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr = host;
    address.sin_port = htons(port);
    return address;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace Sip
