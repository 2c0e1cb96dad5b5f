#include "daemon/control/PtyControlChannel.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>

#include "common/config/ConfigKeySchema.h"
#include "common/config/ConfigKeys.h"
#include "common/config/PortSettings.h"
#include "common/config/RegistryCache.h"
#include "daemon/control/ServerAddressEditor.h"
#include "daemon/core/PTYRedirectorManager.h"

using Session = SocketCommandLine::Session;

// clang-format off
const char* const PtyControlChannel::kPatterns[COMMAND_COUNT] = {
    R"(^echo[[:blank:]]+(.*)$)",
    R"(^set[[:blank:]]+port[[:blank:]]+([a-zA-Z0-9_\-\+\,]+)[[:blank:]]+([a-zA-Z0-9_\-]+)[[:blank:]]+(.*)$)",
    R"(^set[[:blank:]]+config[[:blank:]]+([a-zA-Z0-9_\-]+)[[:blank:]]+(.*)[[:blank:]]*$)",
    R"(^delete[[:blank:]]+port[[:blank:]]+([a-zA-Z0-9_\-\+\,]+)[[:blank:]]+([a-zA-Z0-9_\-]+)$)",
    R"(^delete[[:blank:]]+config[[:blank:]]+([a-zA-Z0-9_\-]+)$)",
    R"(^get[[:blank:]]+port[[:blank:]]+([a-zA-Z0-9_\-\+]+)[[:blank:]]+([a-zA-Z0-9_\-]+)$)",
    R"(^get[[:blank:]]+config[[:blank:]]+([a-zA-Z0-9_\-]+)[[:blank:]]*$)",
    R"(^copy[[:blank:]]+port[[:blank:]]+([a-zA-Z0-9_\-\+]+)[[:blank:]]+([a-zA-Z0-9_\-\+\,]+)$)",
    R"(^trace[[:blank:]]+([a-zA-Z0-9_\-\+\,]+)$)",
    R"(^traceoff$)",
};
// clang-format on

namespace {

constexpr int kOK = SocketCommandLine::STATUS_OK;
constexpr int kError = SocketCommandLine::STATUS_ERROR;

const std::string kServer = "Server";
const std::string kServerPort = "ServerPort";
const std::string kTelnetMode = "TelnetMode";
const std::string kPassword = "Password";
const std::string kAuthSource = "AuthSource";
const std::string kChown = "chown";
const std::string kChgrp = "chgrp";
const std::string kChmod = "chmod";

constexpr unsigned kTelnetOn = 1;
constexpr unsigned kTelnetCRPadded = 3;
constexpr unsigned kAuthByUsername = 3;
constexpr unsigned kAuthNone = 0;

// The configuration tool accepts its choice words in any case and sends them
// as typed ("-protocol TelnetCR"), so the words are compared the same way.
bool SameWord(const std::string& value, const char* word) {
    return strcasecmp(value.c_str(), word) == 0 && value.find('\0') == std::string::npos;
}

bool IsAllPorts(const std::string& argument) {
    return argument == "all" || argument == "ALL";
}

// Every element, empty ones included: an empty element names no port and is
// reported like any other unknown name.
std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        names.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos) {
            return names;
        }
        start = comma + 1;
    }
}

// The look-up functions stop at a NUL, so a name containing one would be
// taken for its first part.
bool IsUser(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        return false;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    char scratch[16384];
    return getpwnam_r(name.c_str(), &entry, scratch, sizeof scratch, &found) == 0 &&
           found != nullptr;
}

bool IsGroup(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        return false;
    }
    struct group entry;
    struct group* found = nullptr;
    char scratch[16384];
    return getgrnam_r(name.c_str(), &entry, scratch, sizeof scratch, &found) == 0 &&
           found != nullptr;
}

std::string StoredServerAddress(const std::string& port) {
    std::string stored;
    PortConfigGetString(port, ConfigKeys::kServerAddress.name, &stored, "");
    return stored;
}

bool StoreServerAddress(const std::string& port, const std::string& value) {
    return PortConfigSetString(port, ConfigKeys::kServerAddress.name, value);
}

int Failed(std::string* reply, const std::string& text) {
    *reply = text;
    return kError;
}

}  // namespace

PtyControlChannel::PtyControlChannel(PTYRedirectorManager* manager)
    : manager_(manager), debugChannel_(this, server_.GetTimerGroup()) {}

PtyControlChannel::~PtyControlChannel() {
    Stop();
}

bool PtyControlChannel::RegisterCommands() {
    RemoveCommands();
    for (int c = 0; c < COMMAND_COUNT; ++c) {
        commandIds_[c] = server_.AddCommand(kPatterns[c], this);
        if (commandIds_[c] == 0) {
            RemoveCommands();
            return false;
        }
    }
    return true;
}

void PtyControlChannel::RemoveCommands() {
    for (int& id : commandIds_) {
        if (id != 0) {
            server_.RemoveCommand(id);
            id = 0;
        }
    }
}

bool PtyControlChannel::Start() {
    if (!RegisterCommands()) {
        return false;
    }
    return server_.Start();
}

void PtyControlChannel::Stop() {
    // The server's thread ends first, so that no command or trace event runs
    // while the trace is taken down; closing the sessions ends the trace.
    server_.Stop();
    if (traceSession_ != nullptr) {
        traceSession_->Detach(&debugChannel_);
        traceSession_ = nullptr;
    }
    debugChannel_.Stop();
    RemoveCommands();
}

void PtyControlChannel::TraceEnded() {
    traceSession_ = nullptr;
}

int PtyControlChannel::HandleCommand(Session* session, int commandId, const boost::smatch& match,
                                     std::string* reply) {
    for (int c = 0; c < COMMAND_COUNT; ++c) {
        if (commandIds_[c] == commandId) {
            return Run(static_cast<Command>(c), session, match, reply);
        }
    }
    return SocketCommandLine::STATUS_NEXT;
}

int PtyControlChannel::Run(Command command, Session* session, const boost::smatch& match,
                           std::string* reply) {
    switch (command) {
        case COMMAND_ECHO:
            *reply = match.str(1);
            return kOK;
        case COMMAND_SET_PORT:
            return SetOnPorts(match.str(1), match.str(2), match.str(3), reply);
        case COMMAND_SET_CONFIG:
            return SetConfig(match.str(1), match.str(2), reply);
        case COMMAND_DELETE_PORT:
            return DeleteOnPorts(match.str(1), match.str(2), reply);
        case COMMAND_DELETE_CONFIG:
            return DeleteConfig(match.str(1));
        case COMMAND_GET_PORT:
            return GetPort(match.str(1), match.str(2), reply);
        case COMMAND_GET_CONFIG:
            return GetConfig(match.str(1), reply);
        case COMMAND_COPY_PORT:
            return CopyPort(match.str(1), match.str(2), reply);
        case COMMAND_TRACE:
            return StartTrace(session, reply);
        case COMMAND_TRACEOFF:
            return StopTrace(session, reply);
        case COMMAND_COUNT:
            break;
    }
    return SocketCommandLine::STATUS_NEXT;
}

bool PtyControlChannel::KnownPorts(const std::string& argument, std::vector<std::string>* names,
                                   std::string* reply) {
    if (IsAllPorts(argument)) {
        std::string all = manager_->ListPorts(true);
        names->clear();
        if (!all.empty()) {
            *names = SplitList(all);
        }
        return true;
    }
    *names = SplitList(argument);
    for (const std::string& name : *names) {
        if (!manager_->IsKnownPort(name)) {
            *reply = name + " does not exist";
            return false;
        }
    }
    return true;
}

void PtyControlChannel::ApplyDeviceSetting(const std::string& key, const std::string& port) {
    if (key == kChown) {
        manager_->ApplyOwner(port);
    } else if (key == kChgrp) {
        manager_->ApplyGroup(port);
    } else if (key == kChmod) {
        manager_->ApplyMode(port);
    }
}

// ---- set port / delete port / get port ------------------------------------

int PtyControlChannel::SetOnPorts(const std::string& list, const std::string& key,
                                  const std::string& value, std::string* reply) {
    std::vector<std::string> names;
    if (!KnownPorts(list, &names, reply)) {
        return kError;
    }
    // Nothing is undone when a later port fails.
    for (const std::string& name : names) {
        int status = SetPortSetting(name, key, value, reply);
        if (status != kOK) {
            return status;
        }
    }
    return kOK;
}

int PtyControlChannel::SetPortSetting(const std::string& port, const std::string& key,
                                      const std::string& value, std::string* reply) {
    if (!manager_->IsKnownPort(port)) {
        return Failed(reply, port + " does not exist");
    }
    bool stored;
    if (key == kServer) {
        stored = StoreServerAddress(port,
                                    ServerAddressEditor(StoredServerAddress(port)).WithHost(value));
    } else if (key == kServerPort) {
        stored = StoreServerAddress(port,
                                    ServerAddressEditor(StoredServerAddress(port)).WithPort(value));
    } else if (key == kTelnetMode) {
        bool padded = SameWord(value, "telnetcr");
        unsigned mode = padded || SameWord(value, "telnet") ? kTelnetOn : 0;
        unsigned crMode = padded ? kTelnetCRPadded : 0;
        stored = PortConfigSetUnsigned(port, ConfigKeys::kTelnetMode.name, mode) &&
                 PortConfigSetUnsigned(port, ConfigKeys::kTelnetCRMode.name, crMode);
    } else if (key == kPassword) {
        // The login answer carries at most this much; a longer password
        // could never be sent whole, so it is refused rather than cut.
        if (value.size() > kMaxPasswordLength) {
            return Failed(reply, "Password too long (at most 63 characters)");
        }
        stored = PortSettings(port).SetPassword(value);
    } else if (key == kAuthSource) {
        stored = PortConfigSetUnsigned(port, ConfigKeys::kAuthSource.name,
                                       SameWord(value, "username") ? kAuthByUsername : kAuthNone);
    } else if (key == kChown || key == kChgrp) {
        if (key == kChown ? !IsUser(value) : !IsGroup(value)) {
            return Failed(reply,
                          "'" + value + "' is not a valid " + (key == kChown ? "user" : "group"));
        }
        stored = PortConfigSetString(port, key, value);
        ApplyDeviceSetting(key, port);
    } else if (key == kChmod) {
        stored = PortConfigSetString(port, key, value);
        ApplyDeviceSetting(key, port);
    } else {
        stored = SetPortSettingFromText(port, key, value);
    }
    if (!stored) {
        return Failed(reply, "");
    }
    return kOK;
}

int PtyControlChannel::DeleteOnPorts(const std::string& list, const std::string& key,
                                     std::string* reply) {
    std::vector<std::string> names;
    if (!KnownPorts(list, &names, reply)) {
        return kError;
    }
    for (const std::string& name : names) {
        int status = DeletePortSetting(name, key, reply);
        if (status != kOK) {
            return status;
        }
    }
    return kOK;
}

int PtyControlChannel::DeletePortSetting(const std::string& port, const std::string& key,
                                         std::string* reply) {
    if (!manager_->IsKnownPort(port)) {
        return Failed(reply, port + " does not exist");
    }
    if (key == kServer) {
        StoreServerAddress(port, ServerAddressEditor(StoredServerAddress(port)).WithoutHost());
    } else if (key == kServerPort) {
        StoreServerAddress(port, ServerAddressEditor(StoredServerAddress(port)).WithoutPort());
    } else if (key == kTelnetMode) {
        PortConfigDelete(port, ConfigKeys::kTelnetMode.name);
        PortConfigDelete(port, ConfigKeys::kTelnetCRMode.name);
    } else {
        // Deleting a key that is not there is no failure.
        PortConfigDelete(port, key);
        ApplyDeviceSetting(key, port);
    }
    return kOK;
}

int PtyControlChannel::GetPort(const std::string& port, const std::string& key,
                               std::string* reply) {
    if (!manager_->IsKnownPort(port)) {
        return Failed(reply, port + " does not exist");
    }
    reply->clear();
    if (key == kServer) {
        *reply = ServerAddressEditor(StoredServerAddress(port)).Host();
    } else if (key == kServerPort) {
        *reply = ServerAddressEditor(StoredServerAddress(port)).Port();
    } else if (key == kTelnetMode) {
        int mode = 0;
        int crMode = 0;
        if (PortConfigGetInt(port, ConfigKeys::kTelnetMode.name, &mode, 0)) {
            PortConfigGetInt(port, ConfigKeys::kTelnetCRMode.name, &crMode, 0);
            *reply = mode != static_cast<int>(kTelnetOn)
                         ? "tcp"
                         : (crMode == static_cast<int>(kTelnetCRPadded) ? "telnetcr" : "telnet");
        }
    } else if (key == kPassword) {
        // Never the password itself.
        std::string stored;
        PortConfigGetString(port, ConfigKeys::kPassword.name, &stored, "");
        *reply = stored.empty() ? "" : "<password set>";
    } else if (key == kAuthSource) {
        int source = 0;
        if (PortConfigGetInt(port, ConfigKeys::kAuthSource.name, &source, 0)) {
            *reply = source == static_cast<int>(kAuthByUsername) ? "username" : "none";
        }
    } else {
        GetPortSettingText(port, key, reply);
    }
    return kOK;
}

// ---- set config / delete config / get config -------------------------------

int PtyControlChannel::SetConfig(const std::string& key, const std::string& value,
                                 std::string* reply) {
    if (key == "Ports" || key == "AddPorts" || key == "DelPorts") {
        return ChangePortList(key, value, reply);
    }
    bool stored;
    if (key == kChown || key == kChgrp) {
        if (key == kChown ? !IsUser(value) : !IsGroup(value)) {
            return Failed(reply,
                          "'" + value + "' is not a valid " + (key == kChown ? "user" : "group"));
        }
        stored = ConfigSetString(key, value);
        ApplyDeviceSetting(key, "ALL");
    } else if (key == kChmod) {
        stored = ConfigSetString(key, value);
        ApplyDeviceSetting(key, "ALL");
    } else {
        stored = SetConfigFromText(key, value);
    }
    return stored ? kOK : Failed(reply, "");
}

int PtyControlChannel::ChangePortList(const std::string& key, const std::string& value,
                                      std::string* reply) {
    bool done;
    if (key == "Ports") {
        done = manager_->SetPorts(value, *reply, true);
    } else if (key == "AddPorts") {
        done = manager_->AddPorts(value, *reply, true);
    } else {
        // Names that are not ports are simply ignored.
        done = manager_->RemovePorts(value, *reply, false);
    }
    if (!done) {
        return kError;
    }
    if (!ConfigSetString(ConfigKeys::kPorts.name, manager_->ListPorts(true))) {
        return Failed(reply, "Error saving port list");
    }
    return kOK;
}

int PtyControlChannel::DeleteConfig(const std::string& key) {
    // Deleting Ports leaves the running ports alone; the list is only read
    // again at the next reload.
    ConfigDelete(key);
    ApplyDeviceSetting(key, "ALL");
    return kOK;
}

int PtyControlChannel::GetConfig(const std::string& key, std::string* reply) {
    if (key == "helpabout") {
        *reply = kVersionText;
        return kOK;
    }
    GetConfigText(key, reply);
    return kOK;
}

// ---- copy port ---------------------------------------------------------------

int PtyControlChannel::CopyPort(const std::string& source, const std::string& destinations,
                                std::string* reply) {
    if (!manager_->IsKnownPort(source)) {
        return Failed(reply, source + " does not exist");
    }
    std::vector<std::string> names;
    if (!KnownPorts(destinations, &names, reply)) {
        return kError;
    }
    for (const std::string& name : names) {
        if (name == source) {
            continue;
        }
        if (!CopyPortSettings(source, name)) {
            return Failed(reply, "Error copying settings from " + source + " to " + name);
        }
    }
    return kOK;
}

// ---- trace / traceoff --------------------------------------------------------

int PtyControlChannel::StartTrace(Session* session, std::string* reply) {
    if (traceSession_ != nullptr) {
        return Failed(reply, "Only one trace session may be active");
    }
    TCPDataServer* socket = session != nullptr ? session->Attach(&debugChannel_) : nullptr;
    if (socket == nullptr) {
        return Failed(reply, "Internal error starting trace session");
    }
    traceSession_ = session;
    // Whatever the ports argument names, the trace carries every record.
    debugChannel_.Start(socket);
    return kOK;
}

int PtyControlChannel::StopTrace(Session* session, std::string* reply) {
    if (traceSession_ == nullptr) {
        return Failed(reply, "No trace session active");
    }
    // From another connection this is answered OK and the trace goes on.
    if (session == traceSession_) {
        traceSession_->Detach(&debugChannel_);
        debugChannel_.Stop();
        traceSession_ = nullptr;
    }
    return kOK;
}
