// One POSIX thread with fixed attributes and a restartable life cycle:
// idle -> started -> exited (the thread called Exit) -> started again. The
// wrapper neither joins nor cancels on destruction; its owner stops the
// thread and calls Join first. All operations are safe from any thread.
#pragma once

#include <pthread.h>

#include <mutex>

class UnixThread {
  public:
    using Entry = void* (*)(void*);

    // Each thread runs one event loop; 64-bit frames, name-service lookups
    // and the sanitizers all need more than a bare minimum of stack.
    static constexpr size_t kStackSize = 262144;

    UnixThread();
    ~UnixThread();
    UnixThread(const UnixThread&) = delete;
    UnixThread& operator=(const UnixThread&) = delete;

    // The entry receives this UnixThread as its parameter. 0 on success (also
    // when the thread already runs), else the pthread_create() error.
    int Start(Entry entry, void* argument);
    int Join();
    void Detach();
    // Called by the thread on itself as its last act.
    [[noreturn]] void Exit(int value);

    bool IsStarted();
    void* GetArgument();
    int GetResult();

  private:
    std::recursive_mutex mutex_;
    pthread_t thread_{};
    bool haveThread_ = false;
    pthread_attr_t attributes_;
    void* argument_ = nullptr;
    int result_ = 0;
    bool started_ = false;
    bool exited_ = false;
};
