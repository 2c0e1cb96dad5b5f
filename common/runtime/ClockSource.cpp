#include "common/runtime/ClockSource.h"

#include <time.h>

namespace {

std::atomic<ClockSource*> g_installed{nullptr};

MonotonicClock& DefaultClock() {
    static MonotonicClock clock;
    return clock;
}

}  // namespace

void ClockSource::Install(ClockSource* source) {
    g_installed.store(source);
}

ClockSource& ClockSource::Current() {
    ClockSource* source = g_installed.load();
    return source ? *source : DefaultClock();
}

uint32_t MonotonicClock::NowMs() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        return 0;
    }
    int64_t expected = -1;
    baseSeconds_.compare_exchange_strong(expected, static_cast<int64_t>(ts.tv_sec));
    int64_t base = baseSeconds_.load();
    int64_t ms = (static_cast<int64_t>(ts.tv_sec) - base) * 1000 + ts.tv_nsec / 1000000;
    return static_cast<uint32_t>(ms);
}

uint32_t TickCountMs() {
    return ClockSource::Current().NowMs();
}
