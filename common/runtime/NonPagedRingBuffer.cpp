#include "common/runtime/NonPagedRingBuffer.h"

// As SyncedRingBuffer: storage is set up once the mutex exists.
NonPagedRingBuffer::NonPagedRingBuffer(int size) : RingBuffer(0) {
    if (size != 0) {
        SetSize(size, nullptr);
    }
}

NonPagedRingBuffer::~NonPagedRingBuffer() {
    Free();
}
