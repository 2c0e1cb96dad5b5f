// For unit tests only: what the tests of the port model and of the network
// side share. TraceCapture records the debug monitor's records,
// FakeUARTClient stands in for either side of a VirtualUART, and WaitUntil
// bounds the wait for something the port thread does. Each object restores
// what it changed when it goes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/config/RegistryCache.h"
#include "common/config/ScratchRoot.h"
#include "common/runtime/ClockSource.h"
#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTChannel.h"
#include "daemon/ports/VirtualUARTClient.h"

class TraceCapture : public DebugMonitorDataSink {
  public:
    struct Record {
        int kind;
        std::string source;
        std::string text;
    };

    TraceCapture() {
        DebugMonitor::Instance().SetLevel(7);
        DebugMonitor::Instance().SetSink(this);
    }
    ~TraceCapture() override {
        DebugMonitor::Instance().ClearSink(this);
        DebugMonitor::Instance().SetLevel(0);
        DebugMonitor::Instance().DiscardHistory();
    }

    void Write(const char*, int) override {}
    void ResetCursor() override { Take(); }
    void RecordsAvailable() override { Take(); }

    std::vector<Record> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    // The texts of one kind of record from one source, in order.
    std::vector<std::string> Texts(int kind, const std::string& source) {
        std::vector<std::string> texts;
        for (const Record& r : Records()) {
            if (r.kind == kind && r.source == source) {
                texts.push_back(r.text);
            }
        }
        return texts;
    }
    int Count(int kind, const std::string& source, const std::string& text) {
        int n = 0;
        for (const std::string& t : Texts(kind, source)) {
            n += t == text ? 1 : 0;
        }
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

  private:
    // Called with the monitor's mutex held; every record is taken at once,
    // so the history never holds more than the newest one.
    void Take() {
        DebugMonitor& monitor = DebugMonitor::Instance();
        std::lock_guard<std::mutex> lock(mutex_);
        for (const DebugRecord* r = monitor.FirstRecord(); r != nullptr;
             r = monitor.NextRecord(r)) {
            std::string source(r->category, strnlen(r->category, DebugRecord::kCategorySize));
            records_.push_back({r->kind, source,
                                std::string(reinterpret_cast<const char*>(r->Data()), r->length)});
        }
        monitor.DiscardHistory();
    }

    std::mutex mutex_;
    std::vector<Record> records_;
};

// Waits, in real time, for work of another thread; false after timeoutMs.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Either side of a UART. It takes up to acceptLimit bytes per delivery,
// sends what is queued in `pending` into `out` when asked to, and records
// every call; the port thread may call it while the test reads it.
class FakeUARTClient : public VirtualUARTClient {
  public:
    int ReceiveData(const uint8_t* bytes, int length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = std::min(length, acceptLimit);
        received.append(reinterpret_cast<const char*>(bytes), n);
        return n;
    }
    int Transmit(int) override {
        int total = 0;
        while (out != nullptr && !pending.empty()) {
            int n = out->Write(reinterpret_cast<const uint8_t*>(pending.data()),
                               static_cast<int>(pending.size()));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                writes.push_back(n);
            }
            if (n <= 0) {
                break;
            }
            pending.erase(0, n);
            total += n;
        }
        return total;
    }
    void SetBaudRate(int) override {}
    void SetFraming(int, int, int) override {}
    void PurgeReceive() override {}
    void PurgeTransmit() override {}
    void SetModemControl(unsigned values, unsigned mask) override {
        std::lock_guard<std::mutex> lock(mutex_);
        modem.push_back({values, mask});
    }
    void ReportLineErrors(unsigned bits) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lineErrors.push_back(bits);
    }
    void SetFlowControl(unsigned) override {}
    bool OpenDevice(VirtualUART*) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++opens;
        }
        if (onOpen) {
            onOpen();
        }
        return openResult;
    }
    bool CloseDevice(VirtualUART*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++closes;
        return true;
    }
    void Unbind() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++unbinds;
    }
    void Lock() override {
        if (realLock) {
            lock_.lock();
        }
    }
    void Unlock() override {
        if (realLock) {
            lock_.unlock();
        }
    }
    bool ReopenDevice(VirtualUART*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reopens;
        return reopenResult;
    }
    void OpenComplete(int status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses.push_back(status);
    }
    bool WantsDeferredOpen() override { return deferred; }

    std::recursive_mutex& ClientLock() { return lock_; }

    // Snapshots for the test thread.
    std::vector<int> Statuses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses;
    }
    std::string Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received;
    }
    int Opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens;
    }
    int Reopens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reopens;
    }
    int Closes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes;
    }

    // Behaviour, set before use. The application side's lock is empty, as
    // the PTY device's is: the network side's lock is taken first wherever
    // both are, and a real lock here would invert that order.
    bool realLock = true;
    int acceptLimit = INT_MAX;
    bool openResult = true;
    bool reopenResult = true;
    bool deferred = false;
    std::function<void()> onOpen;
    VirtualUARTChannel* out = nullptr;  // non-owning
    std::string pending;

    // Calls seen.
    std::string received;
    std::vector<int> writes;
    std::vector<int> statuses;
    std::vector<std::pair<unsigned, unsigned>> modem;
    std::vector<unsigned> lineErrors;
    int opens = 0;
    int reopens = 0;
    int closes = 0;
    int unbinds = 0;

  private:
    std::mutex mutex_;
    std::recursive_mutex lock_;
};

// A UART with both sides bound but never opened, so no port thread runs:
// the test drives the UART's timers itself on a manual clock.
struct ChannelRig {
    ManualClock clock{1000000};
    FakeUARTClient driver;
    FakeUARTClient device;
    std::unique_ptr<VirtualUART> uart;

    explicit ChannelRig(const std::string& name = "tty0") {
        ClockSource::Install(&clock);
        driver.realLock = false;
        uart = std::make_unique<VirtualUART>(name);
        uart->AttachDriver(&driver, 0);
        uart->AttachDevice(&device);
        driver.out = &uart->ToDevice();
        device.out = &uart->ToDriver();
    }
    ~ChannelRig() {
        uart.reset();
        ClockSource::Install(nullptr);
    }

    KtTimerGroup& Group() { return *uart->GetTimerGroup(); }

    // Runs the UART's timers as its thread would, moving the clock straight
    // to each expiry, until none is left or `done` holds; returns the clock
    // time that took.
    uint32_t RunTimers(const std::function<bool()>& done = nullptr, int maxPasses = 10000) {
        uint32_t start = clock.NowMs();
        for (int i = 0; i < maxPasses && !(done && done()); ++i) {
            uint32_t t = Group().TimeToNextTimer();
            if (t == KtTimerGroup::kNoTimer) {
                break;
            }
            clock.Advance(t);
            Group().RunExpiredTimers();
        }
        return clock.NowMs() - start;
    }
};
