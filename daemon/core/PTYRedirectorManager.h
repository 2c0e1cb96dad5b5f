// Owns the daemon's life: the command-line modes, the lock file, the main
// event loop with its signals and hourly reload, and the start and stop order
// of the long-lived objects. Runs on the main thread; OnSignal is the only
// entry from a signal handler.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/LockFile.h"

class PTYRedirectorManager : public KtTimerManager {
  public:
    static constexpr const char* kVersion = "4.0";
    static constexpr const char* kLockName = "portvaned";
    static constexpr const char* kSource = "portvane";
    static constexpr uint32_t kReloadIntervalMs = 3600000;

    PTYRedirectorManager();
    ~PTYRedirectorManager() override;

    // The process-wide manager, read by the signal handler; null outside the
    // manager's lifetime.
    static PTYRedirectorManager* Current();

    // Decides the mode from the first argument. Modes that only report
    // (--version, --status, --stop, a refused start) exit from here. True
    // when the daemon holds its lock and should run its loop.
    bool Startup(int argc, char** argv);
    void RunEventLoop();
    void Shutdown();

    // Re-reads the port list and re-arms the hourly reload.
    bool Reload();

    // The set of redirected ports. Every operation takes the manager's lock;
    // the list operations write a failure text into `reply`.
    bool IsKnownPort(const std::string& name);
    std::string ListPorts(bool includeFailed);
    bool AddPorts(const std::string& list, std::string& reply, bool strict);
    bool RemovePorts(const std::string& list, std::string& reply, bool strict);
    bool SetPorts(const std::string& list, std::string& reply, bool strict);
    // "ALL" (exactly) stands for every running port.
    bool ApplyMode(const std::string& name);
    bool ApplyOwner(const std::string& name);
    bool ApplyGroup(const std::string& name);

    void OnSignal(int signal);
    void OnTimer(KtTimerHandle timer, void* argument) override;

  private:
    enum class Mode { Foreground, Start, Stop };

    // Start and stop of the control channel; it publishes the port the lock
    // file carries.
    bool StartControlChannel();
    void StopControlChannel();
    uint16_t ControlPort() const { return controlPort_; }

    // Start and stop of the configuration cache's thread, the PTY connection
    // listener and the DNS resolver, in that order.
    void StartServices();
    void StopServices();
    void ClosePorts();

    [[noreturn]] void ExitWith(int status);
    bool Detach();
    void StopRunningDaemon();

    std::recursive_mutex mutex_;
    std::unique_ptr<LockFile> lock_;
    KtTimerHandle signalTimer_ = nullptr;
    KtTimerHandle reloadTimer_ = nullptr;
    volatile bool running_ = false;
    uint16_t controlPort_ = 0;
};
