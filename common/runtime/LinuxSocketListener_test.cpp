#include "common/runtime/LinuxSocketListener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/runtime/LinuxSocketListenerFactory.h"
#include "common/runtime/SocketTestSupport.h"

using namespace sockettest;

namespace {

// Hands every accepted connection to the next prepared socket, or refuses
// it when none is left.
struct HandingClient : TCPListenerClient {
    TCPDataServer* CreateDataClient(TCPListener*, const IPAddress* local,
                                    const IPAddress* remote) override {
        ++asked;
        lastLocal = *local;
        lastRemote = *remote;
        thread = std::this_thread::get_id();
        if (next.empty()) {
            return nullptr;
        }
        TCPDataServer* s = next.front();
        next.erase(next.begin());
        return s;
    }
    std::vector<TCPDataServer*> next;
    std::atomic<int> asked{0};
    IPAddress lastLocal, lastRemote;
    std::thread::id thread;
};

class LinuxSocketListenerTest : public SocketTest {
  protected:
    // A port nobody listens on at the moment.
    static uint16_t FreePort() {
        uint16_t port;
        close(RawListener(&port));
        return port;
    }

    HandingClient handing_;
    RecordingClient client_;
};

TEST_F(LinuxSocketListenerTest, AcceptedConnectionIsAttachedToTheClientsSocket) {
    LinuxSocketListener listener(&manager_, &handing_);
    uint16_t port = FreePort();
    ASSERT_EQ(listener.Listen(port), 0);
    EXPECT_EQ(listener.GetPort(), port);
    EXPECT_EQ(listener.Listen(port), IPERR_ALREADY_OPEN);

    LinuxSocket socket(&manager_, &client_);
    handing_.next.push_back(&socket);
    int peer = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return !client_.connects.empty(); }));
    EXPECT_EQ(client_.connects, std::vector<int>{0});
    EXPECT_EQ(client_.connectPort, port);  // the local port for accepted ones
    EXPECT_EQ(client_.connectRemote.address, kLoopback);
    EXPECT_EQ(client_.connectRemote.port, LocalPort(peer));
    EXPECT_EQ(handing_.lastLocal.port, port);

    EXPECT_EQ(socket.Write("hi", 2), 2);
    EXPECT_EQ(RawRead(peer, 2), "hi");
    std::string got;
    client_.onReadable = [&] {
        char buffer[8];
        int n = socket.Read(buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
    };
    socket.EnableEvents(1, 0);
    RawSend(peer, "yo");
    ASSERT_TRUE(RunUntil([&] { return got == "yo"; }));
    close(peer);
}

TEST_F(LinuxSocketListenerTest, RefusedOrUnattachableConnectionsAreClosed) {
    LinuxSocketListener listener(&manager_, &handing_);
    uint16_t port = FreePort();
    ASSERT_EQ(listener.Listen(port), 0);

    // No socket offered.
    int peer = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return handing_.asked == 1; }));
    EXPECT_TRUE(RawSeesEnd(peer));
    close(peer);

    // A socket that already carries a connection cannot take another.
    LinuxSocket busy(&manager_, &client_);
    handing_.next.push_back(&busy);
    int first = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return client_.connects.size() == 1; }));
    int fd = -1;
    EXPECT_EQ(busy.Attach(&listener, nullptr, nullptr, &fd), IPERR_REFUSED);
    handing_.next.push_back(&busy);
    int second = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return handing_.asked == 3; }));
    EXPECT_TRUE(RawSeesEnd(second));
    EXPECT_EQ(client_.connects.size(), 1u);
    EXPECT_TRUE(busy.IsOpen());
    close(first);
    close(second);
}

TEST_F(LinuxSocketListenerTest, AutomaticPortSkipsATakenOne) {
    // Take 49152 unless someone else listens there already; either way it is
    // taken. SO_REUSEADDR, as the listener itself uses: otherwise connections
    // of an earlier user lingering in TIME_WAIT would keep the blocker out
    // but let the listener in.
    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(LinuxSocketListener::kFirstAutomaticPort);
    bind(blocker, reinterpret_cast<sockaddr*>(&in), sizeof in);
    listen(blocker, 1);

    LinuxSocketListener listener(&manager_, &handing_);
    ASSERT_EQ(listener.Listen(0), 0);
    uint16_t port = listener.GetPort();
    EXPECT_GT(port, LinuxSocketListener::kFirstAutomaticPort);
    EXPECT_LE(port, LinuxSocketListener::kLastAutomaticPort);
    int peer = RawConnect(port);
    EXPECT_GE(peer, 0);
    ASSERT_TRUE(RunUntil([&] { return handing_.asked == 1; }));
    close(peer);
    close(blocker);
}

TEST_F(LinuxSocketListenerTest, ExplicitPortInUseIsRefused) {
    uint16_t port;
    int holder = RawListener(&port);
    LinuxSocketListener listener(&manager_, &handing_);
    EXPECT_EQ(listener.Listen(port), IPERR_PORT_IN_USE);
    EXPECT_EQ(listener.GetPort(), 0);
    EXPECT_EQ(listener.GetDescriptor(), -1);
    close(holder);
}

TEST_F(LinuxSocketListenerTest, RejectPendingSendsTheMessageToEveryQueuedConnection) {
    LinuxSocketListener listener(&manager_, &handing_);
    EXPECT_EQ(listener.RejectPending("busy\r\n"), IPERR_NOT_OPEN);
    uint16_t port = FreePort();
    ASSERT_EQ(listener.Listen(port), 0);

    // Queued without the loop running, so nothing accepts them but the
    // rejection. The accept queue is short, so the kernel may let the last
    // one in only on its retry: reject until every peer has its message.
    std::vector<int> peers;
    for (int i = 0; i < 3; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to = Loopback(port);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        peers.push_back(fd);
    }
    std::vector<std::string> got(3);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    bool all = false;
    while (!all && std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(listener.RejectPending("busy\r\n"), IPERR_FAILED);  // queue drained
        all = true;
        for (int i = 0; i < 3; ++i) {
            if (got[i].size() < 6 && Readable(peers[i], 20)) {
                char buffer[16];
                ssize_t n = recv(peers[i], buffer, sizeof buffer, 0);
                if (n > 0) {
                    got[i].append(buffer, static_cast<size_t>(n));
                }
            }
            all = all && got[i].size() >= 6;
        }
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i], "busy\r\n") << i;
        EXPECT_TRUE(RawSeesEnd(peers[i])) << i;
        close(peers[i]);
    }
    EXPECT_EQ(handing_.asked, 0);
}

TEST_F(LinuxSocketListenerTest, OutOfDescriptorsShedsTheConnection) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime opens pipes of its own to check memory; with no
    // descriptor left it reports every virtual call as a bad object.
    GTEST_SKIP() << "needs descriptors the sanitizer runtime takes";
#endif
    LinuxSocketListener listener(&manager_, &handing_);
    uint16_t port = FreePort();
    ASSERT_EQ(listener.Listen(port), 0);
    int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

    // Use up every descriptor the limit leaves.
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(CountOpenDescriptors() + 8);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        fillers.push_back(fd);
    }
    sockaddr_in to = Loopback(port);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    RunFor(30);
    bool shed = RawSeesEnd(peer, 1000);
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(shed);
    EXPECT_EQ(handing_.asked, 0);
    close(peer);

    // The listener is still serving.
    int later = RawConnect(port);
    ASSERT_TRUE(RunUntil([&] { return handing_.asked == 1; }));
    close(later);
}

TEST_F(LinuxSocketListenerTest, FactoryListenersRunOnTheFactorysThread) {
    std::recursive_mutex mutex;
    LinuxSocket socket(&manager_, &client_, &mutex);
    uint16_t port = FreePort();
    {
        LinuxSocketListenerFactory factory;
        std::unique_ptr<TCPListener> listener = factory.Create(&handing_);
        ASSERT_NE(listener, nullptr);
        handing_.next.push_back(&socket);
        ASSERT_EQ(listener->Listen(port), 0);
        int peer = RawConnect(port);
        // The accept happens on the factory's loop; the data on ours.
        ASSERT_TRUE(RunUntil([&] {
            std::lock_guard<std::recursive_mutex> lock(mutex);
            return !client_.connects.empty();
        }));
        EXPECT_NE(handing_.thread, std::this_thread::get_id());
        EXPECT_EQ(socket.Write("ok", 2), 2);
        EXPECT_EQ(RawRead(peer, 2), "ok");

        // A second listener is let go of through the loop.
        std::unique_ptr<TCPListener> other = factory.Create(&handing_);
        ASSERT_EQ(other->Listen(FreePort()), 0);
        factory.DeleteLater(std::move(other));
        close(peer);
    }
    socket.Close();
}

}  // namespace
