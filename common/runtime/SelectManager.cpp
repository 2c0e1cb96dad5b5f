#include "common/runtime/SelectManager.h"

#include <errno.h>

#include <algorithm>
#include <climits>

#include "common/runtime/SelectManagerClient.h"

using Lock = std::lock_guard<std::recursive_mutex>;

SelectManager::SelectManager(KtTimerGroup* group)
    : KtTimerManager(group), wakeFd_(group->GetEvent().ReadFd()) {
    current_.push_back(pollfd{wakeFd_, POLLIN, 0});
    entries_[wakeFd_] = 0;
    sigemptyset(&waitMask_);
}

SelectManager::~SelectManager() {
    Lock lock(mutex_);
    for (SelectManagerClient* c : clients_) {
        c->Detach();
    }
    clients_.clear();
    owners_.clear();
}

void SelectManager::SetWaitSignalMask(const sigset_t* mask) {
    Lock lock(mutex_);
    haveWaitMask_ = mask != nullptr;
    if (mask != nullptr) {
        waitMask_ = *mask;
    }
}

short SelectManager::ToPollEvents(int mask) {
    short events = 0;
    if (mask & SELECT_READ) {
        events |= POLLIN | POLLPRI;
    }
    if (mask & SELECT_WRITE) {
        events |= POLLOUT;
    }
    if (mask & SELECT_ERROR) {
        events |= POLLERR;
    }
    return events;
}

void SelectManager::Rebuild(const std::set<int>& drop, int add) {
    const PollArray& source = LiveArray();
    auto fresh = std::make_unique<PollArray>();
    fresh->reserve(source.size() + (add >= 0 ? 1 : 0));
    entries_.clear();
    for (const pollfd& p : source) {
        if (drop.count(p.fd) != 0 && p.fd != wakeFd_) {
            if (dispatching_) {
                removedInPass_.insert(p.fd);
            }
            continue;
        }
        entries_[p.fd] = fresh->size();
        fresh->push_back(pollfd{p.fd, p.events, 0});
    }
    if (add >= 0) {
        entries_[add] = fresh->size();
        fresh->push_back(pollfd{add, 0, 0});
    }
    pending_ = std::move(fresh);
}

bool SelectManager::AddClient(SelectManagerClient* client) {
    Lock lock(mutex_);
    if (clients_.insert(client).second) {
        GetTimerGroup()->GetEvent().Signal();
    }
    return true;
}

bool SelectManager::RemoveClient(SelectManagerClient* client) {
    Lock lock(mutex_);
    if (clients_.erase(client) == 0) {
        return false;
    }
    // A client registered again later starts from nothing: a stale interest
    // map would make its next AddSelect look like a no-op.
    client->interest_.clear();
    std::set<int> dropped;
    for (auto it = owners_.begin(); it != owners_.end();) {
        if (it->second == client) {
            dropped.insert(it->first);
            it = owners_.erase(it);
        } else {
            ++it;
        }
    }
    if (!dropped.empty()) {
        Rebuild(dropped, -1);
    }
    GetTimerGroup()->GetEvent().Signal();
    return true;
}

bool SelectManager::AddInterest(SelectManagerClient* client, int fd, int mask) {
    if (fd < 0) {
        return false;
    }
    short events = ToPollEvents(mask);
    if (events == 0) {
        return false;
    }
    Lock lock(mutex_);
    if (clients_.count(client) == 0) {
        return false;
    }
    owners_[fd] = client;
    if (entries_.count(fd) == 0) {
        Rebuild({}, fd);
    }
    LiveArray()[entries_[fd]].events |= events;
    GetTimerGroup()->GetEvent().Signal();
    return true;
}

bool SelectManager::UpdateInterest(SelectManagerClient* client, int fd, int /*mask*/) {
    if (fd < 0) {
        return false;
    }
    Lock lock(mutex_);
    auto entry = entries_.find(fd);
    if (entry == entries_.end() || fd == wakeFd_) {
        GetTimerGroup()->GetEvent().Signal();
        return true;
    }
    int remaining = client->GetSelect(fd);
    if (remaining != 0) {
        LiveArray()[entry->second].events = ToPollEvents(remaining);
    } else {
        Rebuild({fd}, -1);
        owners_.erase(fd);
    }
    GetTimerGroup()->GetEvent().Signal();
    return true;
}

bool SelectManager::Poll(int timeoutMs) {
    size_t n;
    {
        Lock lock(mutex_);
        if (timeoutMs < 0 && entries_.empty()) {
            return false;
        }
        if (pending_) {
            current_ = std::move(*pending_);
            pending_.reset();
        }
        n = current_.size();
        for (pollfd& p : current_) {
            p.revents = 0;
        }
    }
    int r;
    if (haveWaitMask_) {
        struct timespec ts;
        struct timespec* tsp = nullptr;
        if (timeoutMs >= 0) {
            ts.tv_sec = timeoutMs / 1000;
            ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
            tsp = &ts;
        }
        r = ppoll(current_.data(), n, tsp, &waitMask_);
    } else {
        r = poll(current_.data(), n, timeoutMs);
    }
    int savedErrno = errno;
    GetTimerGroup()->RunExpiredTimers(false);
    if (r == 0 || (r < 0 && savedErrno == EINTR)) {
        return n > 1;
    }
    if (r < 0) {
        NotifyPollFailure();
        return false;
    }
    std::map<int, short> ready;
    {
        Lock lock(mutex_);
        dispatching_ = true;
        removedInPass_.clear();
    }
    for (size_t i = 1; i < n; ++i) {
        if (current_[i].revents != 0) {
            ready[current_[i].fd] = current_[i].revents;
        }
    }
    for (const auto& [fd, returned] : ready) {
        SelectManagerClient* owner = nullptr;
        {
            Lock lock(mutex_);
            // Removed by an earlier callback of this pass: its readiness is
            // stale and the descriptor may already be closed or reused, even
            // re-registered under the same number.
            if (entries_.count(fd) == 0 || removedInPass_.count(fd) != 0) {
                continue;
            }
            auto o = owners_.find(fd);
            if (o == owners_.end()) {
                continue;
            }
            owner = o->second;
        }
        bool readable = returned & (POLLIN | POLLPRI);
        bool writable = returned & POLLOUT;
        bool failed = returned & (POLLERR | POLLHUP | POLLNVAL);
        int events = (readable ? SELECT_READ : 0) | (writable ? SELECT_WRITE : 0);
        events &= owner->GetSelect(fd);
        if (events != 0) {
            owner->OnSelect(fd, events);
        }
        if (failed) {
            Lock lock(mutex_);
            auto o = owners_.find(fd);
            owner = o == owners_.end() || removedInPass_.count(fd) != 0 ? nullptr : o->second;
        }
        if (failed && owner != nullptr) {
            owner->OnSelect(fd, SELECT_ERROR);
        }
    }
    {
        Lock lock(mutex_);
        dispatching_ = false;
        removedInPass_.clear();
    }
    return n > 1;
}

void SelectManager::NotifyPollFailure() {
    std::set<SelectManagerClient*> clients;
    {
        Lock lock(mutex_);
        clients = clients_;
    }
    for (SelectManagerClient* c : clients) {
        // A client may remove (even destroy) another while handling this;
        // only those still registered are told.
        {
            Lock lock(mutex_);
            if (clients_.count(c) == 0) {
                continue;
            }
        }
        c->OnSelect(-1, SELECT_ERROR);
    }
}

std::vector<int> SelectManager::WatchedDescriptors() {
    Lock lock(mutex_);
    std::vector<int> fds;
    for (const pollfd& p : LiveArray()) {
        fds.push_back(p.fd);
    }
    return fds;
}

void RunEventLoopPass(KtTimerGroup& group, SelectManager& manager) {
    uint32_t t = group.TimeToNextTimer();
    if (t == 0) {
        group.RunExpiredTimers();
        t = group.TimeToNextTimer();
    }
    // Waits longer than poll() can express are cut; the loop simply asks
    // again when the wait ends.
    int timeout =
        t == KtTimerGroup::kNoTimer ? -1 : static_cast<int>(std::min<uint32_t>(t, INT_MAX));
    manager.Poll(timeout);
}
