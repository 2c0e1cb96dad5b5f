#include "daemon/ports/PTYDevice.h"

#include <errno.h>
#include <unistd.h>

#include "common/runtime/SelectManager.h"
#include "daemon/ports/PTYRedirector.h"
#include "daemon/ports/PortStatus.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTChannel.h"

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {

int PollTimeout(uint32_t t) {
    return t == KtTimerGroup::kNoTimer ? -1 : static_cast<int>(t & 0x7FFFFFFF);
}

}  // namespace

PTYDevice::PTYDevice(PTYRedirector* redirector, VirtualUART* uart)
    : KtTimerManager(uart->GetTimerGroup()),
      SelectManagerClient(&uart->GetSelectManager()),
      redirector_(redirector),
      uart_(uart) {}

PTYDevice::~PTYDevice() {
    StopDrain();
    Guard lock(lock_);
    if (fd_ >= 0) {
        RemoveSelect(fd_, SELECT_READ | SELECT_WRITE | SELECT_ERROR);
        fd_ = -1;
    }
    if (SelectManager* manager = GetSelectManager()) {
        manager->RemoveClient(this);
    }
}

// ---- attach and detach -----------------------------------------------------

bool PTYDevice::Attach(int masterFd) {
    {
        Guard lock(lock_);
        fd_ = masterFd;
        // Whatever an earlier use left unread belongs to that use; reset
        // before the UART can start pulling from this one.
        buffered_ = 0;
        cursor_ = 0;
        busy_ = false;
        uart_->GetSelectManager().AddClient(this);
        openPending_.store(true);
        drainRunning_ = false;
    }
    // The UART reads the line settings, opens the network side and answers
    // through OpenComplete, possibly before this returns.
    VirtualUARTChannel* channel = uart_->AttachDriver(this, 0);
    channel_.store(channel);
    if (channel != nullptr) {
        Guard lock(lock_);
        AddSelect(fd_, SELECT_ERROR);
    } else {
        openPending_.store(false);
    }
    if (uart_->GetDriver() != this) {
        // Refused: nobody else will read the master, so the device drains
        // it itself until the application closes.
        channel_.store(nullptr);
        Guard lock(lock_);
        if (fd_ >= 0 && !drainRunning_) {
            StartDrain();
        }
    }
    Guard lock(lock_);
    return fd_ >= 0;
}

bool PTYDevice::Detach(int masterFd) {
    {
        Guard lock(lock_);
        if (masterFd < 0 || masterFd != fd_) {
            return false;
        }
        if (drainRunning_) {
            // No join: this may be the drain thread itself, recycling.
            drainRunning_ = false;
            WakeLoop();
        }
        RemoveSelect(fd_, SELECT_READ | SELECT_WRITE | SELECT_ERROR);
        uart_->GetSelectManager().RemoveClient(this);
        fd_ = -1;
    }
    if (channel_.exchange(nullptr) != nullptr) {
        // The port's close.
        uart_->DetachDriver(this);
    }
    openPending_.store(false);
    return true;
}

void PTYDevice::OpenComplete(int status) {
    if (status == UART_STATUS_SUCCESS) {
        // The answer may come on the port thread before AttachDriver has
        // returned the channel to Attach. Readiness starts flowing with the
        // interest added below, so the channel must be known first: else
        // what the application wrote just before closing would be read by
        // nobody and the pseudo-terminal recycled with it.
        channel_.store(&uart_->ToDevice());
    }
    openPending_.store(false);
    Guard lock(lock_);
    AddSelect(fd_, SELECT_READ | SELECT_WRITE);
    if (status == UART_STATUS_PORT_CLOSED && fd_ >= 0 && !drainRunning_) {
        channel_.store(nullptr);
        StartDrain();
    }
}

// ---- data ------------------------------------------------------------------

int PTYDevice::Transmit(int) {
    VirtualUARTChannel* channel = channel_.load();
    bool draining;
    {
        Guard lock(lock_);
        draining = drainRunning_;
    }
    if ((channel == nullptr && !draining) || busy_) {
        return 0;
    }
    if (channel != nullptr) {
        channel->SetBlocked(false);
    }
    if (openPending_.load()) {
        // The kernel keeps what the application writes until the open
        // completes.
        return 0;
    }
    busy_ = true;
    int total = 0;
    for (;;) {
        bool lastPass = false;
        {
            Guard lock(lock_);
            if (fd_ < 0) {
                break;
            }
            if (buffered_ == 0) {
                ssize_t n = read(fd_, readBuffer_, sizeof readBuffer_);
                if (n < 0) {
                    // EAGAIN: all read; EIO: the application has gone.
                    n = 0;
                    lastPass = true;
                }
                buffered_ = static_cast<int>(n);
                cursor_ = 0;
            }
            if (buffered_ == 0) {
                AddSelect(fd_, SELECT_READ);
                break;
            }
        }
        int accepted = buffered_;
        if (channel != nullptr) {
            accepted = channel->Write(readBuffer_ + cursor_, buffered_);
            if (accepted <= 0) {
                // Stop reading until the network side asks for more; the
                // bytes stay here for that call.
                Guard lock(lock_);
                RemoveSelect(fd_, SELECT_READ);
                channel->SetBlocked(true);
                break;
            }
            if (accepted > buffered_) {
                accepted = buffered_;
            }
        }
        cursor_ += accepted;
        buffered_ -= accepted;
        total += accepted;
        if (lastPass) {
            break;
        }
    }
    busy_ = false;
    return total;
}

int PTYDevice::ReceiveData(const uint8_t* bytes, int length) {
    Guard lock(lock_);
    if (fd_ < 0) {
        // Nobody to deliver to: dropped as if delivered.
        return length;
    }
    ssize_t n = length > 0 ? write(fd_, bytes, static_cast<size_t>(length)) : 0;
    int written = n < 0 ? 0 : static_cast<int>(n);
    bool waiting = (GetSelect(fd_) & SELECT_WRITE) != 0;
    if (written >= length && waiting) {
        RemoveSelect(fd_, SELECT_WRITE);
    } else if (written < length && !waiting) {
        // The master is full: ask to be told when it drains.
        AddSelect(fd_, SELECT_WRITE);
    }
    return written;
}

void PTYDevice::OnSelect(int fd, int events) {
    {
        Guard lock(lock_);
        if (fd < 0 || fd != fd_) {
            return;
        }
    }
    if ((events & SELECT_READ) != 0) {
        Transmit(1);
    }
    if ((events & SELECT_WRITE) != 0) {
        VirtualUARTChannel* channel = channel_.load();
        if (channel != nullptr) {
            channel->PullFromPeer(1);
        }
        // Without a channel nothing will ever be written: a master that
        // stays writable would otherwise wake the loop on every pass.
        if (channel == nullptr || !uart_->ToDriver().IsBlocked()) {
            Guard lock(lock_);
            if (fd == fd_) {
                RemoveSelect(fd, SELECT_WRITE);
            }
        }
    }
    if ((events & SELECT_ERROR) != 0) {
        // The application closed: collect what it wrote last, then put a
        // fresh pseudo-terminal behind the name.
        {
            Guard lock(lock_);
            drainRunning_ = false;
        }
        Transmit(1);
        redirector_->RecyclePty(fd);
    }
}

// ---- drain thread ----------------------------------------------------------

void PTYDevice::StartDrain() {
    if (drainActive_) {
        // Told to stop but still in its loop: it simply carries on.
        drainRunning_ = true;
        return;
    }
    // A thread past its loop takes none of our locks any more, so it can be
    // reaped while lock_ is held.
    drainThread_.Join();
    drainRunning_ = true;
    drainActive_ = true;
    if (drainThread_.Start(&PTYDevice::DrainEntry, this) != 0) {
        drainRunning_ = false;
        drainActive_ = false;
    }
}

void PTYDevice::StopDrain() {
    {
        Guard lock(lock_);
        drainRunning_ = false;
    }
    WakeLoop();
    drainThread_.Join();
}

void* PTYDevice::DrainEntry(void* parameter) {
    UnixThread* thread = static_cast<UnixThread*>(parameter);
    static_cast<PTYDevice*>(thread->GetArgument())->RunDrain();
    thread->Exit(0);
}

bool PTYDevice::DrainShouldRun() {
    Guard lock(lock_);
    if (!drainRunning_) {
        drainActive_ = false;
    }
    return drainRunning_;
}

// Serves the port's loop while the UART's own thread does not: the master is
// read and emptied, and the application's close is still noticed.
void PTYDevice::RunDrain() {
    KtTimerGroup& group = *GetTimerGroup();
    SelectManager& manager = uart_->GetSelectManager();
    while (DrainShouldRun()) {
        uint32_t t = group.TimeToNextTimer();
        if (t == 0) {
            group.RunExpiredTimers();
            if (!DrainShouldRun()) {
                break;
            }
            t = group.TimeToNextTimer();
        }
        if (!DrainShouldRun()) {
            break;
        }
        manager.Poll(PollTimeout(t));
    }
}

int PTYDevice::GetFd() {
    Guard lock(lock_);
    return fd_;
}

bool PTYDevice::IsDraining() {
    Guard lock(lock_);
    return drainRunning_;
}
