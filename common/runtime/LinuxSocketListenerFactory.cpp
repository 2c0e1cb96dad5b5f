#include "common/runtime/LinuxSocketListenerFactory.h"

#include "common/runtime/LinuxSocketListener.h"

using Lock = std::lock_guard<std::recursive_mutex>;

LinuxSocketListenerFactory::LinuxSocketListenerFactory() : manager_(GetTimerGroup()) {}

LinuxSocketListenerFactory::~LinuxSocketListenerFactory() {
    StopLoop();
    std::vector<std::unique_ptr<TCPListener>> retired;
    {
        Lock lock(mutex_);
        GetTimerGroup()->StopTimer(&deleteTimer_);
        retired.swap(retired_);
    }
}

void* LinuxSocketListenerFactory::LoopThread(void* thread) {
    auto* self =
        static_cast<LinuxSocketListenerFactory*>(static_cast<UnixThread*>(thread)->GetArgument());
    while (self->running_.load()) {
        RunEventLoopPass(*self->GetTimerGroup(), self->manager_);
    }
    return nullptr;
}

bool LinuxSocketListenerFactory::StartLoop() {
    Lock lock(mutex_);
    if (running_.load()) {
        return true;
    }
    running_.store(true);
    if (thread_.Start(&LinuxSocketListenerFactory::LoopThread, this) != 0) {
        running_.store(false);
        return false;
    }
    return true;
}

void LinuxSocketListenerFactory::StopLoop() {
    {
        Lock lock(mutex_);
        if (!running_.load()) {
            return;
        }
        running_.store(false);
    }
    GetTimerGroup()->GetEvent().Signal();
    // Joined without the mutex: the last pass may still need it.
    thread_.Join();
}

std::unique_ptr<TCPListener> LinuxSocketListenerFactory::Create(TCPListenerClient* client) {
    if (!StartLoop()) {
        return nullptr;
    }
    return std::make_unique<LinuxSocketListener>(&manager_, client, &mutex_);
}

void LinuxSocketListenerFactory::DeleteLater(std::unique_ptr<TCPListener> listener) {
    if (listener == nullptr) {
        return;
    }
    listener->Close();
    {
        Lock lock(mutex_);
        if (running_.load()) {
            retired_.push_back(std::move(listener));
            StartTimer(&deleteTimer_, 0);
        }
    }
    // Without a loop no dispatch can be under way: the listener (if it was
    // not queued) goes now, outside the lock.
    listener.reset();
    GetTimerGroup()->GetEvent().Signal();
}

void LinuxSocketListenerFactory::OnTimer(KtTimerHandle timer, void* /*argument*/) {
    std::vector<std::unique_ptr<TCPListener>> retired;
    {
        Lock lock(mutex_);
        if (timer == deleteTimer_) {
            deleteTimer_ = nullptr;
        }
        retired.swap(retired_);
    }
}
