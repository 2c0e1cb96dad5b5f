// The common base of a port's network side (the DCE redirector, the modem
// emulation): binds itself to the port's VirtualUART, presents the modem
// status lines, caches the line settings last applied, buffers network data
// the application side could not take yet and moves data between that
// buffer and the UART channel, and splits modem control into DTR, RTS and
// break. It owns its work buffer, its rings (storage given by the derived
// class) and its lock, which is also its data pump's lock. Runs on the port
// thread, except OpenDevice (the thread of the application's open).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/runtime/KtTimerManager.h"
#include "common/runtime/RingBuffer.h"
#include "daemon/ports/VirtualUARTClient.h"

class VirtualUART;
class VirtualUARTChannel;

class VirtualDCEDevice : public VirtualUARTClient, public KtTimerManager {
  public:
    static constexpr int kWorkBufferSize = 512;
    // Largest block offered to the channel per step of a push.
    static constexpr int kPushBlock = 256;
    // The private status bit the pump's ready notice sets.
    static constexpr unsigned kStatusReady = 0x4000;

    // uart: non-owning; the device attaches to it at once.
    VirtualDCEDevice(VirtualUART* uart, KtTimerGroup* group);
    ~VirtualDCEDevice() override;
    VirtualDCEDevice(const VirtualDCEDevice&) = delete;
    VirtualDCEDevice& operator=(const VirtualDCEDevice&) = delete;

    // VirtualUARTClient. ReceiveData, ReportLineErrors and SetFlowControl
    // stay with the derived classes.
    int Transmit(int reason) override;
    void SetBaudRate(int baud) override;
    void SetFraming(int dataBits, int parity, int stopBits) override;
    void PurgeReceive() override;
    void PurgeTransmit() override;
    void SetModemControl(unsigned values, unsigned mask) override;
    bool OpenDevice(VirtualUART* uart) override;
    bool CloseDevice(VirtualUART* uart) override;
    void Unbind() override;
    void Lock() override { lock_.lock(); }
    void Unlock() override { lock_.unlock(); }

    void GetFraming(int* parity, int* dataBits, int* stopBits);
    virtual void SetBreak(int on, unsigned mask) = 0;
    virtual void SetDTR(int on) = 0;
    virtual void SetRTS(int on) = 0;
    // Changes the lines this side presents and reports them to the UART.
    virtual void SetModemStatus(unsigned values, unsigned mask);
    void OnTimer(KtTimerHandle timer, void* argument) override;
    // A status record with the port's name as source.
    virtual void Trace(const char* text);
    // Lets the application side send everything it holds.
    virtual void PullAll();
    // Moves buffered network data to the application side; returns the
    // bytes moved.
    virtual int PushToDriver();

    void SchedulePull(uint32_t ms);
    void SchedulePush(uint32_t ms);

    // Network data toward the application: what is buffered goes first,
    // then blocks read with ReadNetwork go straight to the channel while
    // nothing is buffered, the rest into the receive ring, until the ring is
    // full or the network has nothing more. Returns the bytes read.
    int ReceiveFromNetwork();

    VirtualUART* GetUART();
    VirtualUARTChannel* GetChannel();
    unsigned GetStatus();
    bool IsOpen();
    int GetBaud();
    unsigned GetFlow();
    std::recursive_mutex& GetLock() { return lock_; }
    RingBuffer& RxRing() { return rxRing_; }
    RingBuffer& TxRing() { return txRing_; }

  protected:
    // Reads network data for ReceiveFromNetwork; 0 when there is none.
    virtual int ReadNetwork(uint8_t* buffer, int size);
    void Signal() { GetTimerGroup()->GetEvent().Signal(); }
    uint8_t* WorkBuffer() { return workBuffer_.get(); }

    void* observer_ = nullptr;  // non-owning: used by the modem emulation
    int baud_ = 9600;
    int parity_ = 'N';
    int dataBits_ = 8;
    int stopBits_ = 1;
    int flow_ = 0;  // -1: nothing applied since the last open
    bool pulling_ = false;

  private:
    void ScheduleOnce(KtTimerHandle* timer, uint32_t ms);
    void StopTimers();

    VirtualUART* uart_ = nullptr;            // non-owning
    VirtualUARTChannel* channel_ = nullptr;  // non-owning: the UART's toDriver
    RingBuffer rxRing_;
    RingBuffer txRing_;
    std::unique_ptr<uint8_t[]> workBuffer_;
    unsigned status_ = 0;
    bool open_ = false;
    std::recursive_mutex lock_;
    KtTimerHandle pullTimer_ = nullptr;
    KtTimerHandle pushTimer_ = nullptr;
    KtTimerHandle transmitTimer_ = nullptr;
};
