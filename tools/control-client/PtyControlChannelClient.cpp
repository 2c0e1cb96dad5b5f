#include "tools/control-client/PtyControlChannelClient.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

const char kLengthLimitText[] = "Discarding response due to length limit of 262144 bytes";
// One Write moves at most this many bytes.
constexpr size_t kMaxWrite = 65535;

}  // namespace

PtyControlChannelClient::PtyControlChannelClient(KtTimerGroup* group)
    : KtTimerManager(group),
      group_(group),
      manager_(group),
      socket_(&manager_, this, nullptr),
      okPattern_("^OK[[:blank:]]+(.*)$"),
      errPattern_("^ERR[[:blank:]]+(.*)$"),
      lock_("portvaned", 0) {}

PtyControlChannelClient::~PtyControlChannelClient() {
    StopTimer(&replyTimer_);
}

int PtyControlChannelClient::Request(const std::string& request, std::string& reply) {
    status_ = STATUS_OK;
    replyText_.clear();
    reply.clear();
    partialReply_.clear();
    afterReply_.clear();
    pendingRequest_ = request;
    if (socket_.IsOpen()) {
        if (!Send(request)) {
            reply = "Error sending request";
            return STATUS_NOT_DELIVERED;
        }
    } else {
        // A connect still pending from an earlier request that timed out
        // would otherwise be replaced without being closed.
        socket_.Close();
        int pid = 0;
        uint16_t port = 0;
        if (lock_.ReadOwner(&pid, &port) != LockFile::HELD) {
            reply = "Daemon not running";
            return STATUS_NOT_DELIVERED;
        }
        int result = socket_.ConnectAsync("127.0.0.1", port);
        if (result != 0) {
            OnClose(result);
            reply = replyText_;
            return status_;
        }
    }
    StartTimer(&replyTimer_, kReplyTimeoutMs);
    waiting_ = true;
    Wait();
    reply = replyText_;
    return status_;
}

int PtyControlChannelClient::ReadStream(FILE* const* streams) {
    status_ = STATUS_OK;
    replyText_.clear();
    if (!socket_.IsOpen()) {
        return STATUS_NOT_DELIVERED;
    }
    outputStreams_ = streams;
    streamAtLineEnd_ = false;
    waiting_ = true;
    if (!afterReply_.empty()) {
        std::string start;
        start.swap(afterReply_);
        TakeStream(start.data(), start.size());
    }
    Wait();
    outputStreams_ = nullptr;
    return status_;
}

void PtyControlChannelClient::Interrupt() {
    interrupted_.store(true);
    waiting_.store(false);
    group_->GetEvent().Signal();
}

void PtyControlChannelClient::Close() {
    StopTimer(&replyTimer_);
    socket_.Close();
    partialReply_.clear();
    afterReply_.clear();
}

void PtyControlChannelClient::Wait() {
    while (waiting_.load() && !interrupted_.load()) {
        uint32_t t = group_->TimeToNextTimer();
        if (t == 0) {
            // The timers that ran may have ended the wait (the reply timer
            // does); polling first could then wait for ever.
            group_->RunExpiredTimers();
            continue;
        }
        manager_.Poll(
            t == KtTimerGroup::kNoTimer ? -1 : static_cast<int>(std::min<uint32_t>(t, INT_MAX)));
    }
    waiting_ = false;
    StopTimer(&replyTimer_);
}

void PtyControlChannelClient::Finish(int status, const std::string& text) {
    status_ = status;
    replyText_ = text;
    waiting_ = false;
    StopTimer(&replyTimer_);
}

bool PtyControlChannelClient::Send(const std::string& request) {
    for (size_t sent = 0; sent < request.size();) {
        size_t chunk = std::min(request.size() - sent, kMaxWrite);
        int n = socket_.Write(request.data() + sent, static_cast<uint16_t>(chunk));
        if (n != static_cast<int>(chunk)) {
            return false;
        }
        sent += chunk;
    }
    return true;
}

void PtyControlChannelClient::OnConnect(int result, const IPAddress*, uint16_t) {
    if (result != 0) {
        OnClose(result);
        return;
    }
    socket_.EnableEvents(1, 1);
    if (!Send(pendingRequest_)) {
        Finish(STATUS_NOT_DELIVERED, "Error sending request");
    }
}

void PtyControlChannelClient::OnClose(int reason) {
    if (reason == 0) {
        Finish(STATUS_CLOSED, "Connection Closed");
    } else {
        Finish(STATUS_NOT_DELIVERED, SocketError::BareText(reason, socket_.GetLastError()));
    }
}

void PtyControlChannelClient::OnTimer(KtTimerHandle timer, void*) {
    if (timer != replyTimer_) {
        return;
    }
    replyTimer_ = nullptr;
    // The connection stays: a late reply may still be read by a stream.
    Finish(STATUS_TIMED_OUT, "Timed out waiting for response");
}

void PtyControlChannelClient::OnReadable() {
    char buffer[4096];
    int n = socket_.Read(buffer, sizeof buffer);
    if (n <= 0) {
        // End of stream and errors are the socket's to report (OnClose).
        return;
    }
    if (outputStreams_ != nullptr) {
        TakeStream(buffer, static_cast<size_t>(n));
    } else if (waiting_.load()) {
        TakeReply(buffer, static_cast<size_t>(n));
    }
}

void PtyControlChannelClient::TakeStream(const char* data, size_t length) {
    // The stream is text: it ends at a zero byte, should one ever come.
    size_t text = strnlen(data, length);
    for (FILE* const* s = outputStreams_; *s != nullptr; ++s) {
        fwrite(data, 1, text, *s);
        // Flushed per block, so that a pipe or a followed file sees each
        // trace line when it arrives.
        fflush(*s);
    }
    if (text == 0) {
        return;
    }
    bool emptyLine = (streamAtLineEnd_ && data[0] == '\n') || memmem(data, text, "\n\n", 2);
    streamAtLineEnd_ = data[text - 1] == '\n';
    if (emptyLine) {
        waiting_ = false;
    }
}

void PtyControlChannelClient::TakeReply(const char* data, size_t length) {
    const char* lineEnd = static_cast<const char*>(memchr(data, '\n', length));
    if (lineEnd == nullptr) {
        partialReply_.append(data, length);
        if (partialReply_.size() > kReplyLimit) {
            partialReply_.clear();
            Finish(STATUS_UNUSABLE, kLengthLimitText);
        }
        return;
    }
    partialReply_.append(data, static_cast<size_t>(lineEnd - data));
    afterReply_.assign(lineEnd + 1, static_cast<size_t>(data + length - (lineEnd + 1)));
    std::string line;
    line.swap(partialReply_);
    // A carriage return may have come in the receive before the line end.
    while (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.size() > kReplyLimit) {
        Finish(STATUS_UNUSABLE, kLengthLimitText);
        return;
    }
    Classify(line);
}

void PtyControlChannelClient::Classify(const std::string& line) {
    boost::smatch m;
    if (boost::regex_match(line, m, okPattern_)) {
        Finish(STATUS_OK, m.str(1));
    } else if (boost::regex_match(line, m, errPattern_)) {
        Finish(STATUS_ERR, m.str(1));
    } else {
        Finish(STATUS_UNUSABLE, "Unrecognized response from server");
    }
}
