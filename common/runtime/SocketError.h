// The result codes of the socket layer, their user-visible texts and the
// translation of errno values into them. One table serves every caller: the
// sockets produce the codes, the data pumps and the control client show the
// texts. Stateless; safe from any thread.
#pragma once

#include <string>

// 0 is success; positive values are byte counts where an operation moves data.
enum SocketErrorCode {
    IPERR_FAILED = -2,
    IPERR_UNSUPPORTED = -3,
    IPERR_NO_RESOURCES = -4,
    IPERR_NETWORK = -5,
    IPERR_ALREADY_OPEN = -6,
    IPERR_BAD_ADDRESS = -7,
    IPERR_MESSAGE_SIZE = -8,
    IPERR_NOT_OPEN = -9,
    IPERR_NO_RESPONSE = -10,
    IPERR_WOULD_BLOCK = -11,
    IPERR_REFUSED = -12,
    IPERR_PORT_IN_USE = -13,
    IPERR_NO_STACK = -14,
    IPERR_NO_DISPATCH = -15,
    IPERR_STACK_INIT = -16,
};

class SocketError {
  public:
    // "IPERR_REFUSED" and so on; "" for a value that is not a code.
    static const char* Name(int code);

    // The text shown where a connection failure is reported, e.g.
    // "WINSOCK: connection refused". Codes without a text of their own are
    // shown as "WINSOCK: TCP config error %08x" with the socket's last error.
    static std::string Text(int code, int lastError);

    // The same texts without the "WINSOCK: " prefix, as the command-line
    // tools print them ("connection refused", "TCP config error %08x").
    static std::string BareText(int code, int lastError);

    // errno of a failing system call -> code, one function per call family.
    static int ForSocket(int err);      // socket()
    static int ForBind(int err);        // bind() of a data socket
    static int ForListenBind(int err);  // bind() on an explicit listening port
    static int ForListen(int err);      // listen()
    static int ForConnect(int err);     // connect(), SO_ERROR of a connect
    static int ForSend(int err);        // send()/sendto(); EAGAIN is the caller's
    static int ForReceive(int err);     // recv()/recvfrom(); EAGAIN is the caller's
    static int ForAccept(int err);      // accept() while draining a queue
    static int ForClose(int err);       // close()
};
