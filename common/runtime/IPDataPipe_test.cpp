#include "common/runtime/IPDataPipe.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/runtime/LinuxSocket.h"
#include "common/runtime/LinuxSocketFactory.h"
#include "common/runtime/SocketTestSupport.h"
#include "common/runtime/TCPDataPipe.h"
#include "common/runtime/UDPDataPipe.h"
#include "common/runtime/UDPSocket.h"
#include "common/runtime/UDPSocketFactory.h"

using namespace sockettest;

namespace {

// A protocol layer as the Telnet engine is one: it keeps the socket's
// events on for itself and consumes what arrives, while its own user has
// asked for nothing.
class ConsumingLayer : public TCPDataPipe {
  public:
    using TCPDataPipe::TCPDataPipe;
    void ListenBelow() { inner_->EnableEvents(1, 1); }
    void OnReadable() override {
        char buffer[64];
        int n = inner_->Read(buffer, sizeof buffer);
        if (n > 0) {
            consumed.append(buffer, static_cast<size_t>(n));
        }
        TCPDataPipe::OnReadable();
    }
    void OnWritable() override {
        ++writableBelow;
        TCPDataPipe::OnWritable();
    }
    std::string consumed;
    int writableBelow = 0;
};

class IPDataPipeTest : public SocketTest {
  protected:
    void SetUp() override {
        SocketTest::SetUp();
        listenFd_ = RawListener(&listenPort_);
    }
    void TearDown() override {
        for (int fd : {peer_, listenFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        SocketTest::TearDown();
    }
    void Connect(TCPDataServer* pipe) {
        ASSERT_EQ(pipe->ConnectAsync("127.0.0.1", listenPort_), 0);
        ASSERT_TRUE(RunUntil([&] { return !outer_.connects.empty(); }));
        ASSERT_EQ(outer_.connects, std::vector<int>{0});
        peer_ = RawAccept(listenFd_);
        ASSERT_GE(peer_, 0);
    }

    LinuxSocketFactory factory_;
    RecordingClient outer_;
    std::recursive_mutex mutex_;
    int listenFd_ = -1;
    uint16_t listenPort_ = 0;
    int peer_ = -1;
};

TEST_F(IPDataPipeTest, ConnectResultsReachTheOuterClientUnchanged) {
    TCPDataPipe pipe(&outer_, &factory_, &manager_, &mutex_);
    auto* socket = dynamic_cast<LinuxSocket*>(pipe.GetTCPDataServer());
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(socket->GetMutex(), &mutex_);
    EXPECT_EQ(socket->GetClient(), static_cast<IPDataClient*>(&pipe));

    uint16_t closedPort;
    int blocker = RawClosedPort(&closedPort);
    ASSERT_EQ(pipe.ConnectAsync("127.0.0.1", closedPort), 0);
    EXPECT_TRUE(pipe.IsConnecting());
    ASSERT_TRUE(RunUntil([&] { return !outer_.connects.empty(); }));
    EXPECT_EQ(outer_.connects, std::vector<int>{IPERR_REFUSED});
    EXPECT_EQ(outer_.connectPort, closedPort);
    close(blocker);

    outer_.connects.clear();
    Connect(&pipe);
    EXPECT_EQ(outer_.connectPort, listenPort_);
    EXPECT_EQ(pipe.GetStatus(), IPERR_ALREADY_OPEN);
    EXPECT_EQ(pipe.GetRemotePort(), listenPort_);
}

TEST_F(IPDataPipeTest, EnabledPipeCarriesDataAndReadiness) {
    TCPDataPipe pipe(&outer_, &factory_, &manager_, nullptr);
    Connect(&pipe);
    EXPECT_EQ(pipe.EnableEvents(1, 0), 1);
    EXPECT_EQ(pipe.GetEventFlags(), pipe.GetTCPDataServer()->GetEventFlags());
    EXPECT_NE(pipe.GetEventFlags(), 0);

    std::string got;
    outer_.onReadable = [&] {
        char buffer[16];
        int n = pipe.Read(buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
    };
    RawSend(peer_, "up");
    ASSERT_TRUE(RunUntil([&] { return got == "up"; }));
    EXPECT_EQ(pipe.Write("down", 4), 4);
    EXPECT_EQ(RawRead(peer_, 4), "down");
}

TEST_F(IPDataPipeTest, DisabledPipeHoldsBackReadinessButNotTheClose) {
    ConsumingLayer layer(&outer_, &factory_, &manager_, nullptr);
    Connect(&layer);
    EXPECT_EQ(layer.DisableEvents(1, 1), 1);
    EXPECT_EQ(layer.GetEventFlags(), 0);
    layer.ListenBelow();

    RawSend(peer_, "abc");
    ASSERT_TRUE(RunUntil([&] { return layer.consumed == "abc" && layer.writableBelow > 0; }));
    close(peer_);
    peer_ = -1;
    ASSERT_TRUE(RunUntil([&] { return !outer_.closes.empty(); }));
    EXPECT_EQ(outer_.closes, std::vector<int>{IPERR_NETWORK});
    EXPECT_EQ(outer_.readable, 0);
    EXPECT_EQ(outer_.writable, 0);
}

TEST_F(IPDataPipeTest, DeletingThePipeClosesTheSocketBelow) {
    auto pipe = std::make_unique<TCPDataPipe>(&outer_, &factory_, &manager_, nullptr);
    Connect(pipe.get());
    pipe.reset();
    EXPECT_TRUE(RawSeesEnd(peer_));
    EXPECT_EQ(manager_.WatchedDescriptors().size(), 1u);  // only the wake-up pipe
}

struct DatagramClient : IPDataClient {
    void OnWritable() override {}
    void OnReadable() override { ++readable; }
    void OnError(const char*) override {}
    int readable = 0;
};

TEST_F(IPDataPipeTest, DatagramPipeForwardsSendAndReceive) {
    UDPSocketFactory factory;
    DatagramClient outer;
    UDPDataPipe pipe(&outer, &factory, &manager_, nullptr);
    ASSERT_NE(dynamic_cast<UDPSocket*>(pipe.GetUDPDataServer()), nullptr);
    ASSERT_EQ(pipe.Bind(0), 0);
    ASSERT_EQ(pipe.EnableEvents(1, 0), 0);
    EXPECT_EQ(pipe.GetEventFlags(), IPDataServer::kReadFlag);
    IPAddress self;
    self.address = kLoopback;
    self.port = pipe.GetLocalAddress()->port;
    EXPECT_EQ(pipe.SendTo("dgram", 5, &self), 5);
    ASSERT_TRUE(RunUntil([&] { return outer.readable > 0; }));
    char buffer[16];
    IPAddress from;
    EXPECT_EQ(pipe.ReceiveFrom(buffer, sizeof buffer, &from), 5);
    EXPECT_EQ(std::string(buffer, 5), "dgram");
    EXPECT_EQ(from.port, self.port);
    EXPECT_EQ(pipe.Write("x", 1), IPERR_UNSUPPORTED);
}

}  // namespace
