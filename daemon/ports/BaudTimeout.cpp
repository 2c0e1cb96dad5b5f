#include "daemon/ports/BaudTimeout.h"

#include <algorithm>

#include "common/runtime/ClockSource.h"
#include "daemon/ports/VirtualUARTChannel.h"
#include "daemon/ports/VirtualUARTClient.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// 0 marks "none" in the tick fields; a real tick of 0 is taken as 1 so that
// a window or pause that starts at that moment is not lost.
uint32_t NonZeroTick(uint32_t tick) {
    return tick == 0 ? 1 : tick;
}

}  // namespace

BaudTimeout::BaudTimeout(VirtualUARTChannel* channel, KtTimerGroup* group)
    : KtTimerManager(group), channel_(channel) {}

BaudTimeout::~BaudTimeout() {
    Lock lock(mutex_);
    StopTimer(&pauseTimer_);
    StopTimer(&idleTimer_);
}

bool BaudTimeout::CanSend() {
    Lock lock(mutex_);
    if (pauseTimer_ == nullptr) {
        return true;
    }
    if (!TickReached(TickCountMs(), pauseStart_ + pauseLength_)) {
        return false;
    }
    pauseStart_ = 0;
    StopTimer(&pauseTimer_);
    return true;
}

int BaudTimeout::Allowance(int length) {
    Lock lock(mutex_);
    if (rate_ == 0) {
        return length;
    }
    return std::min(length, rate_ * kAllowanceMs / 100);
}

void BaudTimeout::Consumed(int bytes) {
    Lock lock(mutex_);
    if (rate_ == 0) {
        return;
    }
    uint32_t now = TickCountMs();
    sentInWindow_ += static_cast<uint64_t>(std::max(bytes, 0));
    if (windowStart_ == 0) {
        windowStart_ = NonZeroTick(now);
    }
    uint64_t due = sentInWindow_ * 100 / static_cast<uint64_t>(rate_);
    uint64_t elapsed = static_cast<uint32_t>(now - windowStart_);
    if (elapsed < due && due - elapsed > kMinPauseMs) {
        pauseLength_ = static_cast<uint32_t>(due - elapsed - kPauseLeadMs);
        pauseStart_ = NonZeroTick(now);
        StopTimer(&pauseTimer_);
        StartTimer(&pauseTimer_, pauseLength_);
        StopTimer(&idleTimer_);
        // A loop waiting in poll() must recompute its time-out.
        Signal();
    } else if (idleTimer_ == nullptr) {
        StartTimer(&idleTimer_, kIdleWindowMs);
    }
}

void BaudTimeout::Reset() {
    Lock lock(mutex_);
    rate_ = 0;
    sentInWindow_ = 0;
    windowStart_ = 0;
    pauseStart_ = 0;
    StopTimer(&pauseTimer_);
    StopTimer(&idleTimer_);
}

void BaudTimeout::ResetWindow() {
    Lock lock(mutex_);
    sentInWindow_ = 0;
    windowStart_ = 0;
}

void BaudTimeout::SetRate(int rate) {
    Lock lock(mutex_);
    rate_ = std::max(rate, 0);
}

int BaudTimeout::GetRate() {
    Lock lock(mutex_);
    return rate_;
}

bool BaudTimeout::IsPaused() {
    Lock lock(mutex_);
    return pauseTimer_ != nullptr;
}

void BaudTimeout::OnTimer(KtTimerHandle timer, void*) {
    // Taken once, so that the client unlocked is the one that was locked
    // even if the channel is re-assigned meanwhile.
    VirtualUARTClient* destination = channel_->GetDestination();
    if (destination != nullptr) {
        destination->Lock();
    }
    bool resume = false;
    {
        Lock lock(mutex_);
        if (timer == pauseTimer_) {
            pauseTimer_ = nullptr;
            pauseStart_ = 0;
            resume = true;
        } else if (timer == idleTimer_) {
            idleTimer_ = nullptr;
            sentInWindow_ = 0;
            windowStart_ = 0;
        }
    }
    if (resume) {
        // The writer sends again; the driver side reads the pseudo-terminal.
        channel_->ResumeSource(1);
        Lock lock(mutex_);
        if (pauseTimer_ != nullptr) {
            StartTimer(&idleTimer_, kIdleWindowMs);
        }
    }
    if (destination != nullptr) {
        destination->Unlock();
    }
}
