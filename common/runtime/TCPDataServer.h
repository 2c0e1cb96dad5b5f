// A stream data server: the IPDataServer operations plus connecting (blocking
// or asynchronous), taking over an accepted connection, and the TCP options.
// Its client is a TCPDataClient, kept in the base as a non-owning pointer.
// Used on its event loop's thread; Attach may come from a listener's thread.
#pragma once

#include <cstdint>

#include "common/runtime/IPDataServer.h"
#include "common/runtime/TCPDataClient.h"

class TCPListener;

class TCPDataServer : public IPDataServer {
  public:
    TCPDataServer(TCPDataClient* client, std::recursive_mutex* mutex)
        : IPDataServer(client, mutex) {}

    // Blocking: resolves, connects and returns 0 with *resolved filled.
    virtual int Connect(const char* host, uint16_t port, IPAddress* resolved) = 0;
    // 0: the attempt runs and its outcome arrives once through OnConnect.
    virtual int ConnectAsync(const char* host, uint16_t port) = 0;
    // IPERR_NOT_OPEN closed, IPERR_ALREADY_OPEN connected,
    // IPERR_UNSUPPORTED while a connection is being set up.
    virtual int GetStatus() = 0;
    virtual bool IsConnecting() = 0;
    // The listener lets go of a server it was told about; base: nothing, 0.
    virtual int Detach(TCPListener* listener);
    // Takes over an accepted connection: *descriptor becomes the server's
    // (and -1 for the caller) and the client hears OnConnect(0). A null or
    // negative descriptor only asks whether the server is free to take one.
    // IPERR_REFUSED when the server already has a descriptor.
    virtual int Attach(TCPListener* listener, const IPAddress* local, const IPAddress* remote,
                       int* descriptor) = 0;

    virtual int GetReceiveBufferSize() = 0;
    virtual int SetReceiveBufferSize(int size) = 0;
    virtual int GetSendBufferSize() = 0;
    virtual int SetSendBufferSize(int size) = 0;
    virtual int SetKeepAlive(int on) = 0;
    virtual int BytesAvailable() = 0;
    virtual int SetNoDelay(int on) = 0;

    // The socket at the bottom of a chain of pipes; a socket is its own.
    virtual TCPDataServer* GetTCPDataServer() { return this; }

  protected:
    TCPDataClient* TCPClient() const { return static_cast<TCPDataClient*>(client_); }
};
