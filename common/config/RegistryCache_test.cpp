#include "common/config/RegistryCache.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "common/config/ConfigTestSupport.h"
#include "common/runtime/ClockSource.h"

namespace {

class RegistryCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClockSource::Install(&clock_);
        cache_ = std::make_unique<RecordingCache>(path_);
    }
    void TearDown() override {
        cache_.reset();
        ClockSource::Install(nullptr);
    }

    // Moves the clock and runs what is due, as the cache thread would.
    void Advance(uint32_t ms) {
        clock_.Advance(ms);
        cache_->GetTimerGroup()->RunExpiredTimers();
    }

    std::string Get(const std::string& name) {
        std::string value;
        return cache_->GetValue(name, &value, "<none>") ? value : "<none>";
    }
    std::string GetPort(RegistryCache& cache, const std::string& port, const std::string& name) {
        std::string value;
        return cache.GetPortValue(port, name, &value, "<none>") ? value : "<none>";
    }

    // A file that the cache has loaded, with a modification time in the past
    // so that a later write is seen as newer.
    void Preload(const std::string& text) {
        WriteText(path_, text);
        SetModified(path_, -100);
        Get("x");
    }

    TempDirectory dir_;
    std::string path_ = dir_.File("portvaned.conf");
    ManualClock clock_;
    std::unique_ptr<RecordingCache> cache_;
};

TEST_F(RegistryCacheTest, MissingFileAnswersDefaultsAndLogsEveryRead) {
    std::string value;
    EXPECT_FALSE(cache_->GetValue("Ports", &value, "dflt"));
    EXPECT_EQ(value, "dflt");
    EXPECT_FALSE(cache_->GetPortValue("tty0", "Baud", &value, "9600"));
    EXPECT_EQ(value, "9600");
    EXPECT_EQ(cache_->errors, std::vector<std::string>(2, "error 2 opening configuration file"));
}

TEST_F(RegistryCacheTest, FirstChangeCreatesThePrivateFileAfterTheDelay) {
    EXPECT_TRUE(cache_->SetValue("Ports", "tty0"));
    EXPECT_TRUE(cache_->WritePending());
    Advance(RegistryCache::kWriteDelayMs - 1);
    EXPECT_FALSE(Exists(path_));
    Advance(1);
    EXPECT_EQ(ReadText(path_), "[main]\nPorts=tty0\n\n");
    EXPECT_FALSE(cache_->WritePending());
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"portvaned.conf"});
}

TEST_F(RegistryCacheTest, BurstOfChangesGivesOneWriteAfterTheLast) {
    cache_->SetValue("a", "1");
    Advance(400);
    cache_->SetPortValue("tty0", "Baud", "9600");
    Advance(400);
    cache_->SetValue("b", "2");
    Advance(RegistryCache::kWriteDelayMs - 1);
    EXPECT_FALSE(Exists(path_));
    Advance(1);
    EXPECT_EQ(ReadText(path_), "[main]\na=1\nb=2\n\n[tty0]\nBaud=9600\n\n");
    EXPECT_EQ(cache_->GetTimerGroup()->ActiveTimers(), 0);
}

TEST_F(RegistryCacheTest, LayoutIsInByteOrderWithEmptySections) {
    cache_->SetValue("b", "2");
    cache_->SetValue("B", "1");
    cache_->SetPortValue("tty1", "x", "y");
    cache_->SetPortValue("tty0", "Login", "v a l ");
    cache_->SetPortValue("empty", "gone", "1");
    cache_->DeletePortValue("empty", "gone");
    ASSERT_TRUE(cache_->Save());
    EXPECT_EQ(ReadText(path_),
              "[main]\nB=1\nb=2\n\n[empty]\n\n[tty0]\nLogin=v a l \n\n[tty1]\nx=y\n\n");
}

TEST_F(RegistryCacheTest, EverySectionNameTheCacheWritesReadsBack) {
    const char* names[] = {"tty_0", "a-b", "c+d", "Z9"};
    for (const char* name : names) {
        ASSERT_TRUE(cache_->SetPortValue(name, "Baud", name));
    }
    ASSERT_TRUE(cache_->Save());
    RecordingCache fresh(path_);
    for (const char* name : names) {
        EXPECT_EQ(GetPort(fresh, name, "Baud"), name);
    }
    EXPECT_TRUE(fresh.errors.empty());
}

TEST_F(RegistryCacheTest, UnrepresentableSettingsAreRefused) {
    EXPECT_FALSE(cache_->SetPortValue("main", "Baud", "1"));
    EXPECT_FALSE(cache_->SetPortValue("tty 0", "Baud", "1"));
    EXPECT_FALSE(cache_->SetPortValue("", "Baud", "1"));
    EXPECT_FALSE(cache_->SetValue("Baud_1", "1"));
    EXPECT_FALSE(cache_->SetValue("", "1"));
    EXPECT_FALSE(cache_->SetValue("Login", "a\n[main]\nPorts=x"));
    EXPECT_FALSE(cache_->SetValue("Login", std::string("a\0b", 3)));
    EXPECT_FALSE(cache_->WritePending());
    EXPECT_EQ(cache_->errors.size(), 7u);
    EXPECT_EQ(cache_->errors[0], "section main cannot be stored in the configuration file");
}

TEST_F(RegistryCacheTest, EmptyValueIsWrittenThenReadAsInvalidFormat) {
    cache_->SetPortValue("tty0", "Login", "");
    ASSERT_TRUE(cache_->Save());
    EXPECT_EQ(ReadText(path_), "[main]\n\n[tty0]\nLogin=\n\n");
    RecordingCache fresh(path_);
    EXPECT_EQ(GetPort(fresh, "tty0", "Login"), "<none>");
    EXPECT_EQ(fresh.errors, std::vector<std::string>{"invalid format at line 4"});
}

TEST_F(RegistryCacheTest, DamagedFileIsReportedByLineAndTheRestLoads) {
    WriteText(path_, "Ports=x\n[main]\nnot a pair\nPorts=tty0\n" + std::string(200000, 'z') +
                         "\n[tty0]\nBaud = 9600  \nName=\"quoted\"\n");
    EXPECT_EQ(Get("Ports"), "tty0");
    EXPECT_EQ(GetPort(*cache_, "tty0", "Baud"), "9600  ");
    EXPECT_EQ(GetPort(*cache_, "tty0", "Name"), "quoted");
    EXPECT_EQ(cache_->errors,
              (std::vector<std::string>{"name/value pair found outside of grouping at line 1",
                                        "invalid format at line 3", "line 5 too long"}));
}

TEST_F(RegistryCacheTest, FileIsParsedOnlyWhenNewer) {
    Preload("[main]\na=1\n");
    EXPECT_EQ(Get("a"), "1");
    // A hand edit with a later time is picked up by the next read.
    WriteText(path_, "[main]\na=2\n");
    SetModified(path_, 0);
    EXPECT_EQ(Get("a"), "2");
    // One whose time is not later than the last load is not.
    WriteText(path_, "[main]\na=3\n");
    SetModified(path_, -50);
    EXPECT_EQ(Get("a"), "2");
    EXPECT_TRUE(cache_->errors.empty());
}

TEST_F(RegistryCacheTest, HandEditAfterAWriteIsPickedUp) {
    cache_->SetValue("a", "1");
    ASSERT_TRUE(cache_->Save());
    WriteText(path_, "[main]\na=edited\n");
    SetModified(path_, 5);
    EXPECT_EQ(Get("a"), "edited");
}

TEST_F(RegistryCacheTest, DiskChangeBeforeTheWriteBackDropsThePendingChange) {
    Preload("[main]\na=1\n");
    cache_->SetValue("b", "mine");
    WriteText(path_, "[main]\na=theirs\n");
    SetModified(path_, 0);
    EXPECT_EQ(Get("a"), "theirs");
    EXPECT_EQ(Get("b"), "<none>");
}

// A change made before anything was read lands on top of the file's values
// instead of being replaced by them at the first read.
TEST_F(RegistryCacheTest, ChangeBeforeTheFirstReadKeepsFileAndChange) {
    WriteText(path_, "[main]\na=1\n\n[tty0]\nBaud=9600\n");
    SetModified(path_, -100);
    ASSERT_TRUE(cache_->SetPortValue("tty0", "Baud", "19200"));
    EXPECT_EQ(Get("a"), "1");
    EXPECT_EQ(GetPort(*cache_, "tty0", "Baud"), "19200");
    Advance(RegistryCache::kWriteDelayMs);
    EXPECT_EQ(ReadText(path_), "[main]\na=1\n\n[tty0]\nBaud=19200\n\n");
}

TEST_F(RegistryCacheTest, DeleteSchedulesAWriteOnlyWhenFound) {
    EXPECT_FALSE(cache_->DeleteValue("a"));
    EXPECT_FALSE(cache_->DeletePortValue("tty0", "a"));
    cache_->SetPortValue("tty0", "b", "1");
    ASSERT_TRUE(cache_->Save());
    EXPECT_FALSE(cache_->DeletePortValue("tty0", "a"));
    EXPECT_FALSE(cache_->WritePending());
    EXPECT_TRUE(cache_->DeletePortValue("tty0", "b"));
    EXPECT_TRUE(cache_->WritePending());
}

TEST_F(RegistryCacheTest, UnreadableFileKeepsTheValuesInMemory) {
    Preload("[main]\na=1\n");
    ASSERT_EQ(mkdir((path_ + ".d").c_str(), 0700), 0);
    // A directory in the file's place.
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".old").c_str()), 0);
    ASSERT_EQ(rename((path_ + ".d").c_str(), path_.c_str()), 0);
    EXPECT_EQ(Get("a"), "1");
    EXPECT_EQ(cache_->errors, std::vector<std::string>{"error 21 opening configuration file"});
}

TEST_F(RegistryCacheTest, FileWithoutReadPermission) {
    Preload("[main]\na=1\n");
    WriteText(path_, "[main]\na=2\n");
    chmod(path_.c_str(), 0);
    WithoutFileOverride unprivileged;
    if (!unprivileged.Effective()) {
        GTEST_SKIP() << "file modes cannot be enforced here";
    }
    EXPECT_EQ(Get("a"), "1");
    EXPECT_EQ(cache_->errors, std::vector<std::string>{"error 13 opening configuration file"});
}

TEST_F(RegistryCacheTest, UnwritableDirectoryLeavesOldFileAndMemory) {
    Preload("[main]\na=1\n");
    cache_->SetValue("b", "2");
    chmod(dir_.Path().c_str(), 0555);
    {
        WithoutFileOverride unprivileged;
        if (!unprivileged.Effective()) {
            chmod(dir_.Path().c_str(), 0700);
            GTEST_SKIP() << "file modes cannot be enforced here";
        }
        Advance(RegistryCache::kWriteDelayMs);
    }
    chmod(dir_.Path().c_str(), 0700);
    EXPECT_EQ(cache_->errors,
              std::vector<std::string>{"error 13 opening configuration file for update"});
    EXPECT_EQ(ReadText(path_), "[main]\na=1\n");
    EXPECT_EQ(Get("b"), "2");
    // What failed is still owed: stopping the cache writes it.
    cache_->Stop();
    EXPECT_EQ(ReadText(path_), "[main]\na=1\nb=2\n\n");
}

TEST_F(RegistryCacheTest, WriteThatFailsHalfwayLeavesOldFileWhole) {
    std::string old = "[main]\nold=" + std::string(8000, 'o') + "\n";
    Preload(old);
    cache_->SetValue("big", std::string(8000, 'n'));
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    Advance(RegistryCache::kWriteDelayMs);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(cache_->errors, std::vector<std::string>{"error 27 writing configuration file"});
    EXPECT_EQ(ReadText(path_), old);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"portvaned.conf"});
    EXPECT_EQ(Get("big"), std::string(8000, 'n'));
}

TEST_F(RegistryCacheTest, ExistingFileKeepsModeAndOwner) {
    WriteText(path_, "[main]\n");
    chmod(path_.c_str(), 0640);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path_.c_str(), 1234, 4321), 0);
    }
    cache_->SetValue("a", "1");
    ASSERT_TRUE(cache_->Save());
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 4321u);
    }
}

TEST_F(RegistryCacheTest, LinkedFileIsUpdatedThroughTheLink) {
    std::string target = dir_.File("real.conf");
    WriteText(target, "[main]\n");
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    cache_->SetValue("a", "1");
    ASSERT_TRUE(cache_->Save());
    struct stat st;
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadText(target), "[main]\na=1\n\n");
}

TEST_F(RegistryCacheTest, StopAndDestructorWritePendingChanges) {
    cache_->SetValue("a", "1");
    EXPECT_TRUE(cache_->Stop());
    EXPECT_EQ(ReadText(path_), "[main]\na=1\n\n");
    EXPECT_FALSE(cache_->WritePending());

    cache_->SetValue("a", "2");
    cache_.reset();
    EXPECT_EQ(ReadText(path_), "[main]\na=2\n\n");
}

TEST_F(RegistryCacheTest, StopWithNothingPendingDoesNotWrite) {
    EXPECT_TRUE(cache_->Stop());
    EXPECT_FALSE(Exists(path_));
}

TEST_F(RegistryCacheTest, ThreadWritesBackOnItsOwnTimer) {
    WriteText(path_, "junk\n");
    ASSERT_TRUE(cache_->Start());
    // Start reads the file, so its faults show at once.
    EXPECT_EQ(cache_->errors, std::vector<std::string>{"invalid format at line 1"});
    EXPECT_TRUE(cache_->Start());
    cache_->SetValue("a", "1");
    clock_.Advance(RegistryCache::kWriteDelayMs);
    cache_->GetTimerGroup()->GetEvent().Signal();
    // The write happens on the cache thread; wait for it, within bounds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cache_->WritePending() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(ReadText(path_), "[main]\na=1\n\n");
    EXPECT_TRUE(cache_->Stop());
    EXPECT_TRUE(cache_->Stop());
}

// ---- accessor functions

class AccessorTest : public RegistryCacheTest {
  protected:
    void SetUp() override {
        RegistryCacheTest::SetUp();
        RegistryCache::Install(cache_.get());
    }
    void TearDown() override {
        RegistryCache::Install(nullptr);
        RegistryCacheTest::TearDown();
    }
};

TEST_F(AccessorTest, InstalledCacheIsTheOneUsed) {
    EXPECT_EQ(&RegistryCache::Instance(), cache_.get());
}

TEST_F(AccessorTest, BufferFormsCutAndTerminate) {
    ConfigSetString("Login", "abcdef");
    PortConfigSetString("tty0", "Login", "abcdef");
    struct {
        size_t size;
        const char* expected;
    } cases[] = {{4, "abc"}, {7, "abcdef"}, {100, "abcdef"}, {1, ""}};
    for (const auto& c : cases) {
        char buffer[128];
        memset(buffer, 'X', sizeof buffer);
        EXPECT_TRUE(ConfigGetString("Login", buffer, c.size, "d"));
        EXPECT_STREQ(buffer, c.expected);
        memset(buffer, 'X', sizeof buffer);
        EXPECT_TRUE(PortConfigGetString("tty0", "Login", buffer, c.size, "d"));
        EXPECT_STREQ(buffer, c.expected);
        EXPECT_EQ(buffer[c.size], 'X');
    }
    char buffer[4];
    EXPECT_FALSE(ConfigGetString("Missing", buffer, sizeof buffer, "default"));
    EXPECT_STREQ(buffer, "def");
    EXPECT_FALSE(ConfigGetString("Missing", buffer, 0, "default"));
}

TEST_F(AccessorTest, NumbersAreWrittenUnsignedAndReadSigned) {
    struct {
        const char* stored;  // nullptr: not stored
        bool found;
        int value;
    } cases[] = {
        {nullptr, false, 77}, {"12", true, 12},         {"12abc", true, 12},
        {"abc", true, 77},    {"4294967295", true, -1}, {"99999999999", true, 77},
    };
    for (const auto& c : cases) {
        ConfigDelete("n");
        PortConfigDelete("tty0", "n");
        if (c.stored != nullptr) {
            ConfigSetString("n", c.stored);
            PortConfigSetString("tty0", "n", c.stored);
        }
        int value = 0;
        EXPECT_EQ(ConfigGetInt("n", &value, 77), c.found);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(PortConfigGetInt("tty0", "n", &value, 77), c.found);
        EXPECT_EQ(value, c.value);
    }
    EXPECT_TRUE(ConfigSetUnsigned("u", static_cast<unsigned>(-1)));
    EXPECT_TRUE(PortConfigSetUnsigned("tty0", "u", 4000000000u));
    EXPECT_EQ(Get("u"), "4294967295");
    EXPECT_EQ(GetPort(*cache_, "tty0", "u"), "4000000000");
}

TEST_F(AccessorTest, DeletesSucceedAlsoWhenAbsent) {
    EXPECT_TRUE(ConfigDelete("nothing"));
    EXPECT_TRUE(PortConfigDelete("nowhere", "nothing"));
    EXPECT_FALSE(cache_->WritePending());
    std::string value;
    EXPECT_FALSE(PortConfigGetString("nowhere", "nothing", &value));
    EXPECT_EQ(value, "");
}

}  // namespace
