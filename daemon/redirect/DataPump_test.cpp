#include "daemon/redirect/DataPump.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/runtime/ClockSource.h"
#include "daemon/redirect/DataPumpClient.h"

namespace {

class RecordingClient : public DataPumpClient {
  public:
    void SetReady(int on) override { ready.push_back(on); }
    const char* GetPortName() override { return "tty2"; }
    void OnLineUp(int, int, int) override {}
    void OnProtocol(int) override {}
    void OnCompression(int) override {}
    void OnBreakReceived() override {}
    void OnLineErrors(unsigned) override {}
    void OnModemStatus(unsigned, unsigned) override {}
    void OnComPortControl(int) override {}
    void OnRing() override {
        rings.push_back(TickCountMs());
        if (answerOnRing != 0 && static_cast<int>(rings.size()) == answerOnRing) {
            pump->SetState(DataPump::Online);
        }
    }
    void OnRingEnd(int state) override { ringEnds.push_back(state); }
    void OnConnected() override {}
    void OnError(int, int, const char*) override {}
    void OnDisconnected(int) override {}
    void OnConnectResult(int, uint32_t, uint16_t) override {}
    void OnNetworkData() override {}
    void OnNetworkWritable() override {}
    void Trace(const char*) override {}

    DataPump* pump = nullptr;
    int answerOnRing = 0;  // answer the call at this ring
    std::vector<int> ready;
    std::vector<uint32_t> rings;
    std::vector<int> ringEnds;
};

class DataPumpTest : public ::testing::Test {
  protected:
    DataPumpTest() {
        ClockSource::Install(&clock_);
        pump_ = std::make_unique<DataPump>(&client_, &lock_, &group_);
        client_.pump = pump_.get();
    }
    ~DataPumpTest() override {
        pump_.reset();
        ClockSource::Install(nullptr);
    }
    // Moves the clock to each timer in turn until `ms` have passed.
    void RunFor(uint32_t ms) {
        uint32_t end = clock_.NowMs() + ms;
        for (;;) {
            uint32_t t = group_.TimeToNextTimer();
            if (t == KtTimerGroup::kNoTimer || clock_.NowMs() + t > end) {
                break;
            }
            clock_.Advance(t);
            group_.RunExpiredTimers();
        }
        clock_.Set(end);
    }

    ManualClock clock_{100000};
    std::recursive_mutex lock_;
    KtTimerGroup group_;
    RecordingClient client_;
    std::unique_ptr<DataPump> pump_;
};

TEST_F(DataPumpTest, StartTimerReportsReadyAfterTenMilliseconds) {
    RunFor(9);
    EXPECT_TRUE(client_.ready.empty());
    RunFor(1);
    EXPECT_EQ(client_.ready, std::vector<int>{1});
}

TEST_F(DataPumpTest, UnansweredCallRingsNineTimesThenGoesIdle) {
    RunFor(10);  // past the start notice
    uint32_t start = clock_.NowMs();
    pump_->StartRinging();
    EXPECT_EQ(pump_->GetState(), DataPump::Ringing);
    RunFor(9 * 2900 - 1);
    EXPECT_EQ(pump_->GetState(), DataPump::Ringing);
    RunFor(1);
    EXPECT_EQ(pump_->GetState(), DataPump::Idle);
    ASSERT_EQ(client_.rings.size(), 9u);
    for (size_t i = 0; i < client_.rings.size(); ++i) {
        EXPECT_EQ(client_.rings[i] - start, 2900u * i);
    }
    EXPECT_EQ(client_.ringEnds, std::vector<int>{DataPump::Idle});
    EXPECT_EQ(group_.ActiveTimers(), 0);
}

TEST_F(DataPumpTest, AnsweringEndsTheRinging) {
    client_.answerOnRing = 3;
    pump_->StartRinging();
    RunFor(60000);
    EXPECT_EQ(client_.rings.size(), 3u);
    EXPECT_EQ(pump_->GetState(), DataPump::Online);
    EXPECT_EQ(client_.ringEnds, std::vector<int>{DataPump::Online});
    EXPECT_TRUE(pump_->IsBusy());
}

TEST_F(DataPumpTest, RingingIsEnteredOnlyThroughStartRinging) {
    pump_->SetState(DataPump::Ringing);
    EXPECT_EQ(pump_->GetState(), DataPump::Idle);
    EXPECT_TRUE(client_.rings.empty());
    EXPECT_TRUE(client_.ringEnds.empty());
}

TEST_F(DataPumpTest, RingAgainMovesTheNextRing) {
    pump_->StartRinging();
    pump_->RingAgain(100);
    RunFor(100);
    EXPECT_EQ(client_.rings.size(), 2u);
    pump_->SetState(DataPump::Idle);
    pump_->RingAgain(100);  // not ringing: nothing
    RunFor(10000);
    EXPECT_EQ(client_.rings.size(), 2u);
}

TEST_F(DataPumpTest, BusyStatesAndTheBaseHangup) {
    struct Case {
        DataPump::State state;
        bool busy;
        DataPump::State afterHangup;
    };
    const Case cases[] = {
        {DataPump::Idle, false, DataPump::Idle},       {DataPump::Connecting, true, DataPump::Idle},
        {DataPump::Disabled, true, DataPump::Idle},    {DataPump::Online, true, DataPump::Idle},
        {DataPump::Ringing, false, DataPump::Ringing},
    };
    for (const Case& c : cases) {
        if (c.state == DataPump::Ringing) {
            pump_->StartRinging();
        } else {
            pump_->SetState(c.state);
        }
        EXPECT_EQ(pump_->IsBusy(), c.busy) << c.state;
        pump_->Hangup();
        EXPECT_EQ(pump_->GetState(), c.afterHangup) << c.state;
        pump_->ResetSettings();
        EXPECT_EQ(pump_->GetState(), c.afterHangup) << c.state;
    }
    pump_->Disable();
    EXPECT_EQ(pump_->GetState(), DataPump::Disabled);
    EXPECT_EQ(client_.ringEnds, std::vector<int>{DataPump::Disabled});
}

}  // namespace
