#include "daemon/redirect/VirtualDCEDevice.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/UARTBits.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTChannel.h"

using Guard = std::lock_guard<std::recursive_mutex>;

VirtualDCEDevice::VirtualDCEDevice(VirtualUART* uart, KtTimerGroup* group)
    : KtTimerManager(group), workBuffer_(new (std::nothrow) uint8_t[kWorkBufferSize]) {
    Guard guard(lock_);
    uart_ = uart;
    if (uart != nullptr) {
        channel_ = uart->AttachDevice(this);
    }
}

VirtualDCEDevice::~VirtualDCEDevice() {
    VirtualUART* uart;
    {
        Guard guard(lock_);
        uart = uart_;
    }
    if (uart != nullptr) {
        uart->DetachDevice(this);
    }
    Guard guard(lock_);
    StopTimers();
    uart_ = nullptr;
    channel_ = nullptr;
}

void VirtualDCEDevice::StopTimers() {
    // Only armed timers touch the group: after Unbind it may be gone with
    // its UART.
    for (KtTimerHandle* timer : {&pullTimer_, &pushTimer_, &transmitTimer_}) {
        if (*timer != nullptr) {
            StopTimer(timer);
        }
    }
}

// ---- open and close --------------------------------------------------------

bool VirtualDCEDevice::OpenDevice(VirtualUART* uart) {
    if (uart == nullptr) {
        return false;
    }
    Guard guard(lock_);
    if (uart_ != nullptr && uart_ != uart) {
        return false;
    }
    uart_ = uart;
    channel_ = &uart->ToDriver();
    open_ = true;
    uart->ReportModemStatus(channel_, status_, LINE_CTS | LINE_DSR | LINE_CD | kStatusReady);
    // Nothing counts as applied any more, so that the setters below hand
    // every setting on as a change.
    baud_ = 0;
    dataBits_ = 0;
    parity_ = ' ';
    stopBits_ = 8;
    flow_ = -1;
    SetBaudRate(uart->GetBaud());
    SetFraming(uart->GetDataBits(), uart->GetParity(), uart->GetStopBits());
    SetFlowControl(uart->GetFlow());
    unsigned lines = uart->GetLines();
    SetDTR((lines & LINE_DTR) != 0 ? 1 : 0);
    SetRTS((lines & LINE_RTS) != 0 ? 1 : 0);
    return open_;
}

bool VirtualDCEDevice::CloseDevice(VirtualUART* uart) {
    Guard guard(lock_);
    if (uart != uart_ || !open_) {
        return false;
    }
    open_ = false;
    StopTimers();
    return true;
}

void VirtualDCEDevice::Unbind() {
    Guard guard(lock_);
    // The port's timer group goes with the UART.
    StopTimers();
    uart_ = nullptr;
    channel_ = nullptr;
    open_ = false;
}

// ---- settings and lines ----------------------------------------------------

void VirtualDCEDevice::SetBaudRate(int baud) {
    Guard guard(lock_);
    baud_ = baud;
}

void VirtualDCEDevice::SetFraming(int dataBits, int parity, int stopBits) {
    Guard guard(lock_);
    if (dataBits >= 5 && dataBits <= 8) {
        dataBits_ = dataBits;
    }
    int upper = std::toupper(parity & 0xFF);
    if (upper == 'E' || upper == 'M' || upper == 'N' || upper == 'O' || upper == 'S') {
        parity_ = upper;
    }
    if (stopBits >= 0 && stopBits <= 2) {
        stopBits_ = stopBits;
    }
}

void VirtualDCEDevice::GetFraming(int* parity, int* dataBits, int* stopBits) {
    Guard guard(lock_);
    *parity = parity_;
    *dataBits = dataBits_;
    *stopBits = stopBits_;
}

void VirtualDCEDevice::SetModemControl(unsigned values, unsigned mask) {
    if ((mask & LINE_DTR) != 0) {
        SetDTR((values & LINE_DTR) != 0 ? 1 : 0);
    }
    if ((mask & LINE_RTS) != 0) {
        SetRTS((values & LINE_RTS) != 0 ? 1 : 0);
    }
    if ((mask & LINE_BREAK) != 0) {
        SetBreak((values & LINE_BREAK) != 0 ? 1 : 0, mask);
    }
}

void VirtualDCEDevice::SetModemStatus(unsigned values, unsigned mask) {
    VirtualUART* uart;
    VirtualUARTChannel* channel;
    {
        Guard guard(lock_);
        status_ = (status_ & ~mask) | (values & mask);
        uart = uart_;
        channel = channel_;
    }
    if (uart != nullptr && channel != nullptr) {
        uart->ReportModemStatus(channel, values, mask);
    }
}

// ---- data ------------------------------------------------------------------

void VirtualDCEDevice::PurgeReceive() {
    Guard guard(lock_);
    rxRing_.Lock();
    rxRing_.Read(nullptr, rxRing_.Count());
    rxRing_.Unlock();
    if (channel_ != nullptr) {
        channel_->SetBlocked(false);
    }
}

void VirtualDCEDevice::PurgeTransmit() {
    Guard guard(lock_);
    txRing_.Lock();
    txRing_.Read(nullptr, txRing_.Count());
    txRing_.Unlock();
    if (channel_ != nullptr) {
        channel_->SetActivity(true);
    }
}

int VirtualDCEDevice::Transmit(int reason) {
    {
        Guard guard(lock_);
        if (reason != 1 || uart_ == nullptr) {
            // Not asked for at once: the push runs on the port thread.
            ScheduleOnce(&transmitTimer_, 0);
            return 0;
        }
    }
    return PushToDriver();
}

int VirtualDCEDevice::PushToDriver() {
    uint8_t block[kPushBlock];
    int total = 0;
    Guard guard(lock_);
    if (channel_ == nullptr) {
        return 0;
    }
    for (;;) {
        unsigned n = rxRing_.Peek(block, sizeof block);
        if (n == 0) {
            break;
        }
        int accepted = channel_->Write(block, static_cast<int>(n));
        if (accepted <= 0) {
            break;
        }
        rxRing_.Read(nullptr, static_cast<unsigned>(accepted));
        total += accepted;
    }
    return total;
}

void VirtualDCEDevice::PullAll() {
    Guard guard(lock_);
    if (channel_ == nullptr) {
        return;
    }
    pulling_ = true;
    while (channel_ != nullptr && channel_->PullFromPeer(1) > 0) {
    }
    pulling_ = false;
}

int VirtualDCEDevice::ReadNetwork(uint8_t*, int) {
    return 0;
}

int VirtualDCEDevice::ReceiveFromNetwork() {
    if (rxRing_.Count() > 0) {
        PushToDriver();
    }
    Guard guard(lock_);
    uint8_t* work = workBuffer_.get();
    if (work == nullptr) {
        return 0;
    }
    int total = 0;
    for (;;) {
        int room = static_cast<int>(std::min<unsigned>(kWorkBufferSize, rxRing_.Space()));
        if (room == 0) {
            break;
        }
        int got = ReadNetwork(work, room);
        if (got <= 0) {
            break;
        }
        got = std::min(got, room);
        total += got;
        int accepted = 0;
        if (rxRing_.Count() == 0 && channel_ != nullptr) {
            accepted = std::clamp(channel_->Write(work, got), 0, got);
        }
        if (accepted < got) {
            rxRing_.Write(work + accepted, static_cast<unsigned>(got - accepted));
        }
    }
    return total;
}

// ---- timers and trace ------------------------------------------------------

void VirtualDCEDevice::ScheduleOnce(KtTimerHandle* timer, uint32_t ms) {
    Guard guard(lock_);
    if (*timer == nullptr) {
        StartTimer(timer, ms);
    }
    Signal();
}

void VirtualDCEDevice::SchedulePull(uint32_t ms) {
    ScheduleOnce(&pullTimer_, ms);
}

void VirtualDCEDevice::SchedulePush(uint32_t ms) {
    ScheduleOnce(&pushTimer_, ms);
}

void VirtualDCEDevice::OnTimer(KtTimerHandle timer, void*) {
    bool pull = false;
    bool push = false;
    {
        Guard guard(lock_);
        if (timer == pullTimer_) {
            pullTimer_ = nullptr;
            pull = true;
        } else if (timer == pushTimer_) {
            pushTimer_ = nullptr;
            push = true;
        } else if (timer == transmitTimer_) {
            transmitTimer_ = nullptr;
            push = true;
        }
    }
    if (pull) {
        PullAll();
    }
    if (push) {
        PushToDriver();
    }
}

void VirtualDCEDevice::Trace(const char* text) {
    VirtualUART* uart = GetUART();
    if (uart != nullptr) {
        DebugMonitor::Instance().Log(DEBUG_STATUS, uart->GetName(), 0, text);
    }
}

// ---- accessors -------------------------------------------------------------

VirtualUART* VirtualDCEDevice::GetUART() {
    Guard guard(lock_);
    return uart_;
}

VirtualUARTChannel* VirtualDCEDevice::GetChannel() {
    Guard guard(lock_);
    return channel_;
}

unsigned VirtualDCEDevice::GetStatus() {
    Guard guard(lock_);
    return status_;
}

bool VirtualDCEDevice::IsOpen() {
    Guard guard(lock_);
    return open_;
}

int VirtualDCEDevice::GetBaud() {
    Guard guard(lock_);
    return baud_;
}

unsigned VirtualDCEDevice::GetFlow() {
    Guard guard(lock_);
    return static_cast<unsigned>(flow_);
}
