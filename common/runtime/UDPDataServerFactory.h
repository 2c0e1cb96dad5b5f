// Makes the datagram server a user (or a pipe layer) stands on, bound to a
// given event loop. The caller owns what it gets. Safe from any thread.
#pragma once

#include <memory>
#include <mutex>

#include "common/runtime/UDPDataServer.h"

class SelectManager;

class UDPDataServerFactory {
  public:
    virtual ~UDPDataServerFactory() = default;
    virtual std::unique_ptr<UDPDataServer> Create(IPDataClient* client, SelectManager* manager,
                                                  std::recursive_mutex* mutex) = 0;
};
