#include "daemon/control/TraceRecordQueue.h"

#include <cstring>
#include <new>

TraceRecordQueue::TraceRecordQueue(size_t limit) : limit_(limit) {}

size_t TraceRecordQueue::Footprint(const DebugRecord* record) {
    size_t size = sizeof(DebugRecord) + static_cast<size_t>(DebugMonitor::RecordDataSize(record));
    return (size + 7) & ~static_cast<size_t>(7);
}

bool TraceRecordQueue::AddChunk() {
    Chunk chunk;
    chunk.storage.reset(new (std::nothrow) uint64_t[kChunkSize / sizeof(uint64_t)]);
    if (!chunk.storage) {
        return false;
    }
    chunks_.push_back(std::move(chunk));
    return true;
}

bool TraceRecordQueue::Push(const DebugRecord* record) {
    if (record == nullptr || record->length < 0 || record->length > DebugRecord::kMaxData) {
        return false;
    }
    size_t footprint = Footprint(record);
    if (!HasRoom(footprint)) {
        return false;
    }
    if ((chunks_.empty() || chunks_.back().write + footprint > kChunkSize) && !AddChunk()) {
        return false;
    }
    Chunk& chunk = chunks_.back();
    memcpy(chunk.Bytes() + chunk.write, record, sizeof(DebugRecord) + record->length);
    chunk.write += footprint;
    bytes_ += footprint;
    return true;
}

const DebugRecord* TraceRecordQueue::Front() const {
    if (chunks_.empty()) {
        return nullptr;
    }
    const Chunk& chunk = chunks_.front();
    if (chunk.read >= chunk.write) {
        return nullptr;
    }
    return reinterpret_cast<const DebugRecord*>(chunk.Bytes() + chunk.read);
}

void TraceRecordQueue::Pop() {
    const DebugRecord* record = Front();
    if (record == nullptr) {
        return;
    }
    size_t footprint = Footprint(record);
    Chunk& chunk = chunks_.front();
    chunk.read += footprint;
    bytes_ -= footprint;
    if (chunk.read < chunk.write) {
        return;
    }
    if (chunks_.size() > 1) {
        chunks_.pop_front();
    } else {
        // The last chunk is kept for the next records: a reader that keeps
        // up costs no allocation per record.
        chunk.read = 0;
        chunk.write = 0;
    }
}

void TraceRecordQueue::Clear() {
    chunks_.clear();
    bytes_ = 0;
}
