// Copies of debug-monitor records waiting to be sent on a trace connection,
// oldest first. The monitor restarts its history as a whole when it is full,
// so records a slow trace reader has not taken yet are copied here as they
// arrive; the queue grows in chunks up to a bound and gives the memory back
// as it drains. Not locked itself: its owner (PtyDebugChannel) uses it under
// the debug monitor's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "common/runtime/DebugMonitor.h"

class TraceRecordQueue {
  public:
    static constexpr size_t kChunkSize = 65536;
    // A reader this far behind is not reading: records beyond it are
    // dropped (and counted by the caller) rather than filling memory.
    static constexpr size_t kDefaultLimit = 16u * 1024 * 1024;

    explicit TraceRecordQueue(size_t limit = kDefaultLimit);

    // Bytes a record takes here, header and alignment included.
    static size_t Footprint(const DebugRecord* record);

    // False, and nothing queued, when the record would pass the limit.
    bool Push(const DebugRecord* record);
    bool HasRoom(size_t footprint) const { return bytes_ + footprint <= limit_; }
    // The oldest record, null when empty; valid until Pop or Clear.
    const DebugRecord* Front() const;
    void Pop();
    void Clear();

    bool Empty() const { return bytes_ == 0; }
    size_t Bytes() const { return bytes_; }
    size_t Chunks() const { return chunks_.size(); }

  private:
    // 8-aligned storage, so that copied headers are aligned as in the
    // monitor's own block.
    struct Chunk {
        std::unique_ptr<uint64_t[]> storage;
        size_t read = 0;
        size_t write = 0;
        uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(storage.get()); }
        const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(storage.get()); }
    };

    bool AddChunk();

    size_t limit_;
    size_t bytes_ = 0;
    std::deque<Chunk> chunks_;
};
