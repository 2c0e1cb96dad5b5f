#include "common/runtime/LockFile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/runtime/PortvanePaths.h"

std::string LockFile::PathFor(const std::string& name) {
    return PortvanePaths::LockDirectory() + "/LCK.." + name;
}

namespace {

// The leading decimal number of a record (blanks before it allowed), or 0
// when there is none or it does not fit a process id: garbage names nobody.
int LeadingNumber(const char* text, const char** end) {
    char* stop = nullptr;
    errno = 0;
    long value = strtol(text, &stop, 10);
    *end = stop;
    if (stop == text || errno == ERANGE || value <= 0 || value > INT32_MAX) {
        return 0;
    }
    return static_cast<int>(value);
}

// Parses "%d,%d": the owner's pid (0 when unusable) and the port (0 when
// absent or out of range).
int ParseRecord(const char* text, int* port) {
    const char* end = nullptr;
    int pid = LeadingNumber(text, &end);
    *port = 0;
    if (pid != 0 && *end == ',') {
        const char* portEnd = nullptr;
        int value = LeadingNumber(end + 1, &portEnd);
        *port = value <= 0xFFFF ? value : 0;
    }
    return pid;
}

// Stale locks are removed and the create tried again; a bound keeps a
// local user who keeps planting files from holding the start in a loop.
constexpr int kMaxAttempts = 16;

}  // namespace

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
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid())) {
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
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
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
        int ignoredPort = 0;
        int owner = ParseRecord(buffer, &ignoredPort);
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
    return FAILED;
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
    int ownerPort = 0;
    int owner = ParseRecord(buffer, &ownerPort);
    if (owner == 0) {
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
