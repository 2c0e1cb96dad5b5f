// The one thread of the daemon that watches every idle pseudo-terminal and
// reports the application's open of each to its port. An open is the first
// of: an event on the master (input or hang-up), or an IN_OPEN of the slave's
// device node, which the kernel reports although the master itself stays
// silent when the slave is opened. Owns its thread, its timer group and
// SelectManager, and one inotify descriptor; the clients are not owned.
// Watch, Unwatch and Forget may be called from any thread; OnSelect and the
// clients' OnPtyOpened run on the listener's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "common/runtime/KtTimerGroup.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/SelectManagerClient.h"
#include "common/runtime/UnixThread.h"

class PTYConnectionClient;

class PTYConnectionListener : public SelectManagerClient {
  public:
    static constexpr const char* kSource = "listener";

    PTYConnectionListener();
    ~PTYConnectionListener() override;

    // Starts the thread unless it runs already; false if it cannot start.
    bool Start();
    // Ends the thread's loop and joins it.
    void Stop();
    bool IsRunning() const { return running_.load(); }

    // Watches masterFd once for the client. With a slave path, the slave's
    // node is watched for IN_OPEN as well. False when the master could not
    // be added.
    bool Watch(int masterFd, PTYConnectionClient* client, const std::string& slavePath = "");
    // Stops watching masterFd; false when it was not watched.
    bool Unwatch(int masterFd);
    // Drops every watch of the client and waits until the listener is no
    // longer calling it, so that the client may be destroyed afterwards.
    // Must not be called from the client's OnPtyOpened.
    void Forget(PTYConnectionClient* client);

    // Number of masters watched; for tests.
    int WatchCount();

    void OnSelect(int fd, int events) override;

  private:
    struct Entry {
        PTYConnectionClient* client;  // non-owning
        int nodeWatch;                // inotify watch of the slave, -1 if none
    };

    static void* ThreadEntry(void* parameter);
    void Run();
    void ReadNodeEvents();
    // The open of masterFd: unwatch it and tell its client.
    void Dispatch(int masterFd, bool fromMaster);
    void DropEntry(std::map<int, Entry>::iterator entry);
    void Wake() { group_.GetEvent().Signal(); }

    KtTimerGroup group_;
    SelectManager manager_;
    std::recursive_mutex lock_;
    std::condition_variable_any idle_;
    std::map<int, Entry> clients_;                // master -> its watch
    std::map<int, int> nodeWatches_;              // inotify watch -> master
    PTYConnectionClient* dispatching_ = nullptr;  // non-owning: being called now
    int nodeFd_ = -1;
    std::atomic<bool> running_{false};
    UnixThread thread_;
};
