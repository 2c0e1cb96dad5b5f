#include "daemon/control/PtyDebugChannel.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "daemon/control/PtyControlChannel.h"
#include "daemon/control/SocketCommandLine.h"

using Lock = std::lock_guard<std::recursive_mutex>;

PtyDebugChannel::PtyDebugChannel(PtyControlChannel* owner, KtTimerGroup* group,
                                 DebugMonitor* monitor, size_t queueLimit)
    : KtTimerManager(group), owner_(owner), monitor_(monitor), queue_(queueLimit) {}

PtyDebugChannel::~PtyDebugChannel() {
    Stop();
}

void PtyDebugChannel::Start(TCPDataServer* socket) {
    Lock lock(monitor_->Mutex());
    socket_ = socket;
    cursor_ = nullptr;
    monitor_->SetSink(this);
    CopyNewRecords();
    ScheduleSend();
}

void PtyDebugChannel::Stop() {
    Lock lock(monitor_->Mutex());
    monitor_->ClearSink(this);
    StopTimer(&sendTimer_);
    socket_ = nullptr;
    buffer_.reset();
    bufferSize_ = 0;
    fill_ = 0;
    unsent_ = 0;
    cursor_ = nullptr;
    queue_.Clear();
    dropped_ = 0;
}

bool PtyDebugChannel::IsTracing() {
    Lock lock(monitor_->Mutex());
    return socket_ != nullptr;
}

size_t PtyDebugChannel::QueuedBytes() {
    Lock lock(monitor_->Mutex());
    return queue_.Bytes();
}

// ---- Monitor side: any thread, the monitor's mutex held ------------------

void PtyDebugChannel::RecordsAvailable() {
    Lock lock(monitor_->Mutex());
    if (socket_ == nullptr) {
        return;
    }
    CopyNewRecords();
    ScheduleSend();
}

void PtyDebugChannel::ResetCursor() {
    Lock lock(monitor_->Mutex());
    // Every record of the old history was copied when it arrived; the one
    // that restarted it is now the first.
    cursor_ = nullptr;
    if (socket_ == nullptr) {
        return;
    }
    CopyNewRecords();
    ScheduleSend();
}

void PtyDebugChannel::CopyNewRecords() {
    const DebugRecord* record =
        cursor_ != nullptr ? monitor_->NextRecord(cursor_) : monitor_->FirstRecord();
    while (record != nullptr) {
        Enqueue(record);
        cursor_ = record;
        record = monitor_->NextRecord(record);
    }
}

void PtyDebugChannel::Enqueue(const DebugRecord* record) {
    if (dropped_ > 0 &&
        !(queue_.HasRoom(DebugRecord::kMaxRecord + TraceRecordQueue::Footprint(record)) &&
          EnqueueDroppedNote())) {
        ++dropped_;
        return;
    }
    if (!queue_.Push(record)) {
        ++dropped_;
    }
}

// The reader sees where lines are missing, in the place they went missing.
bool PtyDebugChannel::EnqueueDroppedNote() {
    alignas(8) uint8_t storage[DebugRecord::kMaxRecord];
    DebugRecord* note = reinterpret_cast<DebugRecord*>(storage);
    memset(note, 0, sizeof(DebugRecord));
    note->kind = DEBUG_ERROR;
    gettimeofday(&note->time, nullptr);
    strncpy(note->category, SocketCommandLine::kSource, DebugRecord::kCategorySize);
    char* text = reinterpret_cast<char*>(storage + sizeof(DebugRecord));
    int n = snprintf(text, DebugRecord::kMaxData, kDroppedFormat, dropped_);
    note->length = n < 0 ? 0 : (n < DebugRecord::kMaxData ? n : DebugRecord::kMaxData - 1);
    if (!queue_.Push(note)) {
        return false;
    }
    dropped_ = 0;
    return true;
}

void PtyDebugChannel::ScheduleSend() {
    if (socket_ == nullptr || unsent_ < fill_ || sendTimer_ != nullptr) {
        return;
    }
    StartTimer(&sendTimer_, 0);
    // The sending thread may be waiting for its descriptors with no timer.
    GetTimerGroup()->GetEvent().Signal();
}

// ---- Connection side: the socket's thread --------------------------------

void PtyDebugChannel::OnTimer(KtTimerHandle timer, void* /*argument*/) {
    Lock lock(monitor_->Mutex());
    if (timer != sendTimer_) {
        return;
    }
    sendTimer_ = nullptr;
    if (unsent_ < fill_) {
        // The writable event goes on with it.
        return;
    }
    SendRecords();
}

void PtyDebugChannel::OnWritable() {
    Lock lock(monitor_->Mutex());
    if (socket_ == nullptr) {
        return;
    }
    if (FlushUnsent()) {
        SendRecords();
    }
}

void PtyDebugChannel::OnClose(int /*reason*/) {
    Stop();
    if (owner_ != nullptr) {
        owner_->TraceEnded();
    }
}

bool PtyDebugChannel::FlushUnsent() {
    if (unsent_ >= fill_) {
        return true;
    }
    int n = socket_->Write(buffer_.get() + unsent_, static_cast<uint16_t>(fill_ - unsent_));
    if (n > 0) {
        unsent_ += static_cast<size_t>(n);
    }
    return unsent_ >= fill_;
}

bool PtyDebugChannel::EnsureBuffer(size_t size) {
    if (bufferSize_ >= size) {
        return true;
    }
    std::unique_ptr<char[]> grown(new (std::nothrow) char[size]);
    if (!grown) {
        // The old buffer stays; what does not fit is cut from the line.
        return false;
    }
    buffer_ = std::move(grown);
    bufferSize_ = size;
    return true;
}

void PtyDebugChannel::SendRecords() {
    while (socket_ != nullptr) {
        if (queue_.Empty() && dropped_ > 0) {
            EnqueueDroppedNote();
        }
        const DebugRecord* record = queue_.Front();
        if (record == nullptr) {
            // Everything held has been sent.
            monitor_->DiscardHistory();
            cursor_ = nullptr;
            return;
        }
        // Control characters are shown as two characters each.
        EnsureBuffer(2 * static_cast<size_t>(DebugMonitor::RecordDataSize(record)) + 64);
        fill_ = 0;
        unsent_ = 0;
        monitor_->FormatRecord(record, this);
        if (fill_ > 0) {
            int n = socket_->Write(buffer_.get(), static_cast<uint16_t>(fill_));
            if (n <= 0) {
                // Formatted again on the next writable event or timer.
                fill_ = 0;
                return;
            }
            unsent_ = static_cast<size_t>(n);
        }
        queue_.Pop();
        if (unsent_ < fill_) {
            return;
        }
    }
}

void PtyDebugChannel::Write(const char* text, int length) {
    if (text == nullptr || !buffer_) {
        return;
    }
    size_t n = length == 0 ? strlen(text) : (length < 0 ? 0 : static_cast<size_t>(length));
    size_t room = bufferSize_ - fill_;
    if (n > room) {
        n = room;
    }
    memcpy(buffer_.get() + fill_, text, n);
    fill_ += n;
}
