// The status codes a port's open and connection report with (OpenComplete,
// ReportConnectionStatus), and the one table of their trace texts that every
// layer shares. The high 16 bits give the class: 1 port, 2 network,
// 3 protocol, 4 login; 1 alone is success. Stateless; safe from any thread.
#pragma once

enum PortStatusCode {
    UART_STATUS_SUCCESS = 1,
    UART_STATUS_PORT_NOT_AVAILABLE = 0x10001,
    UART_STATUS_OPEN_FAILED = 0x10002,
    // Sent to the departing application side when the close delay ran out;
    // it has no text because it never reaches the trace as a status.
    UART_STATUS_PORT_CLOSED = 0x10003,
    UART_STATUS_BAD_HOSTNAME = 0x20001,
    UART_STATUS_BAD_ADDRESS = 0x20002,
    UART_STATUS_BAD_PORT = 0x20003,
    UART_STATUS_REFUSED = 0x20004,
    UART_STATUS_CONNECT_FAILED = 0x20005,
    UART_STATUS_DROPPED = 0x20006,
    UART_STATUS_TLS_FAILED = 0x30001,
    UART_STATUS_NO_COM_PORT_CONTROL = 0x30002,
    UART_STATUS_NO_TELNET = 0x30003,
    UART_STATUS_NO_LOGIN_PROMPT = 0x40001,
    UART_STATUS_LOGIN_REJECTED = 0x40002,
};

struct PortStatus {
    int code;
    const char* name;
    const char* text;  // null: the code is never traced as a status

    // The entry for a code, or null for a code outside the table.
    static const PortStatus* Find(int code);
    // The trace text of a code, or null when it has none.
    static const char* Text(int code);
    // 1 port, 2 network, 3 protocol, 4 login; 0 for success.
    static int Class(int code) { return (code >> 16) & 0xFFFF; }
};
