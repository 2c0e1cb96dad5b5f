// The application side of a port's VirtualUART: moves bytes between the
// pseudo-terminal master and the UART, and tells the UART when the
// application opened (Attach) or closed (Detach) the device. It owns its
// read buffer and the drain thread that serves the master when the UART
// refused the open; the master itself belongs to the PTYRedirector. Attach
// runs on the listener thread, Detach on any thread; the data path and
// OnSelect run on the port thread or the drain thread. The lock guards the
// descriptor, its registration and the drain flags.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/SelectManagerClient.h"
#include "common/runtime/UnixThread.h"
#include "daemon/ports/VirtualUARTClient.h"

class PTYRedirector;
class VirtualUARTChannel;

class PTYDevice : public VirtualUARTClient, public KtTimerManager, public SelectManagerClient {
  public:
    static constexpr int kReadBufferSize = 2048;

    // redirector, uart: non-owning back-references to the port that owns
    // this device; both outlive it.
    PTYDevice(PTYRedirector* redirector, VirtualUART* uart);
    ~PTYDevice() override;

    // The application opened the pseudo-terminal behind masterFd: serve it
    // and open the UART. True while the device holds the descriptor.
    bool Attach(int masterFd);
    // The master is going away: stop serving it and close the UART's side.
    // False when masterFd is not the attached master.
    bool Detach(int masterFd);
    // Ends the drain thread and waits for it; for the owner's teardown.
    void StopDrain();

    // VirtualUARTClient: data, and the answer to the open.
    int ReceiveData(const uint8_t* bytes, int length) override;
    int Transmit(int reason) override;
    void OpenComplete(int status) override;
    // Settings and lines come from the configuration, never from here.
    void SetBaudRate(int) override {}
    void SetFraming(int, int, int) override {}
    void PurgeReceive() override {}
    void PurgeTransmit() override {}
    void SetModemControl(unsigned, unsigned) override {}
    void ReportLineErrors(unsigned) override {}
    void SetFlowControl(unsigned) override {}
    bool OpenDevice(VirtualUART*) override { return true; }
    bool CloseDevice(VirtualUART*) override { return true; }
    void Unbind() override {}

    void OnSelect(int fd, int events) override;
    void OnTimer(KtTimerHandle, void*) override {}

    // State, for the owner and tests.
    int GetFd();
    bool IsOpenPending() const { return openPending_.load(); }
    bool IsDraining();
    VirtualUARTChannel* GetChannel() const { return channel_.load(); }

  private:
    static void* DrainEntry(void* parameter);
    void RunDrain();
    bool DrainShouldRun();
    // Called with lock_ held.
    void StartDrain();
    void WakeLoop() { GetTimerGroup()->GetEvent().Signal(); }

    PTYRedirector* redirector_;  // non-owning: the owner
    VirtualUART* uart_;          // non-owning: the owner's UART
    std::recursive_mutex lock_;
    int fd_ = -1;
    std::atomic<bool> openPending_{false};
    // Guarded by lock_: the drain loop should run / is still in its loop.
    bool drainRunning_ = false;
    bool drainActive_ = false;
    std::atomic<VirtualUARTChannel*> channel_{nullptr};  // non-owning: the UART's toDevice
    // Touched only by the thread that serves the master.
    uint8_t readBuffer_[kReadBufferSize];
    int buffered_ = 0;
    int cursor_ = 0;
    bool busy_ = false;
    UnixThread drainThread_;
};
