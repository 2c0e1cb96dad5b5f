// A fixed-capacity byte queue with wrap-around, used for queued input and
// output by the protocol engines. It owns its storage only when it allocated
// it; usually the owner hands in an array of its own. The plain buffer does no
// locking (its owner's lock covers it); derived classes lock the index
// arithmetic so that one writer thread and one reader thread may share it.
#pragma once

#include <atomic>
#include <cstdint>

class RingBuffer {
  public:
    // A size of 0 leaves the buffer without storage; see Write.
    explicit RingBuffer(int size = 0);
    virtual ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Guard the indexes and the count; the byte copies happen outside them.
    virtual void Lock() {}
    virtual void Unlock() {}

    // Empties the buffer and gives it `size` bytes: the caller's block when
    // `storage` is set (the caller keeps it alive while the buffer uses it),
    // else a block of its own. Returns the capacity, 0 for size 0, -1 when
    // the allocation fails (the buffer then holds and accepts nothing).
    int SetSize(int size, void* storage = nullptr);
    // Releases owned storage and leaves the buffer without storage.
    void Free();

    // Appends as much as fits and returns the bytes taken; queued bytes are
    // never overwritten. A buffer without storage instead adopts `src` as its
    // whole contents without copying, replacing whatever it held: the caller
    // must keep that block alive and unchanged until it has been read.
    unsigned Write(const void* src, unsigned n);
    // Removes up to n of the oldest bytes into dst (null discards them).
    unsigned Read(void* dst, unsigned n);
    // Copies up to n of the oldest bytes to dst without removing them.
    unsigned Peek(void* dst, unsigned n) const;

    unsigned Count() const { return count_.load(); }
    unsigned Capacity() const { return capacity_; }
    unsigned Space() const { return capacity_ - count_.load(); }

  protected:
    // The allocation behind SetSize; a seam for tests of the failure path.
    virtual uint8_t* AllocateStorage(unsigned size);

  private:
    void ReleaseOwned();
    // Copies `take` bytes starting at readIndex_ in at most two pieces.
    void CopyOut(void* dst, unsigned take) const;

    uint8_t* storage_ = nullptr;  // owned only when ownsStorage_
    unsigned capacity_ = 0;
    // The one field that the writer and the reader of a shared buffer both
    // change; each raises or lowers it only after its copy is done.
    std::atomic<unsigned> count_{0};
    unsigned readIndex_ = 0;   // changed by the reader only
    unsigned writeIndex_ = 0;  // changed by the writer only
    bool ownsStorage_ = false;
    bool noStorage_ = true;
};
