#include "common/runtime/LinuxSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kUnconnectedBufferSize = 4096;

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The first result of a dispatch replaces the "not called" mark, later ones
// add up, so that 0 means end of stream only when nothing came before it.
void Count(int* counter, int n) {
    *counter = *counter < 0 ? n : *counter + n;
}

// The error state poll() reported may belong to an earlier descriptor of the
// same number, closed and replaced during the same dispatch pass.
bool ErrorStillPending(int fd) {
    pollfd p = {fd, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Writability with SO_ERROR 0 but no peer means the connect is still in
// progress: the readiness was that of an earlier descriptor of this number
// (a client that reconnects from its failure report gets the same number).
bool HasPeer(int fd) {
    sockaddr_in peer;
    socklen_t length = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 || errno != ENOTCONN;
}

}  // namespace

LinuxSocket::LinuxSocket(SelectManager* manager, TCPDataClient* client, std::recursive_mutex* mutex)
    : TCPDataServer(client, mutex), SelectManagerClient(manager) {}

LinuxSocket::~LinuxSocket() {
    Close();
    DropReceiveBuffer();
}

void LinuxSocket::Register() {
    if (GetSelectManager() != nullptr) {
        GetSelectManager()->AddClient(this);
    }
}

void LinuxSocket::Unregister() {
    // The interest map outlives a registration, so it is emptied first: a
    // later registration must start from nothing.
    if (descriptor_ >= 0) {
        RemoveSelect(descriptor_, SELECT_READ | SELECT_WRITE | SELECT_ERROR);
    }
    if (GetSelectManager() != nullptr) {
        GetSelectManager()->RemoveClient(this);
    }
}

int LinuxSocket::OpenDescriptor() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        lastError_ = errno;
        return SocketError::ForSocket(errno);
    }
    descriptor_ = fd;
    state_ = STATE_CLOSED;
    ++serial_;
    return 0;
}

int LinuxSocket::CloseDescriptor() {
    int fd = descriptor_;
    if (fd < 0) {
        state_ = STATE_CLOSED;
        return 0;
    }
    // Unregistered before close(), so that no other thread can be handed the
    // same number while the manager still watches it for us.
    Unregister();
    descriptor_ = -1;
    state_ = STATE_CLOSED;
    remote_ = IPAddress();
    ++serial_;
    DropReceiveBuffer();
    shutdown(fd, SHUT_RDWR);
    if (close(fd) != 0) {
        lastError_ = errno;
        return SocketError::ForClose(errno);
    }
    return 0;
}

void LinuxSocket::DropReceiveBuffer() {
    free(receiveBuffer_);
    receiveBuffer_ = nullptr;
    receiveCapacity_ = 0;
}

int LinuxSocket::Close() {
    if (state_ == STATE_RESOLVING) {
        CancelNameLookup();
    }
    return CloseDescriptor();
}

int LinuxSocket::Bind(uint16_t port) {
    IPAddress any;
    any.port = port;
    sockaddr_in in = any.ToSockaddr();
    if (bind(descriptor_, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
        lastError_ = errno;
        return SocketError::ForBind(errno);
    }
    local_ = any;
    return 0;
}

int LinuxSocket::EnableEvents(int read, int write) {
    eventFlags_ = kReadFlag | kWriteFlag;
    if (state_ == STATE_CONNECTED) {
        if (read) {
            AddSelect(descriptor_, SELECT_READ);
        }
        if (write) {
            AddSelect(descriptor_, SELECT_WRITE);
        }
    }
    return 1;
}

int LinuxSocket::DisableEvents(int read, int write) {
    eventFlags_ = 0;
    if (state_ == STATE_CONNECTED) {
        int mask = (read ? SELECT_READ : 0) | (write ? SELECT_WRITE : 0);
        if (mask != 0) {
            RemoveSelect(descriptor_, mask);
        }
    }
    return 1;
}

int LinuxSocket::Send(const void* data, uint16_t length, const sockaddr* to, socklen_t toLength) {
    if (state_ != STATE_CONNECTED) {
        return IPERR_NOT_OPEN;
    }
    if (eventFlags_ & kWriteFlag) {
        AddSelect(descriptor_, SELECT_WRITE);
    }
    ssize_t n = sendto(descriptor_, data, length, MSG_NOSIGNAL, to, toLength);
    if (n >= 0) {
        Count(&sentThisPass_, static_cast<int>(n));
        return static_cast<int>(n);
    }
    lastError_ = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    return SocketError::ForSend(errno);
}

int LinuxSocket::Write(const char* data, uint16_t length) {
    return Send(data, length, nullptr, 0);
}

int LinuxSocket::SendTo(const void* data, uint16_t length, const IPAddress* to) {
    if (to == nullptr) {
        return Send(data, length, nullptr, 0);
    }
    sockaddr_in in = to->ToSockaddr();
    return Send(data, length, reinterpret_cast<sockaddr*>(&in), sizeof in);
}

int LinuxSocket::Receive(char* buffer, uint16_t length, int flags) {
    if (state_ != STATE_CONNECTED) {
        return IPERR_NOT_OPEN;
    }
    if (buffer == nullptr || length == 0) {
        return 0;
    }
    if (eventFlags_ & kReadFlag) {
        AddSelect(descriptor_, SELECT_READ);
    }
    ssize_t n = recv(descriptor_, buffer, length, flags);
    if (n >= 0) {
        Count(&receivedThisPass_, static_cast<int>(n));
        return static_cast<int>(n);
    }
    lastError_ = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (receivedThisPass_ == -1) {
            receivedThisPass_ = -2;
        }
        return IPERR_FAILED;
    }
    int code = SocketError::ForReceive(errno);
    // A lost connection on the first receive of a pass ends it like an end
    // of stream does.
    if (code == IPERR_NETWORK && receivedThisPass_ == -1) {
        receivedThisPass_ = 0;
    }
    return code;
}

int LinuxSocket::Read(char* buffer, uint16_t length) {
    return Receive(buffer, length, 0);
}

int LinuxSocket::Peek(char* buffer, uint16_t length) {
    return Receive(buffer, length, MSG_PEEK);
}

int LinuxSocket::ReceiveFrom(void* buffer, uint16_t length, IPAddress* from) {
    int n = Receive(static_cast<char*>(buffer), length, 0);
    if (from != nullptr && n >= 0) {
        *from = remote_;
    }
    return n;
}

bool LinuxSocket::GrowBuffer(uint16_t length) {
    if (length <= receiveCapacity_) {
        return true;
    }
    char* grown = static_cast<char*>(realloc(receiveBuffer_, length));
    if (grown == nullptr) {
        return false;
    }
    receiveBuffer_ = grown;
    receiveCapacity_ = length;
    return true;
}

int LinuxSocket::ReadBuffer(void** out, uint16_t length) {
    if (!GrowBuffer(length)) {
        return IPERR_NO_RESOURCES;
    }
    *out = receiveBuffer_;
    return Read(receiveBuffer_, length);
}

int LinuxSocket::PeekBuffered(void** out, uint16_t length) {
    if (!GrowBuffer(length)) {
        return IPERR_NO_RESOURCES;
    }
    *out = receiveBuffer_;
    return Peek(receiveBuffer_, length);
}

int LinuxSocket::PrepareConnect(const char* host) {
    if (state_ == STATE_CONNECTED) {
        return IPERR_ALREADY_OPEN;
    }
    // An attempt still under way gives way to the new one; its descriptor
    // must not be left behind.
    Close();
    host_ = host != nullptr ? host : "";
    int result = OpenDescriptor();
    if (result != 0) {
        return result;
    }
    result = Bind(0);
    if (result != 0) {
        CloseDescriptor();
    }
    return result;
}

int LinuxSocket::ConnectAsync(const char* host, uint16_t port) {
    int result = PrepareConnect(host);
    if (result != 0) {
        return result;
    }
    remote_.port = port;
    if (IPAddress::ParseDottedQuad(host_.c_str(), &remote_.address)) {
        return ConnectNow();
    }
    remote_.address = 0xFFFFFFFFu;
    state_ = STATE_RESOLVING;
    result = StartNameLookup();
    if (result != 0) {
        CloseDescriptor();
    }
    return result;
}

int LinuxSocket::StartNameLookup() {
    lastError_ = 4;  // no usable address
    return IPERR_BAD_ADDRESS;
}

void LinuxSocket::OnNameResolved(int status, const hostent* host) {
    ExternalLock lock(mutex_);
    if (state_ != STATE_RESOLVING) {
        return;
    }
    bool usable = status == 0 && host != nullptr && host->h_addrtype == AF_INET &&
                  host->h_length == 4 && host->h_addr_list != nullptr &&
                  host->h_addr_list[0] != nullptr;
    if (usable) {
        uint32_t networkOrder;
        memcpy(&networkOrder, host->h_addr_list[0], sizeof networkOrder);
        remote_.address = ntohl(networkOrder);
        IPAddress target = remote_;
        int result = ConnectNow();
        if (result != 0) {
            TCPClient()->OnConnect(result, &target, 0);
        }
        return;
    }
    if (status == 1 || status == 3) {
        lastError_ = 2;
    } else if (status == 2) {
        lastError_ = 1;
    } else if (status != 0) {
        lastError_ = 3;
    } else {
        lastError_ = 4;
    }
    IPAddress target = remote_;
    CloseDescriptor();
    TCPClient()->OnConnect(IPERR_BAD_ADDRESS, &target, 0);
}

int LinuxSocket::ConnectNow() {
    SetNonBlocking(descriptor_);
    sockaddr_in to = remote_.ToSockaddr();
    if (connect(descriptor_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ||
        errno == EINPROGRESS) {
        Register();
        AddSelect(descriptor_, SELECT_WRITE);
        state_ = STATE_CONNECTING;
        return 0;
    }
    lastError_ = errno;
    int code = SocketError::ForConnect(errno);
    CloseDescriptor();
    return code;
}

bool LinuxSocket::ResolveBlocking(const char* host, uint32_t* address) {
    if (IPAddress::ParseDottedQuad(host, address)) {
        return true;
    }
    hostent entry;
    hostent* result = nullptr;
    char scratch[4096];
    int herr = 0;
    if (gethostbyname_r(host, &entry, scratch, sizeof scratch, &result, &herr) != 0 ||
        result == nullptr || result->h_addrtype != AF_INET || result->h_length != 4 ||
        result->h_addr_list[0] == nullptr) {
        lastError_ = herr;
        return false;
    }
    uint32_t networkOrder;
    memcpy(&networkOrder, result->h_addr_list[0], sizeof networkOrder);
    *address = ntohl(networkOrder);
    return true;
}

int LinuxSocket::Connect(const char* host, uint16_t port, IPAddress* resolved) {
    int result = PrepareConnect(host);
    if (result != 0) {
        return result;
    }
    IPAddress target;
    target.port = port;
    if (!ResolveBlocking(host_.c_str(), &target.address)) {
        CloseDescriptor();
        return IPERR_BAD_ADDRESS;
    }
    sockaddr_in to = target.ToSockaddr();
    if (connect(descriptor_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        lastError_ = errno;
        int code = SocketError::ForConnect(errno);
        CloseDescriptor();
        return code;
    }
    SetNonBlocking(descriptor_);
    remote_ = target;
    state_ = STATE_CONNECTED;
    Register();
    if (resolved != nullptr) {
        *resolved = target;
    }
    return 0;
}

int LinuxSocket::GetStatus() {
    if (state_ == STATE_CLOSED) {
        return IPERR_NOT_OPEN;
    }
    return state_ == STATE_CONNECTED ? IPERR_ALREADY_OPEN : IPERR_UNSUPPORTED;
}

bool LinuxSocket::IsConnecting() {
    return state_ == STATE_RESOLVING || state_ == STATE_CONNECTING;
}

int LinuxSocket::Attach(TCPListener* /*listener*/, const IPAddress* local, const IPAddress* remote,
                        int* descriptor) {
    ExternalLock lock(mutex_);
    if (descriptor_ >= 0) {
        return IPERR_REFUSED;
    }
    if (descriptor == nullptr || *descriptor < 0) {
        return 0;
    }
    descriptor_ = *descriptor;
    *descriptor = -1;
    ++serial_;
    // Accepted descriptors do not inherit the listener's non-blocking mode,
    // and a blocking send would stall the whole loop.
    SetNonBlocking(descriptor_);
    local_ = local != nullptr ? *local : IPAddress();
    remote_ = remote != nullptr ? *remote : IPAddress();
    lastError_ = 0;
    state_ = STATE_CONNECTED;
    Register();
    TCPClient()->OnConnect(0, &remote_, local_.port);
    return 0;
}

int LinuxSocket::GetBufferSize(int option) {
    if (state_ != STATE_CONNECTED) {
        return kUnconnectedBufferSize;
    }
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(descriptor_, SOL_SOCKET, option, &size, &length) != 0) {
        lastError_ = errno;
        return kUnconnectedBufferSize;
    }
    return size;
}

int LinuxSocket::SetBufferSize(int option, int size) {
    if (state_ == STATE_CONNECTED &&
        setsockopt(descriptor_, SOL_SOCKET, option, &size, sizeof size) != 0) {
        lastError_ = errno;
    }
    return GetBufferSize(option);
}

int LinuxSocket::SetKeepAlive(int on) {
    if (state_ == STATE_CONNECTED) {
        int value = on ? 1 : 0;
        if (setsockopt(descriptor_, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0) {
            lastError_ = errno;
        }
    }
    return 0;
}

int LinuxSocket::SetNoDelay(int on) {
    if (state_ == STATE_CONNECTED) {
        int value = on ? 1 : 0;
        if (setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
            lastError_ = errno;
        }
    }
    return 0;
}

int LinuxSocket::BytesAvailable() {
    int count = 0;
    if (state_ != STATE_CONNECTED || ioctl(descriptor_, FIONREAD, &count) != 0) {
        return 0;
    }
    return count;
}

void LinuxSocket::OnSelect(int fd, int events) {
    if (fd < 0 || fd != descriptor_) {
        return;
    }
    if (state_ == STATE_CONNECTING && !FinishConnect(events)) {
        return;
    }
    if (state_ == STATE_CONNECTED) {
        HandleReadiness(events);
    }
}

bool LinuxSocket::FinishConnect(int events) {
    int fd = descriptor_;
    int soError = 0;
    socklen_t length = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
        soError = errno;
    }
    if (soError == 0) {
        bool connected = (events & SELECT_WRITE) && HasPeer(fd);
        bool failed = (events & SELECT_ERROR) && ErrorStillPending(fd);
        if (!connected && !failed) {
            return false;
        }
    }
    state_ = STATE_CONNECTED;
    lastError_ = soError;
    RemoveSelect(fd, SELECT_WRITE);
    if (soError == 0 && (events & SELECT_WRITE)) {
        unsigned serial = serial_;
        TCPClient()->OnConnect(0, &remote_, remote_.port);
        return StillConnected(serial);
    }
    int code = soError != 0 ? SocketError::ForConnect(soError) : IPERR_FAILED;
    IPAddress target = remote_;
    CloseDescriptor();
    // Last act: the client may reconnect, or let go of us, from here.
    TCPClient()->OnConnect(code, &target, target.port);
    return false;
}

void LinuxSocket::HandleReadiness(int events) {
    int fd = descriptor_;
    receivedThisPass_ = -1;
    sentThisPass_ = -1;
    if (events & SELECT_ERROR) {
        // Closed before the report, so that the client may reconnect from it.
        if (ErrorStillPending(fd)) {
            Close();
            TCPClient()->OnClose(0);
        }
        return;
    }
    unsigned serial = serial_;
    bool notify = eventFlags_ != 0;
    if ((events & SELECT_READ) && notify) {
        TCPClient()->OnReadable();
        if (!StillConnected(serial)) {
            return;
        }
    }
    if ((events & SELECT_WRITE) && notify) {
        TCPClient()->OnWritable();
        if (!StillConnected(serial)) {
            return;
        }
    }
    if ((events & SELECT_WRITE) && sentThisPass_ == -1) {
        RemoveSelect(fd, SELECT_WRITE);
    }
    if (events & SELECT_READ) {
        if (receivedThisPass_ == -1) {
            RemoveSelect(fd, SELECT_READ);
        } else if (receivedThisPass_ == 0) {
            Close();
            TCPClient()->OnClose(IPERR_NETWORK);
        }
    }
}
