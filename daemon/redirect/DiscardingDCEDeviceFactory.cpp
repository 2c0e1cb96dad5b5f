#include "daemon/redirect/DiscardingDCEDeviceFactory.h"

#include <new>

#include "common/runtime/SelectManager.h"
#include "daemon/redirect/DiscardingDCEDevice.h"

std::unique_ptr<VirtualDCEDevice> DiscardingDCEDeviceFactory::CreateDevice(VirtualUART* uart,
                                                                           SelectManager* manager) {
    if (uart == nullptr || manager == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<VirtualDCEDevice>(
        new (std::nothrow) DiscardingDCEDevice(uart, manager->GetTimerGroup()));
}
