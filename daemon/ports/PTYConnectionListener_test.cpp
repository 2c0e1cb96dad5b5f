#include "daemon/ports/PTYConnectionListener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/ports/PTYConnectionClient.h"
#include "daemon/ports/PTYTestSupport.h"
#include "daemon/ports/UARTTestSupport.h"

namespace {

// One pseudo-terminal pair made the way a port makes it.
struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            char name[1024];
            if (ptsname_r(master, name, sizeof name) == 0) {
                slave = name;
            }
        }
    }
    ~Pty() {
        if (master >= 0) {
            close(master);
        }
    }
};

// Records the opens it is told of; a call can be held at a gate.
class RecordingClient : public PTYConnectionClient {
  public:
    void OnPtyOpened(int masterFd) override {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.push_back(masterFd);
        inside_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !hold_; });
        inside_ = false;
    }
    std::vector<int> Opened() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opened_;
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = hold;
        changed_.notify_all();
    }
    bool Inside() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inside_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> opened_;
    bool hold_ = false;
    bool inside_ = false;
};

class PTYConnectionListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(pty_.master, 0);
        ASSERT_FALSE(pty_.slave.empty());
        ASSERT_TRUE(listener_.Start());
    }
    void TearDown() override { listener_.Stop(); }

    // The listener serves its events in order: once a later pty's open has
    // been reported, an earlier event would have been reported too.
    void Barrier() {
        Pty later;
        ASSERT_TRUE(listener_.Watch(later.master, &barrier_, later.slave));
        size_t before = barrier_.Opened().size();
        int fd = open(later.slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(WaitUntil([&] { return barrier_.Opened().size() > before; }));
        close(fd);
    }

    TraceCapture trace_;
    Pty pty_;
    RecordingClient client_;
    RecordingClient barrier_;
    PTYConnectionListener listener_;
};

TEST_F(PTYConnectionListenerTest, OpeningTheSlaveAloneIsAnOpen) {
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    int app = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(app, 0);
    // No byte written: the master stays silent, only the node tells.
    EXPECT_TRUE(WaitUntil([&] { return client_.Opened() == std::vector<int>{pty_.master}; }));
    EXPECT_EQ(listener_.WatchCount(), 0);
    close(app);
}

TEST_F(PTYConnectionListenerTest, MasterEventsCountWithoutANodeWatch) {
    struct Case {
        const char* name;
        bool write;
    };
    for (const Case& c : {Case{"first write", true}, Case{"open and close", false}}) {
        SCOPED_TRACE(c.name);
        Pty pty;
        RecordingClient client;
        ASSERT_TRUE(listener_.Watch(pty.master, &client));
        int app = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(app, 0);
        if (c.write) {
            ASSERT_EQ(write(app, "x", 1), 1);
        } else {
            close(app);
            app = -1;
        }
        EXPECT_TRUE(WaitUntil([&] { return client.Opened() == std::vector<int>{pty.master}; }));
        if (app >= 0) {
            close(app);
        }
    }
}

TEST_F(PTYConnectionListenerTest, EachMasterIsReportedOnce) {
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    int app = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] { return client_.Opened().size() == 1; }));
    // Node open, master input and hang-up all follow: none is news.
    int second = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(write(app, "x", 1), 1);
    close(second);
    close(app);
    Barrier();
    EXPECT_EQ(client_.Opened().size(), 1u);
}

TEST_F(PTYConnectionListenerTest, TheDaemonsOwnHandlingOfTheNodeIsNoOpen) {
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    struct stat st;
    ASSERT_EQ(stat(pty_.slave.c_str(), &st), 0);
    ASSERT_EQ(chmod(pty_.slave.c_str(), 0620), 0);
    ASSERT_EQ(chown(pty_.slave.c_str(), st.st_uid, st.st_gid), 0);
    Barrier();
    EXPECT_TRUE(client_.Opened().empty());
    EXPECT_EQ(listener_.WatchCount(), 1);
}

TEST_F(PTYConnectionListenerTest, UnwatchedMastersAreNotReported) {
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    EXPECT_TRUE(listener_.Unwatch(pty_.master));
    EXPECT_FALSE(listener_.Unwatch(pty_.master));
    int app = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(app, 0);
    ASSERT_EQ(write(app, "x", 1), 1);
    Barrier();
    EXPECT_TRUE(client_.Opened().empty());
    close(app);
}

TEST_F(PTYConnectionListenerTest, ForgetWaitsForACallInProgress) {
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    client_.Hold(true);
    int app = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] { return client_.Inside(); }));
    std::atomic<bool> forgotten{false};
    std::thread forget([&] {
        listener_.Forget(&client_);
        forgotten = true;
    });
    // Forget may not come back while the client is still being called.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(forgotten.load());
    client_.Hold(false);
    forget.join();
    EXPECT_TRUE(forgotten.load());
    EXPECT_FALSE(client_.Inside());
    close(app);
}

TEST_F(PTYConnectionListenerTest, ForgetDropsEveryWatchOfTheClient) {
    Pty other;
    ASSERT_TRUE(listener_.Watch(pty_.master, &client_, pty_.slave));
    ASSERT_TRUE(listener_.Watch(other.master, &client_, other.slave));
    listener_.Forget(&client_);
    EXPECT_EQ(listener_.WatchCount(), 0);
    int app = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
    Barrier();
    EXPECT_TRUE(client_.Opened().empty());
    close(app);
}

TEST(PTYConnectionListenerUnknown, EventOnAnUnknownDescriptorIsLogged) {
    TraceCapture trace;
    PTYConnectionListener listener;
    listener.OnSelect(12345, SELECT_READ);
    EXPECT_EQ(trace.Count(DEBUG_ERROR, "listener",
                          "incoming event detected on unknown file descriptor 12345"),
              1);
}

}  // namespace
