// A locked RingBuffer for queues shared by one writer thread and one reader
// thread, like SyncedRingBuffer, whose behaviour it has exactly. It is a type
// of its own so that an owner can say its queue is meant to stay resident;
// on this platform nothing more is done about that. Owns its mutex; storage
// as RingBuffer.
#pragma once

#include <mutex>

#include "common/runtime/RingBuffer.h"

class NonPagedRingBuffer : public RingBuffer {
  public:
    explicit NonPagedRingBuffer(int size = 0);
    ~NonPagedRingBuffer() override;

    void Lock() override { mutex_.lock(); }
    void Unlock() override { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};
