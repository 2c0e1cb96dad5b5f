// The descriptor half of a thread's event loop: watches descriptors with
// poll() and dispatches readiness to the SelectManagerClient that owns each.
// Registration and interest changes may come from any thread (each ends by
// signalling the group's wake-up event); Poll and every callback run on the
// loop's thread. The group is shared, not owned.
#pragma once

#include <poll.h>
#include <signal.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "common/runtime/KtTimerManager.h"

enum SelectBits { SELECT_READ = 1, SELECT_WRITE = 2, SELECT_ERROR = 4 };

class SelectManagerClient;

class SelectManager : public KtTimerManager {
  public:
    explicit SelectManager(KtTimerGroup* group);
    ~SelectManager() override;

    bool AddClient(SelectManagerClient* client);
    bool RemoveClient(SelectManagerClient* client);

    // One pass: wait up to timeoutMs (negative: no limit), fire due timers,
    // dispatch readiness. True while anything but the wake-up pipe is watched.
    bool Poll(int timeoutMs);

    // The manager's side of SelectManagerClient::AddSelect/RemoveSelect.
    bool AddInterest(SelectManagerClient* client, int fd, int mask);
    bool UpdateInterest(SelectManagerClient* client, int fd, int mask);

    // Signals that may interrupt the wait: the loop's thread keeps them
    // blocked at all other times, so a handler never runs while this thread
    // holds a lock. Null (the default) leaves the thread's mask alone.
    void SetWaitSignalMask(const sigset_t* mask);

    void OnTimer(KtTimerHandle, void*) override {}

    // Descriptors currently in the poll array, wake-up pipe first; for tests.
    std::vector<int> WatchedDescriptors();

  private:
    using PollArray = std::vector<pollfd>;

    PollArray& LiveArray() { return pending_ ? *pending_ : current_; }
    void Rebuild(const std::set<int>& drop, int add);
    static short ToPollEvents(int mask);
    // Tells every client that poll() itself failed.
    void NotifyPollFailure();

    std::recursive_mutex mutex_;
    std::map<int, SelectManagerClient*> owners_;
    std::set<SelectManagerClient*> clients_;
    std::map<int, size_t> entries_;  // descriptor -> index in LiveArray()
    PollArray current_;
    // A rebuilt array waiting to become current at the start of the next
    // pass; the current one is never touched in size while poll() may use it.
    std::unique_ptr<PollArray> pending_;
    int wakeFd_;
    // Descriptors dropped while a pass dispatches: they get no further
    // callback in that pass, even if registered again meanwhile.
    bool dispatching_ = false;
    std::set<int> removedInPass_;
    bool haveWaitMask_ = false;
    sigset_t waitMask_;
};

// One turn of the loop every serving thread runs: fire due timers, then wait
// for descriptors until the next timer is due.
void RunEventLoopPass(KtTimerGroup& group, SelectManager& manager);
