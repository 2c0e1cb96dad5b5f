// Makes LinuxSocket objects on the event loop the caller names; the caller
// owns each socket. Stateless; safe from any thread.
#pragma once

#include "common/runtime/TCPDataServerFactory.h"

class LinuxSocketFactory : public TCPDataServerFactory {
  public:
    std::unique_ptr<TCPDataServer> Create(TCPDataClient* client, SelectManager* manager,
                                          std::recursive_mutex* mutex) override;
};
