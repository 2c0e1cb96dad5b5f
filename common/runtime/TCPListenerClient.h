// Whoever takes the connections a TCPListener accepts: asked, on the
// listener's event-loop thread, for the data server that is to carry each
// one. The listener neither owns nor deletes what it is given.
#pragma once

#include "common/runtime/IPAddress.h"

class TCPDataServer;
class TCPListener;

class TCPListenerClient {
  public:
    // The server to attach the connection to, or null to refuse it.
    virtual TCPDataServer* CreateDataClient(TCPListener* listener, const IPAddress* local,
                                            const IPAddress* remote) = 0;

  protected:
    ~TCPListenerClient() = default;
};
