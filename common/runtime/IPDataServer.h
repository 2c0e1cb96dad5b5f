// The operations every data server offers its client: sockets and the pipe
// layers stacked on them. It holds the client (non-owning), the two
// notification flags and an optional external mutex owned by the user, which
// Lock/Unlock take so that a user on another thread can hold a whole chain.
// Servers are used on their event loop's thread unless their user locks.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/runtime/IPAddress.h"
#include "common/runtime/IPDataClient.h"

class IPDataServer {
  public:
    // Notification flag bits.
    static constexpr int kReadFlag = 1;
    static constexpr int kWriteFlag = 2;

    IPDataServer(IPDataClient* client, std::recursive_mutex* mutex)
        : client_(client), mutex_(mutex) {}
    virtual ~IPDataServer() = default;
    IPDataServer(const IPDataServer&) = delete;
    IPDataServer& operator=(const IPDataServer&) = delete;

    virtual void Lock();
    virtual void Unlock();

    // Base: set or clear the named flag bits; 1.
    virtual int EnableEvents(int read, int write);
    virtual int DisableEvents(int read, int write);

    virtual int Close() = 0;
    virtual int Bind(uint16_t port) = 0;

    // Lengths are 16-bit: one call moves at most 65535 bytes. Results are
    // byte counts or negative codes of SocketError.
    virtual int Write(const char* data, uint16_t length) = 0;
    virtual int Read(char* buffer, uint16_t length) = 0;
    // Into the server's own block, grown as needed; *out points at it.
    virtual int ReadBuffer(void** out, uint16_t length) = 0;
    virtual int Peek(char* buffer, uint16_t length) = 0;
    virtual int PeekBuffered(void** out, uint16_t length) = 0;

    virtual uint16_t GetRemotePort() = 0;
    virtual const IPAddress* GetRemoteAddress() = 0;
    virtual const IPAddress* GetLocalAddress() = 0;

    virtual bool IsOpen() = 0;
    // The last errno, or resolver status, the server saw.
    virtual int GetLastError() = 0;

    int GetEventFlags() const { return eventFlags_; }
    IPDataClient* GetClient() const { return client_; }
    std::recursive_mutex* GetMutex() const { return mutex_; }

  protected:
    IPDataClient* client_;  // non-owning
    int eventFlags_ = 0;
    std::recursive_mutex* mutex_;  // non-owning; null when the user gave none
};

// Holds a server's external mutex, if it has one, for a scope. Works on a
// copy of the pointer, so the server may be gone when the scope ends (a
// client may let go of it from the callback made under the lock).
class ExternalLock {
  public:
    explicit ExternalLock(std::recursive_mutex* mutex) : mutex_(mutex) {
        if (mutex_ != nullptr) {
            mutex_->lock();
        }
    }
    ~ExternalLock() {
        if (mutex_ != nullptr) {
            mutex_->unlock();
        }
    }
    ExternalLock(const ExternalLock&) = delete;
    ExternalLock& operator=(const ExternalLock&) = delete;

  private:
    std::recursive_mutex* mutex_;  // non-owning
};
