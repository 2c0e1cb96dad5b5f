#include "daemon/redirect/DiscardingDCEDevice.h"

#include <gtest/gtest.h>

#include "daemon/ports/PortStatus.h"
#include "daemon/ports/UARTTestSupport.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/redirect/DiscardingDCEDeviceFactory.h"

namespace {

TEST(DiscardingDCEDevice, AcceptsTheOpenAndDropsTheData) {
    ScratchRoot config;
    auto uart = std::make_unique<VirtualUART>("tty0");
    DiscardingDCEDeviceFactory factory;
    std::unique_ptr<VirtualDCEDevice> device =
        factory.CreateDevice(uart.get(), &uart->GetSelectManager());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(uart->GetDevice(), device.get());

    FakeUARTClient driver;
    VirtualUARTChannel* channel = uart->AttachDriver(&driver, 0);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(driver.Statuses(), std::vector<int>{UART_STATUS_SUCCESS});
    const uint8_t bytes[] = {1, 2, 3, 4};
    EXPECT_EQ(channel->Write(bytes, 4), 4);
    EXPECT_EQ(static_cast<DiscardingDCEDevice*>(device.get())->Discarded(), 4u);
    // Nothing ever comes back.
    EXPECT_EQ(driver.Received(), "");

    uart->DetachDriver(&driver);
    uart->StopThread(true);
    device.reset();
    EXPECT_EQ(uart->GetDevice(), nullptr);
}

TEST(DiscardingDCEDevice, FactoryNeedsAPort) {
    DiscardingDCEDeviceFactory factory;
    EXPECT_EQ(factory.CreateDevice(nullptr, nullptr), nullptr);
}

}  // namespace
