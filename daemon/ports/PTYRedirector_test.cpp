#include "daemon/ports/PTYRedirector.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "common/config/RegistryCache.h"
#include "daemon/ports/PTYConnectionListener.h"
#include "daemon/ports/PTYTestSupport.h"
#include "daemon/ports/UARTTestSupport.h"
#include "daemon/ports/VirtualUART.h"

namespace {

const char* const kPort = "tty0";

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++n;
        }
        closedir(dir);
    }
    return n;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class PTYRedirectorTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(listener_.Start()); }
    void TearDown() override {
        port_.reset();
        listener_.Stop();
    }

    PTYRedirector& Make(const std::string& name = kPort) {
        port_ = std::make_unique<PTYRedirector>(name, &factory_, &listener_);
        return *port_;
    }
    // A created port and its network side.
    RecordingDCEDevice* Create() {
        if (!Make().CreatePty()) {
            return nullptr;
        }
        return static_cast<RecordingDCEDevice*>(port_->GetDCEDevice());
    }
    std::string Link() const { return root_.Dev(kPort); }
    std::vector<std::string> Errors() { return trace_.Texts(DEBUG_ERROR, kPort); }
    // A new pseudo-terminal is published and the link leads to it. Node
    // identity alone cannot tell: a recycle within one clock tick gets the
    // same number, inode and change time back.
    bool WaitFreshNode(int createdBefore) {
        return WaitUntil([&] {
            return port_->CreatedCount() > createdBefore && PtyNode::Of(Link()).exists &&
                   LinkTarget(Link()) == port_->GetSlavePath();
        });
    }

    ScratchRoot root_;
    TraceCapture trace_;
    RecordingDCEFactory factory_;
    PTYConnectionListener listener_;
    std::unique_ptr<PTYRedirector> port_;
};

TEST_F(PTYRedirectorTest, CreatePublishesTheSlave) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    std::string slave = port_->GetSlavePath();
    EXPECT_EQ(LinkTarget(Link()), slave);
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u);
    EXPECT_GE(port_->GetMasterFd(), 0);
    EXPECT_EQ(listener_.WatchCount(), 1);
    EXPECT_EQ(ModeOf(slave), 0777u);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PTYRedirectorTest, AnApplicationThatOpensAndWaitsOpensThePort) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    int app = OpenApplication(Link());
    ASSERT_GE(app, 0);
    EXPECT_TRUE(WaitUntil([&] { return dce->Opens() == 1; }));
    EXPECT_TRUE(
        WaitUntil([&] { return port_->GetUART().GetOpenState() == VirtualUART::OpenState::Open; }));
    EXPECT_EQ(port_->GetDevice().GetFd(), port_->GetMasterFd());
    EXPECT_EQ(listener_.WatchCount(), 0);
    close(app);
}

TEST_F(PTYRedirectorTest, DataFlowsBothWays) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    int app = OpenApplication(Link());
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] { return dce->Opens() == 1; }));
    ASSERT_EQ(write(app, "hello", 5), 5);
    EXPECT_TRUE(WaitUntil([&] { return dce->Received() == "hello"; }));
    dce->Send("world");
    EXPECT_EQ(ReadFor(app, 5), "world");
    close(app);
}

TEST_F(PTYRedirectorTest, EveryUseGetsAFreshPseudoTerminal) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    for (int use = 1; use <= 3; ++use) {
        SCOPED_TRACE(use);
        int before = port_->CreatedCount();
        int app = OpenApplication(Link());
        ASSERT_GE(app, 0);
        ASSERT_TRUE(WaitUntil([&] { return dce->Opens() + dce->Reopens() == use; }));
        close(app);
        ASSERT_TRUE(WaitFreshNode(before));
        EXPECT_EQ(LinkTarget(Link()), port_->GetSlavePath());
        EXPECT_TRUE(WaitUntil([&] { return listener_.WatchCount() == 1; }));
    }
    // Within the close delay the network side stays open and is reopened.
    EXPECT_EQ(dce->Opens(), 1);
    EXPECT_EQ(dce->Reopens(), 2);
}

TEST_F(PTYRedirectorTest, AnOpenAndImmediateCloseIsSeenAndRecycled) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    int before = port_->CreatedCount();
    int app = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(app, 0);
    close(app);
    EXPECT_TRUE(WaitFreshNode(before));
    EXPECT_TRUE(WaitUntil([&] { return dce->Opens() == 1; }));
}

TEST_F(PTYRedirectorTest, ForeignEntriesAtTheLinkAreLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const Case cases[] = {
        {"regular file",
         [](const std::string& p) {
             int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
             ASSERT_EQ(write(fd, "keep", 4), 4);
             close(fd);
         }},
        {"directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }},
        {"system link", [](const std::string& p) { symlink("/proc/self/fd/1", p.c_str()); }},
        {"link elsewhere in /dev", [](const std::string& p) { symlink("/dev/null", p.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(Link());
        struct stat before;
        ASSERT_EQ(lstat(Link().c_str(), &before), 0);
        std::string target = LinkTarget(Link());
        int descriptors = OpenDescriptors();
        trace_.Clear();

        EXPECT_FALSE(Make().CreatePty());
        EXPECT_EQ(port_->GetMasterFd(), -1);
        EXPECT_EQ(listener_.WatchCount(), 0);
        std::vector<std::string> errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        std::string expected =
            "File or device " + Link() + " already exists, cannot create symlink to pty /dev/pts/";
        EXPECT_EQ(errors[0].rfind(expected, 0), 0u) << errors[0];
        port_.reset();

        struct stat after;
        ASSERT_EQ(lstat(Link().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(LinkTarget(Link()), target);
        EXPECT_EQ(OpenDescriptors(), descriptors);
        remove(Link().c_str());
    }
}

TEST_F(PTYRedirectorTest, AStaleLinkIntoDevPtsIsReplaced) {
    ASSERT_EQ(symlink("/dev/pts/4242", Link().c_str()), 0);
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(LinkTarget(Link()), port_->GetSlavePath());
}

TEST_F(PTYRedirectorTest, ModeFromTheConfiguration) {
    struct Case {
        const char* port;     // null: not set in the port's section
        const char* general;  // null: not set in "[main]"
        mode_t mode;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0777}, {"0620", nullptr, 0620}, {"640", nullptr, 0640},
        {nullptr, "0660", 0660},  {"0600", "0660", 0600},  {"rw-rw----", nullptr, 0777},
        {"0689", nullptr, 0777},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port ? c.port : "-") + " " + (c.general ? c.general : "-"));
        PortConfigDelete(kPort, "chmod");
        ConfigDelete("chmod");
        if (c.port != nullptr) {
            PortConfigSetString(kPort, "chmod", c.port);
        }
        if (c.general != nullptr) {
            ConfigSetString("chmod", c.general);
        }
        ASSERT_NE(Create(), nullptr);
        EXPECT_EQ(ModeOf(port_->GetSlavePath()), c.mode);
        port_.reset();
    }
}

TEST_F(PTYRedirectorTest, OwnerAndGroupFromTheConfiguration) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the slave away";
    }
    struct passwd* nobody = getpwnam("nobody");
    struct group* nogroup = getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) {
        GTEST_SKIP() << "no nobody/nogroup";
    }
    uid_t uid = nobody->pw_uid;
    gid_t gid = nogroup->gr_gid;
    PortConfigSetString(kPort, "chown", "nobody");
    ConfigSetString("chgrp", "nogroup");
    ASSERT_NE(Create(), nullptr);
    std::string slave = port_->GetSlavePath();
    struct stat st;
    ASSERT_EQ(stat(slave.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);

    // Re-applied without a setting: back to what the kernel gave at creation.
    PortConfigDelete(kPort, "chown");
    ConfigDelete("chgrp");
    PortConfigSetString(kPort, "chmod", "0600");
    EXPECT_TRUE(port_->ApplyOwner());
    EXPECT_TRUE(port_->ApplyGroup());
    EXPECT_TRUE(port_->ApplyPermissions());
    ASSERT_EQ(stat(slave.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_NE(st.st_gid, gid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(PTYRedirectorTest, AnUnknownUserOrGroupFailsThePortAndLeavesNoLink) {
    struct Case {
        const char* key;
        const char* value;
        const char* text;
    };
    const Case cases[] = {
        {"chown", "no-such-user-here", "when querying user id for user 'no-such-user-here'"},
        {"chgrp", "no-such-group-here", "when querying group id for group 'no-such-group-here'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        trace_.Clear();
        PortConfigSetString(kPort, c.key, c.value);
        EXPECT_FALSE(Make().CreatePty());
        EXPECT_EQ(port_->GetMasterFd(), -1);
        std::vector<std::string> errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("Error ", 0), 0u);
        EXPECT_NE(errors[0].find(c.text), std::string::npos) << errors[0];
        // The pty's number goes to the next one the kernel opens: a link
        // left behind would lead there.
        EXPECT_FALSE(PathExists(Link()));
        EXPECT_EQ(listener_.WatchCount(), 0);
        port_.reset();
        PortConfigDelete(kPort, c.key);
    }
}

TEST_F(PTYRedirectorTest, DestroyRemovesOnlyItsOwnLink) {
    ASSERT_NE(Create(), nullptr);
    port_->DestroyPty();
    EXPECT_FALSE(PathExists(Link()));
    EXPECT_EQ(port_->GetMasterFd(), -1);
    EXPECT_EQ(listener_.WatchCount(), 0);

    // Someone replaced the link while the port ran: theirs stays.
    ASSERT_TRUE(port_->CreatePty());
    ASSERT_EQ(unlink(Link().c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", Link().c_str()), 0);
    port_.reset();
    EXPECT_EQ(LinkTarget(Link()), "/dev/null");
}

TEST_F(PTYRedirectorTest, RemovingThePortHangsUpOnTheApplication) {
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    int app = OpenApplication(Link());
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] { return dce->Opens() == 1; }));
    port_.reset();
    EXPECT_FALSE(PathExists(Link()));
    struct pollfd p = {app, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    close(app);
}

TEST_F(PTYRedirectorTest, ARefusedOpenDrainsAndStillSeesTheClose) {
    factory_.refuse = true;
    RecordingDCEDevice* dce = Create();
    ASSERT_NE(dce, nullptr);
    int before = port_->CreatedCount();
    int app = OpenApplication(Link());
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] { return port_->GetDevice().IsDraining(); }));
    // Far more than the kernel holds: only a reader on the master lets it
    // all through.
    std::string block(4096, 'd');
    size_t written = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (written < 200000 && std::chrono::steady_clock::now() < end) {
        ssize_t n = write(app, block.data(), block.size());
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else {
            struct pollfd p = {app, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    EXPECT_GE(written, 200000u);
    EXPECT_EQ(dce->Received(), "");
    close(app);
    EXPECT_TRUE(WaitFreshNode(before));
    EXPECT_TRUE(WaitUntil([&] { return !port_->GetDevice().IsDraining(); }));
}

TEST_F(PTYRedirectorTest, APortWithoutANetworkSideIsNotBuilt) {
    factory_.buildable = false;
    EXPECT_FALSE(Make().IsBuilt());
}

TEST_F(PTYRedirectorTest, ReapplyingWithoutAPtyFails) {
    ASSERT_NE(Create(), nullptr);
    port_->DestroyPty();
    trace_.Clear();
    EXPECT_FALSE(port_->ApplyPermissions());
    EXPECT_EQ(Errors(), std::vector<std::string>{"Error 9 when querying pty name"});
}

}  // namespace
