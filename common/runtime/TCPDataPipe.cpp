#include "common/runtime/TCPDataPipe.h"

TCPDataPipe::TCPDataPipe(TCPDataClient* outer, TCPDataServerFactory* factory,
                         SelectManager* manager, std::recursive_mutex* mutex)
    : IPDataPipe(outer, factory, manager, mutex) {}

int TCPDataPipe::Connect(const char* host, uint16_t port, IPAddress* resolved) {
    return inner_->Connect(host, port, resolved);
}

int TCPDataPipe::ConnectAsync(const char* host, uint16_t port) {
    return inner_->ConnectAsync(host, port);
}

int TCPDataPipe::GetStatus() {
    return inner_->GetStatus();
}

bool TCPDataPipe::IsConnecting() {
    return inner_->IsConnecting();
}

int TCPDataPipe::Detach(TCPListener* listener) {
    return inner_->Detach(listener);
}

int TCPDataPipe::Attach(TCPListener* listener, const IPAddress* local, const IPAddress* remote,
                        int* descriptor) {
    return inner_->Attach(listener, local, remote, descriptor);
}

int TCPDataPipe::GetReceiveBufferSize() {
    return inner_->GetReceiveBufferSize();
}

int TCPDataPipe::SetReceiveBufferSize(int size) {
    return inner_->SetReceiveBufferSize(size);
}

int TCPDataPipe::GetSendBufferSize() {
    return inner_->GetSendBufferSize();
}

int TCPDataPipe::SetSendBufferSize(int size) {
    return inner_->SetSendBufferSize(size);
}

int TCPDataPipe::SetKeepAlive(int on) {
    return inner_->SetKeepAlive(on);
}

int TCPDataPipe::BytesAvailable() {
    return inner_->BytesAvailable();
}

int TCPDataPipe::SetNoDelay(int on) {
    return inner_->SetNoDelay(on);
}

TCPDataServer* TCPDataPipe::GetTCPDataServer() {
    return inner_->GetTCPDataServer();
}

void TCPDataPipe::OnClose(int reason) {
    if (Outer() != nullptr) {
        Outer()->OnClose(reason);
    }
}

void TCPDataPipe::OnConnect(int result, const IPAddress* remote, uint16_t port) {
    if (Outer() != nullptr) {
        Outer()->OnConnect(result, remote, port);
    }
}
