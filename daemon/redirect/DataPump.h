// The base of every data pump: the state of its one network connection, the
// ringing cycle of an answered call, the start notice, and the lock it
// shares with its owner. It owns its two timers (on the port's group); the
// lock and the client belong to the owner. Everything runs on the port
// thread, under Lock().
#pragma once

#include <cstdint>
#include <mutex>

#include "common/runtime/KtTimerManager.h"

class DataPumpClient;

class DataPump : public KtTimerManager {
  public:
    enum State {
        // No connection. Dial -> Connecting; an answered call -> Ringing.
        Idle = 0,
        // A dial is in progress. -> Online, or Idle when it fails.
        Connecting = 5,
        // Stopped by the owner at the port's close; left by the next use.
        Disabled = 7,
        // Connected; data flows. -> Idle on hang-up or when it ends.
        Online = 8,
        // An answered call waits to be accepted. -> Online (Answer), or
        // Idle when the rings run out.
        Ringing = 10,
    };

    static constexpr int kRings = 9;
    static constexpr uint32_t kRingIntervalMs = 2900;
    static constexpr uint32_t kStartDelayMs = 10;

    // client and lock: non-owning; both belong to the owner, whose lock the
    // pump shares.
    DataPump(DataPumpClient* client, std::recursive_mutex* lock, KtTimerGroup* group);
    ~DataPump() override;

    // Leaving Ringing tells the client (OnRingEnd). Ringing itself can only
    // be entered through StartRinging.
    void SetState(State state);
    State GetState() const { return state_; }
    void StartRinging();
    // While ringing, the next ring comes after `ms`.
    void RingAgain(uint32_t ms);
    void Disable() { SetState(Disabled); }
    bool IsBusy() const { return state_ != Idle && state_ != Ringing; }
    int RingsLeft() const { return ringCount_; }

    void Lock() { lock_->lock(); }
    void Unlock() { lock_->unlock(); }

    // The connection operations proper belong to the derived pumps; these
    // base versions only leave the state Idle (a ringing call keeps
    // ringing).
    virtual void Hangup();
    virtual void ResetSettings();

    // Derived pumps hand the timers they do not know to this one.
    void OnTimer(KtTimerHandle timer, void* argument) override;

  protected:
    DataPumpClient* client_;  // non-owning: the owner
    // The line settings as last given to the pump.
    int baudRate_ = 9600;
    int dataBits_ = 8;
    int parity_ = 'N';
    int stopBits_ = 1;

  private:
    void OnRingTimer();

    std::recursive_mutex* lock_;  // non-owning: the owner's lock
    State state_ = Idle;
    int ringCount_ = 0;
    KtTimerHandle ringTimer_ = nullptr;
    KtTimerHandle startTimer_ = nullptr;
};
