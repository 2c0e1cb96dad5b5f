#include "daemon/core/PTYRedirectorManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/config/RegistryCache.h"
#include "daemon/ports/PTYTestSupport.h"
#include "daemon/ports/UARTTestSupport.h"

namespace {

// The port set of a manager that is never started: ports are created and
// removed, but no thread watches them.
class PTYRedirectorManagerTest : public ::testing::Test {
  protected:
    PTYRedirectorManagerTest() { manager_->SetDeviceFactories(&redirectors_, &modems_); }
    ~PTYRedirectorManagerTest() override { manager_.reset(); }

    // Something at /dev/<name> that is not ours: that port cannot be made.
    void Occupy(const std::string& name) {
        int fd = open(root_.Dev(name).c_str(), O_CREAT | O_WRONLY, 0644);
        close(fd);
    }
    void Free(const std::string& name) { unlink(root_.Dev(name).c_str()); }
    bool Linked(const std::string& name) {
        return LinkTarget(root_.Dev(name)).rfind("/dev/pts/", 0) == 0;
    }
    std::vector<std::string> Logged(int kind, const std::string& source) {
        return trace_.Texts(kind, source);
    }

    ScratchRoot root_;
    TraceCapture trace_;
    RecordingDCEFactory redirectors_;
    RecordingDCEFactory modems_;
    std::unique_ptr<PTYRedirectorManager> manager_ = std::make_unique<PTYRedirectorManager>();
};

TEST_F(PTYRedirectorManagerTest, NonStrictAddKeepsTheFailedNames) {
    Occupy("bad");
    std::string reply;
    EXPECT_TRUE(manager_->AddPorts("a,bad,c", reply, false));
    EXPECT_EQ(reply, "Unable to open/create pty for bad");
    EXPECT_EQ(manager_->ListPorts(false), "a,c");
    EXPECT_EQ(manager_->ListPorts(true), "a,bad,c");
    EXPECT_TRUE(manager_->IsKnownPort("bad"));
    EXPECT_EQ(manager_->FindPort("bad"), nullptr);
    ASSERT_NE(manager_->FindPort("a"), nullptr);
    EXPECT_TRUE(Linked("a"));
    EXPECT_TRUE(Linked("c"));
    EXPECT_EQ(Logged(DEBUG_INFO, "a"), std::vector<std::string>{"Create Port"});
    std::vector<std::string> errors = Logged(DEBUG_ERROR, "bad");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "Unable to open/create pty");

    // Running ports are skipped; a failed one is tried again.
    PTYRedirector* a = manager_->FindPort("a");
    Free("bad");
    reply.clear();
    EXPECT_TRUE(manager_->AddPorts("a,bad", reply, false));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(manager_->FindPort("a"), a);
    EXPECT_EQ(manager_->ListPorts(false), "a,bad,c");
    EXPECT_EQ(manager_->ListPorts(true), "a,bad,c");
}

TEST_F(PTYRedirectorManagerTest, StrictAddIsAllOrNothing) {
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("old", reply, true));
    PTYRedirector* old = manager_->FindPort("old");
    Occupy("retried");
    ASSERT_TRUE(manager_->AddPorts("retried", reply, false));
    Free("retried");
    Occupy("second");

    reply.clear();
    EXPECT_FALSE(manager_->AddPorts("first,retried,second", reply, true));
    EXPECT_EQ(reply, "Unable to open/create pty for second");
    // Neither new port exists, the running one is untouched, and the name
    // that was failed before is failed still.
    EXPECT_EQ(manager_->ListPorts(false), "old");
    EXPECT_EQ(manager_->ListPorts(true), "old,retried");
    EXPECT_EQ(manager_->FindPort("old"), old);
    EXPECT_FALSE(PathExists(root_.Dev("first")));
    EXPECT_FALSE(PathExists(root_.Dev("retried")));
    EXPECT_TRUE(Linked("old"));
}

TEST_F(PTYRedirectorManagerTest, APortThatCannotBeBuilt) {
    redirectors_.buildable = false;
    std::string reply;
    EXPECT_FALSE(manager_->AddPorts("x", reply, true));
    EXPECT_EQ(reply, "Unable to create pty redirector for x");
    EXPECT_EQ(Logged(DEBUG_ERROR, "x"),
              std::vector<std::string>{"Unable to create pty redirector"});
    EXPECT_FALSE(manager_->IsKnownPort("x"));
    EXPECT_FALSE(PathExists(root_.Dev("x")));
    EXPECT_TRUE(manager_->AddPorts("x", reply, false));
    EXPECT_EQ(manager_->ListPorts(true), "x");
}

TEST_F(PTYRedirectorManagerTest, ANameListedTwiceMakesOnePort) {
    std::string reply;
    EXPECT_TRUE(manager_->AddPorts("d,d", reply, true));
    EXPECT_TRUE(manager_->SetPorts("d,e,e", reply, true));
    EXPECT_EQ(manager_->ListPorts(true), "d,e");
    EXPECT_EQ(redirectors_.BuiltCount("d"), 1);
    EXPECT_EQ(redirectors_.BuiltCount("e"), 1);
    EXPECT_EQ(Logged(DEBUG_INFO, "e"), std::vector<std::string>{"Create Port"});
    EXPECT_TRUE(Linked("d"));
    EXPECT_TRUE(Linked("e"));
}

TEST_F(PTYRedirectorManagerTest, RemoveStrictAndNot) {
    Occupy("bad");
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("a,b,bad", reply, false));

    EXPECT_FALSE(manager_->RemovePorts("a,zz", reply, true));
    EXPECT_EQ(reply, "zz is not redirected");
    EXPECT_EQ(manager_->ListPorts(true), "a,b,bad");

    reply.clear();
    EXPECT_TRUE(manager_->RemovePorts("zz,bad,a", reply, false));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(manager_->ListPorts(true), "b");
    EXPECT_FALSE(PathExists(root_.Dev("a")));
    EXPECT_EQ(Logged(DEBUG_INFO, "a"), (std::vector<std::string>{"Create Port", "Remove pty"}));
    EXPECT_EQ(Logged(DEBUG_INFO, "bad"), std::vector<std::string>{"Remove failed pty"});
    // Not ours: left alone.
    EXPECT_TRUE(PathExists(root_.Dev("bad")));
}

TEST_F(PTYRedirectorManagerTest, SetMakesTheKnownNamesEqualToTheList) {
    struct Step {
        const char* list;
        bool strict;
        bool result;
        const char* running;
        const char* known;
    };
    Occupy("bad");
    const Step steps[] = {
        {"a,b,bad", false, true, "a,b", "a,b,bad"},
        {"bad,b,a", false, true, "a,b", "a,b,bad"},  // another order changes nothing
        {"b,c", false, true, "b,c", "b,c"},
        {"b,c,bad", true, false, "b,c", "b,c"},  // a strict failure removes nothing
        {"", false, true, "", ""},
    };
    std::string reply;
    ASSERT_TRUE(manager_->SetPorts(steps[0].list, reply, false));
    PTYRedirector* b = manager_->FindPort("b");
    for (const Step& s : steps) {
        SCOPED_TRACE(s.list);
        EXPECT_EQ(manager_->SetPorts(s.list, reply, s.strict), s.result);
        EXPECT_EQ(manager_->ListPorts(false), s.running);
        EXPECT_EQ(manager_->ListPorts(true), s.known);
        if (std::string(s.running).find('b') != std::string::npos) {
            EXPECT_EQ(manager_->FindPort("b"), b);
        }
    }
    EXPECT_EQ(redirectors_.BuiltCount("b"), 1);
    EXPECT_FALSE(PathExists(root_.Dev("b")));
}

TEST_F(PTYRedirectorManagerTest, TelnetModemChoosesTheFactory) {
    ConfigSetUnsigned("TelnetModem", 1);
    PortConfigSetUnsigned("plain", "TelnetModem", 0);
    PortConfigSetUnsigned("modem", "TelnetModem", 1);
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("plain,modem,inherits", reply, true));
    EXPECT_EQ(redirectors_.Built(), std::vector<std::string>{"plain"});
    EXPECT_EQ(modems_.Built(), (std::vector<std::string>{"modem", "inherits"}));
}

TEST_F(PTYRedirectorManagerTest, ReloadFollowsThePortsKey) {
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("a", reply, true));
    // Absent: nothing changes.
    EXPECT_TRUE(manager_->Reload());
    EXPECT_EQ(manager_->ListPorts(true), "a");
    ConfigSetString("Ports", "b,c");
    EXPECT_TRUE(manager_->Reload());
    EXPECT_EQ(manager_->ListPorts(true), "b,c");
    // Present and empty: everything goes.
    ConfigSetString("Ports", "");
    EXPECT_TRUE(manager_->Reload());
    EXPECT_EQ(manager_->ListPorts(true), "");
}

TEST_F(PTYRedirectorManagerTest, ApplyReachesTheNamedOrAllRunningPorts) {
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("a,b", reply, true));
    std::string slaveA = manager_->FindPort("a")->GetSlavePath();
    std::string slaveB = manager_->FindPort("b")->GetSlavePath();
    auto mode = [](const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0u;
    };
    ConfigSetString("chmod", "0600");
    EXPECT_TRUE(manager_->ApplyMode("a"));
    EXPECT_EQ(mode(slaveA), 0600u);
    EXPECT_EQ(mode(slaveB), 0777u);
    EXPECT_TRUE(manager_->ApplyMode("nosuch"));
    ConfigSetString("chmod", "0640");
    EXPECT_TRUE(manager_->ApplyMode("all"));  // only "ALL" means all
    EXPECT_EQ(mode(slaveB), 0777u);
    EXPECT_TRUE(manager_->ApplyMode("ALL"));
    EXPECT_EQ(mode(slaveA), 0640u);
    EXPECT_EQ(mode(slaveB), 0640u);
    EXPECT_TRUE(manager_->ApplyOwner("ALL"));
    EXPECT_TRUE(manager_->ApplyGroup("ALL"));
}

TEST_F(PTYRedirectorManagerTest, TheManagerTakesItsLinksWithIt) {
    std::string reply;
    ASSERT_TRUE(manager_->AddPorts("a,b", reply, true));
    manager_.reset();
    EXPECT_FALSE(PathExists(root_.Dev("a")));
    EXPECT_FALSE(PathExists(root_.Dev("b")));
}

}  // namespace
