// Builds a DiscardingDCEDevice for every port: the stand-in the port manager
// uses for both kinds of network side until the redirector and the modem
// emulation exist. Stateless; shared by all ports, called on the thread that
// creates a port.
#pragma once

#include "daemon/redirect/VirtualDCEDeviceFactory.h"

class DiscardingDCEDeviceFactory : public VirtualDCEDeviceFactory {
  public:
    std::unique_ptr<VirtualDCEDevice> CreateDevice(VirtualUART* uart,
                                                   SelectManager* manager) override;
};
