// A wake-up pipe: one thread signals, the loop thread that waits in poll() on
// the read end wakes up. Owns both descriptors. Signal() may be called from
// any thread and from a signal handler (it is one write()).
#pragma once

#include <cstdint>

class UnixEvent {
public:
    UnixEvent();
    virtual ~UnixEvent();
    UnixEvent(const UnixEvent&) = delete;
    UnixEvent& operator=(const UnixEvent&) = delete;

    void Signal();
    // Consumes one pending wake-up byte, if any; never blocks.
    void Clear();
    // Waits until the event is signalled or the time-out passes; consumes
    // nothing. 0xFFFFFFFF waits without limit.
    void Wait(uint32_t timeoutMs);

    int ReadFd() const { return readFd_; }

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};
