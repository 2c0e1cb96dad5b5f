#include "common/runtime/LockFile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/runtime/PortvanePaths.h"

std::string LockFile::PathFor(const std::string& name) {
    return PortvanePaths::LockDirectory() + "/LCK.." + name;
}

LockFile::LockFile(const std::string& name, uint16_t port)
    : pid_(getpid()), port_(port), name_(name), path_(PathFor(name)) {}

bool LockFile::ReadTrusted(char* buffer, int* length, bool* untrusted) {
    *untrusted = false;
    int fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *untrusted = errno == ELOOP;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_uid != 0 && st.st_uid != geteuid())) {
        close(fd);
        *untrusted = true;
        return false;
    }
    ssize_t n = read(fd, buffer, kRecordSize);
    close(fd);
    if (n < 0) {
        return false;
    }
    buffer[n] = '\0';
    *length = static_cast<int>(n);
    return true;
}

int LockFile::Acquire() {
    pid_ = getpid();
    for (;;) {
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char record[kRecordSize + 1];
            snprintf(record, sizeof record, "%10d,%10d\n", pid_, static_cast<int>(port_));
            ssize_t n = write(fd, record, kRecordSize);
            // The mode must not depend on the umask: the tools of every user
            // read this file.
            fchmod(fd, 0644);
            close(fd);
            if (n == kRecordSize) {
                return ACQUIRED;
            }
            unlink(path_.c_str());
            return FAILED;
        }
        if (errno != EEXIST) {
            return FAILED;
        }
        char buffer[kRecordSize + 1];
        int length = 0;
        bool untrusted = false;
        if (!ReadTrusted(buffer, &length, &untrusted)) {
            if (!untrusted) {
                return FAILED;
            }
            // A planted file or link: stale by definition.
            if (unlink(path_.c_str()) != 0) {
                return FAILED;
            }
            continue;
        }
        int owner = atoi(buffer);
        if (owner == pid_) {
            return ACQUIRED;
        }
        if (owner > 0) {
            if (kill(owner, 0) == 0 || errno != ESRCH) {
                return HELD;
            }
        }
        // Garbage, 0, a negative number or a process that has gone.
        if (unlink(path_.c_str()) != 0) {
            return FAILED;
        }
    }
}

int LockFile::Release() {
    int r = Acquire();
    if (r == ACQUIRED) {
        unlink(path_.c_str());
    }
    return r;
}

int LockFile::ReadOwner(int* pid, uint16_t* port) {
    char buffer[kRecordSize + 1];
    int length = 0;
    bool untrusted = false;
    if (!ReadTrusted(buffer, &length, &untrusted)) {
        return FAILED;
    }
    int owner = 0;
    int ownerPort = 0;
    if (sscanf(buffer, "%d,%d", &owner, &ownerPort) < 1 || owner <= 0) {
        return FAILED;
    }
    if (kill(owner, 0) != 0 && errno == ESRCH) {
        return FAILED;
    }
    if (pid != nullptr) {
        *pid = owner;
    }
    if (port != nullptr) {
        *port = static_cast<uint16_t>(ownerPort);
    }
    return HELD;
}
