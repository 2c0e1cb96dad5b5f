#include "daemon/ports/PTYDevice.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>

#include "daemon/ports/PTYConnectionListener.h"
#include "daemon/ports/PTYRedirector.h"
#include "daemon/ports/PTYTestSupport.h"
#include "daemon/ports/UARTTestSupport.h"
#include "daemon/ports/VirtualUARTChannel.h"

namespace {

const char* const kPort = "tty0";

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// A port whose application side is opened by the test as an application.
class PTYDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.Start());
        port_ = std::make_unique<PTYRedirector>(kPort, &factory_, &listener_);
        ASSERT_TRUE(port_->CreatePty());
        dce_ = static_cast<RecordingDCEDevice*>(port_->GetDCEDevice());
    }
    void TearDown() override {
        if (app_ >= 0) {
            close(app_);
        }
        port_.reset();
        listener_.Stop();
    }
    void OpenApp() {
        app_ = OpenApplication(root_.Dev(kPort));
        ASSERT_GE(app_, 0);
        ASSERT_TRUE(WaitUntil([&] { return dce_->Opens() == 1; }));
        ASSERT_TRUE(WaitUntil([&] { return !port_->GetDevice().IsOpenPending(); }));
    }
    // Writes all of `bytes` to the application's side, waiting while the
    // kernel is full; returns what went.
    size_t WriteAll(const std::string& bytes, int timeoutMs = 10000) {
        size_t done = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
            ssize_t n = write(app_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                struct pollfd p = {app_, POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
        return done;
    }

    ScratchRoot root_;
    TraceCapture trace_;
    RecordingDCEFactory factory_;
    PTYConnectionListener listener_;
    std::unique_ptr<PTYRedirector> port_;
    RecordingDCEDevice* dce_ = nullptr;
    int app_ = -1;
};

TEST_F(PTYDeviceTest, ANetworkSideThatTakesNothingHoldsTheApplicationBack) {
    dce_->Accept(0);
    OpenApp();
    std::string bytes = Pattern(100000);
    // The kernel takes only a few kilobytes while nothing is read.
    size_t first = WriteAll(bytes, 300);
    ASSERT_LT(first, bytes.size());
    EXPECT_TRUE(WaitUntil([&] { return port_->GetUART().ToDevice().IsBlocked(); }));
    EXPECT_EQ(dce_->Received(), "");

    // Once the network side takes again and pulls, everything arrives once
    // and in order.
    dce_->Accept(INT_MAX);
    std::string rest = bytes.substr(first);
    ASSERT_EQ(WriteAll(rest) + first, bytes.size());
    EXPECT_TRUE(WaitUntil([&] { return dce_->Received().size() >= bytes.size(); }, 10000));
    EXPECT_TRUE(dce_->Received() == bytes);
    EXPECT_FALSE(port_->GetUART().ToDevice().IsBlocked());
}

TEST_F(PTYDeviceTest, AFullMasterHoldsNetworkDataUntilTheApplicationReads) {
    OpenApp();
    std::string bytes = Pattern(200000);
    dce_->Send(bytes);
    // Nothing reads: the master fills and the network side keeps the rest.
    EXPECT_TRUE(WaitUntil([&] { return port_->GetUART().ToDriver().IsBlocked(); }));
    EXPECT_GT(dce_->Unsent(), 0u);
    std::string got = ReadFor(app_, bytes.size(), 10000);
    EXPECT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes);
    EXPECT_EQ(dce_->Unsent(), 0u);
}

TEST_F(PTYDeviceTest, BytesWrittenBeforeTheCloseStillArrive) {
    OpenApp();
    ASSERT_EQ(write(app_, "last words", 10), 10);
    close(app_);
    app_ = -1;
    EXPECT_TRUE(WaitUntil([&] { return dce_->Received() == "last words"; }));
    EXPECT_TRUE(WaitUntil([&] { return listener_.WatchCount() == 1; }));
}

TEST_F(PTYDeviceTest, DetachIgnoresAStaleDescriptor) {
    OpenApp();
    int master = port_->GetMasterFd();
    EXPECT_FALSE(port_->GetDevice().Detach(master + 1000));
    EXPECT_EQ(port_->GetDevice().GetFd(), master);
    EXPECT_TRUE(port_->GetDevice().Detach(master));
    EXPECT_EQ(port_->GetDevice().GetFd(), -1);
    EXPECT_EQ(port_->GetDevice().GetChannel(), nullptr);
    EXPECT_FALSE(port_->GetDevice().Detach(master));
    // Data for a detached device is dropped as if delivered.
    EXPECT_EQ(port_->GetDevice().ReceiveData(reinterpret_cast<const uint8_t*>("x"), 1), 1);
}

}  // namespace
