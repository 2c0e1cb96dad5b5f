// Test code only: shared by the socket, listener and pipe tests. A fixture
// that fails a test which leaves descriptors open, an event loop that runs
// bounded passes, plain blocking loopback peers, and a recording client.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/runtime/KtTimerGroup.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/TCPDataClient.h"

namespace sockettest {

constexpr uint32_t kLoopback = 0x7F000001u;

inline int CountOpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// Every test of this family runs on a real loop over loopback and must give
// back every descriptor it took.
class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override { before_ = CountOpenDescriptors(); }
    void TearDown() override {
        EXPECT_EQ(CountOpenDescriptors(), before_) << "the test left descriptors open";
    }

    // Runs loop passes until done() holds or limitMs of real time passed.
    bool RunUntil(const std::function<bool()>& done, int limitMs = 3000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            manager_.Poll(10);
        }
        return true;
    }
    // For the cases where nothing must happen: a few short passes.
    void RunFor(int ms) {
        RunUntil([] { return false; }, ms);
    }

    KtTimerGroup group_;
    SelectManager manager_{&group_};

  private:
    int before_ = 0;
};

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(kLoopback);
    return in;
}

inline uint16_t LocalPort(int fd) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
    return ntohs(in.sin_port);
}

// A plain socket bound to a fresh loopback port; listening when asked.
inline int RawBound(int type, bool listening, uint16_t* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in in = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
    if (listening) {
        listen(fd, 8);
    }
    *port = LocalPort(fd);
    return fd;
}

// A port where connections are refused: bound, never listening, so that no
// one else can take it while the test runs.
inline int RawClosedPort(uint16_t* port) {
    return RawBound(SOCK_STREAM, false, port);
}
inline int RawListener(uint16_t* port) {
    return RawBound(SOCK_STREAM, true, port);
}

inline int RawConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool Readable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

inline int RawAccept(int listenFd, int timeoutMs = 2000) {
    if (!Readable(listenFd, timeoutMs)) {
        return -1;
    }
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads until `count` bytes or end of stream or the time limit.
inline std::string RawRead(int fd, size_t count, int timeoutMs = 2000) {
    std::string data;
    char buffer[4096];
    while (data.size() < count && Readable(fd, timeoutMs)) {
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - data.size()), 0);
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

// True when the peer has closed: end of stream within the time limit.
inline bool RawSeesEnd(int fd, int timeoutMs = 2000) {
    char c;
    return Readable(fd, timeoutMs) && recv(fd, &c, 1, 0) <= 0;
}

inline void RawSend(int fd, const std::string& data) {
    ASSERT_EQ(send(fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
}

// Closes with a reset instead of an orderly end.
inline void RawReset(int fd) {
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

struct RecordingClient : TCPDataClient {
    void OnWritable() override {
        ++writable;
        if (onWritable) {
            onWritable();
        }
    }
    void OnReadable() override {
        ++readable;
        if (onReadable) {
            onReadable();
        }
    }
    void OnError(const char* text) override { errors.push_back(text); }
    void OnClose(int reason) override {
        closes.push_back(reason);
        if (onClose) {
            onClose();
        }
    }
    void OnConnect(int result, const IPAddress* remote, uint16_t port) override {
        connects.push_back(result);
        connectRemote = *remote;
        connectPort = port;
        if (onConnect) {
            onConnect();
        }
    }

    int readable = 0;
    int writable = 0;
    std::vector<std::string> errors;
    std::vector<int> closes;
    std::vector<int> connects;
    IPAddress connectRemote;
    uint16_t connectPort = 0;
    std::function<void()> onReadable, onWritable, onClose, onConnect;
};

}  // namespace sockettest
