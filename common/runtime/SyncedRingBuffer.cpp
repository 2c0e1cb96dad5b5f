#include "common/runtime/SyncedRingBuffer.h"

// The base constructor cannot reach this class's Lock, so the storage is set
// up here, once the mutex exists.
SyncedRingBuffer::SyncedRingBuffer(int size) : RingBuffer(0) {
    if (size != 0) {
        SetSize(size, nullptr);
    }
}

// Released while the mutex still exists; the base destructor finds nothing
// left to do.
SyncedRingBuffer::~SyncedRingBuffer() {
    Free();
}
