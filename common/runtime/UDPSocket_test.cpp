#include "common/runtime/UDPSocket.h"

#include <gtest/gtest.h>
#include <netinet/ip.h>

#include "common/runtime/SocketTestSupport.h"

using namespace sockettest;

namespace {

struct DatagramClient : IPDataClient {
    void OnWritable() override { ++writable; }
    void OnReadable() override {
        ++readable;
        if (onReadable) {
            onReadable();
        }
    }
    void OnError(const char*) override {}
    int readable = 0;
    int writable = 0;
    std::function<void()> onReadable;
};

class UDPSocketTest : public SocketTest {
  protected:
    static IPAddress To(uint16_t port) {
        IPAddress a;
        a.address = kLoopback;
        a.port = port;
        return a;
    }
    DatagramClient client_;
    DatagramClient otherClient_;
};

TEST_F(UDPSocketTest, SendAndReceiveBetweenTwoSockets) {
    UDPSocket receiver(&manager_, &client_);
    UDPSocket sender(&manager_, &otherClient_);
    ASSERT_EQ(receiver.Bind(0), 0);
    ASSERT_EQ(sender.Bind(0), 0);
    EXPECT_EQ(receiver.Bind(0), IPERR_ALREADY_OPEN);
    ASSERT_NE(receiver.GetLocalAddress()->port, 0);
    ASSERT_EQ(receiver.EnableEvents(1, 0), 0);

    std::string got;
    client_.onReadable = [&] {
        char buffer[64];
        int n = receiver.Read(buffer, sizeof buffer);
        if (n > 0) {
            got.assign(buffer, static_cast<size_t>(n));
        }
    };
    IPAddress to = To(receiver.GetLocalAddress()->port);
    EXPECT_EQ(sender.SendTo("hello", 5, &to), 5);
    ASSERT_TRUE(RunUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(receiver.GetRemoteAddress()->address, kLoopback);
    EXPECT_EQ(receiver.GetRemotePort(), sender.GetLocalAddress()->port);

    // ReceiveFrom names the sender; with nothing queued it gives 0.
    IPAddress back = To(sender.GetLocalAddress()->port);
    EXPECT_EQ(receiver.SendTo("again", 5, &back), 5);
    char buffer[16];
    IPAddress from;
    ASSERT_TRUE(Readable(sender.GetDescriptor(), 2000));
    EXPECT_EQ(sender.ReceiveFrom(buffer, sizeof buffer, &from), 5);
    EXPECT_EQ(from.port, receiver.GetLocalAddress()->port);
    EXPECT_EQ(sender.ReceiveFrom(buffer, sizeof buffer, &from), 0);
}

TEST_F(UDPSocketTest, ErrorEventClosesTheSocketWithoutTellingTheClient) {
    uint16_t unused;
    close(RawBound(SOCK_DGRAM, false, &unused));
    UDPSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.Bind(0), 0);
    // Unconnected UDP sockets hear of ICMP errors only when asked to.
    int on = 1;
    setsockopt(socket.GetDescriptor(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    ASSERT_EQ(socket.EnableEvents(1, 0), 0);
    IPAddress to = To(unused);
    EXPECT_EQ(socket.SendTo("x", 1, &to), 1);
    ASSERT_TRUE(RunUntil([&] { return !socket.IsOpen(); }));
    EXPECT_EQ(client_.readable, 0);
    char buffer[4];
    EXPECT_EQ(socket.SendTo("x", 1, &to), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, nullptr), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.Read(buffer, sizeof buffer), IPERR_NOT_OPEN);
    EXPECT_EQ(socket.EnableEvents(1, 0), IPERR_NOT_OPEN);
    // It opens again.
    EXPECT_EQ(socket.Bind(0), 0);
}

TEST_F(UDPSocketTest, StreamOperationsAndBusyPortsAreRefused) {
    UDPSocket socket(&manager_, &client_);
    char buffer[4];
    void* block = nullptr;
    EXPECT_EQ(socket.DisableEvents(1, 1), IPERR_NOT_OPEN);
    ASSERT_EQ(socket.Bind(0), 0);
    EXPECT_EQ(socket.Write("x", 1), IPERR_UNSUPPORTED);
    EXPECT_EQ(socket.Peek(buffer, sizeof buffer), IPERR_UNSUPPORTED);
    EXPECT_EQ(socket.ReadBuffer(&block, 4), IPERR_UNSUPPORTED);
    EXPECT_EQ(socket.PeekBuffered(&block, 4), IPERR_UNSUPPORTED);

    UDPSocket second(&manager_, &otherClient_);
    EXPECT_EQ(second.Bind(socket.GetLocalAddress()->port), IPERR_BAD_ADDRESS);
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(UDPSocketTest, BothNotificationsWhenBothAreAsked) {
    UDPSocket socket(&manager_, &client_);
    ASSERT_EQ(socket.Bind(0), 0);
    IPAddress self = To(socket.GetLocalAddress()->port);
    ASSERT_EQ(socket.SendTo("x", 1, &self), 1);
    client_.onReadable = [&] {
        char buffer[4];
        socket.Read(buffer, sizeof buffer);
    };
    ASSERT_EQ(socket.EnableEvents(1, 1), 0);
    ASSERT_TRUE(RunUntil([&] { return client_.readable >= 1 && client_.writable >= 1; }));
    ASSERT_EQ(socket.DisableEvents(1, 1), 0);
    int readable = client_.readable;
    int writable = client_.writable;
    RunFor(30);
    EXPECT_EQ(client_.readable, readable);
    EXPECT_EQ(client_.writable, writable);
}

}  // namespace
