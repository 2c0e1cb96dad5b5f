#include "common/runtime/UDPSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

UDPSocket::UDPSocket(SelectManager* manager, IPDataClient* client, std::recursive_mutex* mutex)
    : UDPDataServer(client, mutex), SelectManagerClient(manager) {}

UDPSocket::~UDPSocket() {
    Close();
}

int UDPSocket::Bind(uint16_t port) {
    if (descriptor_ >= 0) {
        return IPERR_ALREADY_OPEN;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        lastError_ = errno;
        return SocketError::ForSocket(errno);
    }
    IPAddress any;
    any.port = port;
    sockaddr_in in = any.ToSockaddr();
    if (bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
        lastError_ = errno;
        close(fd);
        return SocketError::ForBind(lastError_);
    }
    socklen_t length = sizeof in;
    local_ = getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length) == 0
                 ? IPAddress::FromSockaddr(in)
                 : IPAddress();
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    descriptor_ = fd;
    ++serial_;
    if (GetSelectManager() != nullptr) {
        GetSelectManager()->AddClient(this);
    }
    return 0;
}

int UDPSocket::Close() {
    int fd = descriptor_;
    if (fd < 0) {
        return 0;
    }
    RemoveSelect(fd, SELECT_READ | SELECT_WRITE | SELECT_ERROR);
    if (GetSelectManager() != nullptr) {
        GetSelectManager()->RemoveClient(this);
    }
    descriptor_ = -1;
    ++serial_;
    lastSender_ = IPAddress();
    if (close(fd) != 0) {
        lastError_ = errno;
        return SocketError::ForClose(errno);
    }
    return 0;
}

int UDPSocket::EnableEvents(int read, int write) {
    if (descriptor_ < 0) {
        return IPERR_NOT_OPEN;
    }
    eventFlags_ |= (read ? kReadFlag : 0) | (write ? kWriteFlag : 0);
    // Both kinds when both are asked for: the dispatch serves both in turn.
    int mask = Mask(read, write);
    if (mask != 0) {
        AddSelect(descriptor_, mask);
    }
    return 0;
}

int UDPSocket::DisableEvents(int read, int write) {
    if (descriptor_ < 0) {
        return IPERR_NOT_OPEN;
    }
    eventFlags_ &= ~((read ? kReadFlag : 0) | (write ? kWriteFlag : 0));
    int mask = Mask(read, write);
    if (mask != 0) {
        RemoveSelect(descriptor_, mask);
    }
    return 0;
}

int UDPSocket::SendTo(const void* data, uint16_t length, const IPAddress* to) {
    if (descriptor_ < 0) {
        return IPERR_NOT_OPEN;
    }
    sockaddr_in in;
    const sockaddr* target = nullptr;
    socklen_t targetLength = 0;
    if (to != nullptr) {
        in = to->ToSockaddr();
        target = reinterpret_cast<const sockaddr*>(&in);
        targetLength = sizeof in;
    }
    ssize_t n = sendto(descriptor_, data, length, MSG_NOSIGNAL, target, targetLength);
    if (n >= 0) {
        return static_cast<int>(n);
    }
    lastError_ = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return IPERR_WOULD_BLOCK;
    }
    return SocketError::ForSend(errno);
}

int UDPSocket::ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) {
    if (descriptor_ < 0) {
        return IPERR_NOT_OPEN;
    }
    if (buffer == nullptr || length == 0) {
        return 0;
    }
    sockaddr_in in;
    socklen_t inLength = sizeof in;
    ssize_t n =
        recvfrom(descriptor_, buffer, length, 0, reinterpret_cast<sockaddr*>(&in), &inLength);
    if (n >= 0) {
        if (from != nullptr) {
            *from = IPAddress::FromSockaddr(in);
        }
        return static_cast<int>(n);
    }
    lastError_ = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    return SocketError::ForReceive(errno);
}

int UDPSocket::Read(char* buffer, uint16_t length) {
    return ReceiveFrom(buffer, length, &lastSender_);
}

void UDPSocket::OnSelect(int fd, int events) {
    if (fd < 0 || fd != descriptor_) {
        return;
    }
    if (events & SELECT_ERROR) {
        // The state poll() saw may have been that of an earlier descriptor
        // of the same number, replaced during the same dispatch pass.
        pollfd p = {fd, 0, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            Close();
        }
        return;
    }
    unsigned serial = serial_;
    if (events & SELECT_READ) {
        client_->OnReadable();
    }
    if ((events & SELECT_WRITE) && serial == serial_) {
        client_->OnWritable();
    }
}
