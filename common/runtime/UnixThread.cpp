#include "common/runtime/UnixThread.h"

#include <cstdint>

using Lock = std::lock_guard<std::recursive_mutex>;

UnixThread::UnixThread() {
    pthread_attr_init(&attributes_);
    pthread_attr_setstacksize(&attributes_, kStackSize);
    pthread_attr_setdetachstate(&attributes_, PTHREAD_CREATE_JOINABLE);
}

UnixThread::~UnixThread() {
    pthread_attr_destroy(&attributes_);
}

int UnixThread::Start(Entry entry, void* argument) {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (started_ && !exited_) {
        return 0;
    }
    if (exited_ && haveThread_) {
        pthread_t old = thread_;
        lock.unlock();
        pthread_join(old, nullptr);
        lock.lock();
    }
    haveThread_ = false;
    started_ = false;
    exited_ = false;
    argument_ = argument;
    result_ = pthread_create(&thread_, &attributes_, entry, this);
    if (result_ == 0) {
        started_ = true;
        haveThread_ = true;
    }
    return result_;
}

int UnixThread::Join() {
    pthread_t t;
    {
        Lock lock(mutex_);
        if (!haveThread_) {
            return 0;
        }
        t = thread_;
    }
    void* value = nullptr;
    int r = pthread_join(t, &value);
    Lock lock(mutex_);
    if (r == 0) {
        result_ = static_cast<int>(reinterpret_cast<intptr_t>(value));
        haveThread_ = false;
        started_ = false;
    }
    return r;
}

void UnixThread::Detach() {
    Lock lock(mutex_);
    if (haveThread_) {
        pthread_detach(thread_);
        haveThread_ = false;
    }
}

void UnixThread::Exit(int value) {
    {
        Lock lock(mutex_);
        result_ = value;
        exited_ = true;
        started_ = false;
        // The id stays known until joined, so that Join and a restart can
        // still reap the thread; IsStarted() reports false from here on.
    }
    pthread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(value)));
}

bool UnixThread::IsStarted() {
    Lock lock(mutex_);
    return started_;
}

void* UnixThread::GetArgument() {
    Lock lock(mutex_);
    return argument_;
}

int UnixThread::GetResult() {
    Lock lock(mutex_);
    return result_;
}
