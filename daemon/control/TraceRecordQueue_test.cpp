#include "daemon/control/TraceRecordQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A record as the monitor lays it out: header, then the data bytes.
struct RecordImage {
    explicit RecordImage(const std::string& text, int kind = DEBUG_READ) {
        DebugRecord* r = Get();
        memset(r, 0, sizeof *r);
        r->kind = kind;
        strncpy(r->category, "tty0", DebugRecord::kCategorySize);
        r->length = static_cast<int32_t>(text.size());
        memcpy(storage + sizeof(DebugRecord), text.data(), text.size());
    }
    DebugRecord* Get() { return reinterpret_cast<DebugRecord*>(storage); }
    alignas(8) uint8_t storage[DebugRecord::kMaxRecord];
};

std::string TextOf(const DebugRecord* r) {
    return std::string(reinterpret_cast<const char*>(r->Data()), r->length);
}

TEST(TraceRecordQueue, KeepsOrderAcrossChunksAndGivesThemBack) {
    TraceRecordQueue queue;
    const int count = 500;  // about ten chunks of records
    for (int i = 0; i < count; ++i) {
        RecordImage image(std::to_string(i) + std::string(1000, 'x'));
        ASSERT_TRUE(queue.Push(image.Get()));
    }
    EXPECT_GT(queue.Chunks(), 5u);
    for (int i = 0; i < count; ++i) {
        const DebugRecord* r = queue.Front();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(TextOf(r), std::to_string(i) + std::string(1000, 'x'));
        EXPECT_EQ(r->kind, DEBUG_READ);
        queue.Pop();
    }
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Front(), nullptr);
    EXPECT_EQ(queue.Chunks(), 1u);
    queue.Clear();
    EXPECT_EQ(queue.Chunks(), 0u);
}

TEST(TraceRecordQueue, RefusesRecordsPastItsLimit) {
    RecordImage image(std::string(100, 'y'));
    size_t footprint = TraceRecordQueue::Footprint(image.Get());
    EXPECT_EQ(footprint % 8, 0u);
    TraceRecordQueue queue(3 * footprint);
    EXPECT_TRUE(queue.Push(image.Get()));
    EXPECT_TRUE(queue.Push(image.Get()));
    EXPECT_TRUE(queue.Push(image.Get()));
    EXPECT_FALSE(queue.Push(image.Get()));
    EXPECT_EQ(queue.Bytes(), 3 * footprint);
    queue.Pop();
    EXPECT_TRUE(queue.Push(image.Get()));
}

TEST(TraceRecordQueue, RefusesDamagedRecords) {
    TraceRecordQueue queue;
    RecordImage image("x");
    image.Get()->length = DebugRecord::kMaxData + 1;
    EXPECT_FALSE(queue.Push(image.Get()));
    image.Get()->length = -1;
    EXPECT_FALSE(queue.Push(image.Get()));
    EXPECT_FALSE(queue.Push(nullptr));
    EXPECT_TRUE(queue.Empty());
}

}  // namespace
