// The tools' side of the daemon's control channel. It finds the daemon
// through its lock file, connects to the control port on 127.0.0.1, sends
// one request line at a time and waits (running the event loop on the
// calling thread) for the one-line reply, which it classifies by the "OK" and
// "ERR" patterns; for pvtrace it copies the stream that follows a trace
// request to stdio streams. It owns its socket and event-loop manager; the
// timer group is the tool's and shared. Single thread, except Interrupt,
// which is safe in a signal handler.
#pragma once

#include <atomic>
#include <boost/regex.hpp>
#include <cstdint>
#include <string>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/LinuxSocket.h"
#include "common/runtime/LockFile.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/TCPDataClient.h"
#include "tools/control-client/PtyControlRequester.h"

class PtyControlChannelClient : public TCPDataClient,
                                public KtTimerManager,
                                public PtyControlRequester {
  public:
    static constexpr uint32_t kReplyTimeoutMs = 10000;
    static constexpr size_t kReplyLimit = 262144;

    // `group` is the tool's timer group, whose loop the client runs while it
    // waits; nothing is opened here.
    explicit PtyControlChannelClient(KtTimerGroup* group);
    ~PtyControlChannelClient() override;

    int Request(const std::string& request, std::string& reply) override;
    int ReadStream(FILE* const* streams) override;
    void Interrupt() override;
    void Close() override;

    // TCPDataClient, on the loop inside Request and ReadStream.
    void OnWritable() override {}
    void OnReadable() override;
    void OnError(const char*) override {}
    void OnClose(int reason) override;
    void OnConnect(int result, const IPAddress* remote, uint16_t port) override;

    void OnTimer(KtTimerHandle timer, void* argument) override;

  private:
    // Runs the loop while waiting_ is set (the caller sets it).
    void Wait();
    // Ends the wait with an outcome.
    void Finish(int status, const std::string& text);
    // Sends the whole request; false when the socket took less.
    bool Send(const std::string& request);
    void TakeReply(const char* data, size_t length);
    void TakeStream(const char* data, size_t length);
    void Classify(const std::string& line);

    KtTimerGroup* group_;  // non-owning: the tool's loop group
    SelectManager manager_;
    // Cleared by the loop's callbacks and by Interrupt (from a signal
    // handler), hence atomic.
    std::atomic<bool> waiting_{false};
    // Set once by Interrupt: every later wait ends at once, so that a signal
    // that arrives between two waits is not lost.
    std::atomic<bool> interrupted_{false};
    LinuxSocket socket_;
    std::string partialReply_;
    int status_ = STATUS_OK;
    std::string replyText_;
    KtTimerHandle replyTimer_ = nullptr;
    std::string pendingRequest_;
    // Set only during ReadStream; null-terminated, not owned.
    FILE* const* outputStreams_ = nullptr;
    // What followed the reply line in its receive; a trace stream starts
    // there, so ReadStream delivers it first. Any other request drops it.
    std::string afterReply_;
    // Stream mode: the last text delivered ended with a line end, so a line
    // end at the start of the next one ends the stream.
    bool streamAtLineEnd_ = false;
    const boost::regex okPattern_;
    const boost::regex errPattern_;
    LockFile lock_;
};
