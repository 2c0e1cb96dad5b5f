#include "daemon/core/PTYRedirectorManager.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "common/config/ConfigKeys.h"
#include "common/config/PortSettings.h"
#include "common/config/PtyListIterator.h"
#include "common/config/RegistryCache.h"
#include "common/runtime/DebugMonitor.h"
#include "common/runtime/PortvanePaths.h"
#include "daemon/core/MainLoop.h"

namespace {

std::atomic<PTYRedirectorManager*> g_manager{nullptr};

void HandleSignal(int signal) {
    PTYRedirectorManager* manager = g_manager.load();
    if (manager != nullptr) {
        manager->OnSignal(signal);
    }
}

DebugMonitor& Log() {
    return DebugMonitor::Instance();
}

// A daemon with a few hundred ports needs more descriptors than the usual
// soft limit of 1024.
void RaiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void HandledSignals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
}

}  // namespace

PTYRedirectorManager::PTYRedirectorManager() : KtTimerManager(&MainLoop::Instance().Group()) {
    g_manager.store(this);
}

PTYRedirectorManager::~PTYRedirectorManager() {
    g_manager.store(nullptr);
    StopTimer(&signalTimer_);
    StopTimer(&reloadTimer_);
    if (lock_) {
        lock_->Release();
        lock_.reset();
    }
}

PTYRedirectorManager* PTYRedirectorManager::Current() {
    return g_manager.load();
}

void PTYRedirectorManager::ExitWith(int status) {
    Log().CloseSyslog();
    exit(status);
}

bool PTYRedirectorManager::Startup(int argc, char** argv) {
    std::string first = argc > 1 ? argv[1] : "";
    Mode mode = Mode::Foreground;
    if (first == "--version") {
        printf("%s\n", kVersion);
        exit(0);
    }
    if (first == "--status") {
        LockFile probe(kLockName, 0);
        int pid = 0;
        if (probe.ReadOwner(&pid, nullptr) == LockFile::HELD) {
            printf("running at pid %d\n", pid);
            exit(1);
        }
        printf("stopped\n");
        exit(2);
    }
    if (first == "--start") {
        mode = Mode::Start;
    } else if (first == "--stop") {
        mode = Mode::Stop;
    }

    // Every thread started from here on inherits the blocked signals; only
    // the main loop's wait lets them in (see RunEventLoop).
    sigset_t handled;
    HandledSignals(&handled);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);

    Log().OpenSyslog(kSource);
    Log().SetLevel(7);
    RaiseDescriptorLimit();
    PortvanePaths::EnsureRootDirectories();

    if (!StartControlChannel()) {
        Log().CloseSyslog();
        return false;
    }
    lock_ = std::make_unique<LockFile>(kLockName, ControlPort());
    if (lock_->Acquire() != LockFile::ACQUIRED) {
        if (mode == Mode::Stop) {
            StopRunningDaemon();
            lock_.reset();
            StopControlChannel();
            ExitWith(0);
        }
        Log().Log(DEBUG_INFO, kSource, 0, "Daemon already running, exiting");
        int pid = 0;
        if (lock_->ReadOwner(&pid, nullptr) == LockFile::HELD) {
            printf("already running at pid %d\n", pid);
        } else {
            printf("already running\n");
        }
        lock_.reset();
        StopControlChannel();
        ExitWith(1);
    }
    if (mode == Mode::Stop) {
        printf("already stopped\n");
        // The file stays, naming this process: the next start finds it gone
        // and takes the lock over as stale.
        lock_.reset();
        StopControlChannel();
        ExitWith(2);
    }
    if (mode == Mode::Start && !Detach()) {
        return false;
    }

    Log().Logf(DEBUG_INFO, kSource, "Daemon Start, control channel on port %d", ControlPort());
    StartServices();
    Reload();
    return true;
}

bool PTYRedirectorManager::Detach() {
    lock_->Release();
    lock_.reset();
    StopControlChannel();
    fflush(stdout);
    if (daemon(0, 0) != 0) {
        // Running on half-detached, without lock or control channel, would
        // leave a daemon nobody can find or stop.
        Log().Log(DEBUG_ERROR, kSource, 0, "Unable to detach");
        ExitWith(2);
    }
    if (!StartControlChannel()) {
        Log().Log(DEBUG_INFO, kSource, 0, "Control channel/lock file race condition, exiting");
        ExitWith(2);
    }
    lock_ = std::make_unique<LockFile>(kLockName, ControlPort());
    if (lock_->Acquire() != LockFile::ACQUIRED) {
        Log().Log(DEBUG_INFO, kSource, 0, "Daemon lock file race condition, exiting");
        lock_.reset();
        ExitWith(2);
    }
    return true;
}

void PTYRedirectorManager::StopRunningDaemon() {
    int pid = 0;
    if (lock_->ReadOwner(&pid, nullptr) != LockFile::HELD) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 5; ++i) {
        sleep(1);
        if (getpgid(pid) < 0) {
            break;
        }
    }
}

bool PTYRedirectorManager::StartControlChannel() {
    // A listener that could not bind is only logged: the daemon then runs
    // without a channel and publishes port 0.
    bool started = controlChannel_.Start();
    controlPort_ = controlChannel_.Port();
    return started;
}

void PTYRedirectorManager::StopControlChannel() {
    controlChannel_.Stop();
    controlPort_ = 0;
}

void PTYRedirectorManager::StartServices() {
    RegistryCache::Instance().Start();
    if (!listener_.Start()) {
        Log().Log(DEBUG_ERROR, kSource, 0, "Unable to launch pty listener thread");
    }
    // DNS resolver: starts here, after the listener, once it exists.
}

void PTYRedirectorManager::StopServices() {
    // DNS resolver: stops here, before the listener, once it exists.
    listener_.Stop();
}

void PTYRedirectorManager::ClosePorts() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    while (!ports_.empty()) {
        auto first = ports_.begin();
        std::unique_ptr<PTYRedirector> port = std::move(first->second);
        ports_.erase(first);
        port->Close();
    }
    failedPorts_.clear();
}

bool PTYRedirectorManager::Reload() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string list;
    // An absent key leaves the ports alone; an empty one removes them all.
    if (PortSettings::General().FindText(ConfigKeys::kPorts, &list)) {
        std::string scratch;
        SetPorts(list, scratch, false);
    }
    StartTimer(&reloadTimer_, kReloadIntervalMs);
    return true;
}

// ---- the port set ----------------------------------------------------------

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) {
            text += ",";
        }
        text += name;
    }
    return text;
}

}  // namespace

void PTYRedirectorManager::SetDeviceFactories(VirtualDCEDeviceFactory* redirectorFactory,
                                              VirtualDCEDeviceFactory* telnetModemFactory) {
    Guard lock(mutex_);
    redirectorFactory_ = redirectorFactory != nullptr ? redirectorFactory : &placeholderFactory_;
    telnetModemFactory_ = telnetModemFactory != nullptr ? telnetModemFactory : &placeholderFactory_;
}

PTYRedirector* PTYRedirectorManager::FindPort(const std::string& name) {
    Guard lock(mutex_);
    auto port = ports_.find(name);
    return port == ports_.end() ? nullptr : port->second.get();
}

bool PTYRedirectorManager::IsKnownPort(const std::string& name) {
    Guard lock(mutex_);
    return ports_.count(name) != 0 || failedPorts_.count(name) != 0;
}

std::string PTYRedirectorManager::ListPorts(bool includeFailed) {
    Guard lock(mutex_);
    std::set<std::string> names;
    for (const auto& port : ports_) {
        names.insert(port.first);
    }
    if (includeFailed) {
        for (const auto& failed : failedPorts_) {
            names.insert(failed.first);
        }
    }
    return JoinNames(std::vector<std::string>(names.begin(), names.end()));
}

VirtualDCEDeviceFactory* PTYRedirectorManager::ChooseFactory(const std::string& name) {
    return PortSettings(name).Number(ConfigKeys::kTelnetModem) != 0 ? telnetModemFactory_
                                                                    : redirectorFactory_;
}

std::unique_ptr<PTYRedirector> PTYRedirectorManager::CreatePort(const std::string& name,
                                                                std::string* error) {
    std::unique_ptr<PTYRedirector> port(new (std::nothrow)
                                            PTYRedirector(name, ChooseFactory(name), &listener_));
    if (!port || !port->IsBuilt()) {
        *error = "Unable to create pty redirector";
        return nullptr;
    }
    if (!port->CreatePty()) {
        *error = "Unable to open/create pty";
        return nullptr;
    }
    return port;
}

bool PTYRedirectorManager::AddPorts(const std::string& list, std::string& reply, bool strict) {
    Guard lock(mutex_);
    std::map<std::string, std::unique_ptr<PTYRedirector>> added;
    // Names this call took out of failedPorts: a strict failure puts them
    // all back, so that the call leaves the port set as it found it.
    std::vector<std::string> retried;
    std::set<std::string> seen;
    for (PtyListIterator it(list); !it.AtEnd(); it.Next()) {
        std::string name = it.Current();
        // A name listed twice is created once: one port, one link.
        if (!seen.insert(name).second) {
            continue;
        }
        if (failedPorts_.erase(name) != 0) {
            retried.push_back(name);
        } else if (ports_.count(name) != 0) {
            continue;
        }
        std::string error;
        std::unique_ptr<PTYRedirector> port = CreatePort(name, &error);
        if (port) {
            Log().Log(DEBUG_INFO, name.c_str(), 0, "Create Port");
            added[name] = std::move(port);
            continue;
        }
        Log().Log(DEBUG_ERROR, name.c_str(), 0, error.c_str());
        reply = error + " for " + name;
        if (strict) {
            for (auto& [addedName, addedPort] : added) {
                addedPort->Close();
            }
            added.clear();
            for (const std::string& failed : retried) {
                failedPorts_[failed] = true;
            }
            return false;
        }
        failedPorts_[name] = true;
    }
    for (auto& [name, port] : added) {
        ports_[name] = std::move(port);
    }
    return true;
}

bool PTYRedirectorManager::RemovePorts(const std::string& list, std::string& reply, bool strict) {
    Guard lock(mutex_);
    std::set<std::string> remove;
    std::set<std::string> forget;
    for (PtyListIterator it(list); !it.AtEnd(); it.Next()) {
        std::string name = it.Current();
        if (ports_.count(name) != 0) {
            remove.insert(name);
        } else if (failedPorts_.count(name) != 0) {
            forget.insert(name);
        } else if (strict) {
            reply = name + " is not redirected";
            return false;
        }
    }
    for (const std::string& name : remove) {
        Log().Log(DEBUG_INFO, name.c_str(), 0, "Remove pty");
        auto entry = ports_.find(name);
        std::unique_ptr<PTYRedirector> port = std::move(entry->second);
        ports_.erase(entry);
        port->Close();
    }
    for (const std::string& name : forget) {
        Log().Log(DEBUG_INFO, name.c_str(), 0, "Remove failed pty");
        failedPorts_.erase(name);
    }
    return true;
}

bool PTYRedirectorManager::SetPorts(const std::string& list, std::string& reply, bool strict) {
    Guard lock(mutex_);
    std::set<std::string> known;
    for (const auto& port : ports_) {
        known.insert(port.first);
    }
    for (const auto& failed : failedPorts_) {
        known.insert(failed.first);
    }
    std::vector<std::string> add;
    std::set<std::string> adding;
    for (PtyListIterator it(list); !it.AtEnd(); it.Next()) {
        std::string name = it.Current();
        known.erase(name);
        if (ports_.count(name) == 0 && adding.insert(name).second) {
            add.push_back(name);
        }
    }
    if (!add.empty() && !AddPorts(JoinNames(add), reply, strict)) {
        return false;
    }
    if (!known.empty()) {
        RemovePorts(JoinNames(std::vector<std::string>(known.begin(), known.end())), reply, strict);
    }
    return true;
}

bool PTYRedirectorManager::ApplyMode(const std::string& name) {
    Guard lock(mutex_);
    for (auto& [portName, port] : ports_) {
        if (name == "ALL" || name == portName) {
            port->ApplyPermissions();
        }
    }
    return true;
}

bool PTYRedirectorManager::ApplyOwner(const std::string& name) {
    Guard lock(mutex_);
    for (auto& [portName, port] : ports_) {
        if (name == "ALL" || name == portName) {
            port->ApplyOwner();
        }
    }
    return true;
}

bool PTYRedirectorManager::ApplyGroup(const std::string& name) {
    Guard lock(mutex_);
    for (auto& [portName, port] : ports_) {
        if (name == "ALL" || name == portName) {
            port->ApplyGroup();
        }
    }
    return true;
}

void PTYRedirectorManager::OnSignal(int signal) {
    KtTimerGroup* group = GetTimerGroup();
    group->StartTimer(this, &signalTimer_, 0,
                      reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
    // Delivered while the main thread waits, so the wait ends by itself; the
    // wake-up byte covers a delivery anywhere else.
    group->GetEvent().Signal();
}

void PTYRedirectorManager::OnTimer(KtTimerHandle timer, void* argument) {
    if (timer == signalTimer_) {
        signalTimer_ = nullptr;
        int signal = static_cast<int>(reinterpret_cast<intptr_t>(argument));
        if (signal == SIGHUP) {
            Reload();
        } else if (signal == SIGINT || signal == SIGTERM) {
            running_ = false;
        }
    } else if (timer == reloadTimer_) {
        reloadTimer_ = nullptr;
        Reload();
    }
}

void PTYRedirectorManager::RunEventLoop() {
    sigset_t handled;
    HandledSignals(&handled);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    // The handler starts a timer, which takes the group's lock: it may only
    // run while this thread holds no lock, that is inside the loop's wait.
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    sigset_t waitMask;
    pthread_sigmask(SIG_BLOCK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGHUP);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);

    MainLoop& loop = MainLoop::Instance();
    loop.Manager().SetWaitSignalMask(&waitMask);
    running_ = true;
    while (running_) {
        uint32_t t = loop.Group().TimeToNextTimer();
        if (t == 0) {
            loop.Group().RunExpiredTimers();
            t = loop.Group().TimeToNextTimer();
        }
        if (!running_) {
            break;
        }
        loop.Manager().Poll(t == KtTimerGroup::kNoTimer ? -1 : static_cast<int>(t & 0x7FFFFFFF));
    }
    loop.Manager().SetWaitSignalMask(nullptr);
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
}

void PTYRedirectorManager::Shutdown() {
    if (lock_) {
        lock_->Release();
        lock_.reset();
    }
    StopControlChannel();
    StopServices();
    ClosePorts();
    // The configuration cache stops last, writing what is pending.
    RegistryCache::Instance().Stop();
    Log().Log(DEBUG_INFO, kSource, 0, "Daemon Stop");
    Log().Flush();
    Log().CloseSyslog();
}
