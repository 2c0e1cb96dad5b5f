#include "common/runtime/UnixEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

UnixEvent::UnixEvent() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        readFd_ = fds[0];
        writeFd_ = fds[1];
        // A burst of signals must never block the signalling thread, and a
        // drain must never block the loop.
        fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
        fcntl(writeFd_, F_SETFL, fcntl(writeFd_, F_GETFL) | O_NONBLOCK);
    }
}

UnixEvent::~UnixEvent() {
    if (readFd_ != -1) {
        close(readFd_);
        readFd_ = -1;
    }
    if (writeFd_ != -1) {
        close(writeFd_);
        writeFd_ = -1;
    }
}

void UnixEvent::Signal() {
    if (writeFd_ != -1) {
        char c = ' ';
        ssize_t ignored = write(writeFd_, &c, 1);
        (void)ignored;
    }
}

void UnixEvent::Clear() {
    if (readFd_ != -1) {
        char c;
        ssize_t ignored = read(readFd_, &c, 1);
        (void)ignored;
    }
}

void UnixEvent::Wait(uint32_t timeoutMs) {
    if (readFd_ == -1) {
        if (timeoutMs == 0xFFFFFFFFu) {
            return;
        }
        struct timespec ts;
        ts.tv_sec = timeoutMs / 1000;
        ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        nanosleep(&ts, nullptr);
        return;
    }
    struct pollfd p = {readFd_, POLLIN, 0};
    int timeout =
        timeoutMs == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min<uint32_t>(timeoutMs, INT_MAX));
    poll(&p, 1, timeout);
}
