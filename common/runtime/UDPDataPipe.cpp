#include "common/runtime/UDPDataPipe.h"

UDPDataPipe::UDPDataPipe(IPDataClient* outer, UDPDataServerFactory* factory, SelectManager* manager,
                         std::recursive_mutex* mutex)
    : IPDataPipe(outer, factory, manager, mutex) {}

int UDPDataPipe::SendTo(const void* data, uint16_t length, const IPAddress* to) {
    return inner_->SendTo(data, length, to);
}

int UDPDataPipe::ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) {
    return inner_->ReceiveFrom(buffer, length, from);
}

UDPDataServer* UDPDataPipe::GetUDPDataServer() {
    return inner_->GetUDPDataServer();
}
