#include "common/runtime/SelectManagerClient.h"

#include "common/runtime/SelectManager.h"

SelectManagerClient::~SelectManagerClient() {
    if (manager_ != nullptr) {
        manager_->RemoveClient(this);
    }
}

bool SelectManagerClient::AddSelect(int fd, int mask) {
    if (fd < 0) {
        return false;
    }
    int old = GetSelect(fd);
    int updated = old | mask;
    if (updated == old) {
        return true;
    }
    interest_[fd] = updated;
    if (manager_ == nullptr) {
        return false;
    }
    return manager_->AddInterest(this, fd, mask);
}

bool SelectManagerClient::RemoveSelect(int fd, int mask) {
    if (fd < 0) {
        return false;
    }
    auto it = interest_.find(fd);
    if (it != interest_.end()) {
        int updated = it->second & ~mask;
        if (updated == it->second) {
            return true;
        }
        if (updated == 0) {
            interest_.erase(it);
        } else {
            it->second = updated;
        }
    }
    if (manager_ == nullptr) {
        return false;
    }
    return manager_->UpdateInterest(this, fd, mask);
}

int SelectManagerClient::GetSelect(int fd) const {
    auto it = interest_.find(fd);
    return it == interest_.end() ? 0 : it->second;
}
