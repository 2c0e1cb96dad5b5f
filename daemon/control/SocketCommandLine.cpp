#include "daemon/control/SocketCommandLine.h"

#include <cstring>
#include <new>

#include "common/runtime/DebugMonitor.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

void LogError(const char* text) {
    DebugMonitor::Instance().Log(DEBUG_ERROR, SocketCommandLine::kSource, 0, text);
}

// Boost.Regex gives up on pathological backtracking with an exception; a
// line it cannot decide simply does not match.
bool MatchesWholeLine(const std::string& line, const boost::regex& pattern, boost::smatch* match) {
    try {
        return boost::regex_match(line, *match, pattern);
    } catch (...) {
        return false;
    }
}

std::string ReplyLine(const char* prefix, const std::string& text) {
    std::string line = prefix + text;
    // Cut so that the newline always goes out: a reply without it would
    // leave the client waiting for the rest of the line.
    if (line.size() > SocketCommandLine::kMaxReply - 1) {
        line.resize(SocketCommandLine::kMaxReply - 1);
    }
    line += '\n';
    return line;
}

}  // namespace

// ---- Session -------------------------------------------------------------

SocketCommandLine::Session::Session(SocketCommandLine* owner)
    : owner_(owner), socket_(&owner->manager_, this) {}

SocketCommandLine::Session::~Session() {
    socket_.Close();
}

TCPDataServer* SocketCommandLine::Session::Attach(TCPDataClient* client) {
    if (attached_ != nullptr || client == nullptr) {
        return nullptr;
    }
    attached_ = client;
    return &socket_;
}

void SocketCommandLine::Session::Detach(TCPDataClient* client) {
    if (attached_ == client) {
        attached_ = nullptr;
    }
}

std::string SocketCommandLine::Session::Receive(const char* data, size_t length) {
    const char* newline = static_cast<const char*>(memchr(data, '\n', length));
    if (newline == nullptr) {
        pending_.append(data, length);
        if (pending_.size() > kMaxPending) {
            std::string().swap(pending_);
            LogError("Discarding command due to length limit of 262144 bytes");
        }
        return "";
    }
    pending_.append(data, newline - data);
    // Also a carriage return that came at the end of an earlier read.
    while (!pending_.empty() && pending_.back() == '\r') {
        pending_.pop_back();
    }
    std::string line;
    line.swap(pending_);
    return owner_->Dispatch(this, line);
}

void SocketCommandLine::Session::Send(const std::string& line) {
    if (line.empty()) {
        return;
    }
    if (!unsent_.empty()) {
        unsent_ += line;
        return;
    }
    int n = socket_.Write(line.data(), static_cast<uint16_t>(line.size()));
    if (n >= 0 && static_cast<size_t>(n) < line.size()) {
        unsent_.assign(line, n, std::string::npos);
    }
}

void SocketCommandLine::Session::OnReadable() {
    if (!unsent_.empty()) {
        return;
    }
    char buffer[kReadSize];
    int n = socket_.Read(buffer, sizeof buffer);
    if (n <= 0) {
        return;
    }
    Send(Receive(buffer, static_cast<size_t>(n)));
}

void SocketCommandLine::Session::OnWritable() {
    if (!unsent_.empty()) {
        size_t chunk = unsent_.size() < kMaxReply ? unsent_.size() : kMaxReply;
        int n = socket_.Write(unsent_.data(), static_cast<uint16_t>(chunk));
        if (n < 0) {
            // The connection is failing; its close report follows.
            unsent_.clear();
        } else {
            unsent_.erase(0, static_cast<size_t>(n));
        }
        if (!unsent_.empty()) {
            return;
        }
        socket_.EnableEvents(1, 1);
    }
    if (attached_ != nullptr) {
        attached_->OnWritable();
    }
}

void SocketCommandLine::Session::OnError(const char* text) {
    if (attached_ == nullptr && text != nullptr) {
        LogError(text);
    }
}

void SocketCommandLine::Session::OnClose(int reason) {
    TCPDataClient* attached = attached_;
    attached_ = nullptr;
    if (attached != nullptr) {
        attached->OnClose(reason);
    }
    owner_->Retire(this);
}

void SocketCommandLine::Session::OnConnect(int result, const IPAddress* /*remote*/,
                                           uint16_t /*port*/) {
    if (result == 0) {
        socket_.EnableEvents(1, 1);
    } else {
        owner_->Retire(this);
    }
}

// ---- Server --------------------------------------------------------------

SocketCommandLine::SocketCommandLine() : manager_(GetTimerGroup()), listener_(&manager_, this) {
    // No authentication on this channel, and its tools only ever connect to
    // 127.0.0.1: nothing beyond this host may reach it.
    listener_.SetBindAddress(kLoopbackAddress);
}

SocketCommandLine::~SocketCommandLine() {
    Stop();
    StopTimer(&deleteTimer_);
    // Sockets first: they are registered with manager_, which goes after.
    Lock lock(mutex_);
    sessions_.clear();
    deadSessions_.clear();
    commands_.clear();
}

int SocketCommandLine::AddCommand(const std::string& pattern, CommandHandler* handler) {
    boost::regex compiled;
    try {
        compiled.assign(pattern, boost::regex::perl);
    } catch (...) {
        return 0;
    }
    Lock lock(mutex_);
    int id = ++lastCommandId_;
    commands_[id] = Command{std::move(compiled), handler};
    return id;
}

void SocketCommandLine::RemoveCommand(int commandId) {
    Lock lock(mutex_);
    commands_.erase(commandId);
}

bool SocketCommandLine::Start() {
    if (running_.load()) {
        return true;
    }
    if (listener_.Listen(0) != 0) {
        LogError("Unable to bind listener socket");
        return true;
    }
    // Set before the thread exists, so that a Stop right after this Start
    // always finds the thread to join.
    running_.store(true);
    if (thread_.Start(ThreadEntry, this) != 0) {
        running_.store(false);
        listener_.Close();
        LogError("Unable to start control channel listener");
    }
    return true;
}

bool SocketCommandLine::Stop() {
    if (running_.exchange(false)) {
        GetTimerGroup()->GetEvent().Signal();
        thread_.Join();
    }
    // The thread is gone: nothing else touches the sessions now. A session
    // left open would keep its client waiting for replies that never come.
    listener_.Close();
    CloseAllSessions();
    return true;
}

void SocketCommandLine::CloseAllSessions() {
    std::list<std::unique_ptr<Session>> closing;
    {
        Lock lock(mutex_);
        closing.splice(closing.end(), sessions_);
        closing.splice(closing.end(), deadSessions_);
        StopTimer(&deleteTimer_);
    }
    for (auto& session : closing) {
        TCPDataClient* attached = session->Attached();
        session->Detach(attached);
        session->Socket()->Close();
        if (attached != nullptr) {
            attached->OnClose(IPERR_NETWORK);
        }
    }
}

void* SocketCommandLine::ThreadEntry(void* parameter) {
    auto* thread = static_cast<UnixThread*>(parameter);
    static_cast<SocketCommandLine*>(thread->GetArgument())->RunLoop();
    return nullptr;
}

void SocketCommandLine::RunLoop() {
    while (running_.load()) {
        RunEventLoopPass(*GetTimerGroup(), manager_);
    }
}

std::string SocketCommandLine::Dispatch(Session* session, const std::string& line) {
    Lock lock(mutex_);
    bool matched = false;
    // Walked by id rather than by iterator: a handler may add or remove
    // commands while it runs.
    int last = 0;
    for (;;) {
        auto it = commands_.upper_bound(last);
        if (it == commands_.end()) {
            break;
        }
        last = it->first;
        Command command = it->second;
        boost::smatch match;
        if (!MatchesWholeLine(line, command.pattern, &match)) {
            continue;
        }
        matched = true;
        std::string reply;
        int status = command.handler->HandleCommand(session, last, match, &reply);
        if (status == STATUS_OK) {
            return ReplyLine("OK ", reply);
        }
        if (status == STATUS_ERROR) {
            return ReplyLine("ERR ", reply);
        }
        if (status != STATUS_NEXT) {
            return "";
        }
    }
    return matched ? "" : "ERR unknown command\n";
}

TCPDataServer* SocketCommandLine::CreateDataClient(TCPListener* /*listener*/,
                                                   const IPAddress* /*local*/,
                                                   const IPAddress* /*remote*/) {
    std::unique_ptr<Session> session(new (std::nothrow) Session(this));
    if (!session) {
        LogError("Unable to create new control channel");
        return nullptr;
    }
    Lock lock(mutex_);
    LinuxSocket* socket = session->Socket();
    sessions_.push_back(std::move(session));
    return socket;
}

void SocketCommandLine::Retire(Session* session) {
    Lock lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (it->get() == session) {
            deadSessions_.splice(deadSessions_.end(), sessions_, it);
            break;
        }
    }
    if (deleteTimer_ == nullptr) {
        StartTimer(&deleteTimer_, 0);
    }
}

void SocketCommandLine::OnTimer(KtTimerHandle timer, void* /*argument*/) {
    std::list<std::unique_ptr<Session>> dead;
    {
        Lock lock(mutex_);
        if (timer != deleteTimer_) {
            return;
        }
        deleteTimer_ = nullptr;
        dead.swap(deadSessions_);
    }
}

size_t SocketCommandLine::SessionCount() {
    Lock lock(mutex_);
    return sessions_.size() + deadSessions_.size();
}
