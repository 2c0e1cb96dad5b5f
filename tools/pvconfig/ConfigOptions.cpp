#include "tools/pvconfig/ConfigOptions.h"

namespace {

using K = ToolValueKind;

constexpr int kArgConfig = OPT_ARG_IN_CONFIG;
constexpr int kArg = OPT_ARG_ALWAYS;
constexpr int kNoArg = OPT_NO_ARG;
constexpr int kTty = OPT_WITH_TTY;
constexpr int kNoTty = OPT_WITHOUT_TTY;
constexpr int kConfig = OPT_CONFIG_ONLY;
constexpr int kUnlisted = OPT_UNLISTED;

ToolOption Row(char s, const char* l, int flags, const char* key, K kind,
               const char* reset = nullptr, std::vector<std::string> choices = {},
               int role = ConfigOptions::ROLE_SETTING, bool inverted = false) {
    return ToolOption{s, l, flags, key, kind, role, reset, std::move(choices), inverted};
}

ToolOption Act(char s, const char* l, int flags, const char* key, K kind, int role) {
    return Row(s, l, flags, key, kind, nullptr, {}, role);
}

std::vector<ToolOption> Rows() {
    return {
        Act('l', "ttylist", kArgConfig | kNoTty, "Ports", K::CommaList,
            ConfigOptions::ROLE_DEVICES),
        Act('3', "addtty", kArgConfig | kNoTty | kUnlisted, "AddPorts", K::CommaList,
            ConfigOptions::ROLE_DEVICES),
        Act('4', "deltty", kArgConfig | kNoTty | kUnlisted, "DelPorts", K::CommaList,
            ConfigOptions::ROLE_DEVICES),
        Act('y', "tty", kArg, "", K::CommaList, ConfigOptions::ROLE_TTY),
        Row('s', "server", kTty, "Server", K::Text),
        Row('p', "port", kTty, "ServerPort", K::Number),
        Row('o', "protocol", kTty, "TelnetMode", K::Choice, "tcp", {"tcp", "telnet", "telnetcr"}),
        Row('r', "restore", kTty, "AutoReconnect", K::YesNo, "N"),
        Row('E', "speed", kTty, "Baud", K::Number),
        Row('L', "length", kTty, "DataLength", K::Choice, nullptr, {"5", "6", "7", "8"}),
        Row('P', "parity", kTty, "Parity", K::Choice, nullptr,
            {"none", "even", "odd", "mark", "space"}),
        Row('S', "stop", kTty, "StopBits", K::Choice, nullptr, {"1", "1.5", "2"}),
        Row('D', "dtr", kTty, "DTR", K::Choice, nullptr, {"0", "1"}),
        Row('T', "rts", kTty, "RTS", K::Choice, nullptr, {"0", "1"}),
        Row('I', "inflow", kTty, "InFlow", K::Choice, nullptr, {"none", "rts", "dtr", "xonxoff"}),
        Row('O', "outflow", kTty, "OutFlow", K::Choice, nullptr, {"none", "cts", "dsr", "xonxoff"}),
        Row('a', "auth", kTty, "AuthSource", K::Choice, "none", {"none", "username"}),
        Row('u', "username", kTty, "Login", K::Text),
        Row('w', "password", kTty, "Password", K::Text),
        Row('/', "chown", 0, "chown", K::Text),
        Row('\\', "chgrp", 0, "chgrp", K::Text),
        Row('_', "chmod", 0, "chmod", K::Mode),
        // The key holds TCP_NODELAY, the opposite of "Nagle enabled".
        Row('g', "nagle", kNoTty, "TCPNODELAY", K::YesNo, "Y", {}, ConfigOptions::ROLE_SETTING,
            true),
        Row('k', "keepalive", kNoTty, "CPCKeepAliveTimer", K::Number, "60000"),
        Row('&', "timeout", kNoTty, "CPCKeepAliveWatch", K::Number, "30000"),
        Row('m', "maxreconnect", kNoTty, "MaxReconnectDelay", K::Number, "30000"),
        Row('C', "delayclose", kNoTty, "PortCloseDelay", K::Number, "8000"),
        Row('Y', "sync", kNoTty, "DeferredPortOpen", K::YesNo, "N"),
        Row('R', "limitrate", kNoTty, "ForceBaudRateThrottle", K::YesNo, "N"),
        // A backslash and an "n", which the daemon turns into a line end.
        Row('M', "authterm", kNoTty, "AuthTerminator", K::Text, "\\n"),
        Row('G', "login", kNoTty, "LoginPrompts2", K::BarList),
        Row('W', "pwd", kNoTty, "PasswordPrompts2", K::BarList),
        Act('7', "version", kNoArg | kNoTty, "", K::None, ConfigOptions::ROLE_VERSION),
        Row('1', "deflogin", kNoTty | kConfig, "LoginPrompts1", K::BarList,
            "login: |username: |Username:|login :|Login:|user:|"),
        Row('2', "defpassword", kNoTty | kConfig, "PasswordPrompts1", K::BarList,
            "password:|Password:|Enter PASSCODE|"),
        Act('c', "copyfrom", kArgConfig | kTty | kUnlisted, "Copy", K::Text,
            ConfigOptions::ROLE_COPY),
        Act('5', "reset", kNoArg | kConfig, "", K::None, ConfigOptions::ROLE_RESET),
        Act('h', "help", kNoTty | kUnlisted, "", K::Text, ConfigOptions::ROLE_HELP),
    };
}

}  // namespace

const ToolOptionTable& ConfigOptions::Table() {
    static const ToolOptionTable table(Rows());
    return table;
}
