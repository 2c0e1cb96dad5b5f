// Makes listening sockets for a TCPListenerClient; the factory decides on
// which event loop they run. The caller owns what it gets.
#pragma once

#include <memory>

#include "common/runtime/TCPListener.h"

class TCPListenerFactory {
  public:
    virtual ~TCPListenerFactory() = default;
    virtual std::unique_ptr<TCPListener> Create(TCPListenerClient* client) = 0;
};
