#include "daemon/core/PTYRedirectorManager.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    // The control channel is not built yet: the daemon runs without one and
    // publishes port 0, which the tools read as "no channel".
    controlPort_ = 0;
    return true;
}

void PTYRedirectorManager::StopControlChannel() {
    controlPort_ = 0;
}

void PTYRedirectorManager::StartServices() {
    RegistryCache::Instance().Start();
    // PTY connection listener, DNS resolver: each starts here, in this
    // order, once it exists.
}

void PTYRedirectorManager::StopServices() {
    // DNS resolver, then the PTY connection listener, once they exist.
}

void PTYRedirectorManager::ClosePorts() {
    // Ports are closed in name order once the port set exists.
}

bool PTYRedirectorManager::Reload() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The port list is applied here once ports exist.
    StartTimer(&reloadTimer_, kReloadIntervalMs);
    return true;
}

// Port set: filled in with the ports themselves.
bool PTYRedirectorManager::IsKnownPort(const std::string& /*name*/) {
    return false;
}

std::string PTYRedirectorManager::ListPorts(bool /*includeFailed*/) {
    return "";
}

bool PTYRedirectorManager::AddPorts(const std::string& /*list*/, std::string& /*reply*/,
                                    bool /*strict*/) {
    return true;
}

bool PTYRedirectorManager::RemovePorts(const std::string& /*list*/, std::string& /*reply*/,
                                       bool /*strict*/) {
    return true;
}

bool PTYRedirectorManager::SetPorts(const std::string& /*list*/, std::string& /*reply*/,
                                    bool /*strict*/) {
    return true;
}

bool PTYRedirectorManager::ApplyMode(const std::string& /*name*/) {
    return true;
}

bool PTYRedirectorManager::ApplyOwner(const std::string& /*name*/) {
    return true;
}

bool PTYRedirectorManager::ApplyGroup(const std::string& /*name*/) {
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
