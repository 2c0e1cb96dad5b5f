// An IPv4 address and port in host byte order (a.b.c.d is a<<24|b<<16|c<<8|d),
// as every socket operation of this library takes and reports them, with the
// conversions to and from the system's sockaddr_in. A plain value.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

struct IPAddress {
    uint16_t port = 0;
    uint32_t address = 0;

    static IPAddress FromSockaddr(const sockaddr_in& in);
    sockaddr_in ToSockaddr() const;

    // Four decimal numbers of 0..255 separated by dots, nothing else.
    static bool ParseDottedQuad(const char* text, uint32_t* address);
    std::string ToString() const;  // "a.b.c.d"

    bool operator==(const IPAddress& other) const {
        return port == other.port && address == other.address;
    }
};
