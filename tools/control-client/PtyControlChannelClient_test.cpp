#include "tools/control-client/PtyControlChannelClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "common/runtime/ClockSource.h"
#include "tools/control-client/MemoryStream.h"

namespace {

// A stand-in for the daemon's control port on 127.0.0.1: it records every
// request line and answers each with the next scripted answer, sent in the
// given pieces (a short pause between pieces makes them separate segments).
class FakeDaemon {
  public:
    struct Answer {
        Answer(std::vector<std::string> p, std::function<void()> b = nullptr, bool h = false,
               std::function<void()> a = nullptr)
            : pieces(std::move(p)), before(std::move(b)), hangUp(h), after(std::move(a)) {}
        std::vector<std::string> pieces;
        std::function<void()> before;  // runs when the request has arrived
        bool hangUp = false;           // close the connection after answering
        std::function<void()> after;   // runs once the answer is out
    };

    FakeDaemon() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~FakeDaemon() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        close(listener_);
    }

    uint16_t Port() const { return port_; }
    void Start(std::vector<Answer> answers) {
        answers_ = std::move(answers);
        thread_ = std::thread([this] { Serve(); });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int Accepted() const { return accepted_.load(); }

  private:
    bool Readable(int fd) {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 20) > 0;
    }

    void Serve() {
        int conn = -1;
        std::string pending;
        size_t next = 0;
        while (!stop_) {
            if (conn < 0) {
                if (Readable(listener_)) {
                    conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    ++accepted_;
                }
                continue;
            }
            if (!Readable(conn)) {
                continue;
            }
            char buffer[65536];
            ssize_t n = read(conn, buffer, sizeof buffer);
            if (n <= 0) {
                close(conn);
                conn = -1;
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(pending.substr(0, end + 1));
                }
                pending.erase(0, end + 1);
                if (next < answers_.size() && conn >= 0) {
                    conn = Reply(conn, answers_[next++]);
                }
            }
        }
        if (conn >= 0) {
            close(conn);
        }
    }

    int Reply(int conn, const Answer& answer) {
        if (answer.before) {
            answer.before();
        }
        for (size_t i = 0; i < answer.pieces.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            const std::string& piece = answer.pieces[i];
            for (size_t sent = 0; sent < piece.size();) {
                ssize_t n = send(conn, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<size_t>(n);
            }
        }
        if (answer.after) {
            answer.after();
        }
        if (answer.hangUp) {
            close(conn);
            return -1;
        }
        return conn;
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<Answer> answers_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

class ControlClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pvclient-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(system(("mkdir -p " + root_ + "/var/lock").c_str()), 0);
        setenv("PORTVANE_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PORTVANE_ROOT");
        ASSERT_EQ(system(("rm -rf " + root_).c_str()), 0);
    }

    void WriteLock(int pid, int port) {
        FILE* f = fopen((root_ + "/var/lock/LCK..portvaned").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "%10d,%10d\n", pid, port);
        fclose(f);
    }
    void PointAt(const FakeDaemon& daemon) { WriteLock(getpid(), daemon.Port()); }

    std::string root_;
    KtTimerGroup group_;
};

struct ReplyCase {
    std::vector<std::string> pieces;
    int status;
    std::string text;
};

TEST_F(ControlClientTest, RepliesAreAssembledAndClassified) {
    const ReplyCase cases[] = {
        {{"OK \n"}, 0, ""},
        {{"OK value with  blanks\n"}, 0, "value with  blanks"},
        {{"OK\tx\r\n"}, 0, "x"},
        {{"ERR unknown command\n"}, 1, "unknown command"},
        {{"ERR \n"}, 1, ""},
        {{"OK par", "tial\r", "\n"}, 0, "partial"},
        {{"OK\n"}, 5, "Unrecognized response from server"},
        {{"ok fine\n"}, 5, "Unrecognized response from server"},
        {{"\x01\x02garbage\n"}, 5, "Unrecognized response from server"},
        {{" OK x\n"}, 5, "Unrecognized response from server"},
    };
    for (const ReplyCase& c : cases) {
        FakeDaemon daemon;
        PointAt(daemon);
        daemon.Start({{c.pieces}});
        PtyControlChannelClient client(&group_);
        std::string reply = "stale";
        EXPECT_EQ(client.Request("get config Ports\n", reply), c.status) << c.pieces[0];
        EXPECT_EQ(reply, c.text) << c.pieces[0];
        EXPECT_EQ(daemon.Lines(), std::vector<std::string>{"get config Ports\n"});
    }
}

TEST_F(ControlClientTest, OneConnectionCarriesSeveralRequests) {
    FakeDaemon daemon;
    PointAt(daemon);
    // The second reply of the first segment is not a reply to anything.
    daemon.Start({{{"OK first\nOK second\n"}}, {{"OK third\n"}}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("echo 1\n", reply), 0);
    EXPECT_EQ(reply, "first");
    EXPECT_EQ(client.Request("echo 2\n", reply), 0);
    EXPECT_EQ(reply, "third");
    EXPECT_EQ(daemon.Accepted(), 1);
    EXPECT_EQ(daemon.Lines(), (std::vector<std::string>{"echo 1\n", "echo 2\n"}));
}

TEST_F(ControlClientTest, OverlongReplyIsDiscarded) {
    FakeDaemon daemon;
    PointAt(daemon);
    daemon.Start({{{"OK " + std::string(300000, 'x') + "\n"}}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("get config Ports\n", reply), 5);
    EXPECT_EQ(reply, "Discarding response due to length limit of 262144 bytes");
}

TEST_F(ControlClientTest, ReplyAtTheLimitIsKept) {
    FakeDaemon daemon;
    PointAt(daemon);
    std::string text(PtyControlChannelClient::kReplyLimit - 3, 'y');
    daemon.Start({{{"OK " + text + "\n"}}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("get config Ports\n", reply), 0);
    EXPECT_EQ(reply, text);
}

// A request is not limited by the socket's 16-bit write length.
TEST_F(ControlClientTest, LongRequestArrivesWhole) {
    FakeDaemon daemon;
    PointAt(daemon);
    daemon.Start({{{"ERR \n"}}});
    PtyControlChannelClient client(&group_);
    std::string request = "set config LoginPrompts2 " + std::string(100000, 'p') + "\n";
    std::string reply;
    EXPECT_EQ(client.Request(request, reply), 1);
    EXPECT_EQ(daemon.Lines(), std::vector<std::string>{request});
}

TEST_F(ControlClientTest, NoDaemon) {
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("get config Ports\n", reply), 4);
    EXPECT_EQ(reply, "Daemon not running");
    // A lock left by a process that has gone names no daemon either.
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    WriteLock(child, 1);
    EXPECT_EQ(client.Request("get config Ports\n", reply), 4);
    EXPECT_EQ(reply, "Daemon not running");
}

TEST_F(ControlClientTest, RefusedConnection) {
    uint16_t port;
    {
        FakeDaemon unused;
        port = unused.Port();
    }
    WriteLock(getpid(), port);
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("get config Ports\n", reply), 4);
    EXPECT_EQ(reply, "connection refused");
}

TEST_F(ControlClientTest, ConnectionLostBeforeTheReply) {
    PtyControlChannelClient client(&group_);
    std::string reply;
    {
        FakeDaemon daemon;
        PointAt(daemon);
        daemon.Start({{{}, nullptr, true}});
        int status = client.Request("get config Ports\n", reply);
        EXPECT_TRUE(status == 2 || status == 4) << status;
        EXPECT_TRUE(reply == "Connection Closed" || reply == "network error") << reply;
    }
    // The next request reads the lock file again and finds the new daemon.
    FakeDaemon daemon;
    PointAt(daemon);
    daemon.Start({{{"OK again\n"}}});
    EXPECT_EQ(client.Request("get config Ports\n", reply), 0);
    EXPECT_EQ(reply, "again");
}

TEST_F(ControlClientTest, SilentDaemonTimesOutAfterTenSeconds) {
    static_assert(PtyControlChannelClient::kReplyTimeoutMs == 10000, "ten seconds");
    ManualClock clock(1000);
    ClockSource::Install(&clock);
    FakeDaemon daemon;
    PointAt(daemon);
    std::atomic<bool> returned{false};
    std::atomic<bool> waitedShortOfTheLimit{false};
    // The daemon reads the request and says nothing; just short of the limit
    // the client still waits, at the limit it gives up.
    auto moveTime = [&] {
        clock.Advance(PtyControlChannelClient::kReplyTimeoutMs - 1);
        group_.GetEvent().Signal();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        waitedShortOfTheLimit = !returned;
        clock.Advance(1);
        group_.GetEvent().Signal();
    };
    daemon.Start({{{}, moveTime}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    EXPECT_EQ(client.Request("get config Ports\n", reply), 6);
    returned = true;
    EXPECT_EQ(reply, "Timed out waiting for response");
    EXPECT_TRUE(waitedShortOfTheLimit);
    EXPECT_EQ(group_.ActiveTimers(), 0);
    ClockSource::Install(nullptr);
}

TEST_F(ControlClientTest, StreamFollowsTheTraceReplyUntilAnEmptyLine) {
    FakeDaemon daemon;
    PointAt(daemon);
    daemon.Start({{{"OK \nline 1\n", "line 2\n", "\nafter\n"}}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    ASSERT_EQ(client.Request("trace all\n", reply), 0);
    MemoryStream first;
    MemoryStream second;
    FILE* streams[] = {first.Stream(), second.Stream(), nullptr};
    EXPECT_EQ(client.ReadStream(streams), 0);
    EXPECT_EQ(first.Text(), "line 1\nline 2\n\nafter\n");
    EXPECT_EQ(second.Text(), first.Text());
}

TEST_F(ControlClientTest, StreamEndsWhenTheConnectionGoes) {
    FakeDaemon daemon;
    PointAt(daemon);
    daemon.Start({{{"OK \n", "line 1\n"}, nullptr, true}});
    PtyControlChannelClient client(&group_);
    std::string reply;
    ASSERT_EQ(client.Request("trace all\n", reply), 0);
    MemoryStream out;
    FILE* streams[] = {out.Stream(), nullptr};
    int status = client.ReadStream(streams);
    EXPECT_TRUE(status == 2 || status == 4) << status;
    EXPECT_EQ(out.Text(), "line 1\n");
}

TEST_F(ControlClientTest, StreamNeedsAConnection) {
    PtyControlChannelClient client(&group_);
    MemoryStream out;
    FILE* streams[] = {out.Stream(), nullptr};
    EXPECT_EQ(client.ReadStream(streams), 4);
}

TEST_F(ControlClientTest, InterruptEndsTheStreamAndEveryLaterWait) {
    FakeDaemon daemon;
    PointAt(daemon);
    PtyControlChannelClient client(&group_);
    // Interrupted from another thread while the stream runs, as the signal
    // handler would.
    daemon.Start({{{"OK \n", "line 1\n"}, nullptr, false, [&] { client.Interrupt(); }}});
    std::string reply;
    ASSERT_EQ(client.Request("trace all\n", reply), 0);
    MemoryStream out;
    FILE* streams[] = {out.Stream(), nullptr};
    EXPECT_EQ(client.ReadStream(streams), 0);
    EXPECT_EQ(client.ReadStream(streams), 0);
}

}  // namespace
