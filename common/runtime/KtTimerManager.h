// Base of every object that owns timers: ties it to one KtTimerGroup, either
// shared with the rest of its thread (the normal case) or private, for an
// object that runs a timer-only thread of its own. The manager does not stop
// its client's timers on destruction: each client stops its own handles.
#pragma once

#include <memory>

#include "common/runtime/KtTimerGroup.h"

class KtTimerManager : public KtTimerClient {
  public:
    explicit KtTimerManager(KtTimerGroup* shared) : group_(shared) {}
    KtTimerManager() : owned_(std::make_unique<KtTimerGroup>()), group_(owned_.get()) {}
    virtual ~KtTimerManager() = default;
    KtTimerManager(const KtTimerManager&) = delete;
    KtTimerManager& operator=(const KtTimerManager&) = delete;

    KtTimerGroup* GetTimerGroup() const { return group_; }

  protected:
    // Convenience wrappers for the common case of a timer of this object.
    void StartTimer(KtTimerHandle* handle, uint32_t delayMs, void* argument = nullptr) {
        group_->StartTimer(this, handle, delayMs, argument);
    }
    void StopTimer(KtTimerHandle* handle) { group_->StopTimer(handle); }

  private:
    std::unique_ptr<KtTimerGroup> owned_;
    KtTimerGroup* group_;  // owned_ when private, else the thread's shared group
};
