#include "daemon/ports/PTYRedirector.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "common/config/ConfigKeys.h"
#include "common/config/PortSettings.h"
#include "common/runtime/DebugMonitor.h"
#include "common/runtime/PortvanePaths.h"
#include "daemon/ports/PTYConnectionListener.h"
#include "daemon/redirect/VirtualDCEDeviceFactory.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// An octal mode as the chmod setting writes it ("620", "0660").
bool ParseMode(const std::string& text, mode_t* mode) {
    if (text.empty() || text.size() > 12) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '7') {
            return false;
        }
    }
    *mode = static_cast<mode_t>(strtoul(text.c_str(), nullptr, 8) & 07777);
    return true;
}

// The buffer the reentrant user and group lookups fill.
size_t LookupBufferSize(int sysconfName) {
    long size = sysconf(sysconfName);
    if (size <= 0) {
        size = PTYRedirector::kDefaultRecordBufferSize;
    }
    return std::max(static_cast<size_t>(size), PTYRedirector::kUserStringBufferSize);
}

}  // namespace

PTYRedirector::PTYRedirector(const std::string& name, VirtualDCEDeviceFactory* factory,
                             PTYConnectionListener* listener)
    : uart_(name), device_(this, &uart_), listener_(listener) {
    if (factory != nullptr) {
        dceDevice_ = factory->CreateDevice(&uart_, &uart_.GetSelectManager());
    }
}

PTYRedirector::~PTYRedirector() {
    Close();
    dceDevice_.reset();
}

void PTYRedirector::Close() {
    {
        Lock lock(lock_);
        closing_ = true;
    }
    if (listener_ != nullptr) {
        // The listener may be telling this port of an open right now.
        listener_->Forget(this);
    }
    // The device's registration with the port's loop may only change while
    // no loop thread reads it: first the port thread, then a drain thread
    // stop; neither can start again once closing_ is set.
    uart_.StopThread(true);
    device_.StopDrain();
    DestroyPty();
}

void PTYRedirector::LogError(const char* format, ...) {
    char text[DebugMonitor::kLogfBuffer];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    DebugMonitor::Instance().Log(DEBUG_ERROR, GetName(), 0, text);
}

std::string PTYRedirector::LinkPath() const {
    return PortvanePaths::DeviceLink(GetName());
}

int PTYRedirector::CreatedCount() {
    Lock lock(lock_);
    return created_;
}

int PTYRedirector::GetMasterFd() {
    Lock lock(lock_);
    return masterFd_;
}

std::string PTYRedirector::GetSlavePath() {
    Lock lock(lock_);
    return slavePath_;
}

// ---- creation and destruction ---------------------------------------------

bool PTYRedirector::CreatePty() {
    Lock lock(lock_);
    if (masterFd_ >= 0) {
        return true;
    }
    if (closing_) {
        return false;
    }
    masterFd_ = open(kMasterPath, O_RDWR | O_NOCTTY);
    if (masterFd_ < 0) {
        LogError("Error %d when opening master pty", errno);
        masterFd_ = -1;
        return false;
    }
    fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
    grantpt(masterFd_);
    unlockpt(masterFd_);
    char slave[kSlaveNameSize];
    int error = ptsname_r(masterFd_, slave, sizeof slave);
    if (error != 0) {
        LogError("Error %d when querying pty name", error);
        AbandonMaster();
        return false;
    }
    struct stat node;
    haveSlaveNode_ = stat(slave, &node) == 0;
    if (haveSlaveNode_) {
        slaveUid_ = static_cast<int>(node.st_uid);
        slaveGid_ = static_cast<int>(node.st_gid);
        slaveDevice_ = node.st_dev;
        slaveInode_ = node.st_ino;
    } else {
        slaveUid_ = -1;
        slaveGid_ = -1;
        LogError("Unable to stat slave pty %s", slave);
    }
    std::string link = LinkPath();
    if (!ClearLinkPlace(link, slave)) {
        AbandonMaster();
        return false;
    }
    // Watched before it is published: the kernel reports nothing on the
    // master when the slave is opened, so an open through the new link
    // must find the node watch in place.
    if (listener_ != nullptr) {
        listener_->Watch(masterFd_, this, slave);
    }
    if (symlink(slave, link.c_str()) != 0) {
        LogError("Error %d when creating symlink to pty %s", errno, slave);
        AbandonMaster();
        return false;
    }
    slavePath_ = slave;
    if (!ApplyPermissions(slave) || !ApplyOwner(slave) || !ApplyGroup(slave)) {
        // The kernel hands this pty's number to the next one opened; a link
        // left behind would lead an application to someone else's terminal.
        RemoveLinkIfOurs();
        AbandonMaster();
        return false;
    }
    ++created_;
    return true;
}

bool PTYRedirector::ClearLinkPlace(const std::string& link, const std::string& slave) {
    struct stat place;
    if (lstat(link.c_str(), &place) != 0) {
        return true;
    }
    if (S_ISLNK(place.st_mode)) {
        char target[kSlaveNameSize];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        std::string prefix = kSlaveDirectory;
        if (n > 0 &&
            std::string(target, static_cast<size_t>(n)).compare(0, prefix.size(), prefix) == 0) {
            // A pseudo-terminal link left by an earlier run or use.
            unlink(link.c_str());
            return true;
        }
    }
    // Someone else's file, device or link (a system name such as stdin):
    // never touched.
    LogError("File or device %s already exists, cannot create symlink to pty %s", link.c_str(),
             slave.c_str());
    return false;
}

void PTYRedirector::AbandonMaster() {
    if (masterFd_ < 0) {
        return;
    }
    if (listener_ != nullptr) {
        listener_->Unwatch(masterFd_);
    }
    close(masterFd_);
    masterFd_ = -1;
    slavePath_.clear();
    haveSlaveNode_ = false;
}

bool PTYRedirector::LinkIsOurs(const std::string& link) {
    if (slavePath_.empty()) {
        return false;
    }
    struct stat place;
    if (lstat(link.c_str(), &place) != 0 || !S_ISLNK(place.st_mode)) {
        return false;
    }
    char target[kSlaveNameSize];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || std::string(target, static_cast<size_t>(n)) != slavePath_) {
        return false;
    }
    if (!haveSlaveNode_) {
        return true;
    }
    struct stat node;
    return stat(link.c_str(), &node) == 0 && node.st_dev == slaveDevice_ &&
           node.st_ino == slaveInode_;
}

void PTYRedirector::RemoveLinkIfOurs() {
    std::string link = LinkPath();
    if (!LinkIsOurs(link)) {
        // Replaced by someone else meanwhile, or never ours.
        return;
    }
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        LogError("Error %d when deleting symlink", errno);
    }
}

void PTYRedirector::DestroyPty() {
    int master;
    {
        Lock lock(lock_);
        // Checked while the master is still open, so its slave's number
        // cannot have gone to another pty yet.
        RemoveLinkIfOurs();
        master = masterFd_;
        masterFd_ = -1;
        slavePath_.clear();
        haveSlaveNode_ = false;
        if (master >= 0 && listener_ != nullptr) {
            listener_->Unwatch(master);
        }
    }
    if (master < 0) {
        return;
    }
    // Outside the lock (unless a recycle holds it on the port thread): the
    // UART's close may wait for the port thread, which may itself be
    // waiting in RecyclePty for this lock; it then finds the master gone.
    device_.Detach(master);
    close(master);
}

void PTYRedirector::RecyclePty(int masterFd) {
    Lock lock(lock_);
    if (closing_ || masterFd < 0 || masterFd != masterFd_) {
        return;
    }
    DestroyPty();
    CreatePty();
}

void PTYRedirector::OnPtyOpened(int masterFd) {
    Lock lock(lock_);
    if (closing_ || masterFd < 0 || masterFd != masterFd_) {
        // A master destroyed since the listener saw it, or a port going.
        return;
    }
    if (!device_.Attach(masterFd)) {
        LogError("Unable to respond to pty open");
    }
}

// ---- mode, owner, group ----------------------------------------------------

bool PTYRedirector::ResolveSlave(const char* path, std::string* slave) {
    if (path != nullptr) {
        *slave = path;
        return true;
    }
    char name[kSlaveNameSize];
    int error = masterFd_ < 0 ? EBADF : ptsname_r(masterFd_, name, sizeof name);
    if (error != 0) {
        LogError("Error %d when querying pty name", error);
        return false;
    }
    *slave = name;
    return true;
}

bool PTYRedirector::ApplyPermissions(const char* path) {
    Lock lock(lock_);
    std::string slave;
    if (!ResolveSlave(path, &slave)) {
        return false;
    }
    mode_t mode = 0777;
    std::string text;
    if (PortSettings(GetName()).FindText(ConfigKeys::kChmod, &text) && !ParseMode(text, &mode)) {
        mode = 0777;
    }
    if (chmod(slave.c_str(), mode) != 0) {
        LogError("Error %d when setting permissions on pty %s", errno, slave.c_str());
        return false;
    }
    return true;
}

bool PTYRedirector::LookupUser(const std::string& user, uid_t* uid) {
    size_t size = LookupBufferSize(_SC_GETPW_R_SIZE_MAX);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        LogError("Insufficient memory when querying user id for user '%s'", user.c_str());
        return false;
    }
    struct passwd record;
    struct passwd* found = nullptr;
    errno = 0;
    int error = getpwnam_r(user.c_str(), &record, buffer.get(), size, &found);
    if (error != 0 || found == nullptr) {
        LogError("Error %d when querying user id for user '%s'", error != 0 ? error : errno,
                 user.c_str());
        return false;
    }
    *uid = found->pw_uid;
    return true;
}

bool PTYRedirector::LookupGroup(const std::string& group, gid_t* gid) {
    size_t size = LookupBufferSize(_SC_GETGR_R_SIZE_MAX);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        LogError("Insufficient memory when querying group id for group '%s'", group.c_str());
        return false;
    }
    struct group record;
    struct group* found = nullptr;
    errno = 0;
    int error = getgrnam_r(group.c_str(), &record, buffer.get(), size, &found);
    if (error != 0 || found == nullptr) {
        LogError("Error %d when querying group id for group '%s'", error != 0 ? error : errno,
                 group.c_str());
        return false;
    }
    *gid = found->gr_gid;
    return true;
}

bool PTYRedirector::ApplyOwner(const char* path) {
    Lock lock(lock_);
    std::string slave;
    if (!ResolveSlave(path, &slave)) {
        return false;
    }
    std::string user = PortSettings(GetName()).Text(ConfigKeys::kChown);
    uid_t uid;
    if (!user.empty()) {
        if (!LookupUser(user, &uid)) {
            return false;
        }
    } else if (path != nullptr) {
        // At creation the kernel's owner stays.
        return true;
    } else {
        // The setting was removed: back to the owner found at creation
        // (-1, unknown, leaves it as it is).
        uid = static_cast<uid_t>(slaveUid_);
    }
    if (chown(slave.c_str(), uid, static_cast<gid_t>(-1)) != 0) {
        LogError("Error %d when setting user id '%d'", errno, static_cast<int>(uid));
        return false;
    }
    return true;
}

bool PTYRedirector::ApplyGroup(const char* path) {
    Lock lock(lock_);
    std::string slave;
    if (!ResolveSlave(path, &slave)) {
        return false;
    }
    std::string name = PortSettings(GetName()).Text(ConfigKeys::kChgrp);
    gid_t gid;
    if (!name.empty()) {
        if (!LookupGroup(name, &gid)) {
            return false;
        }
    } else if (path != nullptr) {
        return true;
    } else {
        gid = static_cast<gid_t>(slaveGid_);
    }
    if (chown(slave.c_str(), static_cast<uid_t>(-1), gid) != 0) {
        LogError("Error %d when setting group id '%d'", errno, static_cast<int>(gid));
        return false;
    }
    return true;
}
