// The texts of the virtual UART's status records: line errors, modem lines
// and flow-control changes. Pure functions of their bits; any thread.
#pragma once

#include <string>

namespace UARTTraceText {

// Longest line record the trace carries.
constexpr size_t kMaxLineRecord = 127;

// "CE_FRAME CE_RXPARITY ..." for the bits set, in a fixed order; empty when
// none of the named bits is set.
std::string LineErrors(unsigned bits);

// "DTR: 1 RTS: 0 ..." for every line in mask, in the order DTR, RTS, BREAK,
// CTS, DSR, RING, CD.
std::string Lines(unsigned values, unsigned mask);

// What changed between two flow-control settings; empty when nothing did.
std::string FlowChange(unsigned oldFlow, unsigned newFlow);

}  // namespace UARTTraceText
