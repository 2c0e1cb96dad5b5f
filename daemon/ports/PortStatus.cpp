#include "daemon/ports/PortStatus.h"

namespace {

constexpr PortStatus kTable[] = {
    {UART_STATUS_SUCCESS, "UART_STATUS_SUCCESS", "Server connection negotiated"},
    {UART_STATUS_PORT_NOT_AVAILABLE, "UART_STATUS_PORT_NOT_AVAILABLE", "Server port not available"},
    {UART_STATUS_OPEN_FAILED, "UART_STATUS_OPEN_FAILED", "Unable to open the port"},
    {UART_STATUS_PORT_CLOSED, "UART_STATUS_PORT_CLOSED", nullptr},
    {UART_STATUS_BAD_HOSTNAME, "UART_STATUS_BAD_HOSTNAME", "Invalid or missing server hostname"},
    {UART_STATUS_BAD_ADDRESS, "UART_STATUS_BAD_ADDRESS", "Invalid or missing server IP Address"},
    {UART_STATUS_BAD_PORT, "UART_STATUS_BAD_PORT", "Invalid or missing server port number"},
    {UART_STATUS_REFUSED, "UART_STATUS_REFUSED", "Server refused connection"},
    {UART_STATUS_CONNECT_FAILED, "UART_STATUS_CONNECT_FAILED", "Server network connection failed"},
    {UART_STATUS_DROPPED, "UART_STATUS_DROPPED", "Server network connection dropped"},
    {UART_STATUS_TLS_FAILED, "UART_STATUS_TLS_FAILED", "Server SSL/TLS Negotiation failure"},
    {UART_STATUS_NO_COM_PORT_CONTROL, "UART_STATUS_NO_COM_PORT_CONTROL",
     "Server does not support COM Port Control"},
    {UART_STATUS_NO_TELNET, "UART_STATUS_NO_TELNET",
     "Server did not respond to Telnet negotiation"},
    {UART_STATUS_NO_LOGIN_PROMPT, "UART_STATUS_NO_LOGIN_PROMPT",
     "Server did not prompt for user credentials"},
    {UART_STATUS_LOGIN_REJECTED, "UART_STATUS_LOGIN_REJECTED", "Server rejected user credentials"},
};

}  // namespace

const PortStatus* PortStatus::Find(int code) {
    for (const PortStatus& entry : kTable) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

const char* PortStatus::Text(int code) {
    const PortStatus* entry = Find(code);
    return entry == nullptr ? nullptr : entry->text;
}
