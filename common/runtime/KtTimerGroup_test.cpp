#include "common/runtime/KtTimerGroup.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "common/runtime/ClockSource.h"
#include "common/runtime/KtTimerManager.h"

namespace {

// A client that records every firing and may act inside the callback.
class Recorder : public KtTimerClient {
  public:
    void OnTimer(KtTimerHandle timer, void* argument) override {
        fired.push_back(timer);
        arguments.push_back(argument);
        if (action) {
            action(timer);
        }
    }
    std::vector<KtTimerHandle> fired;
    std::vector<void*> arguments;
    std::function<void(KtTimerHandle)> action;
};

class KtTimerGroupTest : public testing::Test {
  protected:
    void SetUp() override { ClockSource::Install(&clock_); }
    void TearDown() override { ClockSource::Install(nullptr); }

    // The clock is installed before the group exists, so every expiry below
    // is computed from the manual time.
    ManualClock clock_{1000};
    std::unique_ptr<KtTimerGroup> group_ = std::make_unique<KtTimerGroup>();
    Recorder client_;
};

TEST_F(KtTimerGroupTest, EmptyGroupHasNoNextTimer) {
    EXPECT_EQ(group_->TimeToNextTimer(), 0xFFFFFFFFu);
    group_->RunExpiredTimers();
    EXPECT_EQ(group_->ActiveTimers(), 0);
}

TEST_F(KtTimerGroupTest, ZeroDelayIsDueAtOnce) {
    KtTimerHandle timer = nullptr;
    int tag = 0;
    group_->StartTimer(&client_, &timer, 0, &tag);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(group_->TimeToNextTimer(), 0u);
    KtTimerHandle started = timer;
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired, std::vector<KtTimerHandle>{started});
    EXPECT_EQ(client_.arguments, std::vector<void*>{&tag});
    EXPECT_EQ(group_->TimeToNextTimer(), 0xFFFFFFFFu);
    EXPECT_EQ(group_->ActiveTimers(), 0);
}

TEST_F(KtTimerGroupTest, FiresOnlyWhenDue) {
    KtTimerHandle a = nullptr;
    KtTimerHandle b = nullptr;
    group_->StartTimer(&client_, &a, 30, nullptr);
    group_->StartTimer(&client_, &b, 10, nullptr);
    EXPECT_EQ(group_->TimeToNextTimer(), 10u);
    clock_.Advance(9);
    group_->RunExpiredTimers();
    EXPECT_TRUE(client_.fired.empty());
    EXPECT_EQ(group_->TimeToNextTimer(), 1u);
    clock_.Advance(1);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired, std::vector<KtTimerHandle>{b});
    EXPECT_EQ(group_->TimeToNextTimer(), 20u);
}

TEST_F(KtTimerGroupTest, RestartMovesTheTimer) {
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, 100, nullptr);
    clock_.Advance(50);
    group_->StartTimer(&client_, &timer, 100, nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 1);
    EXPECT_EQ(group_->TimeToNextTimer(), 100u);
    clock_.Advance(60);  // past the first expiry
    group_->RunExpiredTimers();
    EXPECT_TRUE(client_.fired.empty());
    clock_.Advance(40);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 1u);
    clock_.Advance(1000);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 1u);
}

// A periodic timer restarts itself through its handle inside its callback,
// both the careful way (clearing the handle first) and with the handle still
// naming the firing slot: either way the new timer survives the release of
// the slot that fired.
TEST_F(KtTimerGroupTest, RestartInsideOwnCallback) {
    for (bool clearFirst : {true, false}) {
        SCOPED_TRACE(clearFirst ? "handle cleared first" : "handle still set");
        Recorder periodic;
        KtTimerHandle timer = nullptr;
        periodic.action = [&](KtTimerHandle fired) {
            EXPECT_EQ(fired, timer);
            if (clearFirst) {
                timer = nullptr;
            }
            group_->StartTimer(&periodic, &timer, 20, nullptr);
            EXPECT_NE(timer, fired);
        };
        group_->StartTimer(&periodic, &timer, 20, nullptr);
        for (int round = 1; round <= 3; ++round) {
            clock_.Advance(20);
            group_->RunExpiredTimers();
            EXPECT_EQ(periodic.fired.size(), static_cast<size_t>(round));
            ASSERT_NE(timer, nullptr);
            EXPECT_EQ(group_->ActiveTimers(), 1);
            EXPECT_EQ(group_->TimeToNextTimer(), 20u);
        }
        group_->StopTimer(&timer);
        EXPECT_EQ(timer, nullptr);
        EXPECT_EQ(group_->ActiveTimers(), 0);
    }
}

// A client that does not clear its handle in OnTimer still holds the slot
// that fired, now free. Restarting through it may be handed that very slot,
// and the cancellation of the old timer must not free the new one.
TEST_F(KtTimerGroupTest, RestartThroughStaleHandle) {
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, 0, nullptr);
    KtTimerHandle fired = timer;
    group_->RunExpiredTimers();
    ASSERT_EQ(timer, fired);  // stale
    group_->StartTimer(&client_, &timer, 10, nullptr);
    EXPECT_EQ(timer, fired);  // the lowest free slot again
    EXPECT_EQ(group_->ActiveTimers(), 1);
    clock_.Advance(10);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 2u);
}

TEST_F(KtTimerGroupTest, ExhaustionThenSuccessAfterOneFires) {
    std::vector<KtTimerHandle> timers(KtTimerGroup::kSlotCount, nullptr);
    for (int i = 0; i < 4095; ++i) {
        group_->StartTimer(&client_, &timers[i], 100 + i, nullptr);
        ASSERT_NE(timers[i], nullptr) << i;
    }
    KtTimerHandle extra = nullptr;
    group_->StartTimer(&client_, &extra, 5, nullptr);
    EXPECT_EQ(extra, nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 4095);
    clock_.Advance(100);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired, std::vector<KtTimerHandle>{timers[0]});
    group_->StartTimer(&client_, &extra, 5, nullptr);
    EXPECT_NE(extra, nullptr);
    // Full again: a restart that finds no slot still cancels the old timer.
    KtTimerHandle moved = timers[1];
    group_->StartTimer(&client_, &timers[1], 5, nullptr);
    EXPECT_EQ(timers[1], nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 4094);
    EXPECT_NE(moved, nullptr);
    group_->StopAllTimers(&client_);
    EXPECT_EQ(group_->ActiveTimers(), 0);
    EXPECT_EQ(group_->TimeToNextTimer(), 0xFFFFFFFFu);
}

struct WrapCase {
    const char* name;
    uint32_t start;
    uint32_t delay;
};

// Near the 2^32 ms wrap a timer fires after its delay, not 49 days later;
// an expiry that would land on the free mark still fires.
const WrapCase kWrap[] = {
    {"ExpiryJustBeforeWrap", 0xFFFFFFF0u, 10},
    {"ExpiryAfterWrap", 0xFFFFFFFBu, 10},
    {"ExpiryOnFreeMark", 0xFFFFFFF5u, 10},
    {"StartAtWrap", 0xFFFFFFFFu, 10},
};

void PrintTo(const WrapCase& c, std::ostream* os) {
    *os << c.name;
}

class KtTimerWrap : public KtTimerGroupTest, public testing::WithParamInterface<WrapCase> {};

TEST_P(KtTimerWrap, FiresAfterItsDelay) {
    clock_.Set(GetParam().start);
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, GetParam().delay, nullptr);
    ASSERT_NE(timer, nullptr);
    uint32_t left = group_->TimeToNextTimer();
    EXPECT_GE(left, GetParam().delay - 1);
    EXPECT_LE(left, GetParam().delay);
    clock_.Advance(GetParam().delay - 2);
    group_->RunExpiredTimers();
    EXPECT_TRUE(client_.fired.empty());
    EXPECT_LE(group_->TimeToNextTimer(), 2u);
    clock_.Advance(2);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, KtTimerWrap, testing::ValuesIn(kWrap),
                         [](const testing::TestParamInfo<WrapCase>& info) {
                             return info.param.name;
                         });

// An expiry more than 2^31 ms away counts as already due.
TEST_F(KtTimerGroupTest, FarExpiryCountsAsDue) {
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, 0x80000001u, nullptr);
    EXPECT_EQ(group_->TimeToNextTimer(), 0u);
}

TEST_F(KtTimerGroupTest, StopAllTimersOfOneClient) {
    Recorder other;
    KtTimerHandle mine[3] = {};
    KtTimerHandle theirs = nullptr;
    for (auto& h : mine) {
        group_->StartTimer(&client_, &h, 10, nullptr);
    }
    group_->StartTimer(&other, &theirs, 10, nullptr);
    group_->StopAllTimers(&client_);
    EXPECT_EQ(group_->ActiveTimers(), 1);
    clock_.Advance(10);
    group_->RunExpiredTimers();
    EXPECT_TRUE(client_.fired.empty());
    EXPECT_EQ(other.fired, std::vector<KtTimerHandle>{theirs});
}

// A client going away inside one of its callbacks stops all its timers,
// the firing one included; the others must not fire afterwards.
TEST_F(KtTimerGroupTest, StopAllTimersInsideCallback) {
    KtTimerHandle a = nullptr;
    KtTimerHandle b = nullptr;
    client_.action = [&](KtTimerHandle) { group_->StopAllTimers(&client_); };
    group_->StartTimer(&client_, &a, 0, nullptr);
    group_->StartTimer(&client_, &b, 0, nullptr);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 1u);
    EXPECT_EQ(group_->ActiveTimers(), 0);
    // The slot freed while firing can be handed out again.
    client_.action = nullptr;
    KtTimerHandle c = nullptr;
    group_->StartTimer(&client_, &c, 0, nullptr);
    EXPECT_NE(c, nullptr);
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired.size(), 2u);
}

TEST_F(KtTimerGroupTest, StopInsideAnotherCallback) {
    KtTimerHandle first = nullptr;
    KtTimerHandle second = nullptr;
    client_.action = [&](KtTimerHandle fired) {
        if (fired == first) {
            group_->StopTimer(&second);
        }
    };
    group_->StartTimer(&client_, &first, 0, nullptr);
    group_->StartTimer(&client_, &second, 0, nullptr);
    KtTimerHandle firstSlot = first;
    group_->RunExpiredTimers();
    EXPECT_EQ(client_.fired, std::vector<KtTimerHandle>{firstSlot});
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 0);
}

TEST_F(KtTimerGroupTest, NullClientOrHandle) {
    group_->StartTimer(&client_, nullptr, 0, nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 0);
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, 50, nullptr);
    // No client: nothing starts, and the old timer is cancelled.
    group_->StartTimer(nullptr, &timer, 0, nullptr);
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(group_->ActiveTimers(), 0);
    group_->StopTimer(nullptr);
    group_->StopTimer(&timer);
}

TEST_F(KtTimerGroupTest, WaitForTimers) {
    KtTimerHandle timer = nullptr;
    group_->StartTimer(&client_, &timer, 0, nullptr);
    EXPECT_EQ(group_->WaitForTimers(), 0u);
    group_->RunExpiredTimers();
    // No timer: waits without limit until signalled.
    group_->GetEvent().Signal();
    EXPECT_EQ(group_->WaitForTimers(), 0xFFFFFFFFu);
    // The manual clock stands still, so the 1 ms wait ends with 1 ms left.
    group_->StartTimer(&client_, &timer, 1, nullptr);
    EXPECT_EQ(group_->WaitForTimers(), 1u);
}

class PrivateGroupUser : public KtTimerManager {
  public:
    void OnTimer(KtTimerHandle, void*) override {}
};

TEST(KtTimerManagerTest, OwnsPrivateGroupOrSharesOne) {
    KtTimerGroup shared;
    PrivateGroupUser own;
    EXPECT_NE(own.GetTimerGroup(), nullptr);
    EXPECT_NE(own.GetTimerGroup(), &shared);
    struct SharedUser : KtTimerManager {
        explicit SharedUser(KtTimerGroup* g) : KtTimerManager(g) {}
        void OnTimer(KtTimerHandle, void*) override {}
    } user(&shared);
    EXPECT_EQ(user.GetTimerGroup(), &shared);
}

}  // namespace
