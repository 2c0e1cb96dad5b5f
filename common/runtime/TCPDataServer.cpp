#include "common/runtime/TCPDataServer.h"

int TCPDataServer::Detach(TCPListener* /*listener*/) {
    return 0;
}
