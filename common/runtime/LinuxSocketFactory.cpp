#include "common/runtime/LinuxSocketFactory.h"

#include "common/runtime/LinuxSocket.h"

std::unique_ptr<TCPDataServer> LinuxSocketFactory::Create(TCPDataClient* client,
                                                          SelectManager* manager,
                                                          std::recursive_mutex* mutex) {
    return std::make_unique<LinuxSocket>(manager, client, mutex);
}
