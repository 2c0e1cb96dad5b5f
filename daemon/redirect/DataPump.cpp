#include "daemon/redirect/DataPump.h"

#include "daemon/redirect/DataPumpClient.h"

DataPump::DataPump(DataPumpClient* client, std::recursive_mutex* lock, KtTimerGroup* group)
    : KtTimerManager(group), client_(client), lock_(lock) {
    Lock();
    StartTimer(&startTimer_, kStartDelayMs);
    Unlock();
    // The pump is usually made on another thread than the port's.
    GetTimerGroup()->GetEvent().Signal();
}

DataPump::~DataPump() {
    Lock();
    StopTimer(&ringTimer_);
    StopTimer(&startTimer_);
    Unlock();
}

void DataPump::SetState(State state) {
    Lock();
    ringCount_ = 0;
    StopTimer(&ringTimer_);
    State old = state_;
    if (state != Ringing) {
        state_ = state;
    }
    if (old == Ringing && state_ != Ringing) {
        client_->OnRingEnd(state_);
    }
    Unlock();
}

void DataPump::StartRinging() {
    Lock();
    state_ = Ringing;
    client_->OnRing();
    // The client may have answered or hung up on the first ring.
    if (state_ == Ringing) {
        ringCount_ = kRings;
        StartTimer(&ringTimer_, kRingIntervalMs);
    }
    Unlock();
}

void DataPump::RingAgain(uint32_t ms) {
    Lock();
    if (state_ == Ringing) {
        StartTimer(&ringTimer_, ms);
    }
    Unlock();
}

void DataPump::Hangup() {
    Lock();
    if (state_ != Ringing) {
        SetState(Idle);
    }
    Unlock();
}

void DataPump::ResetSettings() {
    Lock();
    if (state_ != Ringing) {
        SetState(Idle);
    }
    Unlock();
}

void DataPump::OnRingTimer() {
    int before = ringCount_--;
    if (before <= 1) {
        SetState(Idle);
        return;
    }
    client_->OnRing();
    if (state_ == Ringing) {
        StartTimer(&ringTimer_, kRingIntervalMs);
    }
}

void DataPump::OnTimer(KtTimerHandle timer, void*) {
    Lock();
    if (timer == ringTimer_) {
        ringTimer_ = nullptr;
        OnRingTimer();
    } else if (timer == startTimer_) {
        startTimer_ = nullptr;
        client_->SetReady(1);
    }
    Unlock();
}
