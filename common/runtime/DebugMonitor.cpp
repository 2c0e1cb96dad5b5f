#include "common/runtime/DebugMonitor.h"

#include <syslog.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

struct KindInfo {
    const char* name;
    int priority;
    char mark[3];
};

constexpr KindInfo kKinds[] = {
    {"NOP", LOG_DEBUG, "  "},    {"READ", LOG_DEBUG, "<<"},  {"WRITE", LOG_DEBUG, ">>"},
    {"STATUS", LOG_DEBUG, "||"}, {"DEBUG", LOG_INFO, "//"},  {"INFO", LOG_NOTICE, "--"},
    {"ERROR", LOG_ERR, "**"},    {"MAX", LOG_WARNING, "  "},
};

const KindInfo& Info(int kind) {
    if (kind < 0 || kind > DEBUG_MAX) {
        return kKinds[DEBUG_NOP];
    }
    return kKinds[kind];
}

}  // namespace

DebugMonitor::DebugMonitor() {
    tzset();
}

DebugMonitor::~DebugMonitor() = default;

DebugMonitor& DebugMonitor::Instance() {
    static DebugMonitor monitor;
    return monitor;
}

const char* DebugMonitor::KindName(int kind) {
    return Info(kind).name;
}

int DebugMonitor::KindPriority(int kind) {
    return Info(kind).priority;
}

void DebugMonitor::OpenSyslog(const char* ident) {
    openlog(ident, LOG_PID, LOG_LOCAL5);
}

void DebugMonitor::CloseSyslog() {
    closelog();
}

void DebugMonitor::SetLevel(int level) {
    Lock lock(mutex_);
    level_ = level;
}

int DebugMonitor::GetLevel() {
    Lock lock(mutex_);
    return level_;
}

void DebugMonitor::WriteSyslog(int priority, const char* text) {
    syslog(priority, "%s", text);
}

int DebugMonitor::Footprint(int length) {
    int size = static_cast<int>(sizeof(DebugRecord)) + length;
    return (size + 7) & ~7;
}

void DebugMonitor::Log(int kind, const char* category, int length, const void* data) {
    if (category == nullptr) {
        category = "";
    }
    if (data == nullptr) {
        data = "";
        length = 0;
    }
    Lock lock(mutex_);
    if (level_ < KindPriority(kind)) {
        return;
    }
    if (length == 0) {
        length = static_cast<int>(strlen(static_cast<const char*>(data)));
    } else if (length < 0) {
        // Not a text and no size: measuring it could run off the block.
        length = 0;
    }
    if (kind == DEBUG_INFO || kind == DEBUG_ERROR || kind == DEBUG_MAX) {
        // The whole category: syslog is where a long device name is read in
        // full, only the trace record keeps 16 characters.
        std::string text = std::string(KindName(kind)) + " " + category + " " +
                           std::string(static_cast<const char*>(data), length);
        WriteSyslog(KindPriority(kind), text.c_str());
    }
    if (sink_ == nullptr) {
        // The history exists only while somebody traces; a record nobody can
        // read is not worth a block of history.
        DiscardHistory();
        return;
    }
    if (length > DebugRecord::kMaxData) {
        length = DebugRecord::kMaxData;
    }
    bool restarted = false;
    if (!history_) {
        history_.reset(new (std::nothrow) uint8_t[kHistorySize]);
        if (!history_) {
            return;
        }
        count_ = 0;
        newest_ = nullptr;
    }
    uint8_t* place = history_.get();
    if (newest_ != nullptr) {
        // Room is kept for a record of the largest size, whatever comes.
        size_t end =
            reinterpret_cast<uint8_t*>(newest_) - history_.get() + Footprint(newest_->length);
        if (end + Footprint(DebugRecord::kMaxData) > static_cast<size_t>(kHistorySize)) {
            restarted = true;
            count_ = 0;
        } else {
            place = history_.get() + end;
        }
    }
    DebugRecord* record = reinterpret_cast<DebugRecord*>(place);
    record->kind = kind;
    gettimeofday(&record->time, nullptr);
    strncpy(record->category, category, DebugRecord::kCategorySize);
    record->length = length;
    memcpy(place + sizeof(DebugRecord), data, length);
    newest_ = record;
    ++count_;
    if (restarted) {
        sink_->ResetCursor();
    } else {
        sink_->RecordsAvailable();
    }
}

void DebugMonitor::Logf(int kind, const char* category, const char* format, ...) {
    char buffer[kLogfBuffer];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    if (n >= kLogfBuffer) {
        n = kLogfBuffer - 1;
    }
    if (n == 0) {
        // An empty text is still a record; Log reads length 0 as "measure it".
        Log(kind, category, 0, "");
        return;
    }
    Log(kind, category, n, buffer);
}

void DebugMonitor::SetSink(DebugMonitorDataSink* sink) {
    Lock lock(mutex_);
    sink_ = sink;
}

void DebugMonitor::ClearSink(DebugMonitorDataSink* sink) {
    Lock lock(mutex_);
    if (sink_ == sink) {
        sink_ = nullptr;
    }
}

const DebugRecord* DebugMonitor::FirstRecord() {
    Lock lock(mutex_);
    if (!history_ || count_ == 0) {
        return nullptr;
    }
    return reinterpret_cast<const DebugRecord*>(history_.get());
}

int DebugMonitor::RecordCount() {
    Lock lock(mutex_);
    return count_;
}

const DebugRecord* DebugMonitor::NextRecord(const DebugRecord* record) {
    Lock lock(mutex_);
    if (record == nullptr || record == newest_ || count_ == 0) {
        return nullptr;
    }
    const uint8_t* next = reinterpret_cast<const uint8_t*>(record) + Footprint(record->length);
    return reinterpret_cast<const DebugRecord*>(next);
}

void DebugMonitor::DiscardHistory() {
    Lock lock(mutex_);
    history_.reset();
    count_ = 0;
    newest_ = nullptr;
}

void DebugMonitor::FormatRecord(const DebugRecord* record, DebugMonitorDataSink* sink) {
    if (record == nullptr || sink == nullptr) {
        return;
    }
    Lock lock(mutex_);
    struct tm local;
    time_t seconds = record->time.tv_sec;
    localtime_r(&seconds, &local);
    char category[DebugRecord::kCategorySize + 1];
    memcpy(category, record->category, DebugRecord::kCategorySize);
    category[DebugRecord::kCategorySize] = '\0';
    const char* mark = Info(record->kind).mark;
    char header[96];
    snprintf(header, sizeof header, "%02d:%02d:%02d.%03ld %s %c%c ", local.tm_hour, local.tm_min,
             local.tm_sec, static_cast<long>(record->time.tv_usec / 1000), category, mark[0],
             mark[1]);
    sink->Write(header, 0);

    char text[512];
    int pending = 0;
    const uint8_t* data = record->Data();
    for (int i = 0; i < record->length; ++i) {
        uint8_t c = data[i];
        if (c < 32) {
            text[pending++] = '^';
            text[pending++] = static_cast<char>(c + 64);
        } else {
            text[pending++] = static_cast<char>(c);
        }
        if (pending > 505) {
            text[pending] = '\0';
            sink->Write(text, pending);
            pending = 0;
        }
    }
    if (pending > 0) {
        text[pending] = '\0';
        sink->Write(text, pending);
    }
    sink->Write("\n", 1);
}
