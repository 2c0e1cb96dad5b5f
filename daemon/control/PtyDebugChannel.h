// Turns a control connection into a live trace: every record the debug
// monitor holds or receives is formatted as one trace line and written to the
// connection, oldest first, as fast as the connection takes them. It owns its
// output buffer and a queue of record copies; the socket (the session's) and
// the owner are non-owning. The monitor's callbacks come from any thread and
// only copy records and wake the sender; sending, OnWritable and OnClose run
// on the thread of the timer group given (the control channel's, which also
// owns the socket). Every field is guarded by the debug monitor's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/runtime/DebugMonitor.h"
#include "common/runtime/KtTimerManager.h"
#include "common/runtime/TCPDataClient.h"
#include "common/runtime/TCPDataServer.h"
#include "daemon/control/TraceRecordQueue.h"

class PtyControlChannel;

class PtyDebugChannel : public KtTimerManager, public TCPDataClient, public DebugMonitorDataSink {
  public:
    // The text of the line that stands in for records a reader too slow to
    // keep up made the channel drop.
    static constexpr const char* kDroppedFormat = "%u trace records dropped: trace reader too slow";

    // `owner` may be null (tests); `group` must be the group of the thread
    // that serves the trace connection's socket.
    PtyDebugChannel(PtyControlChannel* owner, KtTimerGroup* group,
                    DebugMonitor* monitor = &DebugMonitor::Instance(),
                    size_t queueLimit = TraceRecordQueue::kDefaultLimit);
    ~PtyDebugChannel() override;

    // Starts tracing onto `socket`: becomes the monitor's sink and takes the
    // records it already holds.
    void Start(TCPDataServer* socket);
    // Ends the trace: no longer the sink, everything not yet sent is dropped.
    void Stop();
    bool IsTracing();

    void OnTimer(KtTimerHandle timer, void* argument) override;

    // DebugMonitorDataSink: Write collects the formatted line.
    void Write(const char* text, int length) override;
    void ResetCursor() override;
    void RecordsAvailable() override;

    // TCPDataClient, for the trace connection.
    void OnWritable() override;
    void OnReadable() override {}
    void OnError(const char* /*text*/) override {}
    void OnClose(int reason) override;
    void OnConnect(int /*result*/, const IPAddress* /*remote*/, uint16_t /*port*/) override {}

    // Records copied and not yet written; for tests.
    size_t QueuedBytes();

  private:
    void CopyNewRecords();
    void Enqueue(const DebugRecord* record);
    bool EnqueueDroppedNote();
    void ScheduleSend();
    void SendRecords();
    bool FlushUnsent();
    bool EnsureBuffer(size_t size);

    PtyControlChannel* owner_;         // non-owning, may be null
    DebugMonitor* monitor_;            // non-owning
    TCPDataServer* socket_ = nullptr;  // non-owning: the trace session's socket
    KtTimerHandle sendTimer_ = nullptr;
    std::unique_ptr<char[]> buffer_;
    size_t bufferSize_ = 0;
    size_t fill_ = 0;
    // The part of buffer_ from here to fill_ was formatted but not written;
    // fill_ when nothing waits.
    size_t unsent_ = 0;
    // The last record copied from the monitor's history; null: none of the
    // held records has been copied yet.
    const DebugRecord* cursor_ = nullptr;
    TraceRecordQueue queue_;
    unsigned dropped_ = 0;
};
