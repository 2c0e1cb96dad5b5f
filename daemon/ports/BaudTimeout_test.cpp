#include "daemon/ports/BaudTimeout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTestSupport.h"

TEST(BaudTimeoutTest, RateIsBaudTimesSixOverFiveHundred) {
    const int cases[][2] = {{9600, 115}, {115200, 1382}, {300, 3}, {0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(BaudTimeout::RateForBaud(c[0]), c[1]) << c[0];
    }
}

TEST(BaudTimeoutTest, PacesTenThousandBytesAtNinetySixHundredBaud) {
    ChannelRig rig;
    BaudTimeout& pacing = rig.uart->ToDevice().Pacing();
    rig.uart->ToDevice().EnableThrottle(true);
    rig.driver.pending = std::string(10000, 'x');
    rig.driver.Transmit(1);
    // Done when everything went out and the line has caught up with it.
    uint32_t took = rig.RunTimers([&] { return rig.driver.pending.empty() && !pacing.IsPaused(); });

    EXPECT_EQ(rig.device.Received().size(), 10000u);
    int largest = *std::max_element(rig.driver.writes.begin(), rig.driver.writes.end());
    EXPECT_EQ(largest, 287);
    // 10000 bytes at 1150 bytes a second: the last pause ends 2 ms before
    // the schedule of the last byte, about 8.7 s after the start.
    EXPECT_GE(took, 8600u);
    EXPECT_LE(took, 8750u);
    rig.RunTimers();
    EXPECT_EQ(rig.Group().ActiveTimers(), 0);
}

TEST(BaudTimeoutTest, WithoutThrottleEverythingPassesAndNoTimerRuns) {
    ChannelRig rig;
    rig.driver.pending = std::string(10000, 'x');
    rig.driver.Transmit(1);
    EXPECT_EQ(rig.driver.writes, std::vector<int>{10000});
    EXPECT_EQ(rig.Group().ActiveTimers(), 0);
}

TEST(BaudTimeoutTest, PausesOfFifteenMillisecondsOrLessAreNotTaken) {
    ChannelRig rig;
    BaudTimeout& pacing = rig.uart->ToDevice().Pacing();
    rig.uart->ToDevice().EnableThrottle(true);  // 115 bytes per 100 ms
    // 17 bytes are due in 14 ms: ahead of schedule, but not enough to wait.
    rig.driver.pending = std::string(17, 'a');
    rig.driver.Transmit(1);
    EXPECT_FALSE(pacing.IsPaused());
    // Two more make 16 ms of lead: a pause of 14 ms (2 ms short).
    rig.driver.pending = "bb";
    rig.driver.Transmit(1);
    EXPECT_TRUE(pacing.IsPaused());
    EXPECT_FALSE(pacing.CanSend());
    EXPECT_EQ(rig.Group().TimeToNextTimer(), 14u);
}

TEST(BaudTimeoutTest, WindowRestartsAfterIdleTime) {
    ChannelRig rig;
    BaudTimeout& pacing = rig.uart->ToDevice().Pacing();
    rig.uart->ToDevice().EnableThrottle(true);
    rig.driver.pending = std::string(17, 'a');
    rig.driver.Transmit(1);
    rig.clock.Advance(BaudTimeout::kIdleWindowMs);
    rig.Group().RunExpiredTimers();
    // Counted in the old window, these would be 16 ms ahead.
    rig.driver.pending = "bb";
    rig.driver.Transmit(1);
    EXPECT_FALSE(pacing.IsPaused());
}

TEST(BaudTimeoutTest, TransmitOverflowRestartsTheWindow) {
    ChannelRig rig;
    BaudTimeout& pacing = rig.uart->ToDevice().Pacing();
    rig.uart->ToDevice().EnableThrottle(true);
    rig.driver.pending = std::string(17, 'a');
    rig.driver.Transmit(1);
    rig.uart->ToDevice().ReportLineErrors(CE_TXFULL);
    rig.driver.pending = "bb";
    rig.driver.Transmit(1);
    EXPECT_FALSE(pacing.IsPaused());
}

TEST(BaudTimeoutTest, LosingTheSourceEndsPacing) {
    ChannelRig rig;
    VirtualUARTChannel& toDevice = rig.uart->ToDevice();
    toDevice.EnableThrottle(true);
    rig.driver.pending = std::string(1000, 'x');
    rig.driver.Transmit(1);
    ASSERT_TRUE(toDevice.Pacing().IsPaused());
    rig.uart->DetachDriver(&rig.driver);
    EXPECT_FALSE(toDevice.Pacing().IsPaused());
    EXPECT_EQ(toDevice.Pacing().GetRate(), 0);
    EXPECT_EQ(rig.Group().ActiveTimers(), 0);
}

TEST(BaudTimeoutTest, ElapsedPauseLetsTheWriterThrough) {
    ChannelRig rig;
    BaudTimeout& pacing = rig.uart->ToDevice().Pacing();
    rig.uart->ToDevice().EnableThrottle(true);
    rig.driver.pending = std::string(287, 'x');
    rig.driver.Transmit(1);
    ASSERT_TRUE(pacing.IsPaused());
    uint32_t t = rig.Group().TimeToNextTimer();
    rig.clock.Advance(t - 1);
    EXPECT_FALSE(pacing.CanSend());
    rig.clock.Advance(1);
    // Due now, even before the timer has run.
    EXPECT_TRUE(pacing.CanSend());
    EXPECT_FALSE(pacing.IsPaused());
}
