#include "common/runtime/DebugMonitor.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <time.h>

#include <boost/regex.hpp>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Sees what would go to syslog instead of sending it.
class TestMonitor : public DebugMonitor {
  public:
    std::vector<std::pair<int, std::string>> syslogged;

  protected:
    void WriteSyslog(int priority, const char* text) override {
        syslogged.emplace_back(priority, text);
    }
};

class TestSink : public DebugMonitorDataSink {
  public:
    void Write(const char* text, int length) override {
        if (length == 0) {
            length = static_cast<int>(strlen(text));
        }
        writes.emplace_back(text, length);
        line.append(text, length);
    }
    void ResetCursor() override { ++resets; }
    void RecordsAvailable() override { ++available; }

    std::vector<std::string> writes;
    std::string line;
    int resets = 0;
    int available = 0;
};

std::vector<std::string> WalkData(DebugMonitor& monitor) {
    std::lock_guard<std::recursive_mutex> lock(monitor.Mutex());
    std::vector<std::string> data;
    for (const DebugRecord* r = monitor.FirstRecord(); r != nullptr; r = monitor.NextRecord(r)) {
        data.emplace_back(reinterpret_cast<const char*>(r->Data()),
                          DebugMonitor::RecordDataSize(r));
    }
    return data;
}

TEST(DebugMonitorTest, LevelZeroDropsEverything) {
    TestMonitor monitor;
    TestSink sink;
    monitor.SetSink(&sink);
    for (int kind = DEBUG_NOP; kind <= DEBUG_MAX; ++kind) {
        monitor.Log(kind, "cat", 0, "text");
    }
    EXPECT_TRUE(monitor.syslogged.empty());
    EXPECT_EQ(sink.available, 0);
    EXPECT_EQ(monitor.RecordCount(), 0);
    monitor.ClearSink(&sink);
}

struct KindCase {
    int kind;
    int level;      // the monitor's threshold
    bool accepted;  // kept in the history
    int priority;   // syslog priority, -1 for none
    const char* syslogText;
};

const KindCase kKinds[] = {
    {DEBUG_READ, 7, true, -1, ""},
    {DEBUG_WRITE, 7, true, -1, ""},
    {DEBUG_STATUS, 7, true, -1, ""},
    {DEBUG_DEBUG, 7, true, -1, ""},
    {DEBUG_INFO, 7, true, LOG_NOTICE, "INFO cat text"},
    {DEBUG_ERROR, 7, true, LOG_ERR, "ERROR cat text"},
    {DEBUG_MAX, 7, true, LOG_WARNING, "MAX cat text"},
    {DEBUG_DEBUG, 5, false, -1, ""},
    {DEBUG_INFO, 5, true, LOG_NOTICE, "INFO cat text"},
    {DEBUG_INFO, 4, false, -1, ""},
    {DEBUG_MAX, 4, true, LOG_WARNING, "MAX cat text"},
    {DEBUG_ERROR, 3, true, LOG_ERR, "ERROR cat text"},
    {DEBUG_MAX, 3, false, -1, ""},
    {DEBUG_ERROR, 2, false, -1, ""},
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << DebugMonitor::KindName(c.kind) << " at level " << c.level;
}

class DebugMonitorKind : public testing::TestWithParam<KindCase> {};

TEST_P(DebugMonitorKind, ThresholdAndSyslog) {
    const KindCase& c = GetParam();
    TestMonitor monitor;
    TestSink sink;
    monitor.SetLevel(c.level);
    monitor.SetSink(&sink);
    monitor.Log(c.kind, "cat", 0, "text");
    EXPECT_EQ(sink.available, c.accepted ? 1 : 0);
    EXPECT_EQ(monitor.RecordCount(), c.accepted ? 1 : 0);
    if (c.priority < 0) {
        EXPECT_TRUE(monitor.syslogged.empty());
    } else {
        EXPECT_EQ(monitor.syslogged,
                  (std::vector<std::pair<int, std::string>>{{c.priority, c.syslogText}}));
    }
    monitor.ClearSink(&sink);
}

INSTANTIATE_TEST_SUITE_P(Table, DebugMonitorKind, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<KindCase>& info) {
                             return std::string(DebugMonitor::KindName(info.param.kind)) +
                                    "_Level" + std::to_string(info.param.level);
                         });

TEST(DebugMonitorTest, SyslogTextUsesGivenLengthAndWholeCategory) {
    TestMonitor monitor;
    monitor.SetLevel(7);
    monitor.Log(DEBUG_INFO, "cat", 3, "abcdef");
    monitor.Log(DEBUG_ERROR, "a-device-name-longer-than-16", 0, "gone");
    monitor.Logf(DEBUG_INFO, "portvane", "Error %d when deleting symlink", 13);
    ASSERT_EQ(monitor.syslogged.size(), 3u);
    EXPECT_EQ(monitor.syslogged[0].second, "INFO cat abc");
    EXPECT_EQ(monitor.syslogged[1].second, "ERROR a-device-name-longer-than-16 gone");
    EXPECT_EQ(monitor.syslogged[2].second, "INFO portvane Error 13 when deleting symlink");
}

// With nobody tracing, nothing is kept: the next tracer starts with a
// history of its own first record.
TEST(DebugMonitorTest, WithoutSinkHistoryIsDropped) {
    TestMonitor monitor;
    monitor.SetLevel(7);
    monitor.Log(DEBUG_READ, "cat", 0, "one");
    EXPECT_EQ(monitor.RecordCount(), 0);
    monitor.Log(DEBUG_READ, "cat", 0, "two");
    EXPECT_EQ(monitor.RecordCount(), 0);
    TestSink sink;
    monitor.SetSink(&sink);
    monitor.Log(DEBUG_READ, "cat", 0, "three");
    EXPECT_EQ(monitor.RecordCount(), 1);
    EXPECT_EQ(WalkData(monitor), std::vector<std::string>{"three"});
    EXPECT_EQ(sink.available, 1);
    EXPECT_EQ(sink.resets, 0);
    monitor.ClearSink(&sink);
}

// The history is one 131072-byte block discarded as a whole: up to the
// restart every record is intact, and the record that restarts it comes
// with ResetCursor instead of RecordsAvailable.
std::string Numbered(size_t i, int size) {
    std::string data(size, static_cast<char>('A' + i % 26));
    data[0] = static_cast<char>(i % 251);
    return data;
}

// Number of records of this size the history holds before it restarts.
size_t HeldBeforeRestart(int size) {
    TestMonitor monitor;
    TestSink sink;
    monitor.SetLevel(7);
    monitor.SetSink(&sink);
    size_t n = 0;
    while (sink.resets == 0 && n < 200000) {
        monitor.Log(DEBUG_WRITE, "cat", size, Numbered(n, size).data());
        ++n;
    }
    monitor.ClearSink(&sink);
    return n - 1;
}

TEST(DebugMonitorTest, FullHistoryRestartsWithResetCursor) {
    for (int size : {DebugRecord::kMaxData, 1, 200}) {
        SCOPED_TRACE("data size " + std::to_string(size));
        size_t held = HeldBeforeRestart(size);
        // The held records filled the block (about 117 of the largest size).
        EXPECT_LE(held * (32 + size), 131072u);
        EXPECT_GT(held * (64 + size) + 2 * DebugRecord::kMaxRecord, 131072u);

        TestMonitor monitor;
        TestSink sink;
        monitor.SetLevel(7);
        monitor.SetSink(&sink);
        std::vector<std::string> logged;
        for (size_t i = 0; i < held; ++i) {
            logged.push_back(Numbered(i, size));
            monitor.Log(DEBUG_WRITE, "cat", size, logged.back().data());
        }
        EXPECT_EQ(sink.available, static_cast<int>(held));
        EXPECT_EQ(sink.resets, 0);
        EXPECT_EQ(monitor.RecordCount(), static_cast<int>(held));
        EXPECT_EQ(WalkData(monitor), logged);

        std::string last = Numbered(held, size);
        monitor.Log(DEBUG_WRITE, "cat", size, last.data());
        EXPECT_EQ(sink.resets, 1);
        EXPECT_EQ(sink.available, static_cast<int>(held));
        EXPECT_EQ(monitor.RecordCount(), 1);
        EXPECT_EQ(WalkData(monitor), std::vector<std::string>{last});
        monitor.ClearSink(&sink);
    }
}

TEST(DebugMonitorTest, HistoryKeepsRecordsInOrder) {
    TestMonitor monitor;
    TestSink sink;
    monitor.SetLevel(7);
    monitor.SetSink(&sink);
    monitor.Log(DEBUG_READ, "a", 0, "first");
    monitor.Log(DEBUG_WRITE, "b", 2, "se");
    monitor.Log(DEBUG_STATUS, "c", 0, "");
    EXPECT_EQ(WalkData(monitor), (std::vector<std::string>{"first", "se", ""}));
    std::string tooLong(DebugRecord::kMaxData + 100, 'x');
    monitor.Log(DEBUG_READ, "a", static_cast<int>(tooLong.size()), tooLong.data());
    EXPECT_EQ(WalkData(monitor).back(), tooLong.substr(0, DebugRecord::kMaxData));
    monitor.ClearSink(&sink);
}

TEST(DebugMonitorTest, DiscardHistory) {
    TestMonitor monitor;
    TestSink sink;
    monitor.SetLevel(7);
    monitor.SetSink(&sink);
    monitor.Log(DEBUG_READ, "cat", 0, "one");
    monitor.Log(DEBUG_READ, "cat", 0, "two");
    monitor.DiscardHistory();
    EXPECT_EQ(monitor.RecordCount(), 0);
    {
        std::lock_guard<std::recursive_mutex> lock(monitor.Mutex());
        EXPECT_EQ(monitor.FirstRecord(), nullptr);
    }
    monitor.Log(DEBUG_READ, "cat", 0, "three");
    EXPECT_EQ(WalkData(monitor), std::vector<std::string>{"three"});
    EXPECT_EQ(sink.available, 3);
    monitor.ClearSink(&sink);
}

TEST(DebugMonitorTest, SinkIsReplacedAndClearedOnlyByItself) {
    TestMonitor monitor;
    TestSink first;
    TestSink second;
    monitor.SetLevel(7);
    monitor.SetSink(&first);
    monitor.SetSink(&second);
    monitor.ClearSink(&first);  // not the attached one: no effect
    monitor.Log(DEBUG_READ, "cat", 0, "x");
    EXPECT_EQ(first.available, 0);
    EXPECT_EQ(second.available, 1);
    monitor.ClearSink(&second);
    monitor.Log(DEBUG_READ, "cat", 0, "y");
    EXPECT_EQ(second.available, 1);
}

// Formats a record made by hand, so that its time is known.
class FormatTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        oldTz_ = tz ? tz : "";
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    std::string Format(int kind, const char* category, const std::string& data,
                       long usec = 250000) {
        alignas(DebugRecord) unsigned char block[sizeof(DebugRecord) + DebugRecord::kMaxData];
        DebugRecord* record = reinterpret_cast<DebugRecord*>(block);
        record->kind = kind;
        record->time.tv_sec = 14 * 3600 + 3 * 60 + 7;
        record->time.tv_usec = usec;
        memset(record->category, 0, sizeof record->category);
        strncpy(record->category, category, DebugRecord::kCategorySize);
        record->length = static_cast<int32_t>(data.size());
        memcpy(block + sizeof(DebugRecord), data.data(), data.size());
        sink_ = TestSink();
        monitor_.FormatRecord(record, &sink_);
        return sink_.line;
    }

    TestMonitor monitor_;
    TestSink sink_;
    bool hadTz_ = false;
    std::string oldTz_;
};

struct FormatCase {
    const char* name;
    int kind;
    const char* category;
    std::string data;
    std::string line;
};

const FormatCase kFormat[] = {
    {"ReadWithCarriageReturn", DEBUG_READ, "ctrl", "AT\r", "14:03:07.250 ctrl << AT^M\n"},
    {"WriteLineEnd", DEBUG_WRITE, "tty0", "OK\r\n", "14:03:07.250 tty0 >> OK^M^J\n"},
    {"Escape", DEBUG_STATUS, "tty0", "\x1b[0m", "14:03:07.250 tty0 || ^[[0m\n"},
    {"NulAndUnitSeparator", DEBUG_DEBUG, "x", std::string("\0\x1f", 2), "14:03:07.250 x // ^@^_\n"},
    {"HighBytesAsTheyAre", DEBUG_INFO, "conf", "\x7f\xff ~", "14:03:07.250 conf -- \x7f\xff ~\n"},
    {"Error", DEBUG_ERROR, "portvane", "Daemon Stop", "14:03:07.250 portvane ** Daemon Stop\n"},
    {"Nop", DEBUG_NOP, "n", "", "14:03:07.250 n    \n"},
    {"SixteenCharacterCategory", DEBUG_READ, "abcdefghijklmnopqrst", "d",
     "14:03:07.250 abcdefghijklmnop << d\n"},
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class FormatTable : public FormatTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTable, Line) {
    const FormatCase& c = GetParam();
    EXPECT_EQ(Format(c.kind, c.category, c.data), c.line);
    // Header, data (if any) and the line end are separate writes.
    EXPECT_EQ(sink_.writes.back(), "\n");
}

INSTANTIATE_TEST_SUITE_P(Table, FormatTable, testing::ValuesIn(kFormat),
                         [](const testing::TestParamInfo<FormatCase>& info) {
                             return info.param.name;
                         });

TEST_F(FormatTest, MillisecondsAreTruncated) {
    EXPECT_EQ(Format(DEBUG_READ, "c", "", 999999), "14:03:07.999 c << \n");
    EXPECT_EQ(Format(DEBUG_READ, "c", "", 999), "14:03:07.000 c << \n");
}

// Long data goes out in pieces of a bounded buffer, never split inside a
// caret pair's output and never losing a byte.
TEST_F(FormatTest, LongDataInBoundedPieces) {
    std::string data;
    std::string shown;
    for (int i = 0; i < DebugRecord::kMaxData; ++i) {
        char c = static_cast<char>(i % 40);
        data += c;
        if (static_cast<unsigned char>(c) < 32) {
            shown += '^';
            shown += static_cast<char>(c + 64);
        } else {
            shown += c;
        }
    }
    std::string line = Format(DEBUG_READ, "ctrl", data);
    EXPECT_EQ(line, "14:03:07.250 ctrl << " + shown + "\n");
    ASSERT_GE(sink_.writes.size(), 4u);
    for (size_t i = 1; i + 1 < sink_.writes.size(); ++i) {
        EXPECT_LE(sink_.writes[i].size(), 507u);
        if (i + 2 < sink_.writes.size()) {
            EXPECT_GT(sink_.writes[i].size(), 505u);
        }
    }
}

// A record logged now formats with the current local time.
TEST_F(FormatTest, LoggedRecordHeader) {
    monitor_.SetLevel(7);
    TestSink sink;
    monitor_.SetSink(&sink);
    monitor_.Log(DEBUG_READ, "ctrl", 3, "AT\r");
    std::lock_guard<std::recursive_mutex> lock(monitor_.Mutex());
    TestSink out;
    monitor_.FormatRecord(monitor_.FirstRecord(), &out);
    EXPECT_TRUE(boost::regex_match(out.line,
                                   boost::regex("\\d{2}:\\d{2}:\\d{2}\\.\\d{3} ctrl << AT\\^M\n")))
        << out.line;
    monitor_.ClearSink(&sink);
}

TEST(DebugMonitorTest, LogfCutsAt512Bytes) {
    TestMonitor monitor;
    TestSink sink;
    monitor.SetLevel(7);
    monitor.SetSink(&sink);
    std::string longText(600, 'z');
    monitor.Logf(DEBUG_DEBUG, "cat", "%s", longText.c_str());
    monitor.Logf(DEBUG_DEBUG, "cat", "%s", "");
    std::vector<std::string> data = WalkData(monitor);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], std::string(DebugMonitor::kLogfBuffer - 1, 'z'));
    EXPECT_EQ(data[1], "");
    monitor.ClearSink(&sink);
}

}  // namespace
