// One thread's table of one-shot millisecond timers. The group owns its slot
// table and its wake-up event; clients hold handles (pointers to slots) in
// variables of their own. StartTimer/StopTimer/StopAllTimers may be called
// from any thread; RunExpiredTimers, TimeToNextTimer and WaitForTimers only
// from the thread that owns the group. Callbacks run without the group's lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/runtime/UnixEvent.h"

// Empty base shared by the classes of the timer module.
class KtTimerHeapObject {};

class KtTimerClient;

struct KtTimerSlot {
    // Free slots carry this expiry; a computed expiry equal to it is stored
    // one lower so that an armed slot is never mistaken for a free one.
    static constexpr uint32_t kFree = 0xFFFFFFFFu;

    uint32_t expiry = kFree;
    KtTimerClient* client = nullptr;  // non-owning
    void* argument = nullptr;
    bool busy = false;  // set while the slot's callback runs or it is being handed out
};

using KtTimerHandle = KtTimerSlot*;

class KtTimerClient {
  public:
    // Runs on the group's thread. The client matches `timer` against its
    // handles, clears the matching one and acts; the slot is freed on return.
    virtual void OnTimer(KtTimerHandle timer, void* argument) = 0;

  protected:
    ~KtTimerClient() = default;
};

class KtTimerGroup : public KtTimerHeapObject {
  public:
    static constexpr int kSlotCount = 4096;
    // The last slot is never handed out, so at most 4095 timers run at once.
    static constexpr int kUsableSlots = kSlotCount - 1;
    static constexpr uint32_t kNoTimer = 0xFFFFFFFFu;

    KtTimerGroup() = default;
    virtual ~KtTimerGroup() = default;
    KtTimerGroup(const KtTimerGroup&) = delete;
    KtTimerGroup& operator=(const KtTimerGroup&) = delete;

    // (Re)starts the timer named by *handle. With no free slot the handle is
    // left null, the old timer still cancelled.
    void StartTimer(KtTimerClient* client, KtTimerHandle* handle, uint32_t delayMs, void* argument);
    void StopTimer(KtTimerHandle* handle);
    void StopAllTimers(KtTimerClient* client);

    // 0 when a timer is due, else ms until the earliest one, kNoTimer if none.
    uint32_t TimeToNextTimer();
    // With waitWhenIdle, a call that fires nothing waits up to 1 ms, so that
    // a loop told "due now" about a slot busy on another pass cannot spin.
    // The descriptor loop passes false after poll(): there the wait only
    // added a millisecond to every dispatched event.
    void RunExpiredTimers(bool waitWhenIdle = true);
    // For threads with timers but no descriptors.
    uint32_t WaitForTimers();

    UnixEvent& GetEvent() { return event_; }

    // Number of slots armed or firing; for tests and diagnostics.
    int ActiveTimers();

  private:
    void FreeSlot(KtTimerSlot* slot);
    void TrimEnd();

    std::recursive_mutex mutex_;
    KtTimerSlot slots_[kSlotCount];
    KtTimerSlot* end_ = slots_;
    UnixEvent event_;
};
