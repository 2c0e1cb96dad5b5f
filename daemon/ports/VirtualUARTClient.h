// One side of a port's VirtualUART: the application side (the PTY device) or
// the network side (a DCE device). The UART calls the data and line
// operations on the port thread, OpenDevice/ReopenDevice also on the thread
// that performs the application's open; each client guards itself with
// Lock/Unlock, which the UART takes around data and line calls.
#pragma once

#include <cstdint>

class VirtualUART;

class VirtualUARTClient {
  public:
    // The other side's data for this side; returns the bytes taken. What is
    // not taken stays with the sender, who is asked again later.
    virtual int ReceiveData(const uint8_t* bytes, int length) = 0;
    // The other side can take more: produce data into this side's outbound
    // channel now. Returns the bytes delivered.
    virtual int Transmit(int reason) = 0;
    virtual void SetBaudRate(int baud) = 0;
    // parity is an upper-case letter: 'E', 'O', 'N', 'M' or 'S'.
    virtual void SetFraming(int dataBits, int parity, int stopBits) = 0;
    virtual void PurgeReceive() = 0;
    virtual void PurgeTransmit() = 0;
    // The other side's modem lines changed (LINE_* bits under mask).
    virtual void SetModemControl(unsigned values, unsigned mask) = 0;
    virtual void ReportLineErrors(unsigned bits) = 0;
    virtual void SetFlowControl(unsigned flow) = 0;
    // The other side has opened: on the network side, the application
    // opened the port. False refuses the open.
    virtual bool OpenDevice(VirtualUART* uart) = 0;
    virtual bool CloseDevice(VirtualUART* uart) = 0;
    // The UART is being destroyed; forget it.
    virtual void Unbind() = 0;
    virtual void Lock() {}
    virtual void Unlock() {}
    // The application reopened the port while this network side was still
    // open (within the close delay).
    virtual bool ReopenDevice(VirtualUART*) { return true; }
    // Result of the application's open, or a later connection status.
    virtual void OpenComplete(int) {}
    // Whether this network side can hold an open until its connection has
    // been negotiated.
    virtual bool WantsDeferredOpen() { return false; }
    virtual bool SupportsCredentials() { return false; }
    virtual bool QueryReserved() { return false; }
    virtual void SetXonXoffState(int) {}
    virtual ~VirtualUARTClient() = default;
};
