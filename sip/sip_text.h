// Tokens, IPv4 addresses and ports as both SIP peers write and read them.
#ifndef SIP_SIP_TEXT_H
#define SIP_SIP_TEXT_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace Sip {

// 16 random hex digits for tags, branches and Call-IDs; never the same twice in a process.
std::string RandomToken();

// "a.b.c.d" into an address; false for anything else.
bool ParseIpv4(const std::string& text, in_addr& address);
// "" gives 5060; otherwise a decimal number up to 65535. allowZero: port 0 is
// accepted (ask for a free port).
bool ParsePort(const std::string& text, bool allowZero, uint16_t& port);

std::string HostText(const in_addr& address);          // "a.b.c.d"
std::string AddressText(const sockaddr_in& address);   // "a.b.c.d:port"
sockaddr_in MakeAddress(const in_addr& host, uint16_t port);

// The first line of a message's text, for logs.
std::string FirstLine(const std::string& text);

}  // namespace Sip

#endif
