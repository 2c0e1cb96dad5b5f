#include "common/runtime/RingBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

RingBuffer::RingBuffer(int size) {
    if (size != 0) {
        SetSize(size, nullptr);
    }
}

RingBuffer::~RingBuffer() {
    Free();
}

uint8_t* RingBuffer::AllocateStorage(unsigned size) {
    return new (std::nothrow) uint8_t[size];
}

void RingBuffer::ReleaseOwned() {
    if (ownsStorage_ && storage_ != nullptr) {
        delete[] storage_;
    }
    storage_ = nullptr;
    ownsStorage_ = false;
}

int RingBuffer::SetSize(int size, void* storage) {
    Lock();
    count_ = 0;
    readIndex_ = 0;
    writeIndex_ = 0;
    Unlock();
    if (size == 0) {
        Free();
        return 0;
    }
    ReleaseOwned();
    noStorage_ = false;
    if (size < 0) {
        capacity_ = 0;
        return -1;
    }
    capacity_ = static_cast<unsigned>(size);
    if (storage != nullptr) {
        storage_ = static_cast<uint8_t*>(storage);
        return size;
    }
    storage_ = AllocateStorage(capacity_);
    ownsStorage_ = true;
    if (storage_ == nullptr) {
        capacity_ = 0;
        return -1;
    }
    return size;
}

void RingBuffer::Free() {
    ReleaseOwned();
    Lock();
    capacity_ = 0;
    noStorage_ = true;
    count_ = 0;
    readIndex_ = 0;
    writeIndex_ = 0;
    Unlock();
}

unsigned RingBuffer::Write(const void* src, unsigned n) {
    if (n == 0 || src == nullptr) {
        return 0;
    }
    Lock();
    if (noStorage_) {
        // Adopted, not copied: the buffer only ever reads from this block,
        // and it stays without storage of its own, so the next Write adopts
        // again.
        storage_ = static_cast<uint8_t*>(const_cast<void*>(src));
        capacity_ = n;
        count_ = n;
        readIndex_ = 0;
        writeIndex_ = 0;
        Unlock();
        return n;
    }
    unsigned accept = std::min(n, capacity_ - count_.load());
    unsigned first = std::min(accept, capacity_ - writeIndex_);
    Unlock();
    if (accept == 0) {
        return 0;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(src);
    memcpy(storage_ + writeIndex_, bytes, first);
    if (accept > first) {
        memcpy(storage_, bytes + first, accept - first);
    }
    Lock();
    if (accept > first) {
        writeIndex_ = accept - first;
    } else {
        writeIndex_ += accept;
        if (writeIndex_ == capacity_) {
            writeIndex_ = 0;
        }
    }
    count_ += accept;
    Unlock();
    return accept;
}

void RingBuffer::CopyOut(void* dst, unsigned take) const {
    unsigned first = std::min(take, capacity_ - readIndex_);
    uint8_t* out = static_cast<uint8_t*>(dst);
    memcpy(out, storage_ + readIndex_, first);
    if (take > first) {
        memcpy(out + first, storage_, take - first);
    }
}

unsigned RingBuffer::Read(void* dst, unsigned n) {
    if (storage_ == nullptr || n == 0) {
        return 0;
    }
    Lock();
    unsigned take = std::min(n, count_.load());
    unsigned first = std::min(take, capacity_ - readIndex_);
    Unlock();
    if (take == 0) {
        return 0;
    }
    if (dst != nullptr) {
        CopyOut(dst, take);
    }
    Lock();
    if (take > first) {
        readIndex_ = take - first;
    } else {
        readIndex_ += take;
        if (readIndex_ == capacity_) {
            readIndex_ = 0;
        }
    }
    count_ -= take;
    Unlock();
    return take;
}

unsigned RingBuffer::Peek(void* dst, unsigned n) const {
    if (storage_ == nullptr || n == 0 || dst == nullptr) {
        return 0;
    }
    unsigned take = std::min(n, count_.load());
    if (take != 0) {
        CopyOut(dst, take);
    }
    return take;
}
