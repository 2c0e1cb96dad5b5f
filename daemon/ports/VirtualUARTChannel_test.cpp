#include "daemon/ports/VirtualUARTChannel.h"

#include <gtest/gtest.h>

#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTestSupport.h"
#include "daemon/ports/VirtualUART.h"

namespace {

const uint8_t* Bytes(const char* text) {
    return reinterpret_cast<const uint8_t*>(text);
}

}  // namespace

TEST(VirtualUARTChannelTest, WithoutBothClientsBytesAreDroppedAsDelivered) {
    TraceCapture trace;
    VirtualUART uart("tty0");
    FakeUARTClient device;
    EXPECT_EQ(uart.ToDevice().Write(Bytes("abc"), 3), 3);
    uart.AttachDevice(&device);  // destination of toDevice, but no source yet
    EXPECT_EQ(uart.ToDevice().Write(Bytes("abc"), 3), 3);
    EXPECT_EQ(device.Received(), "");
    EXPECT_TRUE(trace.Texts(DEBUG_WRITE, "tty0").empty());
    uart.DetachDevice(&device);
}

TEST(VirtualUARTChannelTest, DeliversBothWaysWithDataRecords) {
    TraceCapture trace;
    ChannelRig rig;
    EXPECT_EQ(rig.uart->ToDevice().Write(Bytes("hello"), 5), 5);
    EXPECT_EQ(rig.uart->ToDriver().Write(Bytes("world!"), 6), 6);
    EXPECT_EQ(rig.device.Received(), "hello");
    EXPECT_EQ(rig.driver.Received(), "world!");
    EXPECT_EQ(trace.Texts(DEBUG_WRITE, "tty0"), std::vector<std::string>{"hello"});
    EXPECT_EQ(trace.Texts(DEBUG_READ, "tty0"), std::vector<std::string>{"world!"});
}

TEST(VirtualUARTChannelTest, PartialAcceptanceMarksBlockedAndLosesNothing) {
    TraceCapture trace;
    ChannelRig rig;
    VirtualUARTChannel& toDevice = rig.uart->ToDevice();
    rig.device.acceptLimit = 3;
    EXPECT_EQ(toDevice.Write(Bytes("abcdef"), 6), 3);
    EXPECT_TRUE(toDevice.IsBlocked());
    EXPECT_TRUE(rig.uart->ToDriver().IsPeerBlocked());
    EXPECT_TRUE(rig.uart->ToDriver().HasActivity());

    rig.device.acceptLimit = 0;
    EXPECT_EQ(toDevice.Write(Bytes("def"), 3), 0);
    EXPECT_TRUE(toDevice.IsBlocked());
    EXPECT_FALSE(rig.uart->ToDriver().HasActivity());

    // The next write accepted in full clears the mark.
    rig.device.acceptLimit = 100;
    EXPECT_EQ(toDevice.Write(Bytes("def"), 3), 3);
    EXPECT_FALSE(toDevice.IsBlocked());
    EXPECT_EQ(rig.device.Received(), "abcdef");
    // Only accepted bytes are recorded.
    EXPECT_EQ(trace.Texts(DEBUG_WRITE, "tty0"), (std::vector<std::string>{"abc", "def"}));
}

TEST(VirtualUARTChannelTest, SenderKeepsWhatWasRefused) {
    ChannelRig rig;
    rig.driver.pending = "0123456789";
    // The driver offers the rest after each partial acceptance, as the PTY
    // side does, and keeps what was refused.
    rig.device.acceptLimit = 0;
    EXPECT_EQ(rig.uart->ToDevice().PullFromPeer(1), 0);
    EXPECT_EQ(rig.uart->ToDevice().ResumeSource(1), 0);
    EXPECT_EQ(rig.driver.pending, "0123456789");
    rig.device.acceptLimit = 4;
    EXPECT_EQ(rig.uart->ToDevice().ResumeSource(1), 10);
    EXPECT_EQ(rig.device.Received(), "0123456789");
    EXPECT_EQ(rig.driver.writes, (std::vector<int>{0, 4, 4, 2}));
}

TEST(VirtualUARTChannelTest, PullFromPeerAsksTheDestination) {
    ChannelRig rig;
    rig.device.pending = "from server";
    EXPECT_EQ(rig.uart->ToDevice().PullFromPeer(1), 11);
    EXPECT_EQ(rig.driver.Received(), "from server");
}

class GreedyClient : public FakeUARTClient {
  public:
    int ReceiveData(const uint8_t* bytes, int length) override {
        FakeUARTClient::ReceiveData(bytes, length);
        return length + 100;
    }
};

TEST(VirtualUARTChannelTest, ClientClaimingMoreThanOfferedIsHeldToTheOffer) {
    TraceCapture trace;
    FakeUARTClient driver;
    GreedyClient device;
    VirtualUART uart("tty0");
    uart.AttachDriver(&driver, 0);
    uart.AttachDevice(&device);
    EXPECT_EQ(uart.ToDevice().Write(Bytes("xy"), 2), 2);
    EXPECT_EQ(trace.Texts(DEBUG_WRITE, "tty0"), std::vector<std::string>{"xy"});
    uart.DetachDevice(&device);
}

TEST(VirtualUARTChannelTest, LineErrorsAreTracedAndPassedOn) {
    TraceCapture trace;
    ChannelRig rig;
    rig.uart->ToDriver().ReportLineErrors(CE_OVERRUN | CE_FRAME);
    rig.uart->ToDriver().ReportLineErrors(0);
    EXPECT_EQ(rig.driver.lineErrors, (std::vector<unsigned>{CE_OVERRUN | CE_FRAME, 0}));
    EXPECT_EQ(trace.Texts(DEBUG_STATUS, "tty0"), std::vector<std::string>{"CE_FRAME CE_OVERRUN "});
}

TEST(VirtualUARTChannelTest, NewClientStartsTheChannelAfresh) {
    ChannelRig rig;
    VirtualUARTChannel& toDevice = rig.uart->ToDevice();
    toDevice.EnableThrottle(true);
    toDevice.SetBlocked(true);
    toDevice.SetActivity(false);
    EXPECT_EQ(toDevice.Pacing().GetRate(), 115);
    toDevice.SetSource(&rig.driver);
    EXPECT_EQ(toDevice.GetFlags(), VirtualUARTChannel::kActivity);
    EXPECT_FALSE(toDevice.IsThrottled());
    EXPECT_EQ(toDevice.Pacing().GetRate(), 0);
}
