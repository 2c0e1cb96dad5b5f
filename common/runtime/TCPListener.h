// A listening TCP endpoint that hands each accepted connection to the data
// server its TCPListenerClient names. It holds the listening port (0 while
// not listening), the local address and the client (non-owning).
#pragma once

#include <cstdint>

#include "common/runtime/TCPListenerClient.h"

class TCPListener {
  public:
    explicit TCPListener(TCPListenerClient* client) : listenerClient_(client) {}
    virtual ~TCPListener() = default;
    TCPListener(const TCPListener&) = delete;
    TCPListener& operator=(const TCPListener&) = delete;

    // The port is chosen by Listen; kept for the interface, does nothing.
    virtual int SetPort(uint16_t port);
    virtual int Close() = 0;
    // Port 0 picks the first free port from 49152 up.
    virtual int Listen(uint16_t port) = 0;
    // Accepts every queued connection, sends it the message and closes it.
    virtual int RejectPending(const char* message) = 0;

    uint16_t GetPort() const { return port_; }
    uint32_t GetListeningAddress() const { return localAddress_; }
    TCPListenerClient* GetListenerClient() const { return listenerClient_; }

  protected:
    uint16_t port_ = 0;
    uint32_t localAddress_ = 0;
    TCPListenerClient* listenerClient_;  // non-owning
};
