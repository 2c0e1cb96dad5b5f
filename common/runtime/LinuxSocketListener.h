// A listening TCP socket: accepts connections on its manager's loop and hands
// each to the data server its TCPListenerClient names, or refuses it. The
// socket part holds the listening descriptor and reports to a shared
// do-nothing client. Listen, Close and RejectPending may be called from
// other threads when an external mutex was given: they take it, and so does
// the accept on the loop thread (the client is called without it).
#pragma once

#include <cstdint>

#include "common/runtime/LinuxSocket.h"
#include "common/runtime/TCPListener.h"

class LinuxSocketListener : public TCPListener, public LinuxSocket {
  public:
    static constexpr uint16_t kFirstAutomaticPort = 49152;
    static constexpr uint16_t kLastAutomaticPort = 65534;

    // The client of every listener's socket part: it hears nothing useful.
    class DummyClient : public TCPDataClient {
      public:
        static DummyClient* Instance();
        void OnWritable() override {}
        void OnReadable() override {}
        void OnError(const char*) override {}
        void OnClose(int) override {}
        void OnConnect(int, const IPAddress*, uint16_t) override {}
    };

    LinuxSocketListener(SelectManager* manager, TCPListenerClient* client,
                        std::recursive_mutex* mutex = nullptr);
    ~LinuxSocketListener() override;

    // The address the next Listen binds, in host byte order; 0 (the
    // default) is every local address. A listener meant for this host only
    // (the daemon's unauthenticated control channel) binds 127.0.0.1.
    void SetBindAddress(uint32_t address) { bindAddress_ = address; }

    int Listen(uint16_t port) override;
    int Close() override;
    int RejectPending(const char* message) override;

    void OnSelect(int fd, int events) override;

  private:
    // Binds the open descriptor to `port`, or to the first free port of the
    // automatic range when it is 0.
    int BindListeningPort(uint16_t port, uint16_t* bound);
    void AcceptOne();
    void OpenSpare();
    // Accepts one connection and closes it at once, for when no descriptor
    // is left to take it: a queued connection that is never accepted would
    // keep the listener readable and the loop spinning.
    void ShedOne();

    // Held in reserve for ShedOne; -1 when none.
    int spareDescriptor_ = -1;
    uint32_t bindAddress_ = 0;
};
