// Builds the network side of one port. The port manager holds one factory
// per kind of network side (redirected port, modem emulation) and hands the
// matching one to each PTYRedirector, which calls it once from its
// constructor on the thread that creates the port. Stateless for callers;
// implementations may be shared by all ports.
#pragma once

#include <memory>

#include "daemon/redirect/VirtualDCEDevice.h"

class SelectManager;
class VirtualUART;

class VirtualDCEDeviceFactory {
  public:
    virtual ~VirtualDCEDeviceFactory() = default;

    // A device bound to `uart` (it attaches itself), serving its descriptors
    // on `manager`, the UART's SelectManager, and its timers on that
    // manager's group. Null when the device cannot be built.
    virtual std::unique_ptr<VirtualDCEDevice> CreateDevice(VirtualUART* uart,
                                                           SelectManager* manager) = 0;
};
