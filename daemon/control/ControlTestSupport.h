// Only the unit tests of daemon/control include this: a scratch
// PORTVANE_ROOT with a configuration cache installed on its file, and a
// blocking loopback client that speaks the one-line protocol.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/config/RegistryCache.h"
#include "common/config/ScratchRoot.h"
#include "common/runtime/SocketTestSupport.h"

namespace controltest {

// Reads one reply line (up to and including "\n"); "" on time-out or end.
inline std::string ReadLine(int fd, int timeoutMs = 3000) {
    std::string line;
    char c;
    while (sockettest::Readable(fd, timeoutMs)) {
        if (recv(fd, &c, 1, 0) != 1) {
            break;
        }
        line += c;
        if (c == '\n') {
            return line;
        }
    }
    return line;
}

// Sends one request and returns its reply line.
inline std::string Ask(int fd, const std::string& request) {
    sockettest::RawSend(fd, request);
    return ReadLine(fd);
}

// Polls `done` until it holds or the limit passes; for state another thread
// changes.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace controltest
