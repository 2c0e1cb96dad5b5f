// A port's line settings (speed, framing, flow control) as the virtual UART
// holds them, read from the port's own configuration section at every open
// and described by the status records the trace shows. A plain value; the
// UART guards its copy with its own lock. Read may run on any thread.
#pragma once

#include <string>
#include <vector>

struct UARTSettings {
    int baud = 9600;
    int dataBits = 8;
    // Upper-case letter: 'E', 'O', 'N', 'M' or 'S'.
    int parity = 'N';
    // 1 or 2; with 5 data bits, 2 stands for 1.5.
    int stopBits = 1;
    unsigned flow = 0;

    // Reads the keys of the port's section over the current values: an
    // absent key keeps its value, so settings persist from one open to the
    // next; an invalid one is logged as an error (source: the port) and also
    // keeps its value. DTR and RTS are set or cleared in *lines.
    void Read(const std::string& port, unsigned* lines);

    // "1", "1.5" or "2".
    const char* StopBitsText() const;
    // The status records of these settings, in the order the trace shows
    // them: header, baud, framing, flow (when any flow is on), lines.
    std::vector<std::string> StatusRecords(unsigned lines) const;
};
