// Something that watches descriptors on a SelectManager. The interest map has
// no lock: a client changes its interest from the loop's thread or under a
// lock of its own. The manager is a non-owning back-reference, null once the
// manager has gone.
#pragma once

#include <map>

class SelectManager;

class SelectManagerClient {
public:
    explicit SelectManagerClient(SelectManager* manager) : manager_(manager) {}
    virtual ~SelectManagerClient();
    SelectManagerClient(const SelectManagerClient&) = delete;
    SelectManagerClient& operator=(const SelectManagerClient&) = delete;

    // Called on the loop's thread; fd is -1 when poll() itself failed.
    virtual void OnSelect(int fd, int events) = 0;

    bool AddSelect(int fd, int mask);
    bool RemoveSelect(int fd, int mask);
    int GetSelect(int fd) const;

    SelectManager* GetSelectManager() const { return manager_; }

private:
    friend class SelectManager;
    void Detach() {
        manager_ = nullptr;
        interest_.clear();
    }

    SelectManager* manager_;
    std::map<int, int> interest_;
};
