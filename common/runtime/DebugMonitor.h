// The process-wide log and trace hub. Every thread hands it records (data
// through a port, status changes, notes, errors); INFO, ERROR and MAX also go
// to syslog. While a sink is attached the monitor keeps recent records in one
// history block and tells the sink about each new one; with no sink the
// history is dropped at once, so an idle daemon holds no trace memory. One
// recursive mutex serialises everything; the sink is called with it held.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <mutex>

enum DebugKind {
    DEBUG_NOP = 0,
    DEBUG_READ = 1,
    DEBUG_WRITE = 2,
    DEBUG_STATUS = 3,
    DEBUG_DEBUG = 4,
    DEBUG_INFO = 5,
    DEBUG_ERROR = 6,
    DEBUG_MAX = 7,
};

class DebugMonitorDataSink {
public:
    virtual ~DebugMonitorDataSink() = default;
    // length 0: text is zero-terminated.
    virtual void Write(const char* text, int length) = 0;
    // The history restarted: records the sink remembers are gone.
    virtual void ResetCursor() = 0;
    virtual void RecordsAvailable() = 0;
};

struct DebugRecord {
    static constexpr int kCategorySize = 16;
    static constexpr int kMaxData = 1080;
    static constexpr int kMaxRecord = 1112;

    int32_t kind;
    struct timeval time;
    char category[kCategorySize];  // not terminated when 16 characters long
    int32_t length;
    // `length` data bytes follow the header.
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};

class DebugMonitor {
public:
    static constexpr int kHistorySize = 131072;
    static constexpr int kLogfBuffer = 512;

    DebugMonitor();
    virtual ~DebugMonitor();
    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    static DebugMonitor& Instance();

    static const char* KindName(int kind);
    static int KindPriority(int kind);

    void OpenSyslog(const char* ident);
    void CloseSyslog();

    void SetLevel(int level);
    int GetLevel();

    // length 0: data is a zero-terminated text.
    void Log(int kind, const char* category, int length, const void* data);
    void Logf(int kind, const char* category, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    void SetSink(DebugMonitorDataSink* sink);
    void ClearSink(DebugMonitorDataSink* sink);

    // History access for the sink; callers hold Mutex() across a walk.
    std::recursive_mutex& Mutex() { return mutex_; }
    const DebugRecord* FirstRecord();
    int RecordCount();
    const DebugRecord* NextRecord(const DebugRecord* record);
    static int RecordDataSize(const DebugRecord* record) { return record->length; }
    void FormatRecord(const DebugRecord* record, DebugMonitorDataSink* sink);
    void DiscardHistory();

    // Nothing is buffered outside the history; kept for the shutdown order.
    void Flush() {}

protected:
    // The syslog call, replaceable so that tests can see what would be sent.
    virtual void WriteSyslog(int priority, const char* text);

private:
    // Bytes a record takes in the block, kept 8-aligned for the header.
    static int Footprint(int length);

    int level_ = 0;
    DebugMonitorDataSink* sink_ = nullptr;  // non-owning
    std::recursive_mutex mutex_;
    std::unique_ptr<uint8_t[]> history_;
    int count_ = 0;
    DebugRecord* newest_ = nullptr;
};
