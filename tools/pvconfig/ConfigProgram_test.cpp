#include "tools/pvconfig/ConfigProgram.h"

#include <gtest/gtest.h>

#include "tools/control-client/LicenseText.h"
#include "tools/control-client/MemoryStream.h"
#include "tools/control-client/ScriptedRequester.h"
#include "tools/pvconfig/ConfigHelp.h"

namespace {

using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

struct Scripted {
    std::string request;
    int status;
    std::string text;
};

struct Case {
    const char* name;
    bool configMode;
    Args args;
    std::vector<Scripted> script;
    Lines requests;
    std::string out;
    std::string err;
    int exit;
};

struct Outcome {
    Lines requests;
    std::string out;
    std::string err;
    int exit;
    int closes;
};

Outcome RunProgram(bool configMode, const Args& args, const std::vector<Scripted>& script) {
    ScriptedRequester requester;
    for (const Scripted& s : script) {
        requester.Answer(s.request, s.status, s.text);
    }
    MemoryStream out;
    MemoryStream err;
    HelpPager pager(out.Stream(), false);
    ConfigProgram program(configMode, &requester, &pager, out.Stream(), err.Stream());
    int exit = program.Run(args);
    return Outcome{requester.Requests(), out.Text(), err.Text(), exit, requester.Closes()};
}

class ConfigProgramCase : public ::testing::TestWithParam<Case> {};

TEST_P(ConfigProgramCase, RequestsOutputAndStatus) {
    const Case& c = GetParam();
    Outcome o = RunProgram(c.configMode, c.args, c.script);
    EXPECT_EQ(o.requests, c.requests);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.exit, c.exit);
}

const bool kConfig = true;
const bool kQuery = false;

// Misuse: every message of the parser with its exit status; nothing is sent.
const Case kMisuse[] = {
    {"NoOptions", kConfig, {}, {}, {}, "", "Error: no options specified\n", 2},
    {"OnlyTty", kConfig, {"-tty", "a"}, {}, {}, "", "Error: no options specified\n", 2},
    {"NotAnOption", kConfig, {"tty0"}, {}, {}, "", "Unknown option tty0\n", 1},
    {"UnknownOption", kConfig, {"-bogus"}, {}, {}, "", "Unknown option -bogus\n", 1},
    {"AmbiguousPrefix", kConfig, {"-t", "x"}, {}, {}, "", "Unknown option -t\n", 1},
    {"DoubleDash", kConfig, {"--server", "x"}, {}, {}, "", "Unknown option --server\n", 1},
    {"TtyOptionWithoutTty",
     kConfig,
     {"-server", "h"},
     {},
     {},
     "",
     "Option -server only valid in conjunction with -tty option\n",
     2},
    {"TtyMustComeFirst",
     kConfig,
     {"-se", "h", "-tty", "a"},
     {},
     {},
     "",
     "Option -se only valid in conjunction with -tty option\n",
     2},
    {"GeneralOptionWithTty",
     kConfig,
     {"-tty", "a", "-nagle", "Y"},
     {},
     {},
     "",
     "Option -nagle not valid with -tty option\n",
     2},
    {"ConfigOnlyInQuery", kQuery, {"-reset"}, {}, {}, "", "Invalid option -reset\n", 2},
    {"DefloginInQuery", kQuery, {"-deflogin"}, {}, {}, "", "Invalid option -deflogin\n", 2},
    {"NoArgumentOption",
     kConfig,
     {"-version", "1"},
     {},
     {},
     "",
     "Option -version does not take an argument\n",
     3},
    {"QueryTakesNoValue",
     kQuery,
     {"-tty", "a", "-server", "h"},
     {},
     {},
     "",
     "Option -server does not take an argument\n",
     3},
    {"BadYesNo", kConfig, {"-nagle", "yes"}, {}, {}, "", "Option -nagle must be 'Y' or 'N'\n", 3},
    {"BadNumber",
     kConfig,
     {"-keepalive", "5s"},
     {},
     {},
     "",
     "Option -keepalive requires a numeric argument\n",
     3},
    {"ChmodFourDigits",
     kConfig,
     {"-chmod", "0660"},
     {},
     {},
     "",
     "Option -chmod must be three exactly octal digits (0-7)\n",
     3},
    {"ChmodNotOctal",
     kConfig,
     {"-_", "668"},
     {},
     {},
     "",
     "Option -_ must be three exactly octal digits (0-7)\n",
     3},
    {"BadChoice",
     kConfig,
     {"-tty", "a", "-parity", "bad"},
     {},
     {},
     "",
     "Option -parity must be one of: none, even, odd, mark, space\n",
     3},
    {"BadStopBits",
     kConfig,
     {"-tty", "a", "-S", "3"},
     {},
     {},
     "",
     "Option -S must be one of: 1, 1.5, 2\n",
     3},
    {"DevicePath",
     kConfig,
     {"-tty", "/dev/ttyS9", "-server", "h"},
     {},
     {},
     "",
     "Illegal character '/' in argument \"/dev/ttyS9\"\n",
     3},
    {"BlankInList",
     kConfig,
     {"-addtty", "a, b"},
     {},
     {},
     "",
     "Illegal character ' ' in argument \"a, b\"\n",
     3},
    {"MissingArgument",
     kConfig,
     {"-ttylist"},
     {},
     {},
     "",
     "Option -ttylist requires an argument\n",
     3},
    {"TtyNeedsDevice", kQuery, {"-tty"}, {}, {}, "", "Option -tty requires an argument\n", 3},
    {"CopyNeedsSource",
     kConfig,
     {"-tty", "a", "-copyfrom"},
     {},
     {},
     "",
     "Option -copyfrom requires an argument\n",
     3},
    {"SecondTty",
     kConfig,
     {"-tty", "a", "-tty", "b"},
     {},
     {},
     "",
     "Option -tty may only be specified once\n",
     3},
    {"StandAloneCombined",
     kConfig,
     {"-addtty", "a", "-reset"},
     {},
     {},
     "",
     "Option -addtty cannot be combined with other options\n",
     2},
    {"VersionCombined",
     kQuery,
     {"-nagle", "-version"},
     {},
     {},
     "",
     "Option -version cannot be combined with other options\n",
     2},
    {"HelpWithTty",
     kQuery,
     {"-tty", "a", "-help"},
     {},
     {},
     "",
     "Option -help not valid with -tty option\n",
     2},
    {"LineBreakInText",
     kConfig,
     {"-tty", "a", "-server", "h\nset config Ports x"},
     {},
     {},
     "",
     "Option -server must not contain a line break\n",
     3},
};
INSTANTIATE_TEST_SUITE_P(Misuse, ConfigProgramCase, ::testing::ValuesIn(kMisuse),
                         [](const auto& info) { return std::string(info.param.name); });

// Configuration mode: the request each kind of option sends (the integration
// tests go through every option).
const Case kRequests[] = {
    {"Version", kConfig, {"-version"}, {}, {}, "Portvane 4.0\n", "", 0},
    {"SetServer",
     kConfig,
     {"-tty", "a", "-server", "10.1.2.3"},
     {},
     {"set port a Server 10.1.2.3\n"},
     "",
     "",
     0},
    {"Abbreviation",
     kConfig,
     {"-tty", "a", "-se", "h", "-po", "4001"},
     {},
     {"set port a Server h\n", "set port a ServerPort 4001\n"},
     "",
     "",
     0},
    {"ProtocolDefault",
     kConfig,
     {"-tty", "a", "-protocol"},
     {},
     {"set port a TelnetMode tcp\n"},
     "",
     "",
     0},
    {"ServerDeleted", kConfig, {"-tty", "a", "-server"}, {}, {"delete port a Server\n"}, "", "", 0},
    {"LoneDashIsValue",
     kConfig,
     {"-tty", "a", "-server", "-"},
     {},
     {"set port a Server -\n"},
     "",
     "",
     0},
    {"YesNoAsDigits",
     kConfig,
     {"-tty", "a,b", "-restore", "y"},
     {},
     {"set port a,b AutoReconnect 1\n"},
     "",
     "",
     0},
    {"NagleInverted",
     kConfig,
     {"-nagle", "Y", "-g", "n"},
     {},
     {"set config TCPNODELAY 0\n", "set config TCPNODELAY 1\n"},
     "",
     "",
     0},
    {"CopyFrom", kConfig, {"-tty", "b,c", "-copyfrom", "a"}, {}, {"copy port a b,c\n"}, "", "", 0},
    {"GeneralDefaults",
     kConfig,
     {"-keepalive", "-timeout", "-delayclose", "-authterm"},
     {},
     {"set config CPCKeepAliveTimer 60000\n", "set config CPCKeepAliveWatch 30000\n",
      "set config PortCloseDelay 8000\n", "set config AuthTerminator \\n\n"},
     "",
     "",
     0},
    {"GeneralDeleted", kConfig, {"-chgrp"}, {}, {"delete config chgrp\n"}, "", "", 0},

};
INSTANTIATE_TEST_SUITE_P(Requests, ConfigProgramCase, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

// How request results end the tool: the first failure stops it.
const Case kResults[] = {
    {"Refused",
     kConfig,
     {"-tty", "a", "-server", "h", "-port", "1"},
     {{"set port a Server h\n", 1, "a does not exist"}},
     {"set port a Server h\n"},
     "",
     "Error: a does not exist\n",
     4},
    {"NotRunning",
     kConfig,
     {"-nagle", "Y"},
     {{"set config TCPNODELAY 0\n", 4, "Daemon not running"}},
     {"set config TCPNODELAY 0\n"},
     "",
     "Error contacting server: Daemon not running\n",
     5},
    {"Closed",
     kConfig,
     {"-nagle", "Y"},
     {{"set config TCPNODELAY 0\n", 2, "Connection Closed"}},
     {"set config TCPNODELAY 0\n"},
     "",
     "Error contacting server: Connection Closed\n",
     5},
    {"Garbage",
     kConfig,
     {"-nagle", "Y"},
     {{"set config TCPNODELAY 0\n", 5, "Unrecognized response from server"}},
     {"set config TCPNODELAY 0\n"},
     "",
     "Error: Unrecognized response from server\n",
     5},
    {"TimedOut",
     kConfig,
     {"-nagle", "Y"},
     {{"set config TCPNODELAY 0\n", 6, "Timed out waiting for response"}},
     {"set config TCPNODELAY 0\n"},
     "",
     "Error: Timed out waiting for response\n",
     5},
    {"QueryUnknownDevice",
     kQuery,
     {"-tty", "x"},
     {{"get port x Server\n", 1, "x does not exist"}},
     {"get port x Server\n"},
     "",
     "Error: x does not exist\n",
     4},
};
INSTANTIATE_TEST_SUITE_P(Results, ConfigProgramCase, ::testing::ValuesIn(kResults),
                         [](const auto& info) { return std::string(info.param.name); });

// The replies of a daemon with two devices, for the listings.
const std::vector<Scripted> kDaemon = {
    {"get config Ports\n", 0, "a,b"},          {"get config chmod\n", 0, "660"},
    {"get config TCPNODELAY\n", 0, "1"},       {"get config CPCKeepAliveTimer\n", 0, "15000"},
    {"get config DeferredPortOpen\n", 0, "1"}, {"get config LoginPrompts2\n", 0, "name?|id:"},
    {"get port a Server\n", 0, "10.1.2.3"},    {"get port a ServerPort\n", 0, "4001"},
    {"get port a TelnetMode\n", 0, "telnet"},  {"get port a AutoReconnect\n", 0, "1"},
    {"get port a Baud\n", 0, "9600"},          {"get port a Password\n", 0, "<password set>"},
    {"get port a chown\n", 0, "uucp"},         {"get port b Server\n", 0, "host-b"},
};

const char kGeneralListing[] =
    "ttylist:\ta,b\n"
    "chmod:\t\t660\n"
    "nagle:\t\tN\n"
    "keepalive:\t15000\n"
    "timeout:\t30000\n"
    "maxreconnect:\t30000\n"
    "delayclose:\t8000\n"
    "sync:\t\tY\n"
    "limitrate:\tN\n"
    "authterm:\t\\n\n"
    "login:\t\tname?|id:\n";

const char kDeviceA[] =
    "server:\t\t10.1.2.3\n"
    "port:\t\t4001\n"
    "protocol:\ttelnet\n"
    "restore:\tY\n"
    "speed:\t\t9600\n"
    "auth:\t\tnone\n"
    "password:\t<password set>\n"
    "chown:\t\tuucp\n";

const char kDeviceB[] =
    "server:\t\thost-b\n"
    "protocol:\ttcp\n"
    "restore:\tN\n"
    "auth:\t\tnone\n";

Lines DeviceRequests(const std::string& device) {
    Lines lines;
    for (const char* key : {"Server", "ServerPort", "TelnetMode", "AutoReconnect", "Baud",
                            "DataLength", "Parity", "StopBits", "DTR", "RTS", "InFlow", "OutFlow",
                            "AuthSource", "Login", "Password", "chown", "chgrp", "chmod"}) {
        lines.push_back("get port " + device + " " + key + "\n");
    }
    return lines;
}

TEST(QueryListing, GeneralListingSkipsUnsetSettingsWithoutDefault) {
    Outcome o = RunProgram(kQuery, {}, kDaemon);
    EXPECT_EQ(o.out, kGeneralListing);
    Lines expected = {"get config Ports\n",
                      "get config chown\n",
                      "get config chgrp\n",
                      "get config chmod\n",
                      "get config TCPNODELAY\n",
                      "get config CPCKeepAliveTimer\n",
                      "get config CPCKeepAliveWatch\n",
                      "get config MaxReconnectDelay\n",
                      "get config PortCloseDelay\n",
                      "get config DeferredPortOpen\n",
                      "get config ForceBaudRateThrottle\n",
                      "get config AuthTerminator\n",
                      "get config LoginPrompts2\n",
                      "get config PasswordPrompts2\n"};
    EXPECT_EQ(o.requests, expected);
    EXPECT_EQ(o.exit, 0);
    EXPECT_EQ(o.closes, 1);
}

TEST(QueryListing, OneDevice) {
    Outcome o = RunProgram(kQuery, {"-tty", "a"}, kDaemon);
    EXPECT_EQ(o.out, kDeviceA);
    EXPECT_EQ(o.requests, DeviceRequests("a"));
    EXPECT_EQ(o.exit, 0);
}

TEST(QueryListing, AllDevicesInBlocks) {
    Outcome o = RunProgram(kQuery, {"-tty", "all"}, kDaemon);
    EXPECT_EQ(o.out, std::string("tty:\t\ta\n") + kDeviceA + "\ntty:\t\tb\n" + kDeviceB + "\n");
    Lines expected = {"get config Ports\n"};
    for (const char* d : {"a", "b"}) {
        Lines more = DeviceRequests(d);
        expected.insert(expected.end(), more.begin(), more.end());
    }
    EXPECT_EQ(o.requests, expected);
}

TEST(QueryListing, ListedDevicesWithSelectedOptionsCarryLabels) {
    Outcome o = RunProgram(kQuery, {"-tty", "b,a", "-server"}, kDaemon);
    EXPECT_EQ(o.out, "tty:\t\tb\nserver:\t\thost-b\n\ntty:\t\ta\nserver:\t\t10.1.2.3\n\n");
    EXPECT_EQ(o.requests, (Lines{"get port b Server\n", "get port a Server\n"}));
}

TEST(QueryListing, AllWithoutDevicesPrintsNothing) {
    Outcome o = RunProgram(kQuery, {"-tty", "ALL"}, {});
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.exit, 0);
}

const Case kSelected[] = {
    {"OneOptionNoLabel",
     kQuery,
     {"-tty", "a", "-restore"},
     kDaemon,
     {"get port a AutoReconnect\n"},
     "Y\n",
     "",
     0},
    {"NagleShownInverted", kQuery, {"-nagle"}, kDaemon, {"get config TCPNODELAY\n"}, "N\n", "", 0},
    {"EmptyShowsDefault",
     kQuery,
     {"-delayclose"},
     kDaemon,
     {"get config PortCloseDelay\n"},
     "8000\n",
     "",
     0},
    {"EmptyWithoutDefault",
     kQuery,
     {"-tty", "a", "-username"},
     kDaemon,
     {"get port a Login\n"},
     "\n",
     "",
     0},
    {"TwoOptionsLabelled",
     kQuery,
     {"-tty", "a", "-server", "-port", "-username"},
     kDaemon,
     {"get port a Server\n", "get port a ServerPort\n", "get port a Login\n"},
     "server:\t\t10.1.2.3\nport:\t\t4001\nusername:\t\n",
     "",
     0},
    {"DeviceList", kQuery, {"-ttylist"}, kDaemon, {"get config Ports\n"}, "a,b\n", "", 0},
    {"Version", kQuery, {"-version"}, {}, {}, "Portvane 4.0\n", "", 0},
    {"HelpAbout",
     kQuery,
     {"-help", "about"},
     {{"get config helpabout\n", 0, "VER=4.0 BUILD=\"12 May\" X=1"}},
     {"get config helpabout\n"},
     "Portvane Version 4.0\n\n",
     "",
     0},
    {"HelpAboutRefused",
     kConfig,
     {"-h", "about"},
     {{"get config helpabout\n", 4, "Daemon not running"}},
     {"get config helpabout\n"},
     "",
     "Error contacting server: Daemon not running\n",
     5},
    {"License",
     kQuery,
     {"-help", "license"},
     {},
     {},
     std::string(PortvaneLicenseText()) + "\n",
     "",
     0},
    {"Eula", kConfig, {"-help", "eula"}, {}, {}, std::string(PortvaneLicenseText()) + "\n", "", 0},
    {"QueryUsage", kQuery, {"-help"}, {}, {}, ConfigHelp::UsageText(false), "", 0},
    {"ConfigUsage", kConfig, {"-help", "other"}, {}, {}, ConfigHelp::UsageText(true), "", 0},
};
INSTANTIATE_TEST_SUITE_P(Selected, ConfigProgramCase, ::testing::ValuesIn(kSelected),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigReset, GeneralSettings) {
    Outcome o = RunProgram(kConfig, {"-reset"}, {});
    Lines expected = {
        "delete config chown\n",
        "delete config chgrp\n",
        "delete config chmod\n",
        "set config TCPNODELAY 0\n",
        "set config CPCKeepAliveTimer 60000\n",
        "set config CPCKeepAliveWatch 30000\n",
        "set config MaxReconnectDelay 30000\n",
        "set config PortCloseDelay 8000\n",
        "set config DeferredPortOpen 0\n",
        "set config ForceBaudRateThrottle 0\n",
        "set config AuthTerminator \\n\n",
        "delete config LoginPrompts2\n",
        "delete config PasswordPrompts2\n",
        "set config LoginPrompts1 login: |username: |Username:|login :|Login:|user:|\n",
        "set config PasswordPrompts1 password:|Password:|Enter PASSCODE|\n",
    };
    EXPECT_EQ(o.requests, expected);
    EXPECT_EQ(o.exit, 0);
    EXPECT_EQ(o.closes, 1);
}

TEST(ConfigReset, DeviceSettings) {
    Outcome o = RunProgram(kConfig, {"-tty", "a,b", "-reset"}, {});
    Lines expected;
    for (const char* key : {"Server", "ServerPort"}) {
        expected.push_back(std::string("delete port a,b ") + key + "\n");
    }
    expected.push_back("set port a,b TelnetMode tcp\n");
    expected.push_back("set port a,b AutoReconnect 0\n");
    for (const char* key :
         {"Baud", "DataLength", "Parity", "StopBits", "DTR", "RTS", "InFlow", "OutFlow"}) {
        expected.push_back(std::string("delete port a,b ") + key + "\n");
    }
    expected.push_back("set port a,b AuthSource none\n");
    for (const char* key : {"Login", "Password", "chown", "chgrp", "chmod"}) {
        expected.push_back(std::string("delete port a,b ") + key + "\n");
    }
    EXPECT_EQ(o.requests, expected);
}

TEST(ConfigReset, RefusalNamesTheOption) {
    Outcome o =
        RunProgram(kConfig, {"-reset"}, {{"delete config chgrp\n", 1, "'x' is not a valid group"}});
    EXPECT_EQ(o.requests.size(), 2u);
    EXPECT_EQ(o.err, "Error resetting chgrp option: 'x' is not a valid group\n");
    EXPECT_EQ(o.exit, 4);
    EXPECT_EQ(o.closes, 1);
}

TEST(ConfigReset, UnreachableDaemon) {
    Outcome o =
        RunProgram(kConfig, {"-reset"}, {{"delete config chown\n", 4, "Daemon not running"}});
    EXPECT_EQ(o.err, "Error contacting server: Daemon not running\n");
    EXPECT_EQ(o.exit, 5);
}

TEST(ConfigProgramName, ModeFollowsTheProgramName) {
    EXPECT_TRUE(ConfigProgram::IsConfigName("/usr/bin/pvconfig"));
    EXPECT_TRUE(ConfigProgram::IsConfigName("./my-pvconfig-2"));
    EXPECT_FALSE(ConfigProgram::IsConfigName("build/bin/pvquery"));
    EXPECT_FALSE(ConfigProgram::IsConfigName(nullptr));
}

}  // namespace
