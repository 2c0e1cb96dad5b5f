#include "daemon/ports/VirtualUART.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <thread>

#include "common/config/RegistryCache.h"
#include "daemon/ports/PortStatus.h"
#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTestSupport.h"

namespace {

using OpenState = VirtualUART::OpenState;
using ThreadState = VirtualUART::ThreadState;

const char* const kPort = "tty0";

class UnstartableUART : public VirtualUART {
  public:
    using VirtualUART::VirtualUART;

  protected:
    int LaunchThread() override { return EAGAIN; }
};

// One port with both sides, as the PTY device and a DCE device would hold
// it. The UART goes first so that its thread is gone before the fakes.
struct Port {
    FakeUARTClient driver;
    FakeUARTClient device;
    std::unique_ptr<VirtualUART> uart;
    // What the state-table test saw before and after its event, when the
    // state was only visible inside a call.
    std::optional<OpenState> from;
    std::optional<OpenState> to;
    bool openedOnPortThread = false;
    // Held to keep the port thread from running its timers.
    std::unique_lock<std::recursive_mutex> deviceHeld;

    explicit Port(bool threadStarts = true) {
        driver.realLock = false;
        uart = threadStarts ? std::make_unique<VirtualUART>(kPort)
                            : std::make_unique<UnstartableUART>(kPort);
        uart->AttachDevice(&device);
    }
    ~Port() {
        if (deviceHeld.owns_lock()) {
            deviceHeld.unlock();
        }
        uart.reset();
    }

    VirtualUARTChannel* Open() { return uart->AttachDriver(&driver, 0); }
    void Close() { uart->DetachDriver(&driver); }
    void HoldDevice() { deviceHeld = std::unique_lock<std::recursive_mutex>(device.ClientLock()); }
    void ReleaseDevice() { deviceHeld.unlock(); }
    bool WaitState(OpenState state) {
        return WaitUntil([&] { return uart->GetOpenState() == state; });
    }
    bool WaitThread(ThreadState state) {
        return WaitUntil([&] { return uart->GetThreadState() == state; });
    }
    uint32_t NextTimer() { return uart->GetTimerGroup()->TimeToNextTimer(); }
};

class VirtualUARTTest : public ::testing::Test {
  public:
    void SetUp() override { ClockSource::Install(&clock_); }
    void TearDown() override { ClockSource::Install(nullptr); }

    // Moves the clock and wakes the port thread so that it looks again.
    void Advance(Port& port, uint32_t ms) {
        clock_.Advance(ms);
        port.uart->GetTimerGroup()->GetEvent().Signal();
    }
    void ReachShutDown(Port& port) {
        ASSERT_NE(port.Open(), nullptr);
        port.Close();
        Advance(port, VirtualUART::kDefaultCloseDelayMs);
        ASSERT_TRUE(port.WaitState(OpenState::ShutDown));
        ASSERT_TRUE(port.WaitThread(ThreadState::Stopped));
    }

  protected:
    std::vector<std::string> Status() { return trace_.Texts(DEBUG_STATUS, kPort); }
    std::vector<std::string> Errors() { return trace_.Texts(DEBUG_ERROR, kPort); }
    // The status records from "Current UART Settings:" to the line record.
    std::vector<std::string> SettingsRecords() {
        std::vector<std::string> all = Status();
        auto first = std::find(all.begin(), all.end(), "Current UART Settings:");
        std::vector<std::string> records;
        for (auto it = first; it != all.end(); ++it) {
            records.push_back(*it);
            if (it->rfind("DTR: ", 0) == 0) {
                break;
            }
        }
        return records;
    }

    ManualClock clock_{1000000};
    ScratchRoot config_;
    TraceCapture trace_;
};

// ---- the state table, row by row --------------------------------------------

TEST_F(VirtualUARTTest, StateTable) {
    struct Row {
        const char* name;
        OpenState from;
        bool threadStarts;
        std::function<void(VirtualUARTTest&, Port&)> reach;
        std::function<void(VirtualUARTTest&, Port&)> event;
        OpenState to;
        std::function<void(Port&)> effect;
    };
    auto observeOpening = [](Port& p) {
        p.device.onOpen = [&p] { p.from = p.uart->GetOpenState(); };
    };
    auto open = [](VirtualUARTTest&, Port& p) { p.Open(); };
    const Row rows[] = {
        {"Closed, application open", OpenState::Closed, true, nullptr, open, OpenState::Open,
         [](Port& p) {
             EXPECT_EQ(p.device.Opens(), 1);
             EXPECT_TRUE(p.WaitThread(ThreadState::Running));
             EXPECT_EQ(p.driver.Statuses(), std::vector<int>{UART_STATUS_SUCCESS});
         }},
        {"Opening, DCE refuses", OpenState::Opening, true,
         [&](VirtualUARTTest&, Port& p) {
             p.device.openResult = false;
             observeOpening(p);
         },
         [](VirtualUARTTest&, Port& p) { EXPECT_EQ(p.Open(), nullptr); }, OpenState::Closed,
         [](Port& p) {
             EXPECT_EQ(p.driver.Statuses(), std::vector<int>{UART_STATUS_OPEN_FAILED});
             EXPECT_EQ(p.uart->GetDriver(), nullptr);
             EXPECT_EQ(p.uart->GetThreadState(), ThreadState::Stopped);
         }},
        {"Opening, thread cannot start", OpenState::Opening, false,
         [&](VirtualUARTTest&, Port& p) { observeOpening(p); },
         [](VirtualUARTTest&, Port& p) { EXPECT_EQ(p.Open(), nullptr); }, OpenState::Closed,
         [](Port& p) {
             EXPECT_EQ(p.device.Closes(), 1);
             EXPECT_EQ(p.driver.Statuses(), std::vector<int>{UART_STATUS_OPEN_FAILED});
             EXPECT_EQ(p.uart->GetDriver(), nullptr);
             EXPECT_EQ(p.uart->ToDevice().GetSource(), nullptr);
         }},
        {"Open, application close", OpenState::Open, true,
         [](VirtualUARTTest&, Port& p) { p.Open(); }, [](VirtualUARTTest&, Port& p) { p.Close(); },
         OpenState::CloseDelay,
         [](Port& p) {
             EXPECT_EQ(p.NextTimer(), 8000u);
             EXPECT_EQ(p.device.Closes(), 0);
             EXPECT_EQ(p.uart->GetDriver(), nullptr);
         }},
        {"CloseDelay, application open", OpenState::CloseDelay, true,
         [](VirtualUARTTest&, Port& p) {
             p.Open();
             p.Close();
         },
         open, OpenState::Open,
         [](Port& p) {
             EXPECT_EQ(p.device.Opens(), 1);
             EXPECT_EQ(p.device.Reopens(), 1);
             EXPECT_EQ(p.driver.Statuses(),
                       (std::vector<int>{UART_STATUS_SUCCESS, UART_STATUS_SUCCESS}));
             EXPECT_EQ(p.NextTimer(), KtTimerGroup::kNoTimer);
         }},
        {"CloseDelay, closeDelayTimer", OpenState::CloseDelay, true,
         [](VirtualUARTTest&, Port& p) {
             p.Open();
             p.Close();
         },
         [](VirtualUARTTest& t, Port& p) {
             t.Advance(p, 8000);
             EXPECT_TRUE(p.WaitState(OpenState::ShutDown));
         },
         OpenState::ShutDown,
         [](Port& p) {
             EXPECT_EQ(p.device.Closes(), 1);
             EXPECT_TRUE(p.WaitThread(ThreadState::Stopped));
             EXPECT_EQ(p.driver.Statuses().back(), UART_STATUS_PORT_CLOSED);
         }},
        {"ShutDown, application open", OpenState::ShutDown, true,
         [](VirtualUARTTest& t, Port& p) { t.ReachShutDown(p); },
         [](VirtualUARTTest&, Port& p) {
             p.HoldDevice();
             EXPECT_NE(p.Open(), nullptr);
         },
         OpenState::Restarting,
         [](Port& p) {
             EXPECT_TRUE(p.uart->IsReopenPending());
             EXPECT_TRUE(p.WaitThread(ThreadState::Running));
             EXPECT_EQ(p.device.Opens(), 1);
         }},
        {"Restarting, reopenTimer", OpenState::Restarting, true,
         [](VirtualUARTTest& t, Port& p) {
             t.ReachShutDown(p);
             p.HoldDevice();
             p.Open();
             p.device.onOpen = [&p] { p.openedOnPortThread = p.uart->IsPortThread(); };
         },
         [](VirtualUARTTest&, Port& p) {
             p.ReleaseDevice();
             EXPECT_TRUE(p.WaitState(OpenState::Open));
         },
         OpenState::Open,
         [](Port& p) {
             EXPECT_EQ(p.device.Opens(), 2);
             EXPECT_TRUE(p.openedOnPortThread);
             EXPECT_TRUE(
                 WaitUntil([&] { return p.driver.Statuses().back() == UART_STATUS_SUCCESS; }));
         }},
        {"Restarting, application close", OpenState::Restarting, true,
         [](VirtualUARTTest& t, Port& p) {
             t.ReachShutDown(p);
             p.HoldDevice();
             p.Open();
         },
         [](VirtualUARTTest&, Port& p) {
             // The close joins the port thread, which waits for the device
             // lock held here: close from elsewhere, release once closed.
             std::thread closer([&p] { p.Close(); });
             EXPECT_TRUE(p.WaitState(OpenState::Closed));
             p.ReleaseDevice();
             closer.join();
         },
         OpenState::Closed,
         [](Port& p) {
             EXPECT_EQ(p.uart->GetThreadState(), ThreadState::Stopped);
             EXPECT_EQ(p.device.Opens(), 1);
             EXPECT_FALSE(p.uart->IsReopenPending());
         }},
        {"Opening, application close", OpenState::Opening, true,
         [](VirtualUARTTest&, Port& p) {
             p.device.onOpen = [&p] {
                 p.from = p.uart->GetOpenState();
                 p.Close();
                 p.to = p.uart->GetOpenState();
             };
         },
         open, OpenState::Closed, [](Port& p) { EXPECT_EQ(p.uart->GetDriver(), nullptr); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Port port(row.threadStarts);
        if (row.reach) {
            row.reach(*this, port);
        }
        if (!port.from) {
            port.from = port.uart->GetOpenState();
        }
        row.event(*this, port);
        if (!port.to) {
            port.to = port.uart->GetOpenState();
        }
        EXPECT_EQ(static_cast<int>(*port.from), static_cast<int>(row.from));
        EXPECT_EQ(static_cast<int>(*port.to), static_cast<int>(row.to));
        row.effect(port);
    }
}

// ---- close delay --------------------------------------------------------------

TEST_F(VirtualUARTTest, CloseDelayComesFromThePortThenTheGeneralSection) {
    struct Case {
        const char* port;
        const char* general;
        int delay;
    };
    const Case cases[] = {
        {nullptr, nullptr, 8000}, {"0", nullptr, 0}, {nullptr, "500", 500}, {"250", "500", 250}};
    for (const Case& c : cases) {
        PortConfigDelete(kPort, "PortCloseDelay");
        ConfigDelete("PortCloseDelay");
        if (c.port != nullptr) {
            PortConfigSetString(kPort, "PortCloseDelay", c.port);
        }
        if (c.general != nullptr) {
            ConfigSetString("PortCloseDelay", c.general);
        }
        Port port;
        ASSERT_NE(port.Open(), nullptr);
        EXPECT_EQ(port.uart->GetCloseDelay(), c.delay);
    }
}

TEST_F(VirtualUARTTest, CloseDelayZeroClosesAtOnce) {
    PortConfigSetUnsigned(kPort, "PortCloseDelay", 0);
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.Close();
    // No clock movement: the next pass of the port thread closes.
    EXPECT_TRUE(WaitUntil([&] { return port.device.Closes() == 1; }));
    EXPECT_TRUE(port.WaitThread(ThreadState::Stopped));
    EXPECT_EQ(port.uart->GetOpenState(), OpenState::ShutDown);
}

TEST_F(VirtualUARTTest, CloseDelayOfEightSecondsKeepsTheNetworkSideOpen) {
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.Close();
    Advance(port, 7999);
    EXPECT_EQ(port.NextTimer(), 1u);
    EXPECT_EQ(port.device.Closes(), 0);
    EXPECT_EQ(port.uart->GetOpenState(), OpenState::CloseDelay);
    Advance(port, 1);
    EXPECT_TRUE(WaitUntil([&] { return port.device.Closes() == 1; }));
    EXPECT_TRUE(
        WaitUntil([&] { return port.driver.Statuses().back() == UART_STATUS_PORT_CLOSED; }));
    EXPECT_EQ(Status().back(), "Close");
}

TEST_F(VirtualUARTTest, ReopenWithinTheDelayKeepsTheConnection) {
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.Close();
    Advance(port, 5000);
    ASSERT_NE(port.Open(), nullptr);
    EXPECT_EQ(port.device.Reopens(), 1);
    EXPECT_EQ(port.device.Opens(), 1);
    EXPECT_EQ(port.uart->GetOpenState(), OpenState::Open);
    // The close-delay timer is gone: nothing closes later.
    EXPECT_EQ(port.NextTimer(), KtTimerGroup::kNoTimer);
    EXPECT_EQ(port.driver.Statuses(), (std::vector<int>{UART_STATUS_SUCCESS, UART_STATUS_SUCCESS}));
}

TEST_F(VirtualUARTTest, RefusedReopenFailsTheOpen) {
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.Close();
    port.device.reopenResult = false;
    EXPECT_EQ(port.Open(), nullptr);
    EXPECT_EQ(port.uart->GetOpenState(), OpenState::Closed);
    EXPECT_EQ(port.uart->GetDriver(), nullptr);
    EXPECT_EQ(port.driver.Statuses().back(), UART_STATUS_OPEN_FAILED);
    // The application side drains from here; the port thread is gone.
    EXPECT_EQ(port.uart->GetThreadState(), ThreadState::Stopped);
}

// ---- deferred open --------------------------------------------------------------

class DeferredOpenTest : public VirtualUARTTest {
  protected:
    void SetUp() override {
        VirtualUARTTest::SetUp();
        ConfigSetUnsigned("DeferredPortOpen", 1);
        port_.device.deferred = true;
    }
    Port port_;
};

TEST_F(DeferredOpenTest, ReleasedByTheFirstStatus) {
    ASSERT_NE(port_.Open(), nullptr);
    EXPECT_TRUE(port_.uart->IsDeferredOpen());
    EXPECT_TRUE(port_.driver.Statuses().empty());
    EXPECT_EQ(trace_.Count(DEBUG_STATUS, kPort,
                           "Waiting for connection negotiation before releasing COM port open "
                           "request"),
              1);
    EXPECT_EQ(port_.NextTimer(), 60000u);

    port_.uart->ReportConnectionStatus(&port_.uart->ToDriver(), UART_STATUS_BAD_HOSTNAME);
    EXPECT_EQ(port_.driver.Statuses(), std::vector<int>{UART_STATUS_BAD_HOSTNAME});
    EXPECT_EQ(Status().back(), "Invalid or missing server hostname");
    EXPECT_EQ(port_.NextTimer(), KtTimerGroup::kNoTimer);
}

TEST_F(DeferredOpenTest, ReleasedAfterSixtySecondsWithoutStatus) {
    ASSERT_NE(port_.Open(), nullptr);
    Advance(port_, 59999);
    EXPECT_EQ(port_.NextTimer(), 1u);
    EXPECT_TRUE(port_.driver.Statuses().empty());
    Advance(port_, 1);
    EXPECT_TRUE(WaitUntil([&] { return !port_.driver.Statuses().empty(); }));
    EXPECT_EQ(port_.driver.Statuses(), std::vector<int>{UART_STATUS_PORT_NOT_AVAILABLE});
    EXPECT_EQ(port_.uart->GetOpenState(), OpenState::Open);
}

TEST_F(DeferredOpenTest, FailureReportedDuringTheOpenLetsTheApplicationSideGo) {
    port_.device.onOpen = [this] {
        port_.uart->ReportConnectionStatus(&port_.uart->ToDriver(), UART_STATUS_REFUSED);
    };
    EXPECT_EQ(port_.Open(), nullptr);
    EXPECT_EQ(port_.driver.Statuses(),
              (std::vector<int>{UART_STATUS_REFUSED, UART_STATUS_OPEN_FAILED}));
    EXPECT_EQ(port_.device.Closes(), 1);
    EXPECT_EQ(port_.uart->GetOpenState(), OpenState::Closed);
    EXPECT_EQ(port_.uart->GetDriver(), nullptr);
    EXPECT_EQ(port_.uart->ToDevice().GetSource(), nullptr);
    EXPECT_EQ(port_.uart->ToDriver().GetDestination(), nullptr);
    EXPECT_EQ(port_.uart->GetThreadState(), ThreadState::Stopped);
    EXPECT_EQ(port_.NextTimer(), KtTimerGroup::kNoTimer);
}

TEST_F(VirtualUARTTest, WithoutDeferredOpenEveryStatusPassesAsSuccess) {
    Port port;
    port.device.deferred = true;  // but DeferredPortOpen is 0
    ASSERT_NE(port.Open(), nullptr);
    EXPECT_FALSE(port.uart->IsDeferredOpen());
    port.uart->ReportConnectionStatus(&port.uart->ToDriver(), UART_STATUS_DROPPED);
    EXPECT_EQ(port.driver.Statuses(), (std::vector<int>{UART_STATUS_SUCCESS, UART_STATUS_SUCCESS}));
    EXPECT_EQ(trace_.Count(DEBUG_STATUS, kPort, "Server network connection dropped"), 0);
}

// ---- line settings --------------------------------------------------------------

TEST_F(VirtualUARTTest, SettingsReadAtOpenAndTraced) {
    using Keys = std::map<std::string, std::string>;
    struct Case {
        Keys keys;
        std::vector<std::string> records;
        std::vector<std::string> errors;
    };
    const std::string lines0 = "DTR: 0 RTS: 0 CTS: 0 DSR: 0 CD: 0 ";
    const Case cases[] = {
        {{}, {"Current UART Settings:", "Baud: 00009600", "Framing: 08,N,1", lines0}, {}},
        {{{"DataLength", "5"}, {"StopBits", "1.5"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 05,N,1.5", lines0},
         {}},
        {{{"DataLength", "8"}, {"StopBits", "1.5"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 08,N,1", lines0},
         {}},
        {{{"Baud", "115200"}, {"Parity", "Even"}, {"DataLength", "7"}, {"StopBits", "2"}},
         {"Current UART Settings:", "Baud: 00115200", "Framing: 07,E,2", lines0},
         {}},
        {{{"Parity", "SPACE"}, {"InFlow", "DTR"}, {"OutFlow", "dsr"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 08,S,1", "DTRFlow: 1 DSRFlow: 1 ",
          lines0},
         {}},
        {{{"DTR", "1"}, {"RTS", "1"}, {"InFlow", "rts"}, {"OutFlow", "cts"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 08,N,1", "RTSFlow: 1 CTSFlow: 1 ",
          "DTR: 1 RTS: 1 CTS: 0 DSR: 0 CD: 0 "},
         {}},
        {{{"InFlow", "xonxoff"}, {"OutFlow", "XonXoff"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 08,N,1",
          "InXONFlow: 1 OutXONFlow: 1 ", lines0},
         {}},
        {{{"DataLength", "9"},
          {"Parity", "x"},
          {"StopBits", "3"},
          {"DTR", "on"},
          {"RTS", "2"},
          {"InFlow", "bad"},
          {"OutFlow", "worse"}},
         {"Current UART Settings:", "Baud: 00009600", "Framing: 08,N,1", lines0},
         {"Invalid data length 9", "Invalid parity x", "Invalid stop bits 3",
          "Invalid dtr state on", "Invalid rts state 2", "Invalid input flow bad",
          "Invalid output flow worse"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.records[2]);
        trace_.Clear();
        for (const char* key :
             {"Baud", "DataLength", "Parity", "StopBits", "DTR", "RTS", "InFlow", "OutFlow"}) {
            PortConfigDelete(kPort, key);
        }
        for (const auto& [key, value] : c.keys) {
            PortConfigSetString(kPort, key, value);
        }
        Port port;
        ASSERT_NE(port.Open(), nullptr);
        EXPECT_EQ(SettingsRecords(), c.records);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(trace_.Count(DEBUG_STATUS, kPort, "Driver: portvaned 4.0"), 1);
    }
}

TEST_F(VirtualUARTTest, SettingsPersistAndInvalidValuesKeepThePreviousOnes) {
    PortConfigSetString(kPort, "DataLength", "7");
    PortConfigSetString(kPort, "InFlow", "rts");
    PortConfigSetString(kPort, "Parity", "odd");
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.Close();
    PortConfigDelete(kPort, "DataLength");
    PortConfigSetString(kPort, "InFlow", "sideways");
    PortConfigSetString(kPort, "Parity", "?");
    ASSERT_NE(port.Open(), nullptr);
    EXPECT_EQ(port.uart->GetDataBits(), 7);
    EXPECT_EQ(port.uart->GetFlow(), static_cast<unsigned>(FLOW_IN_RTS));
    EXPECT_EQ(port.uart->GetParity(), 'O');
    EXPECT_EQ(Errors(),
              (std::vector<std::string>{"Invalid parity ?", "Invalid input flow sideways"}));
}

TEST_F(VirtualUARTTest, SevenDataBitsMaskBothDirections) {
    PortConfigSetString(kPort, "DataLength", "7");
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    const uint8_t up[] = {0xC1, 0xFF, 0x41};
    const uint8_t down[] = {0x80, 0xBF};
    EXPECT_EQ(port.uart->ToDevice().Write(up, 3), 3);
    EXPECT_EQ(port.uart->ToDriver().Write(down, 2), 2);
    EXPECT_EQ(port.device.Received(), std::string("\x41\x7F\x41"));
    EXPECT_EQ(port.driver.Received(), std::string("\x00\x3F", 2));
    // The trace shows what the receiver got.
    EXPECT_EQ(trace_.Texts(DEBUG_WRITE, kPort), std::vector<std::string>{"\x41\x7F\x41"});
}

// ---- reports from the network side ---------------------------------------------

TEST_F(VirtualUARTTest, ModemStatusIsTracedPassedOnAndKept) {
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    trace_.Clear();
    port.uart->ReportModemStatus(&port.uart->ToDriver(), LINE_CTS | LINE_RING, LINE_CTS | LINE_CD);
    port.uart->ReportModemStatus(&port.uart->ToDriver(), LINE_DSR, 0);
    EXPECT_EQ(Status(), std::vector<std::string>{"CTS: 1 CD: 0 "});
    EXPECT_EQ(port.device.modem.size(), 0u);
    ASSERT_EQ(port.driver.modem.size(), 2u);
    EXPECT_EQ(port.driver.modem[0], std::make_pair(static_cast<unsigned>(LINE_CTS | LINE_RING),
                                                   static_cast<unsigned>(LINE_CTS | LINE_CD)));
    EXPECT_EQ(port.uart->GetLines(), static_cast<unsigned>(LINE_CTS));
}

// ---- binding --------------------------------------------------------------------

TEST_F(VirtualUARTTest, DeviceRefusedByAnOpenDriverIsUndone) {
    VirtualUART uart(kPort);
    FakeUARTClient driver;
    FakeUARTClient device;
    EXPECT_EQ(uart.AttachDriver(&driver, 0), &uart.ToDevice());  // pending: no network side
    driver.openResult = false;
    EXPECT_EQ(uart.AttachDevice(&device), nullptr);
    EXPECT_EQ(uart.GetDevice(), nullptr);
    EXPECT_EQ(uart.ToDriver().GetSource(), nullptr);
    EXPECT_EQ(uart.ToDevice().GetDestination(), nullptr);
    driver.openResult = true;
    EXPECT_EQ(uart.AttachDevice(&device), &uart.ToDriver());
    uart.DetachDevice(&device);
    EXPECT_EQ(driver.Closes(), 1);
    EXPECT_EQ(uart.GetDevice(), nullptr);
    uart.DetachDriver(&driver);
    EXPECT_EQ(uart.GetDriver(), nullptr);
}

TEST_F(VirtualUARTTest, DestructionUnbindsBothSides) {
    Port port;
    ASSERT_NE(port.Open(), nullptr);
    port.uart.reset();
    EXPECT_EQ(port.device.unbinds, 1);
    EXPECT_EQ(port.driver.unbinds, 1);
}

// ---- port thread ----------------------------------------------------------------

TEST_F(VirtualUARTTest, ThreadStartsStopsAndRestarts) {
    VirtualUART uart(kPort);
    EXPECT_FALSE(uart.StopThread(true));
    EXPECT_TRUE(uart.StartThread());
    EXPECT_TRUE(uart.StartThread());
    EXPECT_TRUE(WaitUntil([&] { return uart.GetThreadState() == ThreadState::Running; }));
    EXPECT_FALSE(uart.StopThread(true));  // joined: stopped by now
    EXPECT_EQ(uart.GetThreadState(), ThreadState::Stopped);
    // Told to stop and started again before it left: it goes on running.
    EXPECT_TRUE(uart.StartThread());
    uart.StopThread(false);
    EXPECT_TRUE(uart.StartThread());
    EXPECT_TRUE(WaitUntil([&] { return uart.GetThreadState() == ThreadState::Running; }));
}

TEST_F(VirtualUARTTest, ThreadThatCannotStartIsReported) {
    UnstartableUART uart(kPort);
    EXPECT_FALSE(uart.StartThread());
    EXPECT_EQ(uart.GetThreadState(), ThreadState::Stopped);
    EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to launch pty thread"});
}

TEST_F(VirtualUARTTest, RestartWithoutAThreadFailsTheOpen) {
    Port port(false);
    // The reopen flag restarts the port on its thread, which cannot start.
    EXPECT_EQ(port.uart->AttachDriver(&port.driver, 1), nullptr);
    EXPECT_EQ(port.uart->GetOpenState(), OpenState::Closed);
    EXPECT_FALSE(port.uart->IsReopenPending());
    EXPECT_EQ(port.uart->GetDriver(), nullptr);
    EXPECT_EQ(port.driver.Statuses(), std::vector<int>{UART_STATUS_OPEN_FAILED});
    EXPECT_EQ(port.device.Opens(), 0);
}

TEST_F(VirtualUARTTest, ClockGoingBackIsTracedAsRollover) {
    VirtualUART uart(kPort);
    ASSERT_TRUE(uart.StartThread());
    // Each step back that lands while the thread waits shows as a rollover.
    EXPECT_TRUE(WaitUntil([&] {
        clock_.Set(clock_.NowMs() - 1000);
        uart.GetTimerGroup()->GetEvent().Signal();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return trace_.Count(DEBUG_STATUS, kPort, "Timer Rollover") > 0;
    }));
}

}  // namespace
