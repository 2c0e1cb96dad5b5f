// The stream form of IPDataPipe: a TCPDataServer to its user, the
// TCPDataClient of the server below, forwarding the TCP operations as well.
// Connection results and losses always reach the outer client. Protocol
// layers (the Telnet engine) derive from it. Owns the inner server; used on
// its event loop's thread.
#pragma once

#include "common/runtime/IPDataPipe.h"
#include "common/runtime/TCPDataServer.h"
#include "common/runtime/TCPDataServerFactory.h"

class TCPDataPipe : public IPDataPipe<TCPDataClient, TCPDataServer> {
  public:
    TCPDataPipe(TCPDataClient* outer, TCPDataServerFactory* factory, SelectManager* manager,
                std::recursive_mutex* mutex);

    int Connect(const char* host, uint16_t port, IPAddress* resolved) override;
    int ConnectAsync(const char* host, uint16_t port) override;
    int GetStatus() override;
    bool IsConnecting() override;
    int Detach(TCPListener* listener) override;
    int Attach(TCPListener* listener, const IPAddress* local, const IPAddress* remote,
               int* descriptor) override;
    int GetReceiveBufferSize() override;
    int SetReceiveBufferSize(int size) override;
    int GetSendBufferSize() override;
    int SetSendBufferSize(int size) override;
    int SetKeepAlive(int on) override;
    int BytesAvailable() override;
    int SetNoDelay(int on) override;
    TCPDataServer* GetTCPDataServer() override;

    void OnClose(int reason) override;
    void OnConnect(int result, const IPAddress* remote, uint16_t port) override;
};
