// Paces one VirtualUARTChannel at the port's baud rate, so that a device
// server's serial buffer is not flooded by a network that is much faster
// than its line. Owned by its channel; its two timers live on the UART's
// group. Write-side calls (CanSend, Allowance, Consumed) and the timers run
// on the port thread; Reset, ResetWindow and SetRate may come from any
// thread. A mutex of its own guards the counters.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/runtime/KtTimerManager.h"

class VirtualUARTChannel;

class BaudTimeout : public KtTimerManager {
  public:
    // A write may carry at most 250 ms worth of data.
    static constexpr int kAllowanceMs = 250;
    // Pauses this short are not worth a timer: short bursts slightly ahead
    // of schedule pass.
    static constexpr uint32_t kMinPauseMs = 15;
    // A pause ends this much before the schedule, so the line never idles.
    static constexpr uint32_t kPauseLeadMs = 2;
    // Without a pause for this long, the next write starts a new window.
    static constexpr uint32_t kIdleWindowMs = 300;

    // channel: non-owning back-reference to the owner.
    BaudTimeout(VirtualUARTChannel* channel, KtTimerGroup* group);
    ~BaudTimeout() override;

    // Bytes per 100 ms for a line speed: 10 bits a character plus 20 %.
    static int RateForBaud(int baud) { return baud * 6 / 500; }

    // False while a pause is running.
    bool CanSend();
    // How much of `length` the next write may carry.
    int Allowance(int length);
    // `bytes` went out; may start a pause. Called under the destination's
    // lock.
    void Consumed(int bytes);

    // Pacing off, counters cleared, timers stopped: the channel lost its
    // source.
    void Reset();
    // The receiver's buffer overflowed: start measuring afresh.
    void ResetWindow();
    // 0 turns pacing off.
    void SetRate(int rate);
    int GetRate();
    bool IsPaused();

    void OnTimer(KtTimerHandle timer, void* argument) override;

  private:
    void Signal() { GetTimerGroup()->GetEvent().Signal(); }

    VirtualUARTChannel* channel_;  // non-owning: the owner
    std::recursive_mutex mutex_;
    KtTimerHandle pauseTimer_ = nullptr;
    KtTimerHandle idleTimer_ = nullptr;
    uint32_t pauseStart_ = 0;   // tick, 0 = no pause
    uint32_t pauseLength_ = 0;  // ms
    uint32_t windowStart_ = 0;  // tick, 0 = no window
    uint64_t sentInWindow_ = 0;
    int rate_ = 0;  // bytes per 100 ms, 0 = off
};
