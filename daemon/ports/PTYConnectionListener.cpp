#include "daemon/ports/PTYConnectionListener.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <cstddef>

#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/PTYConnectionClient.h"

using Lock = std::unique_lock<std::recursive_mutex>;

// The base is bound to manager_, which is built after it: the base only
// keeps the pointer until the constructor body registers this client.
PTYConnectionListener::PTYConnectionListener() : SelectManagerClient(&manager_), manager_(&group_) {
    manager_.AddClient(this);
    nodeFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (nodeFd_ < 0) {
        // The ports still open on their first write or close; only an
        // application that opens and waits goes unnoticed.
        DebugMonitor::Instance().Logf(DEBUG_ERROR, kSource, "Error %d when watching pty nodes",
                                      errno);
        return;
    }
    Lock lock(lock_);
    AddSelect(nodeFd_, SELECT_READ);
}

PTYConnectionListener::~PTYConnectionListener() {
    Stop();
    {
        Lock lock(lock_);
        RemoveSelect(nodeFd_, SELECT_READ);
        for (auto& [master, entry] : clients_) {
            RemoveSelect(master, SELECT_READ);
        }
        clients_.clear();
        nodeWatches_.clear();
    }
    // Still registered: manager_, destroyed before the base, then detaches
    // this client so that the base does not reach back into it.
    if (nodeFd_ >= 0) {
        close(nodeFd_);
    }
}

bool PTYConnectionListener::Start() {
    if (running_.exchange(true)) {
        return true;
    }
    if (thread_.Start(&PTYConnectionListener::ThreadEntry, this) != 0) {
        running_.store(false);
        return false;
    }
    return true;
}

void PTYConnectionListener::Stop() {
    running_.store(false);
    Wake();
    thread_.Join();
}

void* PTYConnectionListener::ThreadEntry(void* parameter) {
    UnixThread* thread = static_cast<UnixThread*>(parameter);
    static_cast<PTYConnectionListener*>(thread->GetArgument())->Run();
    thread->Exit(0);
}

void PTYConnectionListener::Run() {
    while (running_.load()) {
        RunEventLoopPass(group_, manager_);
    }
}

bool PTYConnectionListener::Watch(int masterFd, PTYConnectionClient* client,
                                  const std::string& slavePath) {
    if (masterFd < 0 || client == nullptr) {
        return false;
    }
    Lock lock(lock_);
    auto old = clients_.find(masterFd);
    if (old != clients_.end()) {
        DropEntry(old);
    }
    if (!AddSelect(masterFd, SELECT_READ)) {
        RemoveSelect(masterFd, SELECT_READ);
        return false;
    }
    int nodeWatch = -1;
    if (nodeFd_ >= 0 && !slavePath.empty()) {
        // Neither stat, chmod nor chown of the node raise IN_OPEN, so the
        // daemon's own handling of the slave never counts as an open.
        nodeWatch = inotify_add_watch(nodeFd_, slavePath.c_str(), IN_OPEN);
        if (nodeWatch < 0) {
            DebugMonitor::Instance().Logf(DEBUG_ERROR, kSource,
                                          "Error %d when watching pty node %s", errno,
                                          slavePath.c_str());
        } else {
            // The kernel hands out the same watch for a node it watches
            // already: the node now belongs to this master alone.
            auto shared = nodeWatches_.find(nodeWatch);
            if (shared != nodeWatches_.end()) {
                auto previous = clients_.find(shared->second);
                if (previous != clients_.end()) {
                    previous->second.nodeWatch = -1;
                }
            }
            nodeWatches_[nodeWatch] = masterFd;
        }
    }
    clients_[masterFd] = Entry{client, nodeWatch};
    Wake();
    return true;
}

void PTYConnectionListener::DropEntry(std::map<int, Entry>::iterator entry) {
    RemoveSelect(entry->first, SELECT_READ);
    int nodeWatch = entry->second.nodeWatch;
    if (nodeWatch >= 0) {
        nodeWatches_.erase(nodeWatch);
        // Fails harmlessly when the node has already gone with its pty.
        inotify_rm_watch(nodeFd_, nodeWatch);
    }
    clients_.erase(entry);
}

bool PTYConnectionListener::Unwatch(int masterFd) {
    Lock lock(lock_);
    auto entry = clients_.find(masterFd);
    if (entry == clients_.end()) {
        return false;
    }
    DropEntry(entry);
    Wake();
    return true;
}

void PTYConnectionListener::Forget(PTYConnectionClient* client) {
    Lock lock(lock_);
    for (auto entry = clients_.begin(); entry != clients_.end();) {
        auto next = std::next(entry);
        if (entry->second.client == client) {
            DropEntry(entry);
        }
        entry = next;
    }
    Wake();
    idle_.wait(lock, [&] { return dispatching_ != client; });
}

int PTYConnectionListener::WatchCount() {
    Lock lock(lock_);
    return static_cast<int>(clients_.size());
}

void PTYConnectionListener::OnSelect(int fd, int events) {
    if (fd < 0) {
        // poll() itself failed; the next pass tries again.
        return;
    }
    if (fd == nodeFd_) {
        if ((events & SELECT_READ) != 0) {
            ReadNodeEvents();
        }
        return;
    }
    Dispatch(fd, true);
}

void PTYConnectionListener::ReadNodeEvents() {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = read(nodeFd_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const struct inotify_event* event =
                reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            int master = -1;
            {
                Lock lock(lock_);
                auto watch = nodeWatches_.find(event->wd);
                if (watch == nodeWatches_.end()) {
                    // A node unwatched since the event was queued.
                    continue;
                }
                master = watch->second;
                if ((event->mask & IN_IGNORED) != 0) {
                    // The node went away (its pty was closed); the kernel
                    // has dropped the watch already.
                    nodeWatches_.erase(watch);
                    auto entry = clients_.find(master);
                    if (entry != clients_.end() && entry->second.nodeWatch == event->wd) {
                        entry->second.nodeWatch = -1;
                    }
                    continue;
                }
            }
            if ((event->mask & IN_OPEN) != 0) {
                Dispatch(master, false);
            }
        }
    }
}

void PTYConnectionListener::Dispatch(int masterFd, bool fromMaster) {
    PTYConnectionClient* client = nullptr;
    {
        Lock lock(lock_);
        auto entry = clients_.find(masterFd);
        if (entry == clients_.end()) {
            if (fromMaster) {
                RemoveSelect(masterFd, SELECT_READ);
                DebugMonitor::Instance().Logf(
                    DEBUG_ERROR, kSource, "incoming event detected on unknown file descriptor %d",
                    masterFd);
            }
            return;
        }
        client = entry->second.client;
        // Each master is reported once; from here on its port serves it.
        DropEntry(entry);
        dispatching_ = client;
    }
    client->OnPtyOpened(masterFd);
    Lock lock(lock_);
    dispatching_ = nullptr;
    idle_.notify_all();
}
