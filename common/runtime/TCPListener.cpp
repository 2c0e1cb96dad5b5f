#include "common/runtime/TCPListener.h"

int TCPListener::SetPort(uint16_t /*port*/) {
    return 0;
}
