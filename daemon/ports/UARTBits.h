// Bit sets a port's two sides exchange through the virtual UART: modem
// lines, flow control and line errors. DTR, RTS and BREAK are driven by the
// application side; CTS, CD, DSR and RING are reported by the network side.
// Constants only.
#pragma once

enum UARTLineBits : unsigned {
    LINE_DTR = 0x01,
    LINE_RTS = 0x02,
    LINE_BREAK = 0x04,
    LINE_CTS = 0x08,
    LINE_CD = 0x10,
    LINE_DSR = 0x20,
    LINE_RING = 0x40,
};

enum UARTFlowBits : unsigned {
    FLOW_IN_XON = 0x01,
    FLOW_IN_RTS = 0x02,
    FLOW_IN_DTR = 0x04,
    FLOW_OUT_XON = 0x08,
    FLOW_OUT_CTS = 0x10,
    FLOW_OUT_DSR = 0x20,
    FLOW_IN_MASK = FLOW_IN_XON | FLOW_IN_RTS | FLOW_IN_DTR,
    FLOW_OUT_MASK = FLOW_OUT_XON | FLOW_OUT_CTS | FLOW_OUT_DSR,
};

enum UARTErrorBits : unsigned {
    CE_RXOVERRUN = 0x001,
    CE_OVERRUN = 0x002,
    CE_RXPARITY = 0x004,
    CE_FRAME = 0x008,
    CE_TXFULL = 0x100,
};
