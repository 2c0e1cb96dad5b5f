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
#include "common/runtime/SocketTestSupport.h"

namespace controltest {

// A temporary root (etc/, var/lock/, dev/) named by PORTVANE_ROOT for the
// scope, with the accessor functions on a cache of its configuration file.
// Everything under it is removed at the end and the environment restored.
class ScratchRoot {
  public:
    ScratchRoot() {
        char pattern[] = "/tmp/portvane-control-test.XXXXXX";
        char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
        for (const char* d : {"/etc", "/var", "/var/lock", "/dev"}) {
            mkdir((path_ + d).c_str(), 0755);
        }
        const char* old = getenv("PORTVANE_ROOT");
        hadRoot_ = old != nullptr;
        oldRoot_ = hadRoot_ ? old : "";
        setenv("PORTVANE_ROOT", path_.c_str(), 1);
        cache_ = std::make_unique<RegistryCache>(path_ + "/etc/portvaned.conf");
        RegistryCache::Install(cache_.get());
    }
    ~ScratchRoot() {
        RegistryCache::Install(nullptr);
        cache_.reset();
        if (hadRoot_) {
            setenv("PORTVANE_ROOT", oldRoot_.c_str(), 1);
        } else {
            unsetenv("PORTVANE_ROOT");
        }
        if (!path_.empty()) {
            nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::string& Path() const { return path_; }
    RegistryCache& Cache() { return *cache_; }

  private:
    static int Remove(const char* path, const struct stat*, int, struct FTW*) {
        return remove(path);
    }

    std::string path_;
    bool hadRoot_ = false;
    std::string oldRoot_;
    std::unique_ptr<RegistryCache> cache_;
};

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
