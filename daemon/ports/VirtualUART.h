// The model of one serial port, between its application side (the driver,
// the PTY device) and its network side (the device, a DCE device). It owns
// the two data channels, the port's line settings and modem lines, the open
// and close protocol with its close delay and deferred open, and the port
// thread with its timer group and SelectManager. AttachDriver comes from the
// thread that sees the application's open; DetachDriver, the timers and the
// data path run on the port thread; construction and destruction on the
// main thread. The lock is never held while a client is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/SelectManager.h"
#include "common/runtime/UnixEvent.h"
#include "common/runtime/UnixThread.h"
#include "daemon/ports/UARTSettings.h"
#include "daemon/ports/VirtualUARTChannel.h"

class VirtualUARTClient;

class VirtualUART : public KtTimerManager {
  public:
    enum class OpenState {
        // No open. Application open -> Opening.
        Closed = 0,
        // The network side is being opened. -> Open when it accepts, Closed
        // when it refuses or the port thread cannot start, Closed on close.
        Opening = 1,
        // Reopened after the network side was shut down; the open runs on
        // the port thread by reopenTimer -> Opening. Close -> Closed.
        Restarting = 2,
        // In use. Application close -> CloseDelay.
        Open = 3,
        // The application closed; the network side stays up for closeDelay.
        // Reopen -> Opening (ReopenDevice); closeDelayTimer -> ShutDown.
        CloseDelay = 4,
        // The network side was closed and the port thread told to stop.
        // Application open -> Restarting.
        ShutDown = 5,
    };
    // Stopped -> Starting (StartThread) -> Running (the thread's loop) ->
    // Stopping (StopThread) -> Stopped (the thread leaves); StartThread on a
    // Stopping thread turns it back to Running.
    enum class ThreadState { Stopped = 0, Starting = 1, Running = 2, Stopping = 3 };

    static constexpr size_t kMaxNameLength = 126;
    static constexpr int kDefaultCloseDelayMs = 8000;
    static constexpr uint32_t kNegotiationTimeoutMs = 60000;
    static constexpr uint32_t kThreadStartWaitMs = 2000;
    // Named in the "Driver:" record of every open.
    static constexpr const char* kDriverName = "portvaned";
    static constexpr const char* kDriverVersion = "4.0";

    explicit VirtualUART(const std::string& name);
    ~VirtualUART() override;
    VirtualUART(const VirtualUART&) = delete;
    VirtualUART& operator=(const VirtualUART&) = delete;

    // The network side binds itself (from its constructor). Returns the
    // channel it writes into (toDriver), or null when an attached
    // application side refused it.
    VirtualUARTChannel* AttachDevice(VirtualUARTClient* client);
    void DetachDevice(VirtualUARTClient* client);

    // The application's open: returns the channel the application side
    // writes into (toDevice), or null when the open failed. The result of
    // the open arrives through the client's OpenComplete, possibly before
    // this returns and possibly much later (deferred open).
    VirtualUARTChannel* AttachDriver(VirtualUARTClient* client, int reopen);
    // The application's close.
    void DetachDriver(VirtualUARTClient* client);

    // From the network side: the outcome of its connection.
    void ReportConnectionStatus(VirtualUARTChannel* channel, int status);
    // From the network side: CTS, DSR, RING or CD changed.
    void ReportModemStatus(VirtualUARTChannel* channel, unsigned values, unsigned mask);

    bool StartThread();
    // join is ignored on the port thread itself, which cannot wait for
    // itself; it leaves its loop at the next pass.
    bool StopThread(bool join);

    void OnTimer(KtTimerHandle timer, void* argument) override;

    const char* GetName() const { return name_.c_str(); }
    VirtualUARTChannel& ToDriver() { return toDriver_; }
    VirtualUARTChannel& ToDevice() { return toDevice_; }
    SelectManager& GetSelectManager() { return selectManager_; }
    VirtualUARTClient* GetDevice() const { return device_.load(); }
    VirtualUARTClient* GetDriver() const { return driver_.load(); }

    int GetBaud();
    int GetDataBits();
    int GetParity();
    int GetStopBits();
    unsigned GetFlow();
    unsigned GetLines();
    int GetCloseDelay();
    bool IsDeferredOpen();
    OpenState GetOpenState();
    ThreadState GetThreadState();
    // Whether the open waits for the port thread (the network side holds
    // data written meanwhile).
    bool IsReopenPending();
    // Whether the caller runs on this port's thread.
    bool IsPortThread() const;

  protected:
    // Creates the port thread; 0 or the error number. A seam for tests of
    // the failure path.
    virtual int LaunchThread();

  private:
    enum class Pending { None, Success, OpenFailed, NotAvailable };

    static void* ThreadEntry(void* parameter);
    void RunThread();
    bool ThreadShouldPoll();

    void Trace(const char* text);
    void TraceSettings();
    void ReadSettings();
    // Steps shared by the open and the restart: close delay and deferred
    // open from the configuration, then the network side's open or reopen.
    bool BeginOpen(VirtualUARTClient* device, bool fresh);
    VirtualUARTChannel* ContinueOpen(VirtualUARTClient* client, VirtualUARTClient* device,
                                     bool fresh);
    VirtualUARTChannel* ContinueRestart(VirtualUARTClient* client, bool fresh);
    // The open failed after the network side accepted it: close that side
    // again and let go of the application side, so that it drains.
    VirtualUARTChannel* AbandonOpen(VirtualUARTClient* client, VirtualUARTClient* device,
                                    bool stopThread);
    void ReleaseDriver();
    void OnReopenTimer(bool fresh);
    void OnCloseDelayTimer(VirtualUARTClient* departing);
    void Signal() { GetTimerGroup()->GetEvent().Signal(); }

    std::string name_;
    std::recursive_mutex lock_;
    VirtualUARTChannel toDriver_;
    VirtualUARTChannel toDevice_;
    std::atomic<VirtualUARTClient*> device_{nullptr};  // non-owning
    std::atomic<VirtualUARTClient*> driver_{nullptr};  // non-owning

    // Guarded by lock_, as are the timer handles.
    unsigned lines_ = 0;
    UARTSettings settings_;
    KtTimerHandle reopenTimer_ = nullptr;
    KtTimerHandle closeDelayTimer_ = nullptr;
    KtTimerHandle negotiationTimer_ = nullptr;
    int closeDelay_ = kDefaultCloseDelayMs;
    bool deferredOpen_ = false;
    int connectionStatus_ = 0;
    OpenState openState_ = OpenState::Closed;
    ThreadState threadState_ = ThreadState::Stopped;

    UnixThread thread_;
    UnixEvent threadStarted_;
    SelectManager selectManager_;
};
