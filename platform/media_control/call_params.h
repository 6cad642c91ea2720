// Media-control library: the record of one party of a subscription.
#ifndef PLATFORM_CALL_PARAMS_H
#define PLATFORM_CALL_PARAMS_H

#include <cstdint>
#include <string>

// Ten strings and one integer. This system sets userName, ipAddress and port;
// the others name what a SIP party record also carries and stay empty here.
struct CallParams {
    std::string userName;     // 1
    std::string displayName;  // 2
    std::string domain;       // 3
    std::string password;     // 4
    std::string ipAddress;    // 5
    std::string port;         // 6
    std::string transport;    // 7
    std::string contact;      // 8
    std::string callId;       // 9
    std::string tag;          // 10
    int32_t expires;

    CallParams() : expires(0) { Reset(); }

    // Empties string 10, then gives each string from 9 down to 1 the value of
    // the one after it, then clears the integer.
    void Reset()
    {
        tag = std::string();
        callId = tag;
        contact = callId;
        transport = contact;
        port = transport;
        ipAddress = port;
        password = ipAddress;
        domain = password;
        displayName = domain;
        userName = displayName;
        expires = 0;
    }
};

#endif
