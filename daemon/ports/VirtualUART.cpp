#include "daemon/ports/VirtualUART.h"

#include <cstdio>

#include "common/config/ConfigKeys.h"
#include "common/config/PortSettings.h"
#include "common/runtime/ClockSource.h"
#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/PortStatus.h"
#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTraceText.h"
#include "daemon/ports/VirtualUARTClient.h"

using Lock = std::lock_guard<std::recursive_mutex>;
using UniqueLock = std::unique_lock<std::recursive_mutex>;

namespace {

// The UART whose port thread the calling thread is, if any.
thread_local const VirtualUART* tPortThreadOf = nullptr;

// The reopen timer's argument: whether the network side is opened afresh.
void* const kFresh = reinterpret_cast<void*>(1);

int PollTimeout(uint32_t t) {
    return t == KtTimerGroup::kNoTimer ? -1 : static_cast<int>(t & 0x7FFFFFFF);
}

}  // namespace

VirtualUART::VirtualUART(const std::string& name)
    : KtTimerManager(),
      name_(name.substr(0, kMaxNameLength)),
      toDriver_(this, VirtualUARTChannel::Direction::ToDriver, GetTimerGroup()),
      toDevice_(this, VirtualUARTChannel::Direction::ToDevice, GetTimerGroup()),
      selectManager_(GetTimerGroup()) {}

VirtualUART::~VirtualUART() {
    {
        Lock lock(lock_);
        StopTimer(&reopenTimer_);
        StopTimer(&closeDelayTimer_);
        StopTimer(&negotiationTimer_);
    }
    StopThread(true);
    if (!IsPortThread()) {
        // A thread that left its loop on its own (after the close delay) has
        // not been reaped yet.
        thread_.Join();
    }
    if (VirtualUARTClient* device = device_.exchange(nullptr)) {
        device->Unbind();
    }
    if (VirtualUARTClient* driver = driver_.exchange(nullptr)) {
        driver->Unbind();
    }
    toDriver_.SetSource(nullptr);
    toDriver_.SetDestination(nullptr);
    toDevice_.SetSource(nullptr);
    toDevice_.SetDestination(nullptr);
}

void VirtualUART::Trace(const char* text) {
    DebugMonitor::Instance().Log(DEBUG_STATUS, name_.c_str(), 0, text);
}

// ---- binding of the two sides ---------------------------------------------

VirtualUARTChannel* VirtualUART::AttachDevice(VirtualUARTClient* client) {
    device_.store(client);
    toDriver_.SetSource(client);
    toDevice_.SetDestination(client);
    VirtualUARTClient* driver = driver_.load();
    if (driver != nullptr && !driver->OpenDevice(this)) {
        device_.store(nullptr);
        toDriver_.SetSource(nullptr);
        toDevice_.SetDestination(nullptr);
        return nullptr;
    }
    return &toDriver_;
}

void VirtualUART::DetachDevice(VirtualUARTClient* client) {
    if (client == nullptr || client != device_.load()) {
        return;
    }
    toDriver_.SetSource(nullptr);
    toDevice_.SetDestination(nullptr);
    if (VirtualUARTClient* driver = driver_.load()) {
        driver->CloseDevice(this);
    }
    device_.store(nullptr);
}

void VirtualUART::ReleaseDriver() {
    toDriver_.SetDestination(nullptr);
    toDevice_.SetSource(nullptr);
    driver_.store(nullptr);
}

// ---- open -----------------------------------------------------------------

VirtualUARTChannel* VirtualUART::AttachDriver(VirtualUARTClient* client, int reopen) {
    driver_.store(client);
    toDriver_.SetDestination(client);
    toDevice_.SetSource(client);
    VirtualUARTClient* device = device_.load();
    if (device == nullptr) {
        // The open stays pending until a network side attaches.
        return &toDevice_;
    }
    Trace("Open");
    bool fresh;
    OpenState state;
    {
        Lock lock(lock_);
        connectionStatus_ = 0;
        fresh = openState_ == OpenState::Closed || openState_ == OpenState::ShutDown;
        openState_ = (openState_ == OpenState::ShutDown || reopen != 0) ? OpenState::Restarting
                                                                        : OpenState::Opening;
        state = openState_;
        StopTimer(&closeDelayTimer_);
    }
    char driverText[64];
    snprintf(driverText, sizeof driverText, "Driver: %s %s", kDriverName, kDriverVersion);
    Trace(driverText);
    ReadSettings();
    TraceSettings();
    if (state == OpenState::Opening) {
        return ContinueOpen(client, device, fresh);
    }
    return ContinueRestart(client, fresh);
}

void VirtualUART::ReadSettings() {
    UARTSettings settings;
    unsigned lines;
    {
        Lock lock(lock_);
        settings = settings_;
        lines = lines_;
    }
    settings.Read(name_, &lines);
    Lock lock(lock_);
    settings_ = settings;
    lines_ =
        (lines_ & ~static_cast<unsigned>(LINE_DTR | LINE_RTS)) | (lines & (LINE_DTR | LINE_RTS));
}

void VirtualUART::TraceSettings() {
    UARTSettings settings;
    unsigned lines;
    {
        Lock lock(lock_);
        settings = settings_;
        lines = lines_;
    }
    for (const std::string& record : settings.StatusRecords(lines)) {
        Trace(record.c_str());
    }
}

bool VirtualUART::BeginOpen(VirtualUARTClient* device, bool fresh) {
    PortSettings port(name_);
    int delay = port.Number(ConfigKeys::kPortCloseDelay);
    bool deferred = device->WantsDeferredOpen() && port.Number(ConfigKeys::kDeferredPortOpen) != 0;
    {
        Lock lock(lock_);
        // A negative delay (a "-1" stored unsigned reads back as -1) would
        // otherwise wrap into a timer that expires at once or in 49 days.
        closeDelay_ = delay < 0 ? 0 : delay;
        deferredOpen_ = deferred;
    }
    if (deferred) {
        Trace("Waiting for connection negotiation before releasing COM port open request");
        {
            Lock lock(lock_);
            StartTimer(&negotiationTimer_, kNegotiationTimeoutMs);
        }
        Signal();
    }
    return fresh ? device->OpenDevice(this) : device->ReopenDevice(this);
}

VirtualUARTChannel* VirtualUART::ContinueOpen(VirtualUARTClient* client, VirtualUARTClient* device,
                                              bool fresh) {
    bool ok = BeginOpen(device, fresh);
    UniqueLock lock(lock_);
    if (!ok) {
        ReleaseDriver();
        openState_ = OpenState::Closed;
        StopTimer(&negotiationTimer_);
        lock.unlock();
        if (!fresh) {
            // A refused reopen finds the port thread still serving from the
            // last use; the application side, let go, now drains the port
            // itself, and two loops must not serve the same descriptors.
            StopThread(true);
        }
        client->OpenComplete(UART_STATUS_OPEN_FAILED);
        return nullptr;
    }
    bool deferred = deferredOpen_;
    if (deferred && connectionStatus_ > 1) {
        // The network side reported a failure from inside its open. The
        // application side is let go as if the thread had not started: it
        // then drains the port itself and still notices the close, which
        // it could not if it stayed attached to a port nobody serves.
        lock.unlock();
        return AbandonOpen(client, device, !fresh);
    }
    openState_ = OpenState::Open;
    lock.unlock();
    if (fresh && !StartThread()) {
        return AbandonOpen(client, device, false);
    }
    if (fresh && deferred) {
        // Released by the first connection status or the negotiation timer.
        return &toDevice_;
    }
    client->OpenComplete(UART_STATUS_SUCCESS);
    {
        Lock relock(lock_);
        StopTimer(&negotiationTimer_);
    }
    return &toDevice_;
}

VirtualUARTChannel* VirtualUART::AbandonOpen(VirtualUARTClient* client, VirtualUARTClient* device,
                                             bool stopThread) {
    {
        Lock lock(lock_);
        openState_ = OpenState::ShutDown;
    }
    device->CloseDevice(this);
    {
        Lock lock(lock_);
        ReleaseDriver();
        openState_ = OpenState::Closed;
        StopTimer(&negotiationTimer_);
    }
    if (stopThread) {
        // A port thread left from an earlier use would compete with the
        // application side's drain loop for the same descriptors.
        StopThread(true);
    }
    client->OpenComplete(UART_STATUS_OPEN_FAILED);
    return nullptr;
}

VirtualUARTChannel* VirtualUART::ContinueRestart(VirtualUARTClient* client, bool fresh) {
    {
        Lock lock(lock_);
        StartTimer(&reopenTimer_, 0, fresh ? kFresh : nullptr);
    }
    if (!fresh) {
        Signal();
        return &toDevice_;
    }
    if (StartThread()) {
        Signal();
        return &toDevice_;
    }
    {
        Lock lock(lock_);
        StopTimer(&reopenTimer_);
        ReleaseDriver();
        openState_ = OpenState::Closed;
    }
    client->OpenComplete(UART_STATUS_OPEN_FAILED);
    return nullptr;
}

// ---- close ----------------------------------------------------------------

void VirtualUART::DetachDriver(VirtualUARTClient* client) {
    if (client == nullptr || client != driver_.load()) {
        return;
    }
    UniqueLock lock(lock_);
    toDriver_.SetDestination(nullptr);
    toDevice_.SetSource(nullptr);
    if (device_.load() == nullptr) {
        lock.unlock();
        driver_.store(nullptr);
        return;
    }
    switch (openState_) {
        case OpenState::Restarting:
            StopTimer(&reopenTimer_);
            openState_ = OpenState::Closed;
            lock.unlock();
            StopThread(true);
            break;
        case OpenState::Open:
            openState_ = OpenState::CloseDelay;
            StartTimer(&closeDelayTimer_, static_cast<uint32_t>(closeDelay_), client);
            lock.unlock();
            Signal();
            break;
        case OpenState::Opening:
            openState_ = OpenState::Closed;
            StopTimer(&closeDelayTimer_);
            lock.unlock();
            break;
        default:
            lock.unlock();
            break;
    }
    Trace("Close");
    driver_.store(nullptr);
}

// ---- reports from the network side ----------------------------------------

void VirtualUART::ReportConnectionStatus(VirtualUARTChannel* channel, int status) {
    bool deferred;
    int reported;
    {
        Lock lock(lock_);
        StopTimer(&negotiationTimer_);
        deferred = deferredOpen_;
        connectionStatus_ = deferred ? status : UART_STATUS_SUCCESS;
        reported = connectionStatus_;
    }
    if (deferred) {
        if (const char* text = PortStatus::Text(status)) {
            Trace(text);
        }
    }
    VirtualUARTClient* destination = channel == nullptr ? nullptr : channel->GetDestination();
    if (destination != nullptr) {
        destination->OpenComplete(reported);
    }
}

void VirtualUART::ReportModemStatus(VirtualUARTChannel* channel, unsigned values, unsigned mask) {
    if (mask != 0) {
        Trace(UARTTraceText::Lines(values, mask).c_str());
    }
    VirtualUARTClient* destination = channel == nullptr ? nullptr : channel->GetDestination();
    if (destination != nullptr) {
        destination->Lock();
        destination->SetModemControl(values, mask);
        destination->Unlock();
    }
    Lock lock(lock_);
    lines_ = (lines_ & ~mask) | (values & mask);
}

// ---- timers ----------------------------------------------------------------

void VirtualUART::OnTimer(KtTimerHandle timer, void* argument) {
    enum class Which { None, Reopen, CloseDelay, Negotiation } which = Which::None;
    {
        Lock lock(lock_);
        if (timer == reopenTimer_) {
            reopenTimer_ = nullptr;
            which = Which::Reopen;
        } else if (timer == closeDelayTimer_) {
            closeDelayTimer_ = nullptr;
            which = Which::CloseDelay;
        } else if (timer == negotiationTimer_) {
            negotiationTimer_ = nullptr;
            which = Which::Negotiation;
        }
    }
    switch (which) {
        case Which::Reopen:
            OnReopenTimer(argument == kFresh);
            break;
        case Which::CloseDelay:
            OnCloseDelayTimer(static_cast<VirtualUARTClient*>(argument));
            break;
        case Which::Negotiation:
            // Sixty seconds without a connection status: release the
            // application's open.
            if (VirtualUARTClient* driver = driver_.load()) {
                driver->OpenComplete(UART_STATUS_PORT_NOT_AVAILABLE);
            }
            break;
        case Which::None:
            break;
    }
}

void VirtualUART::OnReopenTimer(bool fresh) {
    {
        Lock lock(lock_);
        if (openState_ != OpenState::Restarting) {
            return;
        }
        openState_ = OpenState::Opening;
    }
    VirtualUARTClient* device = device_.load();
    Pending result = Pending::None;
    if (device == nullptr) {
        Lock lock(lock_);
        openState_ = OpenState::Closed;
        result = Pending::NotAvailable;
    } else {
        bool ok = BeginOpen(device, fresh);
        Lock lock(lock_);
        if (!ok) {
            openState_ = OpenState::Closed;
            StopTimer(&negotiationTimer_);
            result = Pending::OpenFailed;
        } else if (deferredOpen_ && connectionStatus_ > 1) {
            if (driver_.load() != nullptr) {
                openState_ = OpenState::Open;
                StopTimer(&negotiationTimer_);
                result = Pending::OpenFailed;
            } else {
                openState_ = OpenState::Closed;
            }
        } else {
            openState_ = OpenState::Open;
            if (!(fresh && deferredOpen_)) {
                StopTimer(&negotiationTimer_);
                result = Pending::Success;
            }
        }
    }
    VirtualUARTClient* driver = driver_.load();
    if (driver == nullptr) {
        return;
    }
    switch (result) {
        case Pending::Success:
            driver->OpenComplete(UART_STATUS_SUCCESS);
            break;
        case Pending::OpenFailed:
            driver->OpenComplete(UART_STATUS_OPEN_FAILED);
            break;
        case Pending::NotAvailable:
            driver->OpenComplete(UART_STATUS_PORT_NOT_AVAILABLE);
            break;
        case Pending::None:
            break;
    }
}

void VirtualUART::OnCloseDelayTimer(VirtualUARTClient* departing) {
    {
        Lock lock(lock_);
        if (openState_ != OpenState::CloseDelay) {
            return;
        }
        openState_ = OpenState::ShutDown;
    }
    if (VirtualUARTClient* device = device_.load()) {
        device->CloseDevice(this);
    }
    bool stillShutDown;
    {
        Lock lock(lock_);
        stillShutDown = openState_ == OpenState::ShutDown;
    }
    if (stillShutDown) {
        StopThread(false);
    }
    if (departing != nullptr) {
        departing->OpenComplete(UART_STATUS_PORT_CLOSED);
    }
}

// ---- port thread -----------------------------------------------------------

int VirtualUART::LaunchThread() {
    return thread_.Start(&VirtualUART::ThreadEntry, this);
}

void* VirtualUART::ThreadEntry(void* parameter) {
    UnixThread* thread = static_cast<UnixThread*>(parameter);
    static_cast<VirtualUART*>(thread->GetArgument())->RunThread();
    thread->Exit(0);
}

bool VirtualUART::StartThread() {
    {
        Lock lock(lock_);
        if (threadState_ == ThreadState::Stopping) {
            // Still in its loop: it simply keeps running.
            threadState_ = ThreadState::Running;
        }
        if (threadState_ != ThreadState::Stopped) {
            return true;
        }
        threadState_ = ThreadState::Starting;
    }
    if (!IsPortThread()) {
        // A thread that has left its loop may not have ended yet; the
        // thread object would take it for a running one.
        thread_.Join();
    }
    threadStarted_.Clear();
    if (LaunchThread() != 0) {
        {
            Lock lock(lock_);
            threadState_ = ThreadState::Stopped;
        }
        DebugMonitor::Instance().Log(DEBUG_ERROR, name_.c_str(), 0, "Unable to launch pty thread");
    } else if (threadStarted_.ReadFd() != -1) {
        threadStarted_.Wait(kThreadStartWaitMs);
        threadStarted_.Clear();
    }
    Lock lock(lock_);
    return threadState_ == ThreadState::Starting || threadState_ == ThreadState::Running;
}

bool VirtualUART::StopThread(bool join) {
    {
        Lock lock(lock_);
        if (threadState_ == ThreadState::Stopped) {
            return false;
        }
        if (threadState_ == ThreadState::Starting || threadState_ == ThreadState::Running) {
            threadState_ = ThreadState::Stopping;
        }
    }
    Signal();
    if (join && !IsPortThread()) {
        thread_.Join();
    }
    Lock lock(lock_);
    return threadState_ == ThreadState::Stopping;
}

bool VirtualUART::IsPortThread() const {
    return tPortThreadOf == this;
}

bool VirtualUART::ThreadShouldPoll() {
    Lock lock(lock_);
    return threadState_ == ThreadState::Running;
}

void VirtualUART::RunThread() {
    tPortThreadOf = this;
    threadStarted_.Signal();
    KtTimerGroup& group = *GetTimerGroup();
    for (;;) {
        {
            Lock lock(lock_);
            if (threadState_ != ThreadState::Starting && threadState_ != ThreadState::Running) {
                break;
            }
            threadState_ = ThreadState::Running;
        }
        uint32_t t0 = TickCountMs();
        uint32_t t = group.TimeToNextTimer();
        if (t == 0) {
            // Timers of the network side run under its lock, as its data
            // path does.
            VirtualUARTClient* device = device_.load();
            if (device != nullptr) {
                device->Lock();
            }
            group.RunExpiredTimers();
            if (device != nullptr) {
                device->Unlock();
            }
            t = group.TimeToNextTimer();
        }
        if (ThreadShouldPoll()) {
            selectManager_.Poll(PollTimeout(t));
        }
        if (TickCountMs() < t0) {
            Trace("Timer Rollover");
        }
    }
    {
        Lock lock(lock_);
        if (threadState_ == ThreadState::Stopping) {
            threadState_ = ThreadState::Stopped;
        }
    }
    tPortThreadOf = nullptr;
}

// ---- accessors -------------------------------------------------------------

int VirtualUART::GetBaud() {
    Lock lock(lock_);
    return settings_.baud;
}

int VirtualUART::GetDataBits() {
    Lock lock(lock_);
    return settings_.dataBits;
}

int VirtualUART::GetParity() {
    Lock lock(lock_);
    return settings_.parity;
}

int VirtualUART::GetStopBits() {
    Lock lock(lock_);
    return settings_.stopBits;
}

unsigned VirtualUART::GetFlow() {
    Lock lock(lock_);
    return settings_.flow;
}

unsigned VirtualUART::GetLines() {
    Lock lock(lock_);
    return lines_;
}

int VirtualUART::GetCloseDelay() {
    Lock lock(lock_);
    return closeDelay_;
}

bool VirtualUART::IsDeferredOpen() {
    Lock lock(lock_);
    return deferredOpen_;
}

VirtualUART::OpenState VirtualUART::GetOpenState() {
    Lock lock(lock_);
    return openState_;
}

VirtualUART::ThreadState VirtualUART::GetThreadState() {
    Lock lock(lock_);
    return threadState_;
}

bool VirtualUART::IsReopenPending() {
    Lock lock(lock_);
    return reopenTimer_ != nullptr;
}
