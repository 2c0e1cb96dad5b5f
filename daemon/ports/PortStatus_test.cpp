#include "daemon/ports/PortStatus.h"

#include <gtest/gtest.h>

#include <string>

TEST(PortStatusTest, TextsAndClasses) {
    struct Case {
        int code;
        const char* text;
        int statusClass;
    };
    const Case cases[] = {
        {UART_STATUS_SUCCESS, "Server connection negotiated", 0},
        {UART_STATUS_PORT_NOT_AVAILABLE, "Server port not available", 1},
        {UART_STATUS_OPEN_FAILED, "Unable to open the port", 1},
        {UART_STATUS_PORT_CLOSED, nullptr, 1},
        {UART_STATUS_BAD_HOSTNAME, "Invalid or missing server hostname", 2},
        {UART_STATUS_BAD_ADDRESS, "Invalid or missing server IP Address", 2},
        {UART_STATUS_BAD_PORT, "Invalid or missing server port number", 2},
        {UART_STATUS_REFUSED, "Server refused connection", 2},
        {UART_STATUS_CONNECT_FAILED, "Server network connection failed", 2},
        {UART_STATUS_DROPPED, "Server network connection dropped", 2},
        {UART_STATUS_TLS_FAILED, "Server SSL/TLS Negotiation failure", 3},
        {UART_STATUS_NO_COM_PORT_CONTROL, "Server does not support COM Port Control", 3},
        {UART_STATUS_NO_TELNET, "Server did not respond to Telnet negotiation", 3},
        {UART_STATUS_NO_LOGIN_PROMPT, "Server did not prompt for user credentials", 4},
        {UART_STATUS_LOGIN_REJECTED, "Server rejected user credentials", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_NE(PortStatus::Find(c.code), nullptr);
        if (c.text == nullptr) {
            EXPECT_EQ(PortStatus::Text(c.code), nullptr);
        } else {
            EXPECT_EQ(std::string(PortStatus::Text(c.code)), c.text);
        }
        EXPECT_EQ(PortStatus::Class(c.code), c.statusClass);
    }
    EXPECT_EQ(PortStatus::Find(0), nullptr);
    EXPECT_EQ(PortStatus::Text(0x20007), nullptr);
}
