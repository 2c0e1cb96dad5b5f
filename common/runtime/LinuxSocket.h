// A TCP stream socket driven by a SelectManager: connects (blocking or
// asynchronously), carries data for one TCPDataClient, and reports the
// connection's outcome and its loss exactly once each. It owns its
// descriptor and its receive block; manager and client are non-owning.
// Used on the manager's loop thread; Attach and the resolver's answer may
// come from other threads and take the user's external mutex.
//
// Flow control is by interest: read interest stays on only while the client
// reads during its OnReadable, write interest only while it writes during its
// OnWritable; Read and Write switch them back on.
#pragma once

#include <netdb.h>

#include <cstdint>
#include <string>

#include "common/runtime/SelectManager.h"
#include "common/runtime/SelectManagerClient.h"
#include "common/runtime/SocketError.h"
#include "common/runtime/TCPDataServer.h"

class LinuxSocket : public TCPDataServer, public SelectManagerClient {
  public:
    enum State {
        // No descriptor. -> CONNECTING or RESOLVING (ConnectAsync),
        // -> CONNECTED (Connect, Attach).
        STATE_CLOSED = 0,
        // Data flows. -> CLOSED on Close, an error event or end of stream.
        STATE_CONNECTED = 1,
        // Descriptor made and bound, the host name is with the resolver.
        // -> CONNECTING once an address is known, -> CLOSED on failure or Close.
        STATE_RESOLVING = 2,
        // connect() in progress, waiting for writability.
        // -> CONNECTED on success, -> CLOSED on failure or Close.
        STATE_CONNECTING = 3,
    };

    LinuxSocket(SelectManager* manager, TCPDataClient* client,
                std::recursive_mutex* mutex = nullptr);
    ~LinuxSocket() override;

    int EnableEvents(int read, int write) override;
    int DisableEvents(int read, int write) override;
    int Close() override;
    int Bind(uint16_t port) override;
    int Write(const char* data, uint16_t length) override;
    int Read(char* buffer, uint16_t length) override;
    int ReadBuffer(void** out, uint16_t length) override;
    int Peek(char* buffer, uint16_t length) override;
    int PeekBuffered(void** out, uint16_t length) override;
    uint16_t GetRemotePort() override { return remote_.port; }
    const IPAddress* GetRemoteAddress() override { return &remote_; }
    const IPAddress* GetLocalAddress() override { return &local_; }
    bool IsOpen() override { return state_ == STATE_CONNECTED; }
    int GetLastError() override { return lastError_; }

    int Connect(const char* host, uint16_t port, IPAddress* resolved) override;
    int ConnectAsync(const char* host, uint16_t port) override;
    int GetStatus() override;
    bool IsConnecting() override;
    int Attach(TCPListener* listener, const IPAddress* local, const IPAddress* remote,
               int* descriptor) override;
    int GetReceiveBufferSize() override { return GetBufferSize(SO_RCVBUF); }
    int SetReceiveBufferSize(int size) override { return SetBufferSize(SO_RCVBUF, size); }
    int GetSendBufferSize() override { return GetBufferSize(SO_SNDBUF); }
    int SetSendBufferSize(int size) override { return SetBufferSize(SO_SNDBUF, size); }
    int SetKeepAlive(int on) override;
    int BytesAvailable() override;
    int SetNoDelay(int on) override;

    // Datagram calls on the stream descriptor.
    virtual int SendTo(const void* data, uint16_t length, const IPAddress* to);
    virtual int ReceiveFrom(void* buffer, uint16_t length, IPAddress* from);
    virtual int GetDescriptor() { return descriptor_; }

    void OnSelect(int fd, int events) override;

    // The resolver's answer to StartNameLookup, on the loop thread. Status 0
    // with an IPv4 host entry continues the connect; anything else ends it
    // with OnConnect(IPERR_BAD_ADDRESS).
    void OnNameResolved(int status, const hostent* host);

    int GetState() const { return state_; }

  protected:
    // The hand-over of a host name that is not a dotted quad to the resolver
    // (GetHost()); the only place that knows about it. 0: the answer comes
    // later through OnNameResolved; negative: the code ConnectAsync returns.
    // No resolver is present yet, so no name resolves.
    virtual int StartNameLookup();
    // Withdraws a pending lookup so that no answer reaches a closed socket.
    virtual void CancelNameLookup() {}
    const std::string& GetHost() const { return host_; }

    int OpenDescriptor();
    // Forgets all interest, unregisters, shuts down and closes the
    // descriptor; state closed, remote address cleared.
    int CloseDescriptor();
    void Register();
    void Unregister();
    bool StillConnected(unsigned serial) const {
        return serial == serial_ && state_ == STATE_CONNECTED;
    }

    int descriptor_ = -1;
    int state_ = STATE_CLOSED;
    IPAddress remote_;
    IPAddress local_;
    int lastError_ = 0;
    // Changes whenever a descriptor is taken or given up, so that code after
    // a client callback can tell that the client closed or reopened us.
    unsigned serial_ = 0;

  private:
    int ConnectNow();
    // The common start of both connects: refuses a connected socket, drops
    // an attempt under way, opens and binds a fresh descriptor.
    int PrepareConnect(const char* host);
    bool FinishConnect(int events);
    void HandleReadiness(int events);
    int Receive(char* buffer, uint16_t length, int flags);
    int Send(const void* data, uint16_t length, const sockaddr* to, socklen_t toLength);
    bool GrowBuffer(uint16_t length);
    int GetBufferSize(int option);
    int SetBufferSize(int option, int size);
    bool ResolveBlocking(const char* host, uint32_t* address);
    void DropReceiveBuffer();

    std::string host_;
    char* receiveBuffer_ = nullptr;  // malloc()ed, owned
    size_t receiveCapacity_ = 0;
    // -1: the client did not receive (send) during this dispatch.
    int receivedThisPass_ = -1;
    int sentThisPass_ = -1;
};
