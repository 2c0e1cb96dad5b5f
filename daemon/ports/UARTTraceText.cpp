#include "daemon/ports/UARTTraceText.h"

#include "daemon/ports/UARTBits.h"

namespace UARTTraceText {

namespace {

struct Named {
    unsigned bit;
    const char* word;
};

// Input and output flow each name "no flow control at all" with one word
// and otherwise list each changed bit.
void AppendFlowHalf(std::string& text, unsigned oldBits, unsigned newBits, const char* none,
                    const Named (&order)[3]) {
    if (oldBits == newBits) {
        return;
    }
    if (newBits == 0) {
        text += none;
        return;
    }
    for (const Named& n : order) {
        if (((oldBits ^ newBits) & n.bit) != 0) {
            text += n.word;
            text += (newBits & n.bit) != 0 ? "1 " : "0 ";
        }
    }
}

}  // namespace

std::string LineErrors(unsigned bits) {
    static const Named kOrder[] = {
        {CE_FRAME, "CE_FRAME "},   {CE_RXPARITY, "CE_RXPARITY "}, {CE_RXOVERRUN, "CE_RXOVERRUN "},
        {CE_TXFULL, "CE_TXFULL "}, {CE_OVERRUN, "CE_OVERRUN "},
    };
    std::string text;
    for (const Named& n : kOrder) {
        if ((bits & n.bit) != 0) {
            text += n.word;
        }
    }
    return text;
}

std::string Lines(unsigned values, unsigned mask) {
    static const Named kOrder[] = {
        {LINE_DTR, "DTR: "}, {LINE_RTS, "RTS: "},   {LINE_BREAK, "BREAK: "}, {LINE_CTS, "CTS: "},
        {LINE_DSR, "DSR: "}, {LINE_RING, "RING: "}, {LINE_CD, "CD: "},
    };
    std::string text;
    for (const Named& n : kOrder) {
        if ((mask & n.bit) != 0) {
            text += n.word;
            text += (values & n.bit) != 0 ? "1 " : "0 ";
        }
    }
    if (text.size() > kMaxLineRecord) {
        text.resize(kMaxLineRecord);
    }
    return text;
}

std::string FlowChange(unsigned oldFlow, unsigned newFlow) {
    static const Named kIn[3] = {
        {FLOW_IN_RTS, "RTSFlow: "}, {FLOW_IN_XON, "InXONFlow: "}, {FLOW_IN_DTR, "DTRFlow: "}};
    static const Named kOut[3] = {
        {FLOW_OUT_CTS, "CTSFlow: "}, {FLOW_OUT_XON, "OutXONFlow: "}, {FLOW_OUT_DSR, "DSRFlow: "}};
    std::string text;
    AppendFlowHalf(text, oldFlow & FLOW_IN_MASK, newFlow & FLOW_IN_MASK, "InFlow None ", kIn);
    AppendFlowHalf(text, oldFlow & FLOW_OUT_MASK, newFlow & FLOW_OUT_MASK, "OutFlow None ", kOut);
    return text;
}

}  // namespace UARTTraceText
