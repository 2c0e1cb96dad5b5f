// One direction of a port's data path: delivers bytes from its source client
// to its destination client, masks them to the character size, paces them
// when the network side asks for it, traces them and remembers when the
// receiver took less than offered. Owned by its VirtualUART; owns its
// BaudTimeout. Write, PullFromPeer and ResumeSource run on the port thread;
// the UART re-assigns the two clients from the thread of the open or close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "daemon/ports/BaudTimeout.h"
#include "daemon/ports/VirtualUARTHeapObject.h"

class VirtualUART;
class VirtualUARTClient;

class VirtualUARTChannel : public VirtualUARTHeapObject {
  public:
    enum Flag : unsigned {
        // The destination accepted less than was offered at the last write.
        kBlocked = 0x1,
        // Bytes passed the other channel (informational).
        kActivity = 0x2,
    };
    // ToDriver carries server data to the application, ToDevice the
    // application's data to the server.
    enum class Direction { ToDriver, ToDevice };

    // owner: non-owning back-reference; the pacing timers go on `group`.
    VirtualUARTChannel(VirtualUART* owner, Direction direction, KtTimerGroup* group);
    ~VirtualUARTChannel() override;
    VirtualUARTChannel(const VirtualUARTChannel&) = delete;
    VirtualUARTChannel& operator=(const VirtualUARTChannel&) = delete;

    // Offers bytes to the destination; returns how many it took. Without
    // both clients the bytes are dropped and reported as delivered.
    int Write(const uint8_t* bytes, int length);

    void SetBlocked(bool blocked);
    bool IsBlocked() const { return (flags_.load() & kBlocked) != 0; }
    // Whether the other channel of the same UART is blocked.
    bool IsPeerBlocked() const;
    void SetActivity(bool active);
    bool HasActivity() const { return (flags_.load() & kActivity) != 0; }
    unsigned GetFlags() const { return flags_.load(); }

    // Asks the destination (PullFromPeer) or the source (ResumeSource) to
    // send what it holds; returns what it delivered.
    int PullFromPeer(int reason);
    int ResumeSource(int reason);

    void ReportLineErrors(unsigned bits);

    // Pacing at the owner's baud rate, switched by the network side.
    void EnableThrottle(bool on);
    bool IsThrottled() const { return throttleOn_.load(); }

    // Re-assigned by the owning UART only. A new client starts the channel
    // afresh; losing the source also ends its pacing.
    void SetSource(VirtualUARTClient* client);
    void SetDestination(VirtualUARTClient* client);
    VirtualUARTClient* GetSource() const { return source_.load(); }
    VirtualUARTClient* GetDestination() const { return destination_.load(); }

    VirtualUART* GetOwner() const { return owner_; }
    Direction GetDirection() const { return direction_; }
    BaudTimeout& Pacing() { return pacing_; }

  private:
    VirtualUARTChannel& Peer() const;
    void Restart();
    // Delivers n bytes, masked to the character size when it is below 8
    // bits; `delivered` is set to the bytes as the destination saw them.
    int Deliver(VirtualUARTClient* destination, const uint8_t* bytes, int n, uint8_t* scratch,
                std::unique_ptr<uint8_t[]>& large, const uint8_t** delivered);

    VirtualUART* owner_;  // non-owning
    const Direction direction_;
    std::atomic<VirtualUARTClient*> source_{nullptr};       // non-owning
    std::atomic<VirtualUARTClient*> destination_{nullptr};  // non-owning
    BaudTimeout pacing_;
    std::atomic<bool> throttleOn_{false};
    std::atomic<unsigned> flags_{kActivity};
};
