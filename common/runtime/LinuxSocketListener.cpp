#include "common/runtime/LinuxSocketListener.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The accept queue is kept short: connections are handed on at once.
constexpr int kBacklog = 1;

int AcceptNonBlocking(int fd, IPAddress* peer) {
    sockaddr_in in;
    socklen_t length = sizeof in;
    int accepted =
        accept4(fd, reinterpret_cast<sockaddr*>(&in), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0 && peer != nullptr) {
        *peer = IPAddress::FromSockaddr(in);
    }
    return accepted;
}

}  // namespace

LinuxSocketListener::DummyClient* LinuxSocketListener::DummyClient::Instance() {
    static DummyClient client;
    return &client;
}

LinuxSocketListener::LinuxSocketListener(SelectManager* manager, TCPListenerClient* client,
                                         std::recursive_mutex* mutex)
    : TCPListener(client), LinuxSocket(manager, DummyClient::Instance(), mutex) {}

LinuxSocketListener::~LinuxSocketListener() {
    Close();
}

int LinuxSocketListener::BindListeningPort(uint16_t port, uint16_t* bound) {
    if (port != 0) {
        IPAddress any;
        any.address = bindAddress_;
        any.port = port;
        sockaddr_in in = any.ToSockaddr();
        if (bind(descriptor_, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
            lastError_ = errno;
            return SocketError::ForListenBind(errno);
        }
        *bound = port;
        return 0;
    }
    for (uint32_t p = kFirstAutomaticPort; p <= kLastAutomaticPort; ++p) {
        IPAddress any;
        any.address = bindAddress_;
        any.port = static_cast<uint16_t>(p);
        sockaddr_in in = any.ToSockaddr();
        if (bind(descriptor_, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0) {
            *bound = any.port;
            return 0;
        }
        lastError_ = errno;
    }
    return IPERR_UNSUPPORTED;
}

int LinuxSocketListener::Listen(uint16_t port) {
    ExternalLock lock(mutex_);
    if (port_ != 0) {
        return IPERR_ALREADY_OPEN;
    }
    int result = OpenDescriptor();
    if (result != 0) {
        return result;
    }
    // A restarted daemon must get its port back while connections of its
    // previous life linger in TIME_WAIT; a port that another socket listens
    // on is still refused.
    int on = 1;
    setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    uint16_t bound = 0;
    result = BindListeningPort(port, &bound);
    if (result == 0 && listen(descriptor_, kBacklog) != 0) {
        lastError_ = errno;
        result = SocketError::ForListen(errno);
    }
    if (result != 0) {
        CloseDescriptor();
        return result;
    }
    fcntl(descriptor_, F_SETFL, fcntl(descriptor_, F_GETFL) | O_NONBLOCK);
    OpenSpare();
    // The socket part counts as connected, so that an error event on the
    // listening descriptor closes it instead of being reported forever.
    state_ = STATE_CONNECTED;
    local_.port = bound;
    local_.address = bindAddress_;
    localAddress_ = bindAddress_;
    port_ = bound;
    Register();
    AddSelect(descriptor_, SELECT_READ);
    return 0;
}

int LinuxSocketListener::Close() {
    ExternalLock lock(mutex_);
    port_ = 0;
    if (spareDescriptor_ >= 0) {
        close(spareDescriptor_);
        spareDescriptor_ = -1;
    }
    return CloseDescriptor();
}

int LinuxSocketListener::RejectPending(const char* message) {
    ExternalLock lock(mutex_);
    if (port_ == 0) {
        return IPERR_NOT_OPEN;
    }
    size_t length = message != nullptr ? strlen(message) : 0;
    for (;;) {
        int fd = AcceptNonBlocking(descriptor_, nullptr);
        if (fd < 0) {
            lastError_ = errno;
            return SocketError::ForAccept(errno);
        }
        if (length > 0) {
            ssize_t ignored = send(fd, message, length, MSG_NOSIGNAL);
            (void)ignored;
        }
        close(fd);
    }
}

void LinuxSocketListener::OpenSpare() {
    if (spareDescriptor_ < 0) {
        spareDescriptor_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void LinuxSocketListener::ShedOne() {
    if (spareDescriptor_ < 0) {
        return;
    }
    close(spareDescriptor_);
    spareDescriptor_ = -1;
    int fd = AcceptNonBlocking(descriptor_, nullptr);
    if (fd >= 0) {
        close(fd);
    }
    OpenSpare();
}

void LinuxSocketListener::AcceptOne() {
    IPAddress peer;
    IPAddress listening;
    int fd;
    {
        ExternalLock lock(mutex_);
        if (port_ == 0) {
            return;
        }
        fd = AcceptNonBlocking(descriptor_, &peer);
        if (fd < 0) {
            lastError_ = errno;
            if (errno == EMFILE || errno == ENFILE) {
                ShedOne();
            }
            return;
        }
        listening = local_;
    }
    // The client is asked without our lock: it takes locks of its own, and
    // whoever holds those may be calling into this listener.
    TCPListenerClient* client = GetListenerClient();
    TCPDataServer* server =
        client != nullptr ? client->CreateDataClient(this, &listening, &peer) : nullptr;
    if (server == nullptr || server->Attach(this, &listening, &peer, &fd) != 0) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void LinuxSocketListener::OnSelect(int fd, int events) {
    if (fd < 0 || fd != descriptor_) {
        return;
    }
    if (events & SELECT_READ) {
        AcceptOne();
        return;
    }
    LinuxSocket::OnSelect(fd, events);
}
