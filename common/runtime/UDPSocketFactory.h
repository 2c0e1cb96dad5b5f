// Makes UDPSocket objects on the event loop the caller names; the caller
// owns each socket. Stateless; safe from any thread.
#pragma once

#include "common/runtime/UDPDataServerFactory.h"

class UDPSocketFactory : public UDPDataServerFactory {
  public:
    std::unique_ptr<UDPDataServer> Create(IPDataClient* client, SelectManager* manager,
                                          std::recursive_mutex* mutex) override;
};
