#include "daemon/control/SocketCommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/control/ControlTestSupport.h"

using namespace sockettest;
using controltest::Ask;
using controltest::ReadLine;
using controltest::WaitFor;

namespace {

// Answers with a fixed status and the first group of its match.
struct FixedHandler : SocketCommandLine::CommandHandler {
    explicit FixedHandler(int s) : status(s) {}
    int HandleCommand(SocketCommandLine::Session*, int commandId, const boost::smatch& match,
                      std::string* reply) override {
        calls.push_back(commandId);
        *reply = name.empty() ? match.str(1) : name;
        return status;
    }
    int status;
    std::string name;
    std::vector<int> calls;
};

// A server that is not started: lines go straight into a session.
class FramingTest : public ::testing::Test {
  protected:
    FramingTest() { server_.AddCommand("^say (.*)$", &say_); }

    std::string Feed(const std::string& bytes) {
        return session_.Receive(bytes.data(), bytes.size());
    }

    SocketCommandLine server_;
    FixedHandler say_{SocketCommandLine::STATUS_OK};
    SocketCommandLine::Session session_{&server_};
};

TEST_F(FramingTest, LinesAreCutAsReceived) {
    struct Case {
        const char* name;
        std::vector<std::string> reads;
        std::vector<std::string> replies;  // one per read
    };
    const std::string binary("say a\0b\xff\x01", 10);
    const std::vector<Case> cases = {
        {"split over segments", {"s", "ay h", "i\n"}, {"", "", "OK hi\n"}},
        {"CR LF", {"say hi\r\n"}, {"OK hi\n"}},
        {"CR in the read before the LF", {"say hi\r", "\n"}, {"", "OK hi\n"}},
        {"lone CR stays in the line", {"say a\rb\n"}, {"OK a\rb\n"}},
        {"two commands in one segment: the first only", {"say a\nsay b\n"}, {"OK a\n"}},
        {"NUL and 0xFF bytes", {binary + "\n"}, {"OK " + binary.substr(4) + "\n"}},
        {"empty line", {"\n"}, {"ERR unknown command\n"}},
        {"unknown command", {"hello\n"}, {"ERR unknown command\n"}},
    };
    for (const Case& c : cases) {
        for (size_t i = 0; i < c.reads.size(); ++i) {
            EXPECT_EQ(Feed(c.reads[i]), c.replies[i]) << c.name << ", read " << i;
        }
        EXPECT_EQ(session_.PendingLength(), 0u) << c.name;
    }
    EXPECT_EQ(say_.calls.size(), 6u);
}

TEST_F(FramingTest, OverlongLineIsDroppedAndTheNextCommandWorks) {
    const std::string chunk(SocketCommandLine::kReadSize, 'x');
    size_t sent = 0;
    while (sent + chunk.size() <= 300000) {
        EXPECT_EQ(Feed(chunk), "");
        EXPECT_LE(session_.PendingLength(), SocketCommandLine::kMaxPending);
        sent += chunk.size();
    }
    EXPECT_EQ(Feed(std::string(300000 - sent, 'x')), "");
    // What came after the cut is a line of its own, and no command.
    EXPECT_LT(session_.PendingLength(), 300000 - SocketCommandLine::kMaxPending + chunk.size());
    EXPECT_EQ(Feed("\n"), "ERR unknown command\n");
    EXPECT_EQ(Feed("say ok\n"), "OK ok\n");
}

TEST_F(FramingTest, ReplyIsCutToOneWriteAndKeepsItsNewline) {
    std::string text(70000, 'y');
    std::string reply = server_.Dispatch(&session_, "say " + text);
    ASSERT_EQ(reply.size(), SocketCommandLine::kMaxReply);
    EXPECT_EQ(reply.substr(0, 4), "OK y");
    EXPECT_EQ(reply.back(), '\n');
}

TEST(SocketCommandLineDispatch, StatusRulesInRegistrationOrder) {
    struct Case {
        int firstStatus;
        const char* line;
        const char* reply;
        size_t secondCalls;
    };
    const Case cases[] = {
        {SocketCommandLine::STATUS_OK, "xy", "OK first\n", 0},
        {SocketCommandLine::STATUS_ERROR, "xy", "ERR first\n", 0},
        {SocketCommandLine::STATUS_NEXT, "xy", "OK second\n", 1},
        {SocketCommandLine::STATUS_SILENT, "xy", "", 0},
        {7, "xy", "", 0},
        // Matched, then passed on to nobody: no reply at all.
        {SocketCommandLine::STATUS_NEXT, "xz", "", 0},
        {SocketCommandLine::STATUS_OK, "nothing", "ERR unknown command\n", 0},
    };
    for (const Case& c : cases) {
        SocketCommandLine server;
        FixedHandler first(c.firstStatus);
        FixedHandler second(SocketCommandLine::STATUS_OK);
        first.name = "first";
        second.name = "second";
        ASSERT_EQ(server.AddCommand("^x(?:y|z)$", &first), 1);
        ASSERT_EQ(server.AddCommand("^xy$", &second), 2);
        SocketCommandLine::Session session(&server);
        EXPECT_EQ(server.Dispatch(&session, c.line), c.reply) << c.firstStatus << " " << c.line;
        EXPECT_EQ(second.calls.size(), c.secondCalls) << c.firstStatus << " " << c.line;
    }
}

TEST(SocketCommandLineDispatch, PatternThatDoesNotCompileIsRefused) {
    SocketCommandLine server;
    FixedHandler handler(SocketCommandLine::STATUS_OK);
    EXPECT_EQ(server.AddCommand("^(unclosed$", &handler), 0);
    EXPECT_EQ(server.AddCommand("^ok$", &handler), 1);
    // Ids are never handed out twice.
    server.RemoveCommand(1);
    EXPECT_EQ(server.AddCommand("^ok$", &handler), 2);
    SocketCommandLine::Session session(&server);
    EXPECT_EQ(server.Dispatch(&session, "ok"), "OK \n");
    server.RemoveCommand(2);
    EXPECT_EQ(server.Dispatch(&session, "ok"), "ERR unknown command\n");
}

// The server on its own thread, over real connections.
class SocketCommandLineTest : public SocketTest {
  protected:
    void SetUp() override {
        SocketTest::SetUp();
        server_.AddCommand("^say (.*)$", &say_);
    }

    SocketCommandLine server_;
    FixedHandler say_{SocketCommandLine::STATUS_OK};
};

TEST_F(SocketCommandLineTest, ServesOnLoopbackFromTheFirstAutomaticPort) {
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(server_.IsRunning());
    uint16_t port = server_.Port();
    EXPECT_GE(port, LinuxSocketListener::kFirstAutomaticPort);
    EXPECT_LE(port, LinuxSocketListener::kLastAutomaticPort);

    int fd = RawConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "say hello\n"), "OK hello\n");
    EXPECT_EQ(Ask(fd, "say again\r\n"), "OK again\n");
    EXPECT_EQ(Ask(fd, "bogus\n"), "ERR unknown command\n");
    close(fd);

    // A second server finds the first one's port taken and goes up.
    SocketCommandLine second;
    second.Start();
    EXPECT_GT(second.Port(), port);
    second.Stop();
    server_.Stop();
    EXPECT_EQ(server_.Port(), 0);
    EXPECT_TRUE(WaitFor([&] { return server_.SessionCount() == 0; }));
}

TEST_F(SocketCommandLineTest, ListensOnLoopbackOnly) {
    server_.Start();
    ASSERT_NE(server_.Port(), 0);
    bool found = false;
    // /proc/net/tcp lists local addresses in network byte order as hex.
    FILE* table = fopen("/proc/net/tcp", "r");
    ASSERT_NE(table, nullptr);
    char line[512];
    char expected[32];
    snprintf(expected, sizeof expected, "0100007F:%04X", server_.Port());
    char wildcard[32];
    snprintf(wildcard, sizeof wildcard, "00000000:%04X", server_.Port());
    while (fgets(line, sizeof line, table) != nullptr) {
        std::string row = line;
        // State 0A is LISTEN.
        if (row.find(" 0A ") == std::string::npos) {
            continue;
        }
        found = found || row.find(expected) != std::string::npos;
        EXPECT_EQ(row.find(wildcard), std::string::npos) << row;
    }
    fclose(table);
    EXPECT_TRUE(found);
    server_.Stop();
}

TEST_F(SocketCommandLineTest, StopEndsSessionsAndStartBindsAgain) {
    server_.Start();
    uint16_t first = server_.Port();
    int fd = RawConnect(first);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "say 1\n"), "OK 1\n");
    server_.Stop();
    EXPECT_FALSE(server_.IsRunning());
    // The client is told rather than left waiting.
    EXPECT_TRUE(RawSeesEnd(fd));
    close(fd);
    EXPECT_EQ(server_.SessionCount(), 0u);

    server_.Start();
    ASSERT_NE(server_.Port(), 0);
    fd = RawConnect(server_.Port());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "say 2\n"), "OK 2\n");
    close(fd);
    server_.Stop();
}

TEST_F(SocketCommandLineTest, AThousandConnectionsLeaveNothingBehind) {
    server_.Start();
    uint16_t port = server_.Port();
    // In pairs: one says nothing at all, the other asks something, which
    // also paces the test to the listener's short accept queue.
    for (int i = 0; i < 500; ++i) {
        int silent = RawConnect(port);
        int talker = RawConnect(port);
        ASSERT_GE(silent, 0) << i;
        ASSERT_GE(talker, 0) << i;
        ASSERT_EQ(Ask(talker, "say x\n"), "OK x\n") << i;
        if (i % 3 == 0) {
            RawReset(silent);
        } else {
            close(silent);
        }
        close(talker);
    }
    EXPECT_TRUE(WaitFor([&] { return server_.SessionCount() == 0; }, 10000))
        << server_.SessionCount() << " sessions left";
    // A client that vanishes mid-line is retired too.
    int fd = RawConnect(port);
    RawSend(fd, "say unfinished");
    close(fd);
    EXPECT_TRUE(WaitFor([&] { return server_.SessionCount() == 0; }));
    server_.Stop();
}

TEST_F(SocketCommandLineTest, ClientThatDoesNotReadHoldsOnlyOneReply) {
    server_.Start();
    int fd = RawConnect(server_.Port());
    ASSERT_GE(fd, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Large replies, never read: the server stops reading instead of
    // piling them up, and the daemon's loop stays free.
    std::string request = "say " + std::string(4000, 'z') + "\n";
    for (int i = 0; i < 200; ++i) {
        if (send(fd, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    int other = RawConnect(server_.Port());
    ASSERT_GE(other, 0);
    EXPECT_EQ(Ask(other, "say free\n"), "OK free\n");
    close(other);
    close(fd);
    EXPECT_TRUE(WaitFor([&] { return server_.SessionCount() == 0; }));
    server_.Stop();
}

}  // namespace
