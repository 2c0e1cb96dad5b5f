// For unit tests only: what the tests of the pseudo-terminal side and of the
// port manager share. ScratchRoot (common/config) points PORTVANE_ROOT at a scratch
// directory (so that links go to <root>/dev/<name>), RecordingDCEDevice stands in for
// a port's network side and RecordingDCEFactory builds it, and the helpers
// open a slave as an application would and tell pseudo-terminal nodes apart.
// Every object restores what it changed when it goes.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/config/ScratchRoot.h"
#include "common/runtime/SelectManager.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTChannel.h"
#include "daemon/redirect/VirtualDCEDevice.h"
#include "daemon/redirect/VirtualDCEDeviceFactory.h"

// Which pseudo-terminal a path leads to. The kernel reuses pty numbers (and
// with them inode numbers), so the change time tells a fresh one apart.
struct PtyNode {
    dev_t device = 0;
    ino_t inode = 0;
    long long changed = 0;
    bool exists = false;

    static PtyNode Of(const std::string& path) {
        PtyNode node;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            node.device = st.st_dev;
            node.inode = st.st_ino;
            node.changed =
                static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
            node.exists = true;
        }
        return node;
    }
    bool operator==(const PtyNode& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && changed == o.changed;
    }
    bool operator!=(const PtyNode& o) const { return !(*this == o); }
};

inline std::string LinkTarget(const std::string& path) {
    char target[1024];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

inline bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Opens a slave as a serial application would: no controlling terminal,
// raw, non-blocking. -1 on failure.
inline int OpenApplication(const std::string& path, bool raw = true) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && raw) {
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    return fd;
}

// Reads from fd until `want` bytes came or timeoutMs passed.
inline std::string ReadFor(int fd, size_t want, int timeoutMs = 3000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// A port's network side for tests: it records opens and closes and what
// the application sent, accepts at most acceptLimit bytes per delivery, and
// sends what Send queues. Its data path runs on the port thread; the
// accessors may be called from the test thread.
class RecordingDCEDevice : public VirtualDCEDevice {
  public:
    RecordingDCEDevice(VirtualUART* uart, KtTimerGroup* group, bool refuse)
        : VirtualDCEDevice(uart, group), refuse_(refuse) {
        RxRing().SetSize(sizeof rxStorage_, rxStorage_);
        TxRing().SetSize(sizeof txStorage_, txStorage_);
    }
    ~RecordingDCEDevice() override {
        std::lock_guard<std::recursive_mutex> guard(GetLock());
        if (sendTimer_ != nullptr) {
            StopTimer(&sendTimer_);
        }
    }

    int ReceiveData(const uint8_t* bytes, int length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = std::min(length, acceptLimit_);
        received_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
        return n;
    }
    int Transmit(int) override {
        std::lock_guard<std::recursive_mutex> guard(GetLock());
        return ReceiveFromNetwork();
    }
    bool OpenDevice(VirtualUART* uart) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++opens_;
        }
        return !refuse_ && VirtualDCEDevice::OpenDevice(uart);
    }
    bool ReopenDevice(VirtualUART*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reopens_;
        return !refuse_;
    }
    bool CloseDevice(VirtualUART* uart) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closes_;
        }
        return VirtualDCEDevice::CloseDevice(uart);
    }
    void ReportLineErrors(unsigned) override {}
    void SetFlowControl(unsigned) override {}
    void SetBreak(int, unsigned) override {}
    void SetDTR(int) override {}
    void SetRTS(int) override {}

    void OnTimer(KtTimerHandle timer, void* argument) override {
        {
            std::lock_guard<std::recursive_mutex> guard(GetLock());
            if (timer == sendTimer_) {
                sendTimer_ = nullptr;
                ReceiveFromNetwork();
                return;
            }
        }
        VirtualDCEDevice::OnTimer(timer, argument);
    }

    // Queues bytes "from the server"; the port thread delivers them.
    void Send(const std::string& bytes) {
        std::lock_guard<std::recursive_mutex> guard(GetLock());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            network_ += bytes;
        }
        StartTimer(&sendTimer_, 0);
        Signal();
    }
    // Takes more from now on and asks the application side for what it
    // holds back.
    void Accept(int limit) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            acceptLimit_ = limit;
        }
        SchedulePull(0);
    }

    int Opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    int Reopens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reopens_;
    }
    int Closes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_;
    }
    std::string Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    size_t Unsent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return network_.size() + RxRing().Count();
    }

  protected:
    int ReadNetwork(uint8_t* buffer, int size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = std::min(size, static_cast<int>(network_.size()));
        network_.copy(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        network_.erase(0, static_cast<size_t>(n));
        return n;
    }

  private:
    const bool refuse_;
    std::mutex mutex_;
    int acceptLimit_ = INT_MAX;
    std::string received_;
    std::string network_;
    int opens_ = 0;
    int reopens_ = 0;
    int closes_ = 0;
    KtTimerHandle sendTimer_ = nullptr;
    uint8_t rxStorage_[512];
    uint8_t txStorage_[512];
};

// Builds RecordingDCEDevices and remembers, per port name, the last one.
// The devices belong to their ports.
class RecordingDCEFactory : public VirtualDCEDeviceFactory {
  public:
    std::unique_ptr<VirtualDCEDevice> CreateDevice(VirtualUART* uart,
                                                   SelectManager* manager) override {
        std::lock_guard<std::mutex> lock(mutex_);
        built_.push_back(uart->GetName());
        if (!buildable) {
            return nullptr;
        }
        auto device = std::make_unique<RecordingDCEDevice>(uart, manager->GetTimerGroup(), refuse);
        last_ = device.get();
        return device;
    }

    // Port names in the order their devices were asked for.
    std::vector<std::string> Built() {
        std::lock_guard<std::mutex> lock(mutex_);
        return built_;
    }
    int BuiltCount(const std::string& name) {
        std::vector<std::string> all = Built();
        return static_cast<int>(std::count(all.begin(), all.end(), name));
    }
    RecordingDCEDevice* Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

    bool buildable = true;
    bool refuse = false;

  private:
    std::mutex mutex_;
    std::vector<std::string> built_;
    RecordingDCEDevice* last_ = nullptr;  // non-owning
};
