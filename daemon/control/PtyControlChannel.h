// The daemon's command set behind the control channel: reading and changing
// port and general settings, copying a port's settings, changing the set of
// ports, one trace session at a time, and echo. It owns the command server
// and the trace channel; the manager is a non-owning back-reference.
// HandleCommand runs on the server's thread with the server's mutex held;
// Start and Stop come from the main thread (Stop joins the server's thread
// before it touches the trace).
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon/control/PtyDebugChannel.h"
#include "daemon/control/SocketCommandLine.h"

class PTYRedirectorManager;

class PtyControlChannel : public SocketCommandLine::CommandHandler {
  public:
    static constexpr const char* kVersionText = "VER=4.0";
    // The server login sends at most this many password characters.
    static constexpr size_t kMaxPasswordLength = 63;

    // The commands, in the order they are registered and tried.
    enum Command {
        COMMAND_ECHO,
        COMMAND_SET_PORT,
        COMMAND_SET_CONFIG,
        COMMAND_DELETE_PORT,
        COMMAND_DELETE_CONFIG,
        COMMAND_GET_PORT,
        COMMAND_GET_CONFIG,
        COMMAND_COPY_PORT,
        COMMAND_TRACE,
        COMMAND_TRACEOFF,
        COMMAND_COUNT,
    };
    static const char* const kPatterns[COMMAND_COUNT];

    explicit PtyControlChannel(PTYRedirectorManager* manager);
    ~PtyControlChannel() override;
    PtyControlChannel(const PtyControlChannel&) = delete;
    PtyControlChannel& operator=(const PtyControlChannel&) = delete;

    // Registers the commands and starts the server; true unless the
    // commands cannot be registered (listener failures are only logged).
    bool Start();
    // Stops the server (which ends a trace), then drops the commands.
    void Stop();
    // The port the server listens on, 0 when it does not.
    uint16_t Port() const { return server_.Port(); }

    // The two halves of Start and Stop that need no socket; for tests and
    // the fuzz target, which dispatch lines themselves.
    bool RegisterCommands();
    void RemoveCommands();
    SocketCommandLine& Server() { return server_; }

    int HandleCommand(SocketCommandLine::Session* session, int commandId,
                      const boost::smatch& match, std::string* reply) override;

    // The per-port steps of set port and delete port.
    int SetPortSetting(const std::string& port, const std::string& key, const std::string& value,
                       std::string* reply);
    int DeletePortSetting(const std::string& port, const std::string& key, std::string* reply);

    // The trace's connection closed (from the trace channel).
    void TraceEnded();
    bool TraceActive() const { return traceSession_ != nullptr; }

  private:
    int Run(Command command, SocketCommandLine::Session* session, const boost::smatch& match,
            std::string* reply);
    // Expands "all"/"ALL" and checks that every name is a known port.
    bool KnownPorts(const std::string& argument, std::vector<std::string>* names,
                    std::string* reply);
    int SetOnPorts(const std::string& list, const std::string& key, const std::string& value,
                   std::string* reply);
    int DeleteOnPorts(const std::string& list, const std::string& key, std::string* reply);
    int GetPort(const std::string& port, const std::string& key, std::string* reply);
    int SetConfig(const std::string& key, const std::string& value, std::string* reply);
    int ChangePortList(const std::string& key, const std::string& value, std::string* reply);
    int DeleteConfig(const std::string& key);
    int GetConfig(const std::string& key, std::string* reply);
    int CopyPort(const std::string& source, const std::string& destinations, std::string* reply);
    int StartTrace(SocketCommandLine::Session* session, std::string* reply);
    int StopTrace(SocketCommandLine::Session* session, std::string* reply);
    // chown, chgrp, chmod: re-applied through the manager (`port` or "ALL").
    void ApplyDeviceSetting(const std::string& key, const std::string& port);

    PTYRedirectorManager* manager_;  // non-owning
    SocketCommandLine server_;
    SocketCommandLine::Session* traceSession_ = nullptr;  // non-owning
    PtyDebugChannel debugChannel_;
    int commandIds_[COMMAND_COUNT] = {};
};
