#include "daemon/control/PtyControlChannel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/config/PortSettings.h"
#include "common/config/RegistryCache.h"
#include "daemon/control/ControlTestSupport.h"
#include "daemon/core/PTYRedirectorManager.h"

namespace {

struct Step {
    const char* request;
    std::string reply;
};

// The command set over a server that is not started: each request line goes
// straight into a session, against the real manager and a scratch
// configuration.
class PtyControlChannelTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(channel_.RegisterCommands()); }
    void TearDown() override {
        std::string reply;
        manager_.SetPorts("", reply, false);
    }

    std::string Ask(const std::string& line, SocketCommandLine::Session* session = nullptr) {
        return channel_.Server().Dispatch(session != nullptr ? session : &session_, line);
    }

    void Run(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            EXPECT_EQ(Ask(s.request), s.reply) << s.request;
        }
    }

    // Ports a and b, made the way the daemon makes them.
    bool MakePorts() {
        std::string reply;
        return manager_.AddPorts("a,b", reply, true) && manager_.IsKnownPort("a") &&
               manager_.IsKnownPort("b");
    }

    static std::string Stored(const std::string& port, const std::string& key) {
        std::string value;
        if (!PortConfigGetString(port, key, &value, "")) {
            return "<absent>";
        }
        return value;
    }

    ScratchRoot root_;
    PTYRedirectorManager manager_;
    PtyControlChannel channel_{&manager_};
    SocketCommandLine::Session session_{&channel_.Server()};
};

#define REQUIRE_PORTS()                                        \
    if (!MakePorts()) {                                        \
        GTEST_SKIP() << "the manager cannot create ports yet"; \
    }

TEST_F(PtyControlChannelTest, GeneralCommands) {
    Run({
        {"echo hello  world ", "OK hello  world \n"},
        {"echo", "ERR unknown command\n"},
        {"ECHO x", "ERR unknown command\n"},
        {"get config helpabout", "OK VER=4.0\n"},
        {"get config helpabout  ", "OK VER=4.0\n"},
        {"set config MaxReconnectDelay 5000", "OK \n"},
        {"get config MaxReconnectDelay", "OK 5000\n"},
        {"set config MaxReconnectDelay soon", "ERR \n"},
        {"get config MaxReconnectDelay", "OK 5000\n"},
        // The value keeps its trailing blanks.
        {"set config DebugLog a b  ", "OK \n"},
        {"get config DebugLog", "OK a b  \n"},
        {"set config NoSuchKey 1", "ERR \n"},
        {"get config NoSuchKey", "OK \n"},
        {"delete config NoSuchKey", "OK \n"},
        {"delete config MaxReconnectDelay", "OK \n"},
        {"get config MaxReconnectDelay", "OK \n"},
        {"set config chown no-such-user-here", "ERR 'no-such-user-here' is not a valid user\n"},
        {"set config chgrp no-such-group-here", "ERR 'no-such-group-here' is not a valid group\n"},
        {"set config chown root", "OK \n"},
        {"set config chgrp root", "OK \n"},
        {"set config chmod 0660", "OK \n"},
        {"get config chmod", "OK 0660\n"},
        {"delete config chmod", "OK \n"},
        {"get port nothere Baud", "ERR nothere does not exist\n"},
        {"set port nothere Baud 9600", "ERR nothere does not exist\n"},
        {"delete port nothere Baud", "ERR nothere does not exist\n"},
        {"copy port nothere all", "ERR nothere does not exist\n"},
        {"traceoff", "ERR No trace session active\n"},
        {"traceoff now", "ERR unknown command\n"},
    });
    std::string value;
    EXPECT_FALSE(ConfigGetString("NoSuchKey", &value, ""));
    EXPECT_TRUE(ConfigGetString("chown", &value, ""));
    EXPECT_EQ(value, "root");
}

TEST_F(PtyControlChannelTest, OneTraceAtATime) {
    SocketCommandLine::Session other(&channel_.Server());
    EXPECT_EQ(Ask("trace all"), "OK \n");
    EXPECT_TRUE(channel_.TraceActive());
    EXPECT_EQ(Ask("trace a,b", &other), "ERR Only one trace session may be active\n");
    // From another connection: answered, and the trace goes on.
    EXPECT_EQ(Ask("traceoff", &other), "OK \n");
    EXPECT_TRUE(channel_.TraceActive());
    EXPECT_EQ(session_.Attached() != nullptr, true);
    EXPECT_EQ(Ask("traceoff"), "OK \n");
    EXPECT_FALSE(channel_.TraceActive());
    EXPECT_EQ(session_.Attached(), nullptr);
    EXPECT_EQ(Ask("traceoff"), "ERR No trace session active\n");
    // A new trace on the same connection, and its end with the connection.
    EXPECT_EQ(Ask("trace x"), "OK \n");
    session_.OnClose(0);
    EXPECT_FALSE(channel_.TraceActive());
    EXPECT_EQ(Ask("trace x", &other), "OK \n");
    channel_.Stop();
    EXPECT_FALSE(channel_.TraceActive());
}

TEST_F(PtyControlChannelTest, PortSettings) {
    REQUIRE_PORTS();
    Run({
        {"set port a Baud 9600", "OK \n"},
        {"get port a Baud", "OK 9600\n"},
        {"set port a Baud fast", "ERR \n"},
        {"set port a NoSuchKey 1", "ERR \n"},
        {"get port a NoSuchKey", "OK \n"},
        // The whole list is checked before anything changes.
        {"set port a,zz Baud 1200", "ERR zz does not exist\n"},
        {"set port a,,b Baud 1200", "ERR  does not exist\n"},
        {"get port a Baud", "OK 9600\n"},
        {"get port a,b Baud", "ERR unknown command\n"},
        {"set port all TelnetMode telnetcr", "OK \n"},
        {"get port b TelnetMode", "OK telnetcr\n"},
        {"set port a TelnetMode telnet", "OK \n"},
        {"get port a TelnetMode", "OK telnet\n"},
        {"set port a TelnetMode TelnetCR", "OK \n"},
        {"get port a TelnetMode", "OK telnetcr\n"},
        {"set port a TelnetMode raw", "OK \n"},
        {"get port a TelnetMode", "OK tcp\n"},
        {"delete port a TelnetMode", "OK \n"},
        {"get port a TelnetMode", "OK \n"},
        {"set port a AuthSource username", "OK \n"},
        {"get port a AuthSource", "OK username\n"},
        {"set port a AuthSource UserName", "OK \n"},
        {"get port a AuthSource", "OK username\n"},
        {"set port a AuthSource other", "OK \n"},
        {"get port a AuthSource", "OK none\n"},
        {"get port b AuthSource", "OK \n"},
        {"set port a chown no-such-user-here", "ERR 'no-such-user-here' is not a valid user\n"},
        {"set port a chgrp no-such-group-here", "ERR 'no-such-group-here' is not a valid group\n"},
        {"set port a chown root", "OK \n"},
        {"set port a chgrp root", "OK \n"},
        {"set port a chmod 0600", "OK \n"},
        {"get port a chmod", "OK 0600\n"},
        {"delete port a chmod", "OK \n"},
        {"delete port a Baud", "OK \n"},
        {"delete port a Baud", "OK \n"},
        {"get port a Baud", "OK \n"},
    });
    EXPECT_EQ(Stored("b", "TelnetMode"), "1");
    EXPECT_EQ(Stored("b", "TelnetCRMode"), "3");
    EXPECT_EQ(Stored("a", "TelnetMode"), "<absent>");
    EXPECT_EQ(Stored("a", "TelnetCRMode"), "<absent>");
    EXPECT_EQ(Stored("a", "NoSuchKey"), "<absent>");
    EXPECT_EQ(Stored("a", "AuthSource"), "0");
}

TEST_F(PtyControlChannelTest, ServerAndServerPortKeepEachOther) {
    REQUIRE_PORTS();
    Run({
        {"set port a Server h", "OK \n"},
        {"set port a ServerPort 4001", "OK \n"},
        {"get port a Server", "OK h\n"},
        {"get port a ServerPort", "OK 4001\n"},
        // The port first, as "-port 4001 -server h" sends them.
        {"set port b ServerPort 4001", "OK \n"},
        {"get port b Server", "OK \n"},
        {"get port b ServerPort", "OK 4001\n"},
        {"set port b Server h2", "OK \n"},
        {"delete port a Server", "OK \n"},
        {"get port a ServerPort", "OK 4001\n"},
        {"set port a Server h3", "OK \n"},
    });
    EXPECT_EQ(Stored("a", "ServerAddress"), "h3[4001]");
    EXPECT_EQ(Stored("b", "ServerAddress"), "h2[4001]");
    Run({{"delete port a ServerPort", "OK \n"}, {"set port a ServerPort 23", "OK \n"}});
    EXPECT_EQ(Stored("a", "ServerAddress"), "h3[23]");
}

TEST_F(PtyControlChannelTest, PasswordIsStoredScrambledAndNeverShown) {
    REQUIRE_PORTS();
    const std::string longest(63, 'p');
    Run({
        {"get port a Password", "OK \n"},
        {"set port a Login user", "OK \n"},
        {"set port a Password se cret", "OK \n"},
        {"get port a Password", "OK <password set>\n"},
        {"set port a Password 0123456789012345678901234567890123456789012345678901234567890123",
         "ERR Password too long (at most 63 characters)\n"},
    });
    EXPECT_EQ(PortSettings("a").Password(), "se cret");
    EXPECT_NE(Stored("a", "Password"), "se cret");
    EXPECT_EQ(Ask("set port a Password " + longest), "OK \n");
    EXPECT_EQ(PortSettings("a").Password(), longest);
}

TEST_F(PtyControlChannelTest, CopyPortToAllSkipsTheSource) {
    REQUIRE_PORTS();
    Run({
        {"set port a Login user", "OK \n"},
        {"set port a Password pw", "OK \n"},
        {"set port a Baud 19200", "OK \n"},
        {"set port b Parity even", "OK \n"},
        {"copy port a b,zz", "ERR zz does not exist\n"},
        {"get port b Baud", "OK \n"},
        {"copy port a ALL", "OK \n"},
        {"get port b Baud", "OK 19200\n"},
        {"get port b Parity", "OK \n"},
        {"copy port a a", "OK \n"},
    });
    EXPECT_EQ(PortSettings("b").Password(), "pw");
    EXPECT_EQ(PortSettings("a").Password(), "pw");
    EXPECT_NE(Stored("a", "Password"), Stored("b", "Password"));
}

TEST_F(PtyControlChannelTest, PortListChangesAreSaved) {
    REQUIRE_PORTS();
    Run({
        {"set config AddPorts c", "OK \n"},
        {"get config Ports", "OK a,b,c\n"},
        {"set config DelPorts c,nothere", "OK \n"},
        {"get config Ports", "OK a,b\n"},
        {"set config Ports b", "OK \n"},
        {"get config Ports", "OK b\n"},
    });
    EXPECT_FALSE(manager_.IsKnownPort("a"));
    EXPECT_TRUE(manager_.IsKnownPort("b"));
    // Deleting the key leaves the ports alone.
    EXPECT_EQ(Ask("delete config Ports"), "OK \n");
    EXPECT_TRUE(manager_.IsKnownPort("b"));
}

// The whole road over TCP: records logged by other threads while the reader
// is not reading overrun the monitor's history many times, and every one of
// them still arrives, in order.
TEST_F(PtyControlChannelTest, TraceOverTheConnectionLosesNothing) {
    ASSERT_TRUE(channel_.Start());
    ASSERT_NE(channel_.Port(), 0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to = sockettest::Loopback(channel_.Port());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    EXPECT_EQ(controltest::Ask(fd, "trace all\n"), "OK \n");

    DebugMonitor& monitor = DebugMonitor::Instance();
    int level = monitor.GetLevel();
    monitor.SetLevel(7);
    const int perThread = 2000;
    auto logger = [&](const char* source) {
        char text[128];
        for (int i = 0; i < perThread; ++i) {
            snprintf(text, sizeof text, "%d %080d", i, 0);
            monitor.Log(DEBUG_READ, source, 0, text);
        }
    };
    std::thread one(logger, "one");
    std::thread two(logger, "two");
    one.join();
    two.join();
    monitor.SetLevel(level);

    int next[2] = {0, 0};
    int lines = 0;
    std::string received;
    while (lines < 2 * perThread) {
        size_t end = received.find('\n');
        if (end == std::string::npos) {
            char more[65536];
            ASSERT_TRUE(sockettest::Readable(fd, 3000)) << "after " << lines << " lines";
            ssize_t n = recv(fd, more, sizeof more, 0);
            ASSERT_GT(n, 0) << "after " << lines << " lines";
            received.append(more, static_cast<size_t>(n));
            continue;
        }
        std::string line = received.substr(0, end + 1);
        received.erase(0, end + 1);
        size_t mark = line.find(" << ");
        ASSERT_NE(mark, std::string::npos) << line;
        bool first = line.compare(mark - 4, 4, " one") == 0;
        ASSERT_TRUE(first || line.compare(mark - 4, 4, " two") == 0) << line;
        int& expected = next[first ? 0 : 1];
        EXPECT_EQ(atoi(line.c_str() + mark + 4), expected) << line;
        expected = atoi(line.c_str() + mark + 4) + 1;
        ++lines;
    }
    EXPECT_EQ(next[0], perThread);
    EXPECT_EQ(next[1], perThread);
    close(fd);
    EXPECT_TRUE(controltest::WaitFor([&] { return !channel_.TraceActive(); }));
    channel_.Stop();
}

}  // namespace
