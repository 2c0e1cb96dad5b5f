#include "common/runtime/UDPSocketFactory.h"

#include "common/runtime/UDPSocket.h"

std::unique_ptr<UDPDataServer> UDPSocketFactory::Create(IPDataClient* client,
                                                        SelectManager* manager,
                                                        std::recursive_mutex* mutex) {
    return std::make_unique<UDPSocket>(manager, client, mutex);
}
