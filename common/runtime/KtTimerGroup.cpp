#include "common/runtime/KtTimerGroup.h"

#include "common/runtime/ClockSource.h"

using Lock = std::lock_guard<std::recursive_mutex>;

void KtTimerGroup::FreeSlot(KtTimerSlot* slot) {
    slot->expiry = KtTimerSlot::kFree;
    slot->client = nullptr;
    slot->argument = nullptr;
}

void KtTimerGroup::TrimEnd() {
    while (end_ > slots_ && end_[-1].expiry == KtTimerSlot::kFree && !end_[-1].busy) {
        --end_;
    }
}

void KtTimerGroup::StartTimer(KtTimerClient* client, KtTimerHandle* handle, uint32_t delayMs,
                              void* argument) {
    if (handle == nullptr) {
        return;
    }
    Lock lock(mutex_);
    KtTimerSlot* old = *handle;
    KtTimerSlot* fresh = nullptr;
    if (client != nullptr) {
        for (int i = 0; i < kUsableSlots; ++i) {
            KtTimerSlot& s = slots_[i];
            if (s.expiry == KtTimerSlot::kFree && !s.busy) {
                fresh = &s;
                break;
            }
        }
    }
    if (fresh != nullptr) {
        uint32_t expiry = TickCountMs() + delayMs;
        fresh->expiry = expiry == KtTimerSlot::kFree ? KtTimerSlot::kFree - 1 : expiry;
        fresh->client = client;
        fresh->argument = argument;
        if (fresh >= end_) {
            end_ = fresh + 1;
        }
        // Guards the new slot against the cancellation below, should the old
        // handle name the very same slot.
        fresh->busy = true;
    }
    if (old != nullptr && !old->busy) {
        FreeSlot(old);
    }
    // The handle is set before the busy mark clears, so that a zero-delay
    // timer started from another thread cannot fire before its owner can
    // recognise the handle.
    *handle = fresh;
    if (fresh != nullptr) {
        fresh->busy = false;
    }
    TrimEnd();
}

void KtTimerGroup::StopTimer(KtTimerHandle* handle) {
    if (handle == nullptr) {
        return;
    }
    Lock lock(mutex_);
    KtTimerSlot* slot = *handle;
    if (slot == nullptr) {
        return;
    }
    if (!slot->busy) {
        FreeSlot(slot);
        TrimEnd();
    }
    *handle = nullptr;
}

void KtTimerGroup::StopAllTimers(KtTimerClient* client) {
    Lock lock(mutex_);
    for (KtTimerSlot* s = slots_; s < end_; ++s) {
        if (s->client == client && s->expiry != KtTimerSlot::kFree) {
            // A firing slot keeps its busy mark so that nobody takes it over
            // before its callback has returned.
            FreeSlot(s);
        }
    }
    TrimEnd();
}

uint32_t KtTimerGroup::TimeToNextTimer() {
    uint32_t now = TickCountMs();
    Lock lock(mutex_);
    uint32_t result = kNoTimer;
    for (KtTimerSlot* s = slots_; s < end_; ++s) {
        if (s->expiry == KtTimerSlot::kFree) {
            continue;
        }
        if (TickReached(now, s->expiry)) {
            return 0;
        }
        uint32_t remaining = s->expiry - now;
        if (remaining < result) {
            result = remaining;
        }
    }
    return result;
}

void KtTimerGroup::RunExpiredTimers(bool waitWhenIdle) {
    uint32_t now = TickCountMs();
    event_.Clear();
    int fired = 0;
    {
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        for (KtTimerSlot* s = slots_; s < end_; ++s) {
            if (s->busy || s->expiry == KtTimerSlot::kFree || !TickReached(now, s->expiry)) {
                continue;
            }
            ++fired;
            s->busy = true;
            KtTimerClient* client = s->client;
            void* argument = s->argument;
            lock.unlock();
            if (client != nullptr) {
                client->OnTimer(s, argument);
            }
            lock.lock();
            FreeSlot(s);
            s->busy = false;
        }
        TrimEnd();
    }
    if (fired == 0 && waitWhenIdle) {
        // A due slot that is busy on another pass would otherwise make the
        // caller's loop spin.
        event_.Wait(1);
    }
}

uint32_t KtTimerGroup::WaitForTimers() {
    uint32_t t = TimeToNextTimer();
    if (t == 0) {
        return 0;
    }
    event_.Wait(t);
    event_.Clear();
    return TimeToNextTimer();
}

int KtTimerGroup::ActiveTimers() {
    Lock lock(mutex_);
    int n = 0;
    for (KtTimerSlot* s = slots_; s < end_; ++s) {
        if (s->expiry != KtTimerSlot::kFree || s->busy) {
            ++n;
        }
    }
    return n;
}
