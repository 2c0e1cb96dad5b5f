// A small line-oriented command server on TCP: it listens on 127.0.0.1 at
// the first free port from 49152, cuts what each connection sends into
// command lines, matches each line against the registered patterns in
// registration order and writes the reply line of the handler that takes it.
// It owns its timer group, SelectManager, listener, thread and sessions;
// everything of a session runs on that thread. AddCommand/RemoveCommand may
// be called from any thread; Start/Stop from one controlling thread.
#pragma once

#include <atomic>
#include <boost/regex.hpp>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/LinuxSocket.h"
#include "common/runtime/LinuxSocketListener.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/TCPDataClient.h"
#include "common/runtime/TCPListenerClient.h"
#include "common/runtime/UnixThread.h"

class SocketCommandLine : public KtTimerManager, public TCPListenerClient {
  public:
    static constexpr uint32_t kLoopbackAddress = 0x7F000001u;  // 127.0.0.1

    static constexpr const char* kSource = "ctrl";
    // One read of a connection; bytes after its first newline are dropped.
    static constexpr size_t kReadSize = 4096;
    // A line that grows past this without a newline is thrown away.
    static constexpr size_t kMaxPending = 262144;
    // A reply is written with one 16-bit write: at most this many bytes,
    // its newline included.
    static constexpr size_t kMaxReply = 65535;

    // Handler status: what the server does after HandleCommand.
    enum Status {
        STATUS_OK = 0,      // write "OK " + reply + "\n", stop matching
        STATUS_ERROR = 1,   // write "ERR " + reply + "\n", stop matching
        STATUS_NEXT = 2,    // write nothing, try the commands registered later
        STATUS_SILENT = 3,  // (and any other value) write nothing, stop matching
    };

    class Session;

    // Carries out the commands it registered. Called on the server's thread
    // with the server's mutex held, one command at a time.
    class CommandHandler {
      public:
        virtual ~CommandHandler() = default;
        virtual int HandleCommand(Session* session, int commandId, const boost::smatch& match,
                                  std::string* reply) = 0;
    };

    // One accepted connection: frames its lines, dispatches them and writes
    // the replies. It owns its socket; a client attached to it (a trace)
    // takes over the socket's writable events and hears the close.
    class Session final : public TCPDataClient {
      public:
        explicit Session(SocketCommandLine* owner);
        ~Session();
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        // Lets `client` stream on this connection: the socket to write to,
        // or null when another client is attached already.
        TCPDataServer* Attach(TCPDataClient* client);
        // Only the attached client's own detach counts.
        void Detach(TCPDataClient* client);
        TCPDataClient* Attached() const { return attached_; }

        LinuxSocket* Socket() { return &socket_; }

        // The framing of one read: the reply line to send ("" for none).
        // Public so that tests and the fuzz target can drive it without a
        // connection.
        std::string Receive(const char* data, size_t length);
        size_t PendingLength() const { return pending_.size(); }

        void OnWritable() override;
        void OnReadable() override;
        void OnError(const char* text) override;
        void OnClose(int reason) override;
        void OnConnect(int result, const IPAddress* remote, uint16_t port) override;

      private:
        void Send(const std::string& line);

        SocketCommandLine* owner_;  // non-owning
        LinuxSocket socket_;
        TCPDataClient* attached_ = nullptr;  // non-owning
        std::string pending_;
        // The part of a reply the socket did not take yet. While it waits,
        // nothing more is read, so a client that does not read its replies
        // cannot make it grow.
        std::string unsent_;
    };

    SocketCommandLine();
    ~SocketCommandLine() override;

    // The new command's id (1, 2, 3, ...), or 0 when the pattern does not
    // compile.
    int AddCommand(const std::string& pattern, CommandHandler* handler);
    void RemoveCommand(int commandId);

    // Binds, listens and starts the thread; a failure is logged and the
    // server simply stays down. Always true.
    bool Start();
    // Ends the thread, closes the listener and every session.
    bool Stop();
    bool IsRunning() const { return running_.load(); }
    // The port bound by the last Start; 0 while not listening.
    uint16_t Port() const { return listener_.GetPort(); }

    // Matches one line and runs its handler: the reply line to write, "" for
    // none. Holds the mutex throughout.
    std::string Dispatch(Session* session, const std::string& line);

    TCPDataServer* CreateDataClient(TCPListener* listener, const IPAddress* local,
                                    const IPAddress* remote) override;
    void OnTimer(KtTimerHandle timer, void* argument) override;

    // Live sessions and those waiting to be deleted; for tests.
    size_t SessionCount();

  private:
    struct Command {
        boost::regex pattern;
        CommandHandler* handler;  // non-owning
    };

    static void* ThreadEntry(void* parameter);
    void RunLoop();
    // Moves a session whose connection ended to deadSessions_; deleted by
    // deleteTimer_, since it is still on the call stack here.
    void Retire(Session* session);
    void CloseAllSessions();

    SelectManager manager_;
    LinuxSocketListener listener_;
    std::recursive_mutex mutex_;
    UnixThread thread_;
    std::atomic<bool> running_{false};
    std::list<std::unique_ptr<Session>> sessions_;
    std::list<std::unique_ptr<Session>> deadSessions_;
    KtTimerHandle deleteTimer_ = nullptr;
    std::map<int, Command> commands_;
    int lastCommandId_ = 0;
};
