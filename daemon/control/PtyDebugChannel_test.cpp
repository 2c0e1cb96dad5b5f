#include "daemon/control/PtyDebugChannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A monitor of the test's own, silent towards syslog.
class QuietMonitor : public DebugMonitor {
  protected:
    void WriteSyslog(int, const char*) override {}
};

// Holds records without reading them, as any attached sink makes it do.
struct IdleSink : DebugMonitorDataSink {
    void Write(const char*, int) override {}
    void ResetCursor() override {}
    void RecordsAvailable() override {}
};

// The trace connection: takes at most `accept` bytes per write (0: the
// reader is not reading) and keeps what it took.
class FakeConnection : public TCPDataServer {
  public:
    FakeConnection() : TCPDataServer(nullptr, nullptr) {}

    int Write(const char* data, uint16_t length) override {
        size_t n = length < accept ? length : accept;
        received.append(data, n);
        lines += static_cast<size_t>(std::count(data, data + n, '\n'));
        return static_cast<int>(n);
    }

    // Complete lines received, the text after the direction mark.
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        std::istringstream in(received);
        std::string line;
        while (std::getline(in, line)) {
            size_t mark = line.find(" << ");
            size_t note = line.find(" ** ");
            size_t at = mark != std::string::npos ? mark : note;
            texts.push_back(at == std::string::npos ? "?" + line : line.substr(at + 4));
        }
        return texts;
    }

    size_t accept = 65535;
    std::string received;
    size_t lines = 0;

    int Close() override { return 0; }
    int Bind(uint16_t) override { return 0; }
    int Read(char*, uint16_t) override { return 0; }
    int ReadBuffer(void**, uint16_t) override { return 0; }
    int Peek(char*, uint16_t) override { return 0; }
    int PeekBuffered(void**, uint16_t) override { return 0; }
    uint16_t GetRemotePort() override { return 0; }
    const IPAddress* GetRemoteAddress() override { return &address_; }
    const IPAddress* GetLocalAddress() override { return &address_; }
    bool IsOpen() override { return true; }
    int GetLastError() override { return 0; }
    int Connect(const char*, uint16_t, IPAddress*) override { return 0; }
    int ConnectAsync(const char*, uint16_t) override { return 0; }
    int GetStatus() override { return 0; }
    bool IsConnecting() override { return false; }
    int Attach(TCPListener*, const IPAddress*, const IPAddress*, int*) override { return 0; }
    int GetReceiveBufferSize() override { return 0; }
    int SetReceiveBufferSize(int) override { return 0; }
    int GetSendBufferSize() override { return 0; }
    int SetSendBufferSize(int) override { return 0; }
    int SetKeepAlive(int) override { return 0; }
    int BytesAvailable() override { return 0; }
    int SetNoDelay(int) override { return 0; }

  private:
    IPAddress address_;
};

class PtyDebugChannelTest : public ::testing::Test {
  protected:
    PtyDebugChannelTest() { monitor_.SetLevel(7); }
    ~PtyDebugChannelTest() override { channel_->Stop(); }

    void MakeChannel(size_t limit) {
        channel_ = std::make_unique<PtyDebugChannel>(nullptr, &group_, &monitor_, limit);
    }

    void Log(const std::string& text) {
        monitor_.Log(DEBUG_READ, "tty0", static_cast<int>(text.size()), text.data());
    }

    // What the socket's thread does: due timers, then writable events,
    // until `lines` complete lines arrived or nothing moves any more.
    void Pump(size_t lines = SIZE_MAX) {
        for (int idle = 0; idle < 3 && connection_.lines < lines;) {
            size_t before = connection_.received.size();
            if (group_.TimeToNextTimer() == 0) {
                group_.RunExpiredTimers();
            }
            channel_->OnWritable();
            idle = connection_.received.size() == before ? idle + 1 : 0;
        }
    }

    QuietMonitor monitor_;
    KtTimerGroup group_;
    FakeConnection connection_;
    std::unique_ptr<PtyDebugChannel> channel_ =
        std::make_unique<PtyDebugChannel>(nullptr, &group_, &monitor_);
};

TEST_F(PtyDebugChannelTest, SendsHeldRecordsFirstThenNewOnesAndDropsTheHistory) {
    IdleSink idle;
    monitor_.SetSink(&idle);
    Log("held 1");
    Log("held 2^");
    channel_->Start(&connection_);
    Pump(2);
    Log("new\r");
    Pump(3);
    EXPECT_EQ(connection_.Texts(), (std::vector<std::string>{"held 1", "held 2^", "new^M"}));
    EXPECT_EQ(monitor_.RecordCount(), 0);
    EXPECT_TRUE(channel_->IsTracing());
    EXPECT_EQ(connection_.received.back(), '\n');
}

TEST_F(PtyDebugChannelTest, SlowReaderLosesNothingWhileTheHistoryRestarts) {
    channel_->Start(&connection_);
    connection_.accept = 0;
    const int count = 3000;
    char text[256];
    for (int i = 0; i < count; ++i) {
        snprintf(text, sizeof text, "%05d %0200d", i, 0);
        Log(text);
        // The reader takes a little now and then.
        if (i % 500 == 0) {
            connection_.accept = 7;
            Pump();
            connection_.accept = 0;
        }
    }
    connection_.accept = 13;
    Pump(count);
    std::vector<std::string> texts = connection_.Texts();
    ASSERT_EQ(texts.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        snprintf(text, sizeof text, "%05d %0200d", i, 0);
        ASSERT_EQ(texts[i], text) << i;
    }
    EXPECT_EQ(channel_->QueuedBytes(), 0u);
}

TEST_F(PtyDebugChannelTest, ReaderTooFarBehindIsToldWhereLinesAreMissing) {
    MakeChannel(8192);
    channel_->Start(&connection_);
    connection_.accept = 0;
    for (int i = 0; i < 1000; ++i) {
        Log(std::to_string(i) + std::string(100, '.'));
    }
    EXPECT_LE(channel_->QueuedBytes(), 8192u);
    connection_.accept = 65535;
    Pump();
    Log("after");
    Pump();
    std::vector<std::string> texts = connection_.Texts();
    ASSERT_GE(texts.size(), 3u);
    size_t kept = texts.size() - 2;
    EXPECT_EQ(texts[kept],
              std::to_string(1000 - kept) + " trace records dropped: trace reader too slow");
    EXPECT_EQ(texts.back(), "after");
    for (size_t i = 0; i < kept; ++i) {
        EXPECT_EQ(texts[i], std::to_string(i) + std::string(100, '.'));
    }
}

TEST_F(PtyDebugChannelTest, StopAndCloseEndTheTrace) {
    channel_->Start(&connection_);
    Log("one");
    channel_->Stop();
    EXPECT_FALSE(channel_->IsTracing());
    EXPECT_EQ(group_.ActiveTimers(), 0);
    Log("two");
    Pump(1);
    EXPECT_EQ(connection_.received, "");

    channel_->Start(&connection_);
    Log("three");
    channel_->OnClose(0);
    EXPECT_FALSE(channel_->IsTracing());
    Pump(1);
    EXPECT_EQ(connection_.received, "");
    // Without a sink the monitor keeps nothing.
    Log("four");
    EXPECT_EQ(monitor_.RecordCount(), 0);
}

}  // namespace
