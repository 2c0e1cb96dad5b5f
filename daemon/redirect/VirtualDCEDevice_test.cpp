#include "daemon/redirect/VirtualDCEDevice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTestSupport.h"
#include "daemon/ports/VirtualUART.h"

namespace {

// A network side that records what the base hands to its derived class and
// reads "network" data from a string.
class TestDCEDevice : public VirtualDCEDevice {
  public:
    explicit TestDCEDevice(VirtualUART* uart) : VirtualDCEDevice(uart, uart->GetTimerGroup()) {
        RxRing().SetSize(sizeof rxStorage_, rxStorage_);
        TxRing().SetSize(sizeof txStorage_, txStorage_);
    }

    int ReceiveData(const uint8_t* bytes, int length) override {
        fromApplication.append(reinterpret_cast<const char*>(bytes), length);
        return length;
    }
    void ReportLineErrors(unsigned) override {}
    void SetFlowControl(unsigned flow) override {
        calls.push_back("flow " + std::to_string(flow) + " was " + std::to_string(flow_));
        flow_ = static_cast<int>(flow);
    }
    void SetBaudRate(int baud) override {
        calls.push_back("baud " + std::to_string(baud) + " was " + std::to_string(baud_));
        VirtualDCEDevice::SetBaudRate(baud);
    }
    void SetFraming(int dataBits, int parity, int stopBits) override {
        calls.push_back("framing " + std::to_string(dataBits) + static_cast<char>(parity) +
                        std::to_string(stopBits) + " was " + std::to_string(dataBits_) +
                        static_cast<char>(parity_) + std::to_string(stopBits_));
        VirtualDCEDevice::SetFraming(dataBits, parity, stopBits);
    }
    void SetBreak(int on, unsigned) override { calls.push_back("break " + std::to_string(on)); }
    void SetDTR(int on) override { calls.push_back("dtr " + std::to_string(on)); }
    void SetRTS(int on) override { calls.push_back("rts " + std::to_string(on)); }

    std::string network;  // what ReadNetwork hands out
    std::string fromApplication;
    std::vector<std::string> calls;

  protected:
    int ReadNetwork(uint8_t* buffer, int size) override {
        int n = std::min(size, static_cast<int>(network.size()));
        network.copy(reinterpret_cast<char*>(buffer), n);
        network.erase(0, n);
        return n;
    }

  private:
    uint8_t rxStorage_[512];
    uint8_t txStorage_[512];
};

// The application side is bound before the network side, so the port is
// wired but never opened and no port thread runs.
class VirtualDCEDeviceTest : public ::testing::Test {
  protected:
    VirtualDCEDeviceTest() {
        ClockSource::Install(&clock_);
        driver_.realLock = false;
        uart_ = std::make_unique<VirtualUART>("tty1");
        uart_->AttachDriver(&driver_, 0);
        dce_ = std::make_unique<TestDCEDevice>(uart_.get());
        driver_.out = &uart_->ToDevice();
    }
    ~VirtualDCEDeviceTest() override {
        dce_.reset();
        uart_.reset();
        ClockSource::Install(nullptr);
    }
    void RunTimers() {
        KtTimerGroup& group = *uart_->GetTimerGroup();
        while (group.TimeToNextTimer() == 0) {
            group.RunExpiredTimers();
        }
    }

    ManualClock clock_{5000};
    FakeUARTClient driver_;
    std::unique_ptr<VirtualUART> uart_;
    std::unique_ptr<TestDCEDevice> dce_;
};

TEST_F(VirtualDCEDeviceTest, BindsToTheUARTAtConstruction) {
    EXPECT_EQ(uart_->GetDevice(), dce_.get());
    EXPECT_EQ(dce_->GetChannel(), &uart_->ToDriver());
    EXPECT_EQ(driver_.Opens(), 1);
    dce_.reset();
    EXPECT_EQ(uart_->GetDevice(), nullptr);
    EXPECT_EQ(driver_.Closes(), 1);
}

TEST_F(VirtualDCEDeviceTest, OpenAppliesEverySettingAfreshAndReportsTheStatus) {
    dce_->SetModemStatus(LINE_CTS | LINE_DSR, LINE_CTS | LINE_DSR);
    driver_.modem.clear();
    dce_->calls.clear();
    ASSERT_TRUE(dce_->OpenDevice(uart_.get()));
    EXPECT_TRUE(dce_->IsOpen());
    EXPECT_EQ(dce_->calls, (std::vector<std::string>{"baud 9600 was 0", "framing 8N1 was 0 8",
                                                     "flow 0 was -1", "dtr 0", "rts 0"}));
    ASSERT_EQ(driver_.modem.size(), 1u);
    EXPECT_EQ(driver_.modem[0].first, static_cast<unsigned>(LINE_CTS | LINE_DSR));
    EXPECT_EQ(driver_.modem[0].second, static_cast<unsigned>(LINE_CTS | LINE_DSR | LINE_CD) |
                                           VirtualDCEDevice::kStatusReady);

    VirtualUART other("tty9");
    EXPECT_FALSE(dce_->OpenDevice(&other));
    EXPECT_FALSE(dce_->CloseDevice(&other));
    EXPECT_TRUE(dce_->CloseDevice(uart_.get()));
    EXPECT_FALSE(dce_->CloseDevice(uart_.get()));  // not open any more
}

TEST_F(VirtualDCEDeviceTest, SetFramingKeepsInvalidParts) {
    struct Case {
        int dataBits;
        int parity;
        int stopBits;
        int wantParity;
        int wantBits;
        int wantStop;
    };
    const Case cases[] = {
        {9, 'N', 1, 'N', 8, 1},  // 9 data bits: kept at 8
        {7, 'X', 2, 'N', 7, 2},  // parity X: kept
        {5, 'o', 0, 'O', 5, 0},  // lower case is taken upper-cased
        {4, 'M', 3, 'M', 5, 0},  // 4 bits, 3 stop bits: both kept
        {8, 'S', 1, 'S', 8, 1},
    };
    for (const Case& c : cases) {
        dce_->SetFraming(c.dataBits, c.parity, c.stopBits);
        int parity, bits, stop;
        dce_->GetFraming(&parity, &bits, &stop);
        EXPECT_EQ(parity, c.wantParity) << c.dataBits << static_cast<char>(c.parity);
        EXPECT_EQ(bits, c.wantBits) << c.dataBits << static_cast<char>(c.parity);
        EXPECT_EQ(stop, c.wantStop) << c.dataBits << static_cast<char>(c.parity);
    }
}

TEST_F(VirtualDCEDeviceTest, ModemControlSplitsIntoDtrRtsAndBreak) {
    dce_->calls.clear();
    dce_->SetModemControl(LINE_DTR | LINE_BREAK, LINE_DTR | LINE_RTS | LINE_BREAK);
    dce_->SetModemControl(0, LINE_RTS);
    dce_->SetModemControl(LINE_DTR, 0);
    EXPECT_EQ(dce_->calls, (std::vector<std::string>{"dtr 1", "rts 0", "break 1", "rts 0"}));
}

TEST_F(VirtualDCEDeviceTest, ModemStatusReachesTheUART) {
    dce_->SetModemStatus(LINE_CD | LINE_CTS, LINE_CD);
    EXPECT_EQ(dce_->GetStatus(), static_cast<unsigned>(LINE_CD));
    EXPECT_EQ(uart_->GetLines(), static_cast<unsigned>(LINE_CD));
    ASSERT_FALSE(driver_.modem.empty());
    EXPECT_EQ(driver_.modem.back().second, static_cast<unsigned>(LINE_CD));
}

TEST_F(VirtualDCEDeviceTest, NetworkDataWaitsInTheRingForASlowApplication) {
    dce_->network = std::string(1000, 'n');
    driver_.acceptLimit = 100;
    EXPECT_EQ(dce_->ReceiveFromNetwork(), 612);
    EXPECT_EQ(driver_.Received().size(), 100u);
    EXPECT_EQ(dce_->RxRing().Count(), 512u);  // full: the network is not read further
    EXPECT_EQ(dce_->network.size(), 388u);
    EXPECT_TRUE(uart_->ToDriver().IsBlocked());

    // The application side asks for more: the ring is pushed first.
    driver_.acceptLimit = 1 << 20;
    EXPECT_EQ(uart_->ToDevice().PullFromPeer(1), 512);
    EXPECT_EQ(dce_->RxRing().Count(), 0u);
    EXPECT_EQ(dce_->ReceiveFromNetwork(), 388);
    EXPECT_EQ(driver_.Received(), std::string(1000, 'n'));
    EXPECT_FALSE(uart_->ToDriver().IsBlocked());
}

TEST_F(VirtualDCEDeviceTest, TransmitForAnotherReasonPushesOnThePortThread) {
    driver_.acceptLimit = 0;
    dce_->network = "later";
    dce_->ReceiveFromNetwork();
    driver_.acceptLimit = 100;
    EXPECT_EQ(dce_->Transmit(0), 0);
    EXPECT_EQ(driver_.Received(), "");
    RunTimers();
    EXPECT_EQ(driver_.Received(), "later");
}

TEST_F(VirtualDCEDeviceTest, PurgesEmptyTheRingsAndResetTheMarks) {
    driver_.acceptLimit = 0;
    dce_->network = "stale";
    dce_->ReceiveFromNetwork();
    ASSERT_TRUE(uart_->ToDriver().IsBlocked());
    dce_->TxRing().Write("queued", 6);
    uart_->ToDriver().SetActivity(false);
    dce_->PurgeReceive();
    dce_->PurgeTransmit();
    EXPECT_EQ(dce_->RxRing().Count(), 0u);
    EXPECT_EQ(dce_->TxRing().Count(), 0u);
    EXPECT_FALSE(uart_->ToDriver().IsBlocked());
    EXPECT_TRUE(uart_->ToDriver().HasActivity());
}

TEST_F(VirtualDCEDeviceTest, PullTakesEverythingTheApplicationHolds) {
    driver_.pending = std::string(3000, 'a');
    dce_->SchedulePull(20);
    dce_->SchedulePull(0);  // already pending: not moved earlier
    RunTimers();
    EXPECT_EQ(dce_->fromApplication, "");
    clock_.Advance(20);
    RunTimers();
    EXPECT_EQ(dce_->fromApplication, std::string(3000, 'a'));
}

TEST_F(VirtualDCEDeviceTest, CloseStopsTheTimersAndTheUARTsEndUnbinds) {
    ASSERT_TRUE(dce_->OpenDevice(uart_.get()));
    dce_->SchedulePull(50);
    dce_->SchedulePush(50);
    EXPECT_TRUE(dce_->CloseDevice(uart_.get()));
    EXPECT_EQ(uart_->GetTimerGroup()->ActiveTimers(), 0);
    ASSERT_TRUE(dce_->OpenDevice(uart_.get()));
    uart_.reset();
    EXPECT_EQ(dce_->GetUART(), nullptr);
    EXPECT_FALSE(dce_->IsOpen());
    EXPECT_EQ(dce_->GetChannel(), nullptr);
    EXPECT_EQ(dce_->PushToDriver(), 0);
}

TEST_F(VirtualDCEDeviceTest, TraceCarriesThePortName) {
    TraceCapture trace;
    dce_->Trace("Port open");
    EXPECT_EQ(trace.Texts(DEBUG_STATUS, "tty1"), std::vector<std::string>{"Port open"});
}

}  // namespace
