#include "common/runtime/LinuxSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>

#include "common/runtime/SocketTestSupport.h"

using namespace sockettest;

namespace {

class LinuxSocketTest : public SocketTest {
  protected:
    // A socket connected through ConnectAsync, and the peer's end.
    void ConnectToPeer() {
        listenFd_ = RawListener(&listenPort_);
        socket_ = std::make_unique<LinuxSocket>(&manager_, &client_);
        ASSERT_EQ(socket_->ConnectAsync("127.0.0.1", listenPort_), 0);
        ASSERT_TRUE(RunUntil([&] { return !client_.connects.empty(); }));
        ASSERT_EQ(client_.connects, std::vector<int>{0});
        peer_ = RawAccept(listenFd_);
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        socket_.reset();
        for (int fd : {peer_, listenFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        SocketTest::TearDown();
    }

    RecordingClient client_;
    std::unique_ptr<LinuxSocket> socket_;
    int listenFd_ = -1;
    uint16_t listenPort_ = 0;
    int peer_ = -1;
};

TEST_F(LinuxSocketTest, ConnectToClosedPortReportsRefusedOnceAndCloses) {
    uint16_t port;
    int blocker = RawClosedPort(&port);
    LinuxSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.ConnectAsync("127.0.0.1", port), 0);
    EXPECT_TRUE(socket.IsConnecting());
    EXPECT_EQ(socket.GetStatus(), IPERR_UNSUPPORTED);
    ASSERT_TRUE(RunUntil([&] { return !client_.connects.empty(); }));
    RunFor(50);
    EXPECT_EQ(client_.connects, std::vector<int>{IPERR_REFUSED});
    EXPECT_EQ(client_.connectPort, port);
    EXPECT_EQ(client_.connectRemote.address, kLoopback);
    EXPECT_TRUE(client_.closes.empty());
    EXPECT_EQ(socket.GetDescriptor(), -1);
    EXPECT_EQ(socket.GetStatus(), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.GetLastError(), ECONNREFUSED);
    close(blocker);
}

TEST_F(LinuxSocketTest, ConnectReportsRemoteAndCarriesDataBothWays) {
    ConnectToPeer();
    EXPECT_EQ(client_.connectPort, listenPort_);
    EXPECT_EQ(client_.connectRemote.address, kLoopback);
    EXPECT_EQ(socket_->GetStatus(), IPERR_ALREADY_OPEN);
    EXPECT_EQ(socket_->ConnectAsync("127.0.0.1", listenPort_), IPERR_ALREADY_OPEN);

    EXPECT_EQ(socket_->Write("ping", 4), 4);
    EXPECT_EQ(RawRead(peer_, 4), "ping");
    std::string got;
    client_.onReadable = [&] {
        char buffer[16];
        int n = socket_->Read(buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
    };
    socket_->EnableEvents(1, 0);
    RawSend(peer_, "pong");
    ASSERT_TRUE(RunUntil([&] { return got == "pong"; }));
}

TEST_F(LinuxSocketTest, PeerCloseGivesReadZeroThenOnCloseNetwork) {
    ConnectToPeer();
    std::vector<int> reads;
    std::vector<int> readsBeforeClose;
    client_.onReadable = [&] {
        char buffer[16];
        reads.push_back(socket_->Read(buffer, sizeof buffer));
    };
    client_.onClose = [&] {
        readsBeforeClose = reads;
        EXPECT_FALSE(socket_->IsOpen());  // closed before the report
    };
    socket_->EnableEvents(1, 0);
    RawSend(peer_, "abc");
    close(peer_);
    peer_ = -1;
    ASSERT_TRUE(RunUntil([&] { return !client_.closes.empty(); }));
    RunFor(30);
    EXPECT_EQ(readsBeforeClose, (std::vector<int>{3, 0}));
    EXPECT_EQ(reads, readsBeforeClose);
    EXPECT_EQ(client_.closes, std::vector<int>{IPERR_NETWORK});
    EXPECT_EQ(socket_->GetStatus(), IPERR_NOT_OPEN);
}

TEST_F(LinuxSocketTest, ClientThatDoesNotReadHearsNothingMoreUntilItReads) {
    ConnectToPeer();
    socket_->EnableEvents(1, 0);
    RawSend(peer_, "x");
    ASSERT_TRUE(RunUntil([&] { return client_.readable == 1; }));
    RawSend(peer_, "y");
    RunFor(60);
    EXPECT_EQ(client_.readable, 1);

    char buffer[8];
    EXPECT_EQ(socket_->Read(buffer, sizeof buffer), 2);
    RawSend(peer_, "z");
    ASSERT_TRUE(RunUntil([&] { return client_.readable == 2; }));
}

TEST_F(LinuxSocketTest, WriteInterestLastsOnlyWhileTheClientWrites) {
    ConnectToPeer();
    int toWrite = 3;
    client_.onWritable = [&] {
        if (toWrite > 0) {
            --toWrite;
            EXPECT_EQ(socket_->Write("w", 1), 1);
        }
    };
    socket_->EnableEvents(0, 1);
    ASSERT_TRUE(RunUntil([&] { return client_.writable == 4; }));
    RunFor(50);
    EXPECT_EQ(client_.writable, 4);  // three writes, then one pass without
    EXPECT_EQ(RawRead(peer_, 3), "www");

    EXPECT_EQ(socket_->Write("v", 1), 1);
    ASSERT_TRUE(RunUntil([&] { return client_.writable == 5; }));
}

TEST_F(LinuxSocketTest, DisabledNotificationsSilenceReadiness) {
    ConnectToPeer();
    socket_->EnableEvents(1, 1);
    socket_->DisableEvents(0, 0);  // flags cleared, interest left
    RawSend(peer_, "x");
    RunFor(60);
    EXPECT_EQ(client_.readable, 0);
    EXPECT_EQ(client_.writable, 0);
}

TEST_F(LinuxSocketTest, ResetPeerIsReportedOnceAndWritesNeverRaiseSigpipe) {
    ConnectToPeer();
    socket_->EnableEvents(1, 0);
    client_.onReadable = [&] {
        char buffer[16];
        socket_->Read(buffer, sizeof buffer);
    };
    RawReset(peer_);
    peer_ = -1;
    // Writing into the dead connection must give codes, not a signal.
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = socket_->Write("data", 4);
        manager_.Poll(5);
    }
    EXPECT_LT(result, 0);
    ASSERT_TRUE(RunUntil([&] { return !client_.closes.empty(); }));
    RunFor(30);
    EXPECT_EQ(client_.closes.size(), 1u);
    EXPECT_EQ(socket_->Write("x", 1), IPERR_NOT_OPEN);
}

TEST_F(LinuxSocketTest, OperationsOnAClosedSocket) {
    LinuxSocket socket(&manager_, &client_);
    char buffer[4];
    void* block = nullptr;
    EXPECT_EQ(socket.Write("x", 1), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.Read(buffer, sizeof buffer), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.Peek(buffer, sizeof buffer), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.ReadBuffer(&block, 4), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.GetStatus(), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.GetReceiveBufferSize(), 4096);
    EXPECT_EQ(socket.SetSendBufferSize(65536), 4096);
    EXPECT_EQ(socket.BytesAvailable(), 0);
    EXPECT_EQ(socket.Close(), 0);
}

TEST_F(LinuxSocketTest, NamesFailAtOnceUntilAResolverIsThere) {
    LinuxSocket socket(&manager_, &client_);
    for (const char* host : {"localhost", "no-such-host.invalid", "1.2.3", "1.2.3.256", ""}) {
        EXPECT_EQ(socket.ConnectAsync(host, 80), IPERR_BAD_ADDRESS) << host;
        EXPECT_EQ(socket.GetDescriptor(), -1) << host;
        EXPECT_FALSE(socket.IsConnecting()) << host;
    }
    RunFor(20);
    EXPECT_TRUE(client_.connects.empty());
}

TEST_F(LinuxSocketTest, NewAttemptReplacesOneUnderWay) {
    uint16_t closedPort;
    int blocker = RawClosedPort(&closedPort);
    listenFd_ = RawListener(&listenPort_);
    LinuxSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.ConnectAsync("127.0.0.1", listenPort_), 0);
    ASSERT_EQ(socket.ConnectAsync("127.0.0.1", closedPort), 0);
    ASSERT_TRUE(RunUntil([&] { return !client_.connects.empty(); }));
    RunFor(50);
    EXPECT_EQ(client_.connects, std::vector<int>{IPERR_REFUSED});
    EXPECT_EQ(client_.connectPort, closedPort);
    close(blocker);
}

TEST_F(LinuxSocketTest, ReconnectFromInsideTheFailureReportWorks) {
    uint16_t closedPort;
    int blocker = RawClosedPort(&closedPort);
    listenFd_ = RawListener(&listenPort_);
    socket_ = std::make_unique<LinuxSocket>(&manager_, &client_);
    client_.onConnect = [&] {
        if (client_.connects.size() == 1) {
            EXPECT_EQ(socket_->ConnectAsync("127.0.0.1", listenPort_), 0);
        }
    };
    ASSERT_EQ(socket_->ConnectAsync("127.0.0.1", closedPort), 0);
    ASSERT_TRUE(RunUntil([&] { return client_.connects.size() == 2; }));
    EXPECT_EQ(client_.connects, (std::vector<int>{IPERR_REFUSED, 0}));
    EXPECT_TRUE(socket_->IsOpen());
    close(blocker);
}

TEST_F(LinuxSocketTest, BlockingConnectFillsTheResolvedAddress) {
    listenFd_ = RawListener(&listenPort_);
    LinuxSocket socket(&manager_, &client_);
    IPAddress resolved;
    ASSERT_EQ(socket.Connect("127.0.0.1", listenPort_, &resolved), 0);
    EXPECT_EQ(resolved.address, kLoopback);
    EXPECT_EQ(resolved.port, listenPort_);
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_EQ(socket.Connect("127.0.0.1", listenPort_, &resolved), IPERR_ALREADY_OPEN);
    socket.Close();

    uint16_t closedPort;
    int blocker = RawClosedPort(&closedPort);
    EXPECT_EQ(socket.Connect("127.0.0.1", closedPort, &resolved), IPERR_REFUSED);
    EXPECT_EQ(socket.GetDescriptor(), -1);
    close(blocker);
    EXPECT_TRUE(client_.connects.empty());
}

TEST_F(LinuxSocketTest, BufferedPeekThenReadSeeTheSameBytes) {
    ConnectToPeer();
    RawSend(peer_, "hello");
    ASSERT_TRUE(RunUntil([&] { return socket_->BytesAvailable() == 5; }));
    void* block = nullptr;
    ASSERT_EQ(socket_->PeekBuffered(&block, 5), 5);
    EXPECT_EQ(std::string(static_cast<char*>(block), 5), "hello");
    ASSERT_EQ(socket_->ReadBuffer(&block, 5), 5);
    EXPECT_EQ(std::string(static_cast<char*>(block), 5), "hello");
    EXPECT_EQ(socket_->BytesAvailable(), 0);
}

// A socket whose name lookups stay pending until the test answers them, as
// they will with the resolver.
class PendingLookupSocket : public LinuxSocket {
  public:
    using LinuxSocket::LinuxSocket;
    int StartNameLookup() override {
        lookups.push_back(GetHost());
        return 0;
    }
    void CancelNameLookup() override { ++cancels; }
    std::vector<std::string> lookups;
    int cancels = 0;
};

hostent HostEntry(uint32_t* networkOrder, char** list) {
    hostent h{};
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    list[0] = reinterpret_cast<char*>(networkOrder);
    list[1] = nullptr;
    h.h_addr_list = list;
    return h;
}

TEST_F(LinuxSocketTest, ResolvedNameContinuesTheConnect) {
    listenFd_ = RawListener(&listenPort_);
    PendingLookupSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.ConnectAsync("server.example", listenPort_), 0);
    EXPECT_EQ(socket.lookups, std::vector<std::string>{"server.example"});
    EXPECT_EQ(socket.GetState(), LinuxSocket::STATE_RESOLVING);
    EXPECT_EQ(socket.GetStatus(), IPERR_UNSUPPORTED);
    uint32_t address = htonl(kLoopback);
    char* list[2];
    hostent host = HostEntry(&address, list);
    socket.OnNameResolved(0, &host);
    ASSERT_TRUE(RunUntil([&] { return !client_.connects.empty(); }));
    EXPECT_EQ(client_.connects, std::vector<int>{0});
    EXPECT_EQ(client_.connectPort, listenPort_);
}

TEST_F(LinuxSocketTest, FailedLookupReportsBadAddressOnce) {
    struct Case {
        int status;
        int lastError;
    };
    for (Case c : {Case{2, 1}, Case{3, 2}, Case{-4, 3}, Case{0, 4}}) {
        RecordingClient client;
        PendingLookupSocket socket(&manager_, &client);
        ASSERT_EQ(socket.ConnectAsync("server.example", 23), 0);
        socket.OnNameResolved(c.status, nullptr);
        socket.OnNameResolved(c.status, nullptr);  // a late duplicate changes nothing
        EXPECT_EQ(client.connects, std::vector<int>{IPERR_BAD_ADDRESS}) << c.status;
        EXPECT_EQ(client.connectPort, 0) << c.status;
        EXPECT_EQ(socket.GetLastError(), c.lastError) << c.status;
        EXPECT_EQ(socket.GetDescriptor(), -1) << c.status;
    }
}

TEST_F(LinuxSocketTest, ClosingDuringLookupWithdrawsIt) {
    PendingLookupSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.ConnectAsync("server.example", 23), 0);
    socket.Close();
    EXPECT_EQ(socket.cancels, 1);
    socket.OnNameResolved(2, nullptr);
    EXPECT_TRUE(client_.connects.empty());
}

}  // namespace
