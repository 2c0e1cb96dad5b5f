// A UDP socket driven by a SelectManager, for one IPDataClient: opened by
// Bind, it sends to and receives from explicit addresses and tells its
// client when it can read or write. It owns its descriptor; manager and
// client are non-owning. Used on the manager's loop thread. An error event
// closes it without a report; the client learns of it from IPERR_NOT_OPEN.
#pragma once

#include <cstdint>

#include "common/runtime/SelectManager.h"
#include "common/runtime/SelectManagerClient.h"
#include "common/runtime/SocketError.h"
#include "common/runtime/UDPDataServer.h"

class UDPSocket : public UDPDataServer, public SelectManagerClient {
  public:
    UDPSocket(SelectManager* manager, IPDataClient* client, std::recursive_mutex* mutex = nullptr);
    ~UDPSocket() override;

    // Opens the socket on all local addresses at `port` (0: any free port).
    int Bind(uint16_t port) override;
    int Close() override;
    int EnableEvents(int read, int write) override;
    int DisableEvents(int read, int write) override;

    int SendTo(const void* data, uint16_t length, const IPAddress* to) override;
    int ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) override;
    // Receives into the last-sender address.
    int Read(char* buffer, uint16_t length) override;
    // Streams only: IPERR_UNSUPPORTED.
    int Write(const char*, uint16_t) override { return IPERR_UNSUPPORTED; }
    int ReadBuffer(void**, uint16_t) override { return IPERR_UNSUPPORTED; }
    int Peek(char*, uint16_t) override { return IPERR_UNSUPPORTED; }
    int PeekBuffered(void**, uint16_t) override { return IPERR_UNSUPPORTED; }

    uint16_t GetRemotePort() override { return lastSender_.port; }
    const IPAddress* GetRemoteAddress() override { return &lastSender_; }
    const IPAddress* GetLocalAddress() override { return &local_; }
    bool IsOpen() override { return descriptor_ >= 0; }
    int GetLastError() override { return lastError_; }
    int GetDescriptor() const { return descriptor_; }

    void OnSelect(int fd, int events) override;

  private:
    static int Mask(int read, int write) {
        return (read ? SELECT_READ : 0) | (write ? SELECT_WRITE : 0);
    }

    IPAddress lastSender_;
    IPAddress local_;
    int lastError_ = 0;
    int descriptor_ = -1;
    // Changes with every open and close; see LinuxSocket.
    unsigned serial_ = 0;
};
