#include "common/runtime/RingBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/runtime/NonPagedRingBuffer.h"
#include "common/runtime/SyncedRingBuffer.h"

namespace {

enum class Op { Write, Read, Discard, Peek, Resize };

// One operation and what it must return. Write: `bytes` in, `result` taken.
// Read and Peek: at most `n` asked, `bytes` must come out. Discard: Read with
// a null destination. Resize: SetSize(n) with storage of the buffer's own.
struct Step {
    Op op;
    std::string bytes;
    unsigned n;
    int result;
};

Step W(const std::string& in, int taken) {
    return {Op::Write, in, 0, taken};
}
Step R(unsigned n, const std::string& out) {
    return {Op::Read, out, n, 0};
}
Step P(unsigned n, const std::string& out) {
    return {Op::Peek, out, n, 0};
}
Step D(unsigned n, int dropped) {
    return {Op::Discard, "", n, dropped};
}
Step Resize(unsigned n, int result) {
    return {Op::Resize, "", n, result};
}

struct Case {
    const char* name;
    // Size of the storage array handed in, as the owners do; 0 for none.
    int size;
    std::vector<Step> steps;
    unsigned count;
    unsigned capacity;
    // What the handed-in array must hold afterwards ("" = not checked):
    // this shows where the indexes were without looking inside.
    std::string storage;
};

const Case kCases[] = {
    {"WriteTakesOnlyWhatFits",
     16,
     {W("0123456789", 10), W("ABCDEFGHIJ", 6), R(32, "0123456789ABCDEF")},
     0,
     16,
     "0123456789ABCDEF"},
    {"WriteLargerThanEmptyBuffer", 4, {W("abcdef", 4), R(8, "abcd")}, 0, 4, "abcd"},
    {"WriteEndingAtEndWrapsWriteIndex",
     8,
     {W("abcdefgh", 8), R(8, "abcdefgh"), W("XY", 2)},
     2,
     8,
     "XYcdefgh"},
    {"ReadEndingAtEndWrapsReadIndex",
     8,
     {W("abcdef", 6), R(6, "abcdef"), W("ghij", 4), R(2, "gh"), P(8, "ij"), W("kl", 2),
      R(8, "ijkl")},
     0,
     8,
     "ijklefgh"},
    {"WriteAcrossEndIsStoredInTwoPieces",
     8,
     {W("abcdef", 6), R(4, "abcd"), W("123456", 6), P(8, "ef123456"), R(8, "ef123456")},
     0,
     8,
     "3456ef12"},
    {"ReadWithoutDestinationDrops", 8, {W("abcdef", 6), D(4, 4), R(8, "ef"), D(3, 0)}, 0, 8, ""},
    {"PeekThenPartialDiscardKeepsRest",
     16,
     {W("hello world", 11), P(5, "hello"), D(2, 2), P(3, "llo"), R(16, "llo world")},
     0,
     16,
     ""},
    {"FullAndEmptyReturnZero",
     4,
     {R(4, ""), P(4, ""), D(4, 0), W("abcd", 4), W("e", 0), W("", 0), R(0, "")},
     4,
     4,
     "abcd"},
    {"SetSizeEmptiesTheQueue", 8, {W("abc", 3), Resize(8, 8), R(8, ""), W("z", 1)}, 1, 8, ""},
    {"SetSizeZeroFreesAndNextWriteIsAdopted",
     8,
     {W("abc", 3), Resize(0, 0), R(8, ""), W("xyz", 3), P(8, "xyz")},
     3,
     3,
     "abc....."},
    {"NoStorageAdoptsEachWrittenBlock",
     0,
     {R(4, ""), W("hello", 5), P(2, "he"), W("abc", 3), R(8, "abc"), W("q", 1)},
     1,
     1,
     ""},
    {"AdoptedBlockIsReadInPieces", 0, {W("adopted", 7), R(3, "ado"), R(9, "pted")}, 0, 7, ""},
    {"OwnStorageAfterAdoption",
     0,
     {W("abc", 3), Resize(4, 4), W("wxyz!", 4), R(8, "wxyz")},
     0,
     4,
     ""},
};

struct Kind {
    const char* name;
    std::function<std::unique_ptr<RingBuffer>()> make;
};

const Kind kKinds[] = {
    {"Plain", [] { return std::make_unique<RingBuffer>(0); }},
    {"Synced", [] { return std::make_unique<SyncedRingBuffer>(0); }},
    {"NonPaged", [] { return std::make_unique<NonPagedRingBuffer>(0); }},
};

// Readable names in test listings instead of the bytes of the parameters.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}
void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}

class RingBufferCase : public testing::TestWithParam<std::tuple<Kind, Case>> {};

TEST_P(RingBufferCase, Steps) {
    const Kind& kind = std::get<0>(GetParam());
    const Case& c = std::get<1>(GetParam());
    std::unique_ptr<RingBuffer> buffer = kind.make();
    std::string storage(c.size, '.');
    if (c.size != 0) {
        ASSERT_EQ(buffer->SetSize(c.size, storage.data()), c.size);
    }
    // Written blocks outlive the steps: an adopted block is read later.
    std::vector<std::string> written;
    written.reserve(c.steps.size());
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step& s = c.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        std::string out(s.n, '#');
        switch (s.op) {
            case Op::Write:
                written.push_back(s.bytes);
                EXPECT_EQ(static_cast<int>(buffer->Write(written.back().data(),
                                                         static_cast<unsigned>(s.bytes.size()))),
                          s.result);
                break;
            case Op::Read:
                out.resize(buffer->Read(out.data(), s.n));
                EXPECT_EQ(out, s.bytes);
                break;
            case Op::Peek:
                out.resize(buffer->Peek(out.data(), s.n));
                EXPECT_EQ(out, s.bytes);
                break;
            case Op::Discard:
                EXPECT_EQ(static_cast<int>(buffer->Read(nullptr, s.n)), s.result);
                break;
            case Op::Resize:
                EXPECT_EQ(buffer->SetSize(static_cast<int>(s.n), nullptr), s.result);
                break;
        }
        EXPECT_LE(buffer->Count(), buffer->Capacity());
    }
    EXPECT_EQ(buffer->Count(), c.count);
    EXPECT_EQ(buffer->Capacity(), c.capacity);
    EXPECT_EQ(buffer->Space(), c.capacity - c.count);
    if (!c.storage.empty()) {
        EXPECT_EQ(storage, c.storage);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RingBufferCase,
                         testing::Combine(testing::ValuesIn(kKinds), testing::ValuesIn(kCases)),
                         [](const testing::TestParamInfo<RingBufferCase::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

// The block is taken over, not copied: what the reader gets is whatever the
// block holds when it reads.
TEST(RingBufferTest, AdoptedBlockIsNotCopied) {
    RingBuffer buffer(0);
    char block[] = {'a', 'b', 'c'};
    ASSERT_EQ(buffer.Write(block, 3), 3u);
    block[1] = 'X';
    char out[3];
    ASSERT_EQ(buffer.Read(out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "aXc");
    // Free must not release a block the buffer does not own (the sanitizer
    // build catches a delete of this stack array).
    buffer.Free();
    EXPECT_EQ(buffer.Capacity(), 0u);
}

class FailingAllocation : public RingBuffer {
  protected:
    uint8_t* AllocateStorage(unsigned) override { return nullptr; }
};

TEST(RingBufferTest, FailedAllocationHoldsNothing) {
    FailingAllocation buffer;
    EXPECT_EQ(buffer.SetSize(64, nullptr), -1);
    EXPECT_EQ(buffer.Capacity(), 0u);
    // Not adopted either: the buffer has been given (failed) storage.
    EXPECT_EQ(buffer.Write("abc", 3), 0u);
    char out[4];
    EXPECT_EQ(buffer.Read(out, 4), 0u);
    EXPECT_EQ(buffer.Peek(out, 4), 0u);
}

TEST(RingBufferTest, ConstructedWithSizeAllocates) {
    RingBuffer buffer(1024);
    EXPECT_EQ(buffer.Capacity(), 1024u);
    EXPECT_EQ(buffer.Write("abc", 3), 3u);
    EXPECT_EQ(buffer.SetSize(-1, nullptr), -1);
    EXPECT_EQ(buffer.Write("abc", 3), 0u);
}

// One writer thread and one reader thread through a small locked buffer:
// every byte arrives once and in order, across many wraps.
void StreamThrough(RingBuffer& buffer) {
    constexpr unsigned kTotal = 1u << 18;
    auto pattern = [](unsigned i) { return static_cast<uint8_t>((i * 7u) % 251u); };
    std::thread writer([&] {
        uint8_t chunk[23];
        unsigned sent = 0;
        while (sent < kTotal) {
            unsigned n = std::min<unsigned>(1 + sent % 23, kTotal - sent);
            for (unsigned i = 0; i < n; ++i) {
                chunk[i] = pattern(sent + i);
            }
            unsigned taken = buffer.Write(chunk, n);
            // What was not taken is offered again from the same position.
            sent += taken;
            if (taken == 0) {
                std::this_thread::yield();
            }
        }
    });
    unsigned received = 0;
    unsigned wrong = 0;
    uint8_t chunk[17];
    while (received < kTotal) {
        unsigned n = buffer.Read(chunk, 1 + received % 17);
        for (unsigned i = 0; i < n; ++i) {
            wrong += chunk[i] != pattern(received + i);
        }
        received += n;
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    writer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(buffer.Count(), 0u);
}

TEST(RingBufferTest, SyncedOneWriterOneReader) {
    SyncedRingBuffer buffer(61);
    StreamThrough(buffer);
}

TEST(RingBufferTest, NonPagedOneWriterOneReader) {
    NonPagedRingBuffer buffer(61);
    StreamThrough(buffer);
}

}  // namespace
