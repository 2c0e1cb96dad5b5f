// A layer between a user and a data server: to the user it is a server, to
// the server below it is the client. Every call and notification passes
// straight through unless a derived protocol layer overrides it. The pipe
// owns its inner server (made by the factory given at construction, with the
// pipe as its client and the same external mutex); the outer client is
// non-owning. Used on the inner server's event-loop thread.
#pragma once

#include <memory>
#include <mutex>

#include "common/runtime/IPDataServer.h"

class SelectManager;

template <class Client, class Server>
class IPDataPipe : public Client, public Server {
  public:
    int EnableEvents(int read, int write) override {
        int result = inner_->EnableEvents(read, write);
        this->eventFlags_ = inner_->GetEventFlags();
        return result;
    }
    int DisableEvents(int read, int write) override {
        int result = inner_->DisableEvents(read, write);
        this->eventFlags_ = inner_->GetEventFlags();
        return result;
    }

    int Close() override { return inner_->Close(); }
    int Bind(uint16_t port) override { return inner_->Bind(port); }
    int Write(const char* data, uint16_t length) override { return inner_->Write(data, length); }
    int Read(char* buffer, uint16_t length) override { return inner_->Read(buffer, length); }
    int ReadBuffer(void** out, uint16_t length) override { return inner_->ReadBuffer(out, length); }
    int Peek(char* buffer, uint16_t length) override { return inner_->Peek(buffer, length); }
    int PeekBuffered(void** out, uint16_t length) override {
        return inner_->PeekBuffered(out, length);
    }
    uint16_t GetRemotePort() override { return inner_->GetRemotePort(); }
    const IPAddress* GetRemoteAddress() override { return inner_->GetRemoteAddress(); }
    const IPAddress* GetLocalAddress() override { return inner_->GetLocalAddress(); }
    bool IsOpen() override { return inner_->IsOpen(); }
    int GetLastError() override { return inner_->GetLastError(); }

    // Readiness reaches the outer client only while this pipe's notification
    // flags are not both clear; errors always do.
    void OnWritable() override {
        if (this->eventFlags_ != 0 && Outer() != nullptr) {
            Outer()->OnWritable();
        }
    }
    void OnReadable() override {
        if (this->eventFlags_ != 0 && Outer() != nullptr) {
            Outer()->OnReadable();
        }
    }
    void OnError(const char* text) override {
        if (Outer() != nullptr) {
            Outer()->OnError(text);
        }
    }

    Server* GetInnerServer() const { return inner_.get(); }

  protected:
    template <class Factory>
    IPDataPipe(Client* outer, Factory* factory, SelectManager* manager, std::recursive_mutex* mutex)
        : Server(outer, mutex), inner_(factory->Create(this, manager, mutex)) {}

    Client* Outer() const { return static_cast<Client*>(this->client_); }

    std::unique_ptr<Server> inner_;
};
