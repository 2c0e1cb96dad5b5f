#include "common/runtime/SocketError.h"

#include <errno.h>
#include <stdio.h>

#include <initializer_list>

namespace {

struct Entry {
    int code;
    const char* name;
    // Text after "WINSOCK: "; null when the code is shown as a config error.
    const char* text;
    // The tools know fewer texts than the data pumps: the two stack-loading
    // codes (never produced on this platform) fall back to the config error.
    bool toolsShowText;
};

const Entry kTable[] = {
    {IPERR_FAILED, "IPERR_FAILED", nullptr, false},
    {IPERR_UNSUPPORTED, "IPERR_UNSUPPORTED", nullptr, false},
    {IPERR_NO_RESOURCES, "IPERR_NO_RESOURCES", "out of memory and/or net resources", true},
    {IPERR_NETWORK, "IPERR_NETWORK", "network error", true},
    {IPERR_ALREADY_OPEN, "IPERR_ALREADY_OPEN", "socket already open", true},
    {IPERR_BAD_ADDRESS, "IPERR_BAD_ADDRESS", "unknown/bad IP address", true},
    {IPERR_MESSAGE_SIZE, "IPERR_MESSAGE_SIZE", nullptr, false},
    {IPERR_NOT_OPEN, "IPERR_NOT_OPEN", "socket not open", true},
    {IPERR_NO_RESPONSE, "IPERR_NO_RESPONSE", "no response from host", true},
    {IPERR_WOULD_BLOCK, "IPERR_WOULD_BLOCK", nullptr, false},
    {IPERR_REFUSED, "IPERR_REFUSED", "connection refused", true},
    {IPERR_PORT_IN_USE, "IPERR_PORT_IN_USE", "port in use", true},
    {IPERR_NO_STACK, "IPERR_NO_STACK", "could not locate and/or load WINSOCK.DLL", false},
    {IPERR_NO_DISPATCH, "IPERR_NO_DISPATCH", "could not initialize event dispatching", true},
    {IPERR_STACK_INIT, "IPERR_STACK_INIT", "could not initialize WINSOCK.DLL", false},
};

const Entry* Find(int code) {
    for (const Entry& e : kTable) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

std::string ConfigError(int lastError) {
    char text[40];
    snprintf(text, sizeof text, "TCP config error %08x", static_cast<unsigned>(lastError));
    return text;
}

bool In(int err, std::initializer_list<int> list) {
    for (int e : list) {
        if (e == err) {
            return true;
        }
    }
    return false;
}

// The errors every data transfer reads as "the connection is gone".
bool IsNetworkLoss(int err) {
    return In(err,
              {ENETDOWN, ENETUNREACH, ENETRESET, ECONNABORTED, ECONNRESET, ESHUTDOWN, ETIMEDOUT});
}

// bind() errors shared by data and listening sockets; EADDRINUSE differs.
int BindCommon(int err) {
    if (err == EAFNOSUPPORT) {
        return IPERR_UNSUPPORTED;
    }
    if (err == ENETDOWN) {
        return IPERR_NETWORK;
    }
    if (err == ENOBUFS) {
        return IPERR_NO_RESOURCES;
    }
    return IPERR_FAILED;
}

}  // namespace

const char* SocketError::Name(int code) {
    const Entry* e = Find(code);
    return e == nullptr ? "" : e->name;
}

std::string SocketError::Text(int code, int lastError) {
    const Entry* e = Find(code);
    return std::string("WINSOCK: ") +
           (e != nullptr && e->text != nullptr ? std::string(e->text) : ConfigError(lastError));
}

std::string SocketError::BareText(int code, int lastError) {
    const Entry* e = Find(code);
    if (e != nullptr && e->toolsShowText) {
        return e->text;
    }
    return ConfigError(lastError);
}

int SocketError::ForSocket(int err) {
    if (In(err, {EMFILE, ENOBUFS})) {
        return IPERR_NO_RESOURCES;
    }
    if (In(err, {EPROTONOSUPPORT, ESOCKTNOSUPPORT, EPROTOTYPE, EAFNOSUPPORT})) {
        return IPERR_UNSUPPORTED;
    }
    if (err == ENETDOWN) {
        return IPERR_NETWORK;
    }
    return IPERR_FAILED;
}

int SocketError::ForBind(int err) {
    return err == EADDRINUSE ? IPERR_BAD_ADDRESS : BindCommon(err);
}

int SocketError::ForListenBind(int err) {
    return err == EADDRINUSE ? IPERR_PORT_IN_USE : BindCommon(err);
}

int SocketError::ForListen(int err) {
    if (err == ECONNREFUSED) {
        return IPERR_REFUSED;
    }
    if (err == ENETUNREACH) {
        return IPERR_NETWORK;
    }
    if (err == EMFILE) {
        return IPERR_NO_RESOURCES;
    }
    return ForListenBind(err);
}

int SocketError::ForConnect(int err) {
    if (err == EAFNOSUPPORT) {
        return IPERR_UNSUPPORTED;
    }
    if (In(err, {EDESTADDRREQ, EADDRINUSE, EADDRNOTAVAIL})) {
        return IPERR_BAD_ADDRESS;
    }
    if (In(err, {EMFILE, ENOBUFS})) {
        return IPERR_NO_RESOURCES;
    }
    if (In(err, {ENETDOWN, ENETUNREACH, ETIMEDOUT})) {
        return IPERR_NETWORK;
    }
    if (err == ECONNREFUSED) {
        return IPERR_REFUSED;
    }
    return IPERR_FAILED;
}

int SocketError::ForSend(int err) {
    if (err == EMSGSIZE) {
        return IPERR_MESSAGE_SIZE;
    }
    if (err == EAFNOSUPPORT) {
        return IPERR_UNSUPPORTED;
    }
    if (In(err, {EMFILE, ENOBUFS})) {
        return IPERR_NO_RESOURCES;
    }
    if (IsNetworkLoss(err)) {
        return IPERR_NETWORK;
    }
    if (err == ECONNREFUSED) {
        return IPERR_REFUSED;
    }
    return IPERR_FAILED;
}

int SocketError::ForReceive(int err) {
    // A receive sees the same losses as a send: a keep-alive or
    // retransmission time-out arrives as ETIMEDOUT on the next recv(), and
    // must end the connection like a reset rather than leave it half dead.
    if (IsNetworkLoss(err)) {
        return IPERR_NETWORK;
    }
    if (err == EMSGSIZE) {
        return IPERR_MESSAGE_SIZE;
    }
    return IPERR_FAILED;
}

int SocketError::ForAccept(int err) {
    if (err == EINTR) {
        return 0;
    }
    if (In(err, {ENETDOWN, ECONNABORTED, ECONNRESET, ESHUTDOWN})) {
        return IPERR_NETWORK;
    }
    if (err == EMSGSIZE) {
        return IPERR_MESSAGE_SIZE;
    }
    return IPERR_FAILED;
}

int SocketError::ForClose(int err) {
    return err == ENETDOWN ? IPERR_NETWORK : IPERR_FAILED;
}
