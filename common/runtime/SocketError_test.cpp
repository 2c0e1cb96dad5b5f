#include "common/runtime/SocketError.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace {

TEST(SocketErrorTest, TextsOfEveryCode) {
    struct Case {
        int code;
        const char* text;
        const char* bare;
    };
    const Case cases[] = {
        {IPERR_FAILED, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
        {IPERR_UNSUPPORTED, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
        {IPERR_NO_RESOURCES, "WINSOCK: out of memory and/or net resources",
         "out of memory and/or net resources"},
        {IPERR_NETWORK, "WINSOCK: network error", "network error"},
        {IPERR_ALREADY_OPEN, "WINSOCK: socket already open", "socket already open"},
        {IPERR_BAD_ADDRESS, "WINSOCK: unknown/bad IP address", "unknown/bad IP address"},
        {IPERR_MESSAGE_SIZE, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
        {IPERR_NOT_OPEN, "WINSOCK: socket not open", "socket not open"},
        {IPERR_NO_RESPONSE, "WINSOCK: no response from host", "no response from host"},
        {IPERR_WOULD_BLOCK, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
        {IPERR_REFUSED, "WINSOCK: connection refused", "connection refused"},
        {IPERR_PORT_IN_USE, "WINSOCK: port in use", "port in use"},
        {IPERR_NO_STACK, "WINSOCK: could not locate and/or load WINSOCK.DLL",
         "TCP config error 0000006f"},
        {IPERR_NO_DISPATCH, "WINSOCK: could not initialize event dispatching",
         "could not initialize event dispatching"},
        {IPERR_STACK_INIT, "WINSOCK: could not initialize WINSOCK.DLL",
         "TCP config error 0000006f"},
        {-1, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
        {-17, "WINSOCK: TCP config error 0000006f", "TCP config error 0000006f"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SocketError::Text(c.code, ECONNREFUSED), c.text) << c.code;
        EXPECT_EQ(SocketError::BareText(c.code, ECONNREFUSED), c.bare) << c.code;
    }
    EXPECT_STREQ(SocketError::Name(IPERR_PORT_IN_USE), "IPERR_PORT_IN_USE");
    EXPECT_STREQ(SocketError::Name(1), "");
}

TEST(SocketErrorTest, ErrnoMappingsPerCallFamily) {
    struct Case {
        int (*map)(int);
        int err;
        int code;
    };
    const Case cases[] = {
        {SocketError::ForSocket, EMFILE, IPERR_NO_RESOURCES},
        {SocketError::ForSocket, EPROTONOSUPPORT, IPERR_UNSUPPORTED},
        {SocketError::ForSocket, ENETDOWN, IPERR_NETWORK},
        {SocketError::ForSocket, EACCES, IPERR_FAILED},
        {SocketError::ForBind, EADDRINUSE, IPERR_BAD_ADDRESS},
        {SocketError::ForBind, ENOBUFS, IPERR_NO_RESOURCES},
        {SocketError::ForListenBind, EADDRINUSE, IPERR_PORT_IN_USE},
        {SocketError::ForListenBind, EAFNOSUPPORT, IPERR_UNSUPPORTED},
        {SocketError::ForListen, EADDRINUSE, IPERR_PORT_IN_USE},
        {SocketError::ForListen, ECONNREFUSED, IPERR_REFUSED},
        {SocketError::ForListen, EMFILE, IPERR_NO_RESOURCES},
        {SocketError::ForConnect, EADDRNOTAVAIL, IPERR_BAD_ADDRESS},
        {SocketError::ForConnect, ETIMEDOUT, IPERR_NETWORK},
        {SocketError::ForConnect, ECONNREFUSED, IPERR_REFUSED},
        {SocketError::ForConnect, EINTR, IPERR_FAILED},
        {SocketError::ForSend, EMSGSIZE, IPERR_MESSAGE_SIZE},
        {SocketError::ForSend, ECONNRESET, IPERR_NETWORK},
        {SocketError::ForSend, ECONNREFUSED, IPERR_REFUSED},
        {SocketError::ForSend, EPIPE, IPERR_FAILED},
        {SocketError::ForReceive, ECONNRESET, IPERR_NETWORK},
        {SocketError::ForReceive, ETIMEDOUT, IPERR_NETWORK},
        {SocketError::ForReceive, EMSGSIZE, IPERR_MESSAGE_SIZE},
        {SocketError::ForReceive, EBADF, IPERR_FAILED},
        {SocketError::ForAccept, EINTR, 0},
        {SocketError::ForAccept, ECONNABORTED, IPERR_NETWORK},
        {SocketError::ForAccept, EAGAIN, IPERR_FAILED},
        {SocketError::ForClose, ENETDOWN, IPERR_NETWORK},
        {SocketError::ForClose, EIO, IPERR_FAILED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.map(c.err), c.code) << "errno " << c.err;
    }
}

}  // namespace
