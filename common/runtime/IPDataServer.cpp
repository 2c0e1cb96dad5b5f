#include "common/runtime/IPDataServer.h"

void IPDataServer::Lock() {
    if (mutex_ != nullptr) {
        mutex_->lock();
    }
}

void IPDataServer::Unlock() {
    if (mutex_ != nullptr) {
        mutex_->unlock();
    }
}

int IPDataServer::EnableEvents(int read, int write) {
    eventFlags_ |= (read ? kReadFlag : 0) | (write ? kWriteFlag : 0);
    return 1;
}

int IPDataServer::DisableEvents(int read, int write) {
    eventFlags_ &= ~((read ? kReadFlag : 0) | (write ? kWriteFlag : 0));
    return 1;
}
