// A RingBuffer whose index arithmetic is guarded by a mutex of its own, so
// that one writer thread and one reader thread may share it: the writer only
// fills free space and publishes it by raising the count afterwards, the
// reader only takes counted bytes. Two writers, or two readers, are not
// supported. Owns its mutex; storage as RingBuffer.
#pragma once

#include <mutex>

#include "common/runtime/RingBuffer.h"

class SyncedRingBuffer : public RingBuffer {
  public:
    explicit SyncedRingBuffer(int size = 0);
    ~SyncedRingBuffer() override;

    void Lock() override { mutex_.lock(); }
    void Unlock() override { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};
