#include "common/runtime/LockFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "common/runtime/PortvanePaths.h"

namespace {

std::string Record(int pid, int port) {
    char text[32];
    snprintf(text, sizeof text, "%10d,%10d\n", pid, port);
    return text;
}

// A process id that surely names nobody: a child that has been reaped.
int DeadPid() {
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

class LockFileTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lockfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        const char* old = getenv("PORTVANE_ROOT");
        hadRoot_ = old != nullptr;
        oldRoot_ = old ? old : "";
        setenv("PORTVANE_ROOT", root_.c_str(), 1);
        ASSERT_TRUE(PortvanePaths::EnsureRootDirectories());
        path_ = LockFile::PathFor("portvaned");
    }
    void TearDown() override {
        std::string command = "rm -rf '" + root_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
        if (hadRoot_) {
            setenv("PORTVANE_ROOT", oldRoot_.c_str(), 1);
        } else {
            unsetenv("PORTVANE_ROOT");
        }
    }

    void Plant(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string Content() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Exists() {
        struct stat st;
        return lstat(path_.c_str(), &st) == 0;
    }

    std::string root_;
    std::string oldRoot_;
    bool hadRoot_ = false;
    std::string path_;
};

TEST_F(LockFileTest, PathUnderRoot) {
    EXPECT_EQ(path_, root_ + "/var/lock/LCK..portvaned");
    EXPECT_EQ(LockFile("portvaned", 0).Path(), path_);
}

TEST_F(LockFileTest, AcquireWritesExactRecord) {
    LockFile lock("portvaned", 49152);
    // The tools of every user read the file, whatever the daemon's umask.
    mode_t oldMask = umask(077);
    EXPECT_EQ(lock.Acquire(), LockFile::ACQUIRED);
    umask(oldMask);
    std::string content = Content();
    EXPECT_EQ(content.size(), 22u);
    EXPECT_EQ(content, Record(getpid(), 49152));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Acquiring again is a no-op for the holder.
    EXPECT_EQ(lock.Acquire(), LockFile::ACQUIRED);
    int pid = 0;
    uint16_t port = 0;
    EXPECT_EQ(lock.ReadOwner(&pid, &port), LockFile::HELD);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(port, 49152);
    EXPECT_EQ(lock.Release(), LockFile::ACQUIRED);
    EXPECT_FALSE(Exists());
}

TEST(LockFileFormat, RecordExample) {
    EXPECT_EQ(Record(1234, 49152), "      1234,     49152\n");
}

enum class After { Replaced, Untouched };

struct PlantedCase {
    const char* name;
    std::string content;  // "DEAD" and "SELF" stand for those pids
    int acquire;          // what Acquire reports
    After after;          // what Acquire did to the file
    int readOwner;        // what ReadOwner reports on the planted file
    int ownerPid;
    int ownerPort;
};

const PlantedCase kPlanted[] = {
    {"StalePid", "DEAD", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED, 0, 0},
    {"Zero", "0", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED, 0, 0},
    {"ZeroRecord", "         0,     49152\n", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED,
     0, 0},
    {"Garbage", "garbage\n", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED, 0, 0},
    {"Empty", "", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED, 0, 0},
    // kill(-1, 0) would probe every process: a negative pid is garbage.
    {"Negative", "-1,5\n", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED, 0, 0},
    {"Overflow", "99999999999999999999,5\n", LockFile::ACQUIRED, After::Replaced, LockFile::FAILED,
     0, 0},
    // Process 1 is alive and, for an ordinary user, somebody else's.
    {"LiveOtherProcess", "         1,     49153\n", LockFile::HELD, After::Untouched,
     LockFile::HELD, 1, 49153},
    {"LiveWithoutPadding", "1,7", LockFile::HELD, After::Untouched, LockFile::HELD, 1, 7},
    {"OwnPid", "SELF", LockFile::ACQUIRED, After::Untouched, LockFile::HELD, -1, 0},
};

void PrintTo(const PlantedCase& c, std::ostream* os) {
    *os << c.name;
}

class LockFilePlanted : public LockFileTest, public testing::WithParamInterface<PlantedCase> {
  protected:
    std::string Expand(const std::string& content) {
        if (content == "DEAD") {
            return Record(DeadPid(), 49152);
        }
        if (content == "SELF") {
            return Record(getpid(), 0);
        }
        return content;
    }
};

TEST_P(LockFilePlanted, ReadOwnerLeavesFileAlone) {
    const PlantedCase& c = GetParam();
    std::string content = Expand(c.content);
    Plant(content);
    int pid = 0;
    uint16_t port = 0;
    EXPECT_EQ(LockFile("portvaned", 1).ReadOwner(&pid, &port), c.readOwner);
    if (c.readOwner == LockFile::HELD) {
        EXPECT_EQ(pid, c.ownerPid == -1 ? getpid() : c.ownerPid);
        EXPECT_EQ(port, c.ownerPort);
    }
    EXPECT_EQ(Content(), content);
}

TEST_P(LockFilePlanted, Acquire) {
    const PlantedCase& c = GetParam();
    std::string content = Expand(c.content);
    Plant(content);
    LockFile lock("portvaned", 4242);
    EXPECT_EQ(lock.Acquire(), c.acquire);
    EXPECT_EQ(Content(), c.after == After::Replaced ? Record(getpid(), 4242) : content);
}

TEST_P(LockFilePlanted, ReleaseRemovesOnlyOwnLock) {
    const PlantedCase& c = GetParam();
    Plant(Expand(c.content));
    int result = LockFile("portvaned", 4242).Release();
    EXPECT_EQ(result, c.acquire);
    EXPECT_EQ(Exists(), c.acquire == LockFile::HELD);
}

INSTANTIATE_TEST_SUITE_P(Table, LockFilePlanted, testing::ValuesIn(kPlanted),
                         [](const testing::TestParamInfo<PlantedCase>& info) {
                             return info.param.name;
                         });

// The lock directory is writable by everybody: a link planted there names
// nobody, and following it would let Acquire write (or Release remove)
// wherever it points.
TEST_F(LockFileTest, SymlinkIsNotTrusted) {
    std::string target = root_ + "/target";
    std::ofstream(target) << Record(1, 5);
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_EQ(LockFile("portvaned", 1).ReadOwner(nullptr, nullptr), LockFile::FAILED);
    LockFile lock("portvaned", 9);
    EXPECT_EQ(lock.Acquire(), LockFile::ACQUIRED);
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Content(), Record(getpid(), 9));
    std::ifstream in(target);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, Record(1, 5));
}

TEST_F(LockFileTest, DanglingSymlinkIsNotFollowed) {
    std::string target = root_ + "/created-through-link";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_EQ(LockFile("portvaned", 9).Acquire(), LockFile::ACQUIRED);
    EXPECT_NE(access(target.c_str(), F_OK), 0);
    EXPECT_EQ(Content(), Record(getpid(), 9));
}

TEST_F(LockFileTest, FileOfAnotherUserIsNotTrusted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file of another user";
    }
    Plant(Record(1, 5));
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(LockFile("portvaned", 1).ReadOwner(nullptr, nullptr), LockFile::FAILED);
    EXPECT_EQ(LockFile("portvaned", 9).Acquire(), LockFile::ACQUIRED);
    EXPECT_EQ(Content(), Record(getpid(), 9));
}

// Opening a planted FIFO for reading must not hang the daemon.
TEST_F(LockFileTest, FifoIsNotTrusted) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    EXPECT_EQ(LockFile("portvaned", 1).ReadOwner(nullptr, nullptr), LockFile::FAILED);
    EXPECT_EQ(LockFile("portvaned", 9).Acquire(), LockFile::ACQUIRED);
    EXPECT_EQ(Content(), Record(getpid(), 9));
}

TEST_F(LockFileTest, NoFileOrNoDirectory) {
    EXPECT_EQ(LockFile("portvaned", 1).ReadOwner(nullptr, nullptr), LockFile::FAILED);
    ASSERT_EQ(rmdir((root_ + "/var/lock").c_str()), 0);
    EXPECT_EQ(LockFile("portvaned", 1).Acquire(), LockFile::FAILED);
    EXPECT_EQ(LockFile("portvaned", 1).Release(), LockFile::FAILED);
}

// kill(pid, 0) fails with EPERM, not ESRCH, for a live process of another
// user: that is a holder, not a stale lock. Root sees every process, so the
// check runs in a child that has become an ordinary user.
TEST_F(LockFileTest, LiveProcessSeenByAnOrdinaryUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the table covers this case for an ordinary user";
    }
    Plant(Record(1, 5));
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    ASSERT_EQ(chmod((root_ + "/var").c_str(), 0755), 0);
    ASSERT_EQ(chmod((root_ + "/var/lock").c_str(), 01777), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0 || kill(1, 0) == 0) {
            _exit(10);
        }
        int pid = 0;
        uint16_t port = 0;
        LockFile lock("portvaned", 9);
        int owner = lock.ReadOwner(&pid, &port);
        int acquire = lock.Acquire();
        _exit(owner == LockFile::HELD && pid == 1 && port == 5 && acquire == LockFile::HELD ? 0
                                                                                            : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Content(), Record(1, 5));
}

// A lock taken in a child that then dies is stale for the parent.
TEST_F(LockFileTest, LockOfDeadHolderIsTakenOver) {
    pid_t child = fork();
    if (child == 0) {
        _exit(LockFile("portvaned", 1).Acquire() == LockFile::ACQUIRED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Content(), Record(child, 1));
    EXPECT_EQ(LockFile("portvaned", 2).Acquire(), LockFile::ACQUIRED);
    EXPECT_EQ(Content(), Record(getpid(), 2));
}

}  // namespace
