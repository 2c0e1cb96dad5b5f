// A network side that goes nowhere: it accepts every open, takes and drops
// whatever the application writes and never sends anything back. Ports are
// built with it until the real redirector and modem exist, so that the
// pseudo-terminal side can run end to end. Owns two small rings for the base
// class; runs on the port thread like every network side.
#pragma once

#include <cstdint>

#include "daemon/redirect/VirtualDCEDevice.h"

class DiscardingDCEDevice : public VirtualDCEDevice {
  public:
    static constexpr int kRingSize = 256;

    // uart: non-owning; the device attaches to it at once.
    DiscardingDCEDevice(VirtualUART* uart, KtTimerGroup* group);

    int ReceiveData(const uint8_t* bytes, int length) override;
    void ReportLineErrors(unsigned bits) override;
    void SetFlowControl(unsigned flow) override;
    void SetBreak(int on, unsigned mask) override;
    void SetDTR(int on) override;
    void SetRTS(int on) override;

    // Bytes dropped since construction; for tests.
    uint64_t Discarded();

  private:
    uint64_t discarded_ = 0;
    uint8_t rxStorage_[kRingSize];
    uint8_t txStorage_[kRingSize];
};
