// The receiving side of a data server (a socket or a pipe layer): told on
// the server's event-loop thread when data can be read, when more data can
// be written, and of diagnostic texts. Implemented by whoever uses a server;
// the server holds it as a non-owning pointer and never deletes it.
#pragma once

class IPDataClient {
  public:
    virtual void OnWritable() = 0;
    virtual void OnReadable() = 0;
    // A diagnostic from the server; the client may log it.
    virtual void OnError(const char* text) = 0;

  protected:
    // Never deleted through this interface.
    ~IPDataClient() = default;
};
