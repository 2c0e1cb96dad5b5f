// The datagram form of IPDataPipe: a UDPDataServer to its user, the
// IPDataClient of the datagram server below, forwarding SendTo and
// ReceiveFrom as well. Owns the inner server; used on its event loop's thread.
#pragma once

#include "common/runtime/IPDataPipe.h"
#include "common/runtime/UDPDataServer.h"
#include "common/runtime/UDPDataServerFactory.h"

class UDPDataPipe : public IPDataPipe<IPDataClient, UDPDataServer> {
  public:
    UDPDataPipe(IPDataClient* outer, UDPDataServerFactory* factory, SelectManager* manager,
                std::recursive_mutex* mutex);

    int SendTo(const void* data, uint16_t length, const IPAddress* to) override;
    int ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) override;
    UDPDataServer* GetUDPDataServer() override;
};
