#include "daemon/redirect/DiscardingDCEDevice.h"

#include <mutex>

using Guard = std::lock_guard<std::recursive_mutex>;

DiscardingDCEDevice::DiscardingDCEDevice(VirtualUART* uart, KtTimerGroup* group)
    : VirtualDCEDevice(uart, group) {
    // The base buffers network data in these; without storage a ring would
    // adopt the caller's block instead of copying it.
    RxRing().SetSize(sizeof rxStorage_, rxStorage_);
    TxRing().SetSize(sizeof txStorage_, txStorage_);
}

int DiscardingDCEDevice::ReceiveData(const uint8_t*, int length) {
    Guard guard(GetLock());
    if (length > 0) {
        discarded_ += static_cast<uint64_t>(length);
    }
    return length;
}

void DiscardingDCEDevice::ReportLineErrors(unsigned) {}

void DiscardingDCEDevice::SetFlowControl(unsigned flow) {
    Guard guard(GetLock());
    flow_ = static_cast<int>(flow);
}

void DiscardingDCEDevice::SetBreak(int, unsigned) {}

void DiscardingDCEDevice::SetDTR(int) {}

void DiscardingDCEDevice::SetRTS(int) {}

uint64_t DiscardingDCEDevice::Discarded() {
    Guard guard(GetLock());
    return discarded_;
}
