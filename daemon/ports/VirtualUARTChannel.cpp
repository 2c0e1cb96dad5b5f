#include "daemon/ports/VirtualUARTChannel.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTraceText.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTClient.h"

namespace {

// Masked copies of writes up to this size need no allocation.
constexpr int kScratchSize = 2048;

}  // namespace

VirtualUARTChannel::VirtualUARTChannel(VirtualUART* owner, Direction direction, KtTimerGroup* group)
    : owner_(owner), direction_(direction), pacing_(this, group) {}

VirtualUARTChannel::~VirtualUARTChannel() = default;

VirtualUARTChannel& VirtualUARTChannel::Peer() const {
    return direction_ == Direction::ToDriver ? owner_->ToDevice() : owner_->ToDriver();
}

void VirtualUARTChannel::Restart() {
    flags_.store(kActivity);
    throttleOn_.store(false);
    pacing_.Reset();
}

void VirtualUARTChannel::SetSource(VirtualUARTClient* client) {
    source_.store(client);
    // Pacing belongs to the writer: a new one, or none, starts without it.
    if (client != nullptr) {
        Restart();
    } else {
        throttleOn_.store(false);
        pacing_.Reset();
    }
}

void VirtualUARTChannel::SetDestination(VirtualUARTClient* client) {
    destination_.store(client);
    if (client != nullptr) {
        Restart();
    }
}

void VirtualUARTChannel::SetBlocked(bool blocked) {
    if (blocked) {
        flags_.fetch_or(kBlocked);
    } else {
        flags_.fetch_and(~static_cast<unsigned>(kBlocked));
    }
}

void VirtualUARTChannel::SetActivity(bool active) {
    if (active) {
        flags_.fetch_or(kActivity);
    } else {
        flags_.fetch_and(~static_cast<unsigned>(kActivity));
    }
}

bool VirtualUARTChannel::IsPeerBlocked() const {
    return Peer().IsBlocked();
}

int VirtualUARTChannel::Deliver(VirtualUARTClient* destination, const uint8_t* bytes, int n,
                                uint8_t* scratch, std::unique_ptr<uint8_t[]>& large,
                                const uint8_t** delivered) {
    int dataBits = owner_->GetDataBits();
    *delivered = bytes;
    if (dataBits >= 8) {
        return destination->ReceiveData(bytes, n);
    }
    uint8_t* copy = scratch;
    if (n > kScratchSize) {
        large.reset(new (std::nothrow) uint8_t[n]);
        copy = large.get();
        if (copy == nullptr) {
            return 0;
        }
    }
    uint8_t mask = static_cast<uint8_t>((1u << std::max(dataBits, 0)) - 1);
    for (int i = 0; i < n; ++i) {
        copy[i] = bytes[i] & mask;
    }
    *delivered = copy;
    return destination->ReceiveData(copy, n);
}

int VirtualUARTChannel::Write(const uint8_t* bytes, int length) {
    if (bytes == nullptr || length <= 0) {
        return 0;
    }
    VirtualUARTClient* destination = destination_.load();
    if (destination == nullptr || source_.load() == nullptr) {
        return length;
    }
    if (!pacing_.CanSend()) {
        return 0;
    }
    int n = std::min(length, pacing_.Allowance(length));
    uint8_t scratch[kScratchSize];
    std::unique_ptr<uint8_t[]> large;
    const uint8_t* delivered = bytes;
    destination->Lock();
    // A client that claims more than it was offered must not make the trace
    // read past the caller's buffer, nor the caller skip bytes it never sent.
    int accepted = std::clamp(Deliver(destination, bytes, n, scratch, large, &delivered), 0, n);
    SetBlocked(accepted < length);
    if (accepted > 0) {
        Peer().SetActivity(true);
        int kind = direction_ == Direction::ToDevice ? DEBUG_WRITE : DEBUG_READ;
        DebugMonitor::Instance().Log(kind, owner_->GetName(), accepted, delivered);
    } else {
        Peer().SetActivity(false);
    }
    pacing_.Consumed(accepted);
    destination->Unlock();
    return accepted;
}

int VirtualUARTChannel::PullFromPeer(int reason) {
    VirtualUARTClient* destination = destination_.load();
    if (destination == nullptr) {
        return 0;
    }
    destination->Lock();
    int result = destination->Transmit(reason);
    destination->Unlock();
    return result;
}

int VirtualUARTChannel::ResumeSource(int reason) {
    VirtualUARTClient* source = source_.load();
    if (source == nullptr) {
        return 0;
    }
    source->Lock();
    int result = source->Transmit(reason);
    source->Unlock();
    return result;
}

void VirtualUARTChannel::ReportLineErrors(unsigned bits) {
    VirtualUARTClient* destination = destination_.load();
    if (destination == nullptr) {
        return;
    }
    std::string text = UARTTraceText::LineErrors(bits);
    if (!text.empty()) {
        DebugMonitor::Instance().Log(DEBUG_STATUS, owner_->GetName(), 0, text.c_str());
    }
    destination->Lock();
    destination->ReportLineErrors(bits);
    destination->Unlock();
    if ((bits & CE_TXFULL) != 0) {
        pacing_.ResetWindow();
    }
}

void VirtualUARTChannel::EnableThrottle(bool on) {
    throttleOn_.store(on);
    pacing_.SetRate(on ? BaudTimeout::RateForBaud(owner_->GetBaud()) : 0);
}
