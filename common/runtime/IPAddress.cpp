#include "common/runtime/IPAddress.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

IPAddress IPAddress::FromSockaddr(const sockaddr_in& in) {
    IPAddress a;
    a.port = ntohs(in.sin_port);
    a.address = ntohl(in.sin_addr.s_addr);
    return a;
}

sockaddr_in IPAddress::ToSockaddr() const {
    sockaddr_in in;
    memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return in;
}

bool IPAddress::ParseDottedQuad(const char* text, uint32_t* address) {
    if (text == nullptr) {
        return false;
    }
    uint32_t result = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') {
            return false;
        }
        unsigned value = 0;
        int digits = 0;
        // Three digits bound the value, so a long run cannot overflow.
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(*p++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        result = result << 8 | value;
    }
    if (*p != '\0') {
        return false;
    }
    *address = result;
    return true;
}

std::string IPAddress::ToString() const {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
             (address >> 8) & 0xFF, address & 0xFF);
    return text;
}
