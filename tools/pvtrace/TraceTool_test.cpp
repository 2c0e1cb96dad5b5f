#include "tools/pvtrace/TraceTool.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/control-client/LicenseText.h"
#include "tools/control-client/MemoryStream.h"
#include "tools/control-client/ScriptedRequester.h"

namespace {

class TraceToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pvtrace-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        requester_.SetStream("12:00:00 tty0 >> 41 42\n");
    }
    void TearDown() override {
        for (const std::string& f : files_) {
            unlink(f.c_str());
        }
        rmdir(dir_.c_str());
    }

    std::string File(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int Run(const std::vector<std::string>& args) {
        HelpPager pager(out_.Stream(), false);
        TraceTool tool(&requester_, &pager, out_.Stream(), err_.Stream());
        return tool.Run(args);
    }

    std::string dir_;
    std::vector<std::string> files_;
    ScriptedRequester requester_;
    MemoryStream out_;
    MemoryStream err_;
};

TEST_F(TraceToolTest, WithoutOptionsTracesToStdout) {
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(requester_.Requests(), std::vector<std::string>{"trace all\n"});
    EXPECT_EQ(out_.Text(), "12:00:00 tty0 >> 41 42\n");
    EXPECT_EQ(requester_.Closes(), 1);
}

TEST_F(TraceToolTest, OutputsInCommandLineOrder) {
    std::string appended = File("old.log");
    std::string created = File("new.log");
    {
        std::ofstream(appended) << "before\n";
        std::ofstream(created) << "replaced\n";
    }
    EXPECT_EQ(Run({"-f", "+" + appended, "-outputfile", "-", "-o", created}), 0);
    EXPECT_EQ(Read(appended), "before\n12:00:00 tty0 >> 41 42\n");
    EXPECT_EQ(Read(created), "12:00:00 tty0 >> 41 42\n");
    EXPECT_EQ(out_.Text(), "12:00:00 tty0 >> 41 42\n");
}

TEST_F(TraceToolTest, OptionsWithoutArgumentTakeTheirDefaults) {
    EXPECT_EQ(Run({"-l", "-f"}), 0);
    EXPECT_EQ(out_.Text(), "12:00:00 tty0 >> 41 42\n");
}

// The device list is accepted but the trace covers every device; it must not
// leave the trace without an output either.
TEST_F(TraceToolTest, DeviceListAloneStillTracesToStdout) {
    EXPECT_EQ(Run({"-ttylist", "tty0"}), 0);
    EXPECT_EQ(requester_.Requests(), std::vector<std::string>{"trace all\n"});
    EXPECT_EQ(out_.Text(), "12:00:00 tty0 >> 41 42\n");
}

TEST_F(TraceToolTest, UnopenableFileStopsBeforeContactingTheDaemon) {
    std::string good = File("good.log");
    std::string bad = dir_ + "/missing/dir/trace.log";
    EXPECT_EQ(Run({"-f", good, "-f", "+" + bad}), 3);
    EXPECT_EQ(err_.Text(), "Unable to open file " + bad + "\n");
    EXPECT_TRUE(requester_.Requests().empty());
}

TEST_F(TraceToolTest, Misuse) {
    EXPECT_EQ(Run({"-x"}), 1);
    EXPECT_EQ(Run({"trace"}), 1);
    EXPECT_EQ(err_.Text(), "Unknown option -x\nUnknown option trace\n");
    EXPECT_TRUE(requester_.Requests().empty());
}

TEST_F(TraceToolTest, Help) {
    EXPECT_EQ(Run({"-h"}), 0);
    EXPECT_EQ(out_.Text(), TraceTool::UsageText());
    EXPECT_EQ(Run({"-help", "license"}), 0);
    EXPECT_EQ(out_.Text(), TraceTool::UsageText() + std::string(PortvaneLicenseText()) + "\n");
    EXPECT_TRUE(requester_.Requests().empty());
    std::string usage = TraceTool::UsageText();
    EXPECT_NE(usage.find("Usage: pvtrace [OPTION]...\n"), std::string::npos);
    EXPECT_NE(usage.find("sends output to FILE"), std::string::npos);
    EXPECT_NE(usage.find("sends output to stdout"), std::string::npos);
}

TEST_F(TraceToolTest, RequestResults) {
    struct {
        int status;
        const char* text;
        int exit;
        const char* err;
        bool streamed;
    } cases[] = {
        {1, "Only one trace session may be active", 4,
         "Error: Only one trace session may be active\n", false},
        {2, "Connection Closed", 5, "Error contacting server: Connection Closed\n", false},
        {4, "Daemon not running", 5, "Error contacting server: Daemon not running\n", false},
        {5, "Unrecognized response from server", 5, "Error: Unrecognized response from server\n",
         false},
        {6, "Timed out waiting for response", 0, "", true},
    };
    for (const auto& c : cases) {
        ScriptedRequester requester;
        requester.Answer("trace all\n", c.status, c.text);
        MemoryStream out;
        MemoryStream err;
        HelpPager pager(out.Stream(), false);
        TraceTool tool(&requester, &pager, out.Stream(), err.Stream());
        EXPECT_EQ(tool.Run({}), c.exit) << c.status;
        EXPECT_EQ(err.Text(), c.err) << c.status;
        EXPECT_EQ(requester.StreamReads(), c.streamed ? 1 : 0) << c.status;
        EXPECT_EQ(requester.Closes(), 1) << c.status;
    }
}

}  // namespace
