// The client of a TCP data server: besides readiness it hears the outcome of
// a connection attempt (or of an accepted connection) and the loss of the
// connection, each exactly once, on the server's event-loop thread. The
// server is already closed when either failure report arrives.
#pragma once

#include <cstdint>

#include "common/runtime/IPAddress.h"
#include "common/runtime/IPDataClient.h"

class TCPDataClient : public IPDataClient {
  public:
    // reason 0: closed after an error event; IPERR_NETWORK: lost.
    virtual void OnClose(int reason) = 0;
    // result 0: connected. port: the remote port of an outgoing connection,
    // the local port of an accepted one.
    virtual void OnConnect(int result, const IPAddress* remote, uint16_t port) = 0;

  protected:
    ~TCPDataClient() = default;
};
