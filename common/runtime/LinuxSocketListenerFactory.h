// Makes LinuxSocketListener objects that all run on one event loop of the
// factory's own: it owns the timer group, the SelectManager, the loop thread
// (started with the first listener, so that a process may still detach
// before) and the recursive mutex every listener of it takes. Create and
// DeleteLater may be called from any thread; the listeners' clients are
// called on the factory's thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/TCPListenerFactory.h"
#include "common/runtime/UnixThread.h"

class LinuxSocketListenerFactory : public TCPListenerFactory, public KtTimerManager {
  public:
    LinuxSocketListenerFactory();
    // Stops the loop thread. Listeners still alive are detached from it and
    // must be deleted by their owners afterwards.
    ~LinuxSocketListenerFactory() override;

    // Null when the loop thread cannot be started.
    std::unique_ptr<TCPListener> Create(TCPListenerClient* client) override;

    // Closes the listener at once and deletes it on the factory's thread,
    // where no dispatch to it can be under way. The safe way to let go of a
    // listener from any other thread, or from inside its own client.
    void DeleteLater(std::unique_ptr<TCPListener> listener);

    SelectManager* GetSelectManager() { return &manager_; }

    void OnTimer(KtTimerHandle timer, void* argument) override;

  private:
    static void* LoopThread(void* thread);
    bool StartLoop();
    void StopLoop();

    std::recursive_mutex mutex_;
    SelectManager manager_;
    UnixThread thread_;
    std::atomic<bool> running_{false};
    std::vector<std::unique_ptr<TCPListener>> retired_;  // guarded by mutex_
    KtTimerHandle deleteTimer_ = nullptr;                // guarded by mutex_
};
