// A datagram data server: the IPDataServer operations plus sending to and
// receiving from explicit addresses. Its client is a plain IPDataClient,
// held as a non-owning pointer. Used on its event loop's thread.
#pragma once

#include <cstdint>

#include "common/runtime/IPDataServer.h"

class UDPDataServer : public IPDataServer {
  public:
    UDPDataServer(IPDataClient* client, std::recursive_mutex* mutex)
        : IPDataServer(client, mutex) {}

    virtual int SendTo(const void* data, uint16_t length, const IPAddress* to) = 0;
    virtual int ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) = 0;
    virtual UDPDataServer* GetUDPDataServer() { return this; }
};
