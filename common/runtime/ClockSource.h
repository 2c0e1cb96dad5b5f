// The library clock: milliseconds as an unsigned 32-bit count that wraps.
// Every timer of the system reads time through TickCountMs(), which asks the
// process-wide ClockSource; tests install their own source to move time by
// hand instead of sleeping. Safe to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>

class ClockSource {
  public:
    virtual ~ClockSource() = default;
    virtual uint32_t NowMs() = 0;

    // Replaces the process-wide source; nullptr restores the monotonic clock.
    // The caller keeps ownership and must restore before destroying it.
    static void Install(ClockSource* source);
    static ClockSource& Current();
};

// Monotonic clock: an NTP step or a manual change of the date must not fire
// every timer at once or stall them, so the count follows CLOCK_MONOTONIC.
// The first reading of the process lies between 0 and 999.
class MonotonicClock : public ClockSource {
  public:
    uint32_t NowMs() override;

  private:
    std::atomic<int64_t> baseSeconds_{-1};
};

// A clock that only moves when told to; for tests.
class ManualClock : public ClockSource {
  public:
    explicit ManualClock(uint32_t start = 0) : now_(start) {}
    uint32_t NowMs() override { return now_.load(); }
    void Set(uint32_t now) { now_.store(now); }
    void Advance(uint32_t ms) { now_.fetch_add(ms); }

  private:
    std::atomic<uint32_t> now_;
};

uint32_t TickCountMs();

// Wrap-safe comparison: true when `now` has reached `expiry`, reading the
// difference modulo 2^32 as a signed number.
inline bool TickReached(uint32_t now, uint32_t expiry) {
    return static_cast<int32_t>(now - expiry) >= 0;
}
