#include "daemon/ports/UARTTraceText.h"

#include <gtest/gtest.h>

#include "daemon/ports/UARTBits.h"

TEST(UARTTraceTextTest, LineErrorsInFixedOrder) {
    EXPECT_EQ(UARTTraceText::LineErrors(0), "");
    EXPECT_EQ(UARTTraceText::LineErrors(0x200), "");
    EXPECT_EQ(
        UARTTraceText::LineErrors(CE_OVERRUN | CE_TXFULL | CE_RXOVERRUN | CE_RXPARITY | CE_FRAME),
        "CE_FRAME CE_RXPARITY CE_RXOVERRUN CE_TXFULL CE_OVERRUN ");
}

TEST(UARTTraceTextTest, LinesOfTheMaskOnly) {
    struct Case {
        unsigned values;
        unsigned mask;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, ""},
        {LINE_CTS, LINE_CTS | LINE_CD, "CTS: 1 CD: 0 "},
        {0x7F, 0x7F, "DTR: 1 RTS: 1 BREAK: 1 CTS: 1 DSR: 1 RING: 1 CD: 1 "},
        {LINE_DTR, LINE_DTR | LINE_RTS | LINE_CTS | LINE_DSR | LINE_CD,
         "DTR: 1 RTS: 0 CTS: 0 DSR: 0 CD: 0 "},
        {LINE_RING, LINE_RING | 0x4000, "RING: 1 "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UARTTraceText::Lines(c.values, c.mask), c.text);
    }
}

TEST(UARTTraceTextTest, FlowChanges) {
    struct Case {
        unsigned oldFlow;
        unsigned newFlow;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, ""},
        {FLOW_IN_RTS, FLOW_IN_RTS, ""},
        {0, FLOW_IN_RTS | FLOW_OUT_CTS, "RTSFlow: 1 CTSFlow: 1 "},
        {0, FLOW_IN_XON | FLOW_IN_DTR, "InXONFlow: 1 DTRFlow: 1 "},
        {FLOW_IN_RTS, FLOW_IN_XON, "RTSFlow: 0 InXONFlow: 1 "},
        {FLOW_IN_RTS | FLOW_OUT_DSR, FLOW_OUT_DSR, "InFlow None "},
        {FLOW_OUT_CTS, FLOW_OUT_XON, "CTSFlow: 0 OutXONFlow: 1 "},
        {FLOW_IN_DTR | FLOW_OUT_XON, 0, "InFlow None OutFlow None "},
        {0, FLOW_OUT_DSR, "DSRFlow: 1 "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UARTTraceText::FlowChange(c.oldFlow, c.newFlow), c.text)
            << c.oldFlow << " -> " << c.newFlow;
    }
}
