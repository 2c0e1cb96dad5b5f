#include "common/runtime/SelectManager.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "common/runtime/ClockSource.h"
#include "common/runtime/SelectManagerClient.h"

namespace {

using Call = std::pair<int, int>;  // descriptor, events

class Recorder : public SelectManagerClient {
  public:
    explicit Recorder(SelectManager* manager, bool registered = true)
        : SelectManagerClient(manager) {
        if (registered) {
            manager->AddClient(this);
        }
    }
    void OnSelect(int fd, int events) override {
        calls.emplace_back(fd, events);
        if (action) {
            action(fd, events);
        }
    }

    std::vector<Call> calls;
    std::function<void(int, int)> action;
};

int OpenDescriptors() {
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.';
    }
    closedir(dir);
    return n;
}

// Pipes and socket pairs closed by the fixture, whatever the test did.
class SelectManagerTest : public testing::Test {
  protected:
    void SetUp() override { baseline_ = OpenDescriptors(); }
    void TearDown() override {
        for (int fd : fds_) {
            close(fd);
        }
        fds_.clear();
        EXPECT_EQ(OpenDescriptors(), baseline_) << "descriptor left open";
    }

    std::pair<int, int> Pipe() {
        int p[2];
        EXPECT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
        Keep(p[0]);
        Keep(p[1]);
        return {p[0], p[1]};
    }
    std::pair<int, int> SocketPair() {
        int s[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s), 0);
        Keep(s[0]);
        Keep(s[1]);
        return {s[0], s[1]};
    }
    int Keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }
    void CloseNow(int fd) {
        close(fd);
        fds_.erase(std::find(fds_.begin(), fds_.end(), fd));
    }
    static void Put(int fd) { ASSERT_EQ(write(fd, "x", 1), 1); }

    // True when the group's wake-up pipe holds a byte; drains it.
    bool WokenAndDrain() {
        bool woken = false;
        char c;
        while (read(group_.GetEvent().ReadFd(), &c, 1) == 1) {
            woken = true;
        }
        return woken;
    }

    KtTimerGroup group_;
    SelectManager manager_{&group_};
    std::vector<int> fds_;
    int baseline_ = 0;
};

// What one descriptor looks like to poll() when the pass runs.
enum class Ready {
    Writable,        // a quiet socket: writable only
    ReadWritable,    // a socket with data waiting
    DataThenHangup,  // pipe read end: data, writer gone (POLLIN|POLLHUP)
    Hangup,          // pipe read end: writer gone, no data (POLLHUP)
};

struct DispatchCase {
    const char* name;
    Ready ready;
    int interest;
    std::vector<int> calls;  // events of each OnSelect, in order
};

const DispatchCase kDispatch[] = {
    {"WritableNotAskedFor", Ready::Writable, SELECT_READ, {}},
    {"Writable", Ready::Writable, SELECT_WRITE, {SELECT_WRITE}},
    {"ReadAndWriteInOneCall",
     Ready::ReadWritable,
     SELECT_READ | SELECT_WRITE,
     {SELECT_READ | SELECT_WRITE}},
    {"OnlyTheAskedBits", Ready::ReadWritable, SELECT_READ, {SELECT_READ}},
    {"ReadThenError", Ready::DataThenHangup, SELECT_READ, {SELECT_READ, SELECT_ERROR}},
    {"ErrorIsNotMasked", Ready::Hangup, SELECT_READ, {SELECT_ERROR}},
    {"ErrorWithoutAskedReadiness", Ready::DataThenHangup, SELECT_WRITE, {SELECT_ERROR}},
};

void PrintTo(const DispatchCase& c, std::ostream* os) {
    *os << c.name;
}

class SelectDispatch : public SelectManagerTest,
                       public testing::WithParamInterface<DispatchCase> {};

TEST_P(SelectDispatch, OnePass) {
    const DispatchCase& c = GetParam();
    int fd = -1;
    if (c.ready == Ready::Writable || c.ready == Ready::ReadWritable) {
        auto [mine, peer] = SocketPair();
        fd = mine;
        if (c.ready == Ready::ReadWritable) {
            Put(peer);
        }
    } else {
        auto [readEnd, writeEnd] = Pipe();
        fd = readEnd;
        if (c.ready == Ready::DataThenHangup) {
            Put(writeEnd);
        }
        CloseNow(writeEnd);
    }
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(fd, c.interest));
    EXPECT_TRUE(manager_.Poll(0));
    std::vector<Call> expected;
    for (int events : c.calls) {
        expected.emplace_back(fd, events);
    }
    EXPECT_EQ(client.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SelectDispatch, testing::ValuesIn(kDispatch),
                         [](const testing::TestParamInfo<DispatchCase>& info) {
                             return info.param.name;
                         });

// poll() reports both descriptors; the callback for the first takes the
// second away. Its readiness is stale (it may be closed, even reused), so it
// must not be delivered: once through RemoveSelect, once by destroying the
// client that owns it.
TEST_F(SelectManagerTest, RemovedDescriptorGetsNoCallbackInSamePass) {
    for (bool destroyOwner : {false, true}) {
        SCOPED_TRACE(destroyOwner ? "owner destroyed" : "interest removed");
        auto [a, aw] = Pipe();
        auto [b, bw] = Pipe();
        int low = std::min(a, b);
        int high = std::max(a, b);
        Put(aw);
        Put(bw);
        Recorder first(&manager_);
        auto second = std::make_unique<Recorder>(&manager_);
        ASSERT_TRUE(first.AddSelect(low, SELECT_READ));
        ASSERT_TRUE(second->AddSelect(high, SELECT_READ));
        first.action = [&](int, int) {
            if (destroyOwner) {
                second.reset();
            } else {
                second->RemoveSelect(high, SELECT_READ);
            }
        };
        manager_.Poll(0);
        EXPECT_EQ(first.calls, (std::vector<Call>{{low, SELECT_READ}}));
        if (second) {
            EXPECT_TRUE(second->calls.empty());
        }
        first.action = nullptr;
        EXPECT_EQ(manager_.WatchedDescriptors(),
                  (std::vector<int>{group_.GetEvent().ReadFd(), low}));
    }
}

// poll() was asked for writability of the second descriptor, but the first
// one's callback drops that interest before the second is dispatched: the
// stale readiness is masked with what the owner wants now.
TEST_F(SelectManagerTest, InterestDroppedEarlierInPassIsMasked) {
    auto [low, lowPeer] = SocketPair();
    auto [high, highPeer] = SocketPair();
    Put(lowPeer);
    Put(highPeer);
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(low, SELECT_READ));
    ASSERT_TRUE(client.AddSelect(high, SELECT_READ | SELECT_WRITE));
    client.action = [&](int fd, int) {
        if (fd == low) {
            client.RemoveSelect(high, SELECT_WRITE);
        }
    };
    manager_.Poll(0);
    EXPECT_EQ(client.calls, (std::vector<Call>{{low, SELECT_READ}, {high, SELECT_READ}}));
    client.action = nullptr;
}

TEST_F(SelectManagerTest, AddSelectTwiceDoesNotTouchTheManager) {
    auto [fd, peer] = Pipe();
    Recorder client(&manager_);
    WokenAndDrain();
    ASSERT_TRUE(client.AddSelect(fd, SELECT_READ));
    EXPECT_TRUE(WokenAndDrain());
    EXPECT_TRUE(client.AddSelect(fd, SELECT_READ));
    EXPECT_FALSE(WokenAndDrain());
    // A bit already held is no change either.
    ASSERT_TRUE(client.AddSelect(fd, SELECT_WRITE));
    WokenAndDrain();
    EXPECT_TRUE(client.AddSelect(fd, SELECT_READ));
    EXPECT_FALSE(WokenAndDrain());
    EXPECT_EQ(client.GetSelect(fd), SELECT_READ | SELECT_WRITE);
}

TEST_F(SelectManagerTest, RefusedInterest) {
    auto [fd, peer] = Pipe();
    Recorder client(&manager_);
    Recorder stranger(&manager_, false);
    EXPECT_FALSE(client.AddSelect(-1, SELECT_READ));
    EXPECT_FALSE(client.RemoveSelect(-1, SELECT_READ));
    EXPECT_FALSE(client.AddSelect(fd, 8));  // no known bit
    EXPECT_FALSE(stranger.AddSelect(fd, SELECT_READ));
    EXPECT_FALSE(manager_.RemoveClient(&stranger));
    EXPECT_EQ(manager_.WatchedDescriptors().size(), 1u);
}

// poll() has no descriptor limit: a daemon with a few hundred ports needs
// descriptors above 1023.
TEST_F(SelectManagerTest, DescriptorAbove1023) {
    constexpr int kHigh = 1500;
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit saved = limit;
    if (limit.rlim_cur <= kHigh) {
        if (limit.rlim_max <= kHigh) {
            GTEST_SKIP() << "hard descriptor limit too low";
        }
        limit.rlim_cur = limit.rlim_max;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    auto [readEnd, writeEnd] = Pipe();
    ASSERT_EQ(dup2(readEnd, kHigh), kHigh);
    Keep(kHigh);
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(kHigh, SELECT_READ));
    Put(writeEnd);
    manager_.Poll(0);
    EXPECT_EQ(client.calls, (std::vector<Call>{{kHigh, SELECT_READ}}));
    ASSERT_TRUE(client.RemoveSelect(kHigh, SELECT_READ));
    CloseNow(kHigh);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(SelectManagerTest, DestroyedClientLeavesOthersInOrder) {
    auto [a1, a1w] = Pipe();
    auto [b2, b2w] = Pipe();
    auto [a3, a3w] = Pipe();
    auto [b4, b4w] = Pipe();
    auto a = std::make_unique<Recorder>(&manager_);
    Recorder b(&manager_);
    ASSERT_TRUE(a->AddSelect(a1, SELECT_READ));
    ASSERT_TRUE(b.AddSelect(b2, SELECT_READ));
    ASSERT_TRUE(a->AddSelect(a3, SELECT_READ));
    ASSERT_TRUE(b.AddSelect(b4, SELECT_READ));
    manager_.Poll(0);  // the array with all four is the one polled
    a.reset();
    int wake = group_.GetEvent().ReadFd();
    EXPECT_EQ(manager_.WatchedDescriptors(), (std::vector<int>{wake, b2, b4}));
    for (int w : {a1w, b2w, a3w, b4w}) {
        Put(w);
    }
    manager_.Poll(0);
    EXPECT_EQ(b.calls, (std::vector<Call>{{b2, SELECT_READ}, {b4, SELECT_READ}}));
    EXPECT_EQ(manager_.WatchedDescriptors(), (std::vector<int>{wake, b2, b4}));
}

TEST_F(SelectManagerTest, InterestDropsToZeroLeavesArray) {
    auto [fd, peer] = SocketPair();
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(fd, SELECT_READ | SELECT_WRITE));
    ASSERT_TRUE(client.RemoveSelect(fd, SELECT_WRITE));
    manager_.Poll(0);
    EXPECT_TRUE(client.calls.empty()) << "write readiness after write interest was dropped";
    EXPECT_EQ(manager_.WatchedDescriptors().size(), 2u);
    ASSERT_TRUE(client.RemoveSelect(fd, SELECT_READ));
    EXPECT_EQ(client.GetSelect(fd), 0);
    EXPECT_EQ(manager_.WatchedDescriptors().size(), 1u);
    Put(peer);
    EXPECT_FALSE(manager_.Poll(0));
    EXPECT_TRUE(client.calls.empty());
}

// With nothing watched, Poll(-1) sleeps until another thread starts a timer
// and signals the group; the timer then fires on the loop's own thread.
TEST_F(SelectManagerTest, EmptyManagerWaitsForWakeUp) {
    ManualClock clock(5000);
    ClockSource::Install(&clock);
    struct Waker : KtTimerClient {
        void OnTimer(KtTimerHandle, void*) override { firedOn = std::this_thread::get_id(); }
        std::thread::id firedOn;
    } waker;
    KtTimerHandle timer = nullptr;
    WokenAndDrain();
    std::thread other([&] {
        group_.StartTimer(&waker, &timer, 0, nullptr);
        group_.GetEvent().Signal();
    });
    EXPECT_FALSE(manager_.Poll(-1));
    other.join();
    EXPECT_EQ(waker.firedOn, std::this_thread::get_id());
    ClockSource::Install(nullptr);
}

// The daemon keeps its signals blocked except inside the wait, so a handler
// never interrupts a thread holding a lock: a signal that is pending ends
// the wait at once.
volatile sig_atomic_t g_caught = 0;

TEST_F(SelectManagerTest, WaitMaskLetsPendingSignalEndTheWait) {
    struct sigaction action = {};
    struct sigaction saved;
    action.sa_handler = [](int) { g_caught = 1; };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    sigset_t block, previous, wait;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &previous), 0);
    wait = previous;
    sigdelset(&wait, SIGUSR1);
    g_caught = 0;
    raise(SIGUSR1);
    EXPECT_EQ(g_caught, 0);
    manager_.SetWaitSignalMask(&wait);
    auto [fd, peer] = Pipe();
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(fd, SELECT_READ));
    WokenAndDrain();
    EXPECT_TRUE(manager_.Poll(-1));
    EXPECT_EQ(g_caught, 1);
    EXPECT_TRUE(client.calls.empty());
    manager_.SetWaitSignalMask(nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    sigaction(SIGUSR1, &saved, nullptr);
}

// A failing poll() is told to every client as (-1, SELECT_ERROR); a client
// that takes another out while handling it (as destroying it would) must not
// get the other called.
TEST_F(SelectManagerTest, PollFailureToldToEveryClient) {
    auto [fd1, w1] = Pipe();
    auto [fd2, w2] = Pipe();
    Recorder first(&manager_);
    Recorder second(&manager_);
    ASSERT_TRUE(first.AddSelect(fd1, SELECT_READ));
    ASSERT_TRUE(second.AddSelect(fd2, SELECT_READ));
    // The client set is ordered by address; whichever comes first removes
    // the other. (Removed, not destroyed: with the descriptor limit cut
    // below, the sanitizers could not inspect a deletion.)
    Recorder* early = std::min(&first, &second);
    Recorder* late = early == &first ? &second : &first;
    early->action = [&](int, int) { manager_.RemoveClient(late); };
    manager_.Poll(0);  // make the three-entry array current
    // poll() refuses more entries than the descriptor limit allows.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tiny), 0);
    bool result = manager_.Poll(0);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(result);
    EXPECT_EQ(early->calls, (std::vector<Call>{{-1, SELECT_ERROR}}));
    EXPECT_TRUE(late->calls.empty());
    early->action = nullptr;
    // Once the other is gone, the next failure reaches the one left.
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tiny), 0);
    manager_.Poll(0);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(early->calls.size(), 2u);
    EXPECT_TRUE(late->calls.empty());
}

// A callback that closes its hung-up descriptor and registers a fresh one
// under the same number must not receive the old descriptor's failure.
TEST_F(SelectManagerTest, ReplacedDescriptorGetsNoStaleFailure) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    int fd = pair[0];
    close(pair[1]);  // fd now reports input and hang-up together
    int keep = -1;
    Recorder client(&manager_);
    client.action = [&](int, int events) {
        if (events & SELECT_ERROR || keep != -1) {
            return;
        }
        client.RemoveSelect(fd, SELECT_READ);
        int fresh[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fresh), 0);
        dup2(fresh[0], fd);
        close(fresh[0]);
        keep = fresh[1];
        client.AddSelect(fd, SELECT_READ);
    };
    ASSERT_TRUE(client.AddSelect(fd, SELECT_READ));
    manager_.Poll(100);
    EXPECT_EQ(client.calls, (std::vector<Call>{{fd, SELECT_READ}}));
    client.RemoveSelect(fd, SELECT_READ);
    close(fd);
    close(keep);
}

// Unregistering forgets the client's interest, so registering it again and
// asking for the same bits really watches the descriptor.
TEST_F(SelectManagerTest, ReRegisteredClientIsWatchedAgain) {
    auto [r, w] = Pipe();
    Put(w);
    Recorder client(&manager_);
    ASSERT_TRUE(client.AddSelect(r, SELECT_READ));
    ASSERT_TRUE(manager_.RemoveClient(&client));
    EXPECT_EQ(client.GetSelect(r), 0);
    ASSERT_TRUE(manager_.AddClient(&client));
    ASSERT_TRUE(client.AddSelect(r, SELECT_READ));
    manager_.Poll(100);
    EXPECT_EQ(client.calls, (std::vector<Call>{{r, SELECT_READ}}));
}

TEST(SelectManagerLifetime, ManagerGoneFirstDetachesClients) {
    KtTimerGroup group;
    auto manager = std::make_unique<SelectManager>(&group);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Recorder client(manager.get());
    ASSERT_TRUE(client.AddSelect(p[0], SELECT_READ));
    manager.reset();
    EXPECT_EQ(client.GetSelectManager(), nullptr);
    EXPECT_EQ(client.GetSelect(p[0]), 0);
    EXPECT_FALSE(client.AddSelect(p[0], SELECT_READ));
    close(p[0]);
    close(p[1]);
    // The client's destructor must leave the gone manager alone.
}

}  // namespace
