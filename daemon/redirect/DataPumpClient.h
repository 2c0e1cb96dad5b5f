// What a data pump reports to its owner (the DCE redirector or the modem
// emulation): connection events, line events, data readiness and trace
// lines. Every report runs on the port thread, under the pump's lock, which
// is the owner's own lock.
#pragma once

#include <cstdint>

class DataPumpClient {
  public:
    // Sent with 1 by the pump's start timer.
    virtual void SetReady(int on) = 0;
    virtual void PumpNoticeA() {}
    // Name for trace lines.
    virtual const char* GetPortName() = 0;
    // The connection came up; kind 21 when Telnet applies, 1 for raw TCP.
    virtual void OnLineUp(int kind, int rate, int rate2) = 0;
    // Error-control protocol and data compression of the connection.
    virtual void OnProtocol(int value) = 0;
    virtual void OnCompression(int value) = 0;
    virtual void OnBreakReceived() = 0;
    virtual void OnLineErrors(unsigned bits) = 0;
    // The server's modem lines (LINE_* bits under mask).
    virtual void OnModemStatus(unsigned values, unsigned mask) = 0;
    // COM port control negotiation finished.
    virtual void OnComPortControl(int supported) = 0;
    virtual void OnRing() = 0;
    // Ringing stopped; the pump's new state.
    virtual void OnRingEnd(int state) = 0;
    // Established, after login and negotiation.
    virtual void OnConnected() = 0;
    virtual void OnError(int errorClass, int severity, const char* text) = 0;
    virtual void PumpNoticeB() {}
    // The dial failed or the connection ended.
    virtual void OnDisconnected(int status) = 0;
    virtual void PumpNoticeC() {}
    // The outcome of a connect, with the peer's IPv4 address and port in
    // host byte order.
    virtual void OnConnectResult(int result, uint32_t peerAddress, uint16_t peerPort) = 0;
    virtual void PumpNoticeD() {}
    virtual void PumpNoticeE() {}
    // Data can be read from the network.
    virtual void OnNetworkData() = 0;
    // The network can take data again.
    virtual void OnNetworkWritable() = 0;
    virtual void Trace(const char* text) = 0;

  protected:
    virtual ~DataPumpClient() = default;
};
