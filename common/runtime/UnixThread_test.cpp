#include "common/runtime/UnixThread.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

int ThreadsOfProcess() {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.';
    }
    closedir(dir);
    return n;
}

// What a test thread shares with the test: run k counts itself, waits until
// k releases have been given, and exits with the value given last. Atomics
// and static storage only, so that a failing test can return while a stray
// thread still waits, without a destructor waiting for it.
struct Shared {
    std::atomic<int> runs{0};
    std::atomic<int> released{0};
    std::atomic<int> exitValue{0};
    std::atomic<void*> seenArgument{nullptr};

    static Shared& Fresh() {
        static Shared shared;
        shared.runs = 0;
        shared.released = 0;
        shared.exitValue = 0;
        shared.seenArgument = nullptr;
        return shared;
    }
};

void* Entry(void* parameter) {
    UnixThread* thread = static_cast<UnixThread*>(parameter);
    Shared* shared = static_cast<Shared*>(thread->GetArgument());
    shared->seenArgument = shared;
    int run = ++shared->runs;
    while (shared->released.load() < run) {
        std::this_thread::yield();
    }
    thread->Exit(shared->exitValue.load());
}

bool WaitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

void WaitForRuns(Shared& shared, int runs) {
    ASSERT_TRUE(WaitFor([&] { return shared.runs.load() >= runs; }));
}

void Release(Shared& shared, int exitValue) {
    shared.exitValue = exitValue;
    ++shared.released;
}

// Exit has happened once IsStarted turns false.
bool WaitUntilExited(UnixThread& thread) {
    return WaitFor([&] { return !thread.IsStarted(); });
}

TEST(UnixThreadTest, StartOnRunningThreadCreatesNoSecond) {
    int before = ThreadsOfProcess();
    Shared& shared = Shared::Fresh();
    UnixThread thread;
    ASSERT_EQ(thread.Start(Entry, &shared), 0);
    WaitForRuns(shared, 1);
    EXPECT_TRUE(thread.IsStarted());
    EXPECT_EQ(thread.Start(Entry, &shared), 0);
    // A second thread would block the Join below for ever.
    ASSERT_EQ(ThreadsOfProcess(), before + 1);
    Release(shared, 7);
    EXPECT_EQ(thread.Join(), 0);
    EXPECT_EQ(thread.GetResult(), 7);
    EXPECT_EQ(shared.runs, 1);
    EXPECT_EQ(shared.seenArgument, &shared);
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_EQ(ThreadsOfProcess(), before);
}

// A thread that has called Exit is joined by the next Start, which then runs
// a new one; every thread is reaped in the end.
TEST(UnixThreadTest, RestartAfterExit) {
    int before = ThreadsOfProcess();
    Shared& shared = Shared::Fresh();
    UnixThread thread;
    ASSERT_EQ(thread.Start(Entry, &shared), 0);
    WaitForRuns(shared, 1);
    Release(shared, 1);
    ASSERT_TRUE(WaitUntilExited(thread));
    EXPECT_EQ(thread.GetResult(), 1);
    ASSERT_EQ(thread.Start(Entry, &shared), 0);
    WaitForRuns(shared, 2);
    EXPECT_TRUE(thread.IsStarted());
    EXPECT_EQ(ThreadsOfProcess(), before + 1);
    Release(shared, 2);
    EXPECT_EQ(thread.Join(), 0);
    EXPECT_EQ(thread.GetResult(), 2);
    EXPECT_EQ(shared.runs, 2);
    EXPECT_EQ(ThreadsOfProcess(), before);
}

TEST(UnixThreadTest, JoinAndDetachWithoutThread) {
    UnixThread thread;
    EXPECT_EQ(thread.Join(), 0);
    thread.Detach();
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_EQ(thread.GetArgument(), nullptr);
}

TEST(UnixThreadTest, DetachedThreadRunsToItsEnd) {
    Shared& shared = Shared::Fresh();
    UnixThread thread;
    ASSERT_EQ(thread.Start(Entry, &shared), 0);
    WaitForRuns(shared, 1);
    thread.Detach();
    Release(shared, 3);
    ASSERT_TRUE(WaitUntilExited(thread));
    // Nothing left to join.
    EXPECT_EQ(thread.Join(), 0);
}

}  // namespace
