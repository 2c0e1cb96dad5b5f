// Makes the TCP data server a user (or a pipe layer) stands on, bound to a
// given event loop. The caller owns what it gets. Safe from any thread.
#pragma once

#include <memory>
#include <mutex>

#include "common/runtime/TCPDataServer.h"

class SelectManager;

class TCPDataServerFactory {
  public:
    virtual ~TCPDataServerFactory() = default;
    virtual std::unique_ptr<TCPDataServer> Create(TCPDataClient* client, SelectManager* manager,
                                                  std::recursive_mutex* mutex) = 0;
};
