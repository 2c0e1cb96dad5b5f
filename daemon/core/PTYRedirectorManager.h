// Owns the daemon's life: the command-line modes, the lock file, the main
// event loop with its signals and hourly reload, and the start and stop order
// of the long-lived objects. Runs on the main thread; OnSignal is the only
// entry from a signal handler. It also owns the set of ports (each a
// PTYRedirector) and the PTY connection listener; the port-set operations
// take the manager's mutex and may come from the control channel's thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/LockFile.h"
#include "daemon/control/PtyControlChannel.h"
#include "daemon/ports/PTYConnectionListener.h"
#include "daemon/ports/PTYRedirector.h"
#include "daemon/redirect/DiscardingDCEDeviceFactory.h"

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
    // The running port of that name, or null. The port stays valid only
    // while the caller keeps the port set unchanged.
    PTYRedirector* FindPort(const std::string& name);
    bool IsKnownPort(const std::string& name);
    std::string ListPorts(bool includeFailed);
    bool AddPorts(const std::string& list, std::string& reply, bool strict);
    bool RemovePorts(const std::string& list, std::string& reply, bool strict);
    bool SetPorts(const std::string& list, std::string& reply, bool strict);
    // "ALL" (exactly) stands for every running port.
    bool ApplyMode(const std::string& name);
    bool ApplyOwner(const std::string& name);
    bool ApplyGroup(const std::string& name);

    // Replaces the factories that build the ports' network sides (tests);
    // null restores the built-in one. Not owned; they must outlive every
    // port created while they are in use.
    void SetDeviceFactories(VirtualDCEDeviceFactory* redirectorFactory,
                            VirtualDCEDeviceFactory* telnetModemFactory);

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

    // The factory a port's TelnetModem setting selects.
    VirtualDCEDeviceFactory* ChooseFactory(const std::string& name);
    // A running port, or null with the failure text in *error.
    std::unique_ptr<PTYRedirector> CreatePort(const std::string& name, std::string* error);

    [[noreturn]] void ExitWith(int status);
    bool Detach();
    void StopRunningDaemon();

    std::recursive_mutex mutex_;
    std::unique_ptr<LockFile> lock_;
    KtTimerHandle signalTimer_ = nullptr;
    KtTimerHandle reloadTimer_ = nullptr;
    volatile bool running_ = false;
    uint16_t controlPort_ = 0;

    // The port set, declared after the listener and the factories it uses
    // so that the ports go first. Both kinds of network side are the
    // discarding placeholder for now: the redirector's and the modem's own
    // factories replace it once they exist, the choice by TelnetModem
    // staying as it is.
    DiscardingDCEDeviceFactory placeholderFactory_;
    VirtualDCEDeviceFactory* redirectorFactory_ = &placeholderFactory_;   // non-owning
    VirtualDCEDeviceFactory* telnetModemFactory_ = &placeholderFactory_;  // non-owning
    PTYConnectionListener listener_;
    std::map<std::string, std::unique_ptr<PTYRedirector>> ports_;
    std::map<std::string, bool> failedPorts_;

    // Declared last, so destroyed first: its thread must be gone before
    // anything a command reaches into.
    PtyControlChannel controlChannel_{this};
};
