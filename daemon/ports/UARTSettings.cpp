#include "daemon/ports/UARTSettings.h"

#include <strings.h>

#include <cstdio>

#include "common/config/ConfigKeys.h"
#include "common/config/PortSettings.h"
#include "common/runtime/DebugMonitor.h"
#include "daemon/ports/UARTBits.h"
#include "daemon/ports/UARTTraceText.h"

namespace {

struct FlowName {
    const char* text;
    unsigned bits;
};

constexpr FlowName kInFlows[] = {
    {"none", 0}, {"rts", FLOW_IN_RTS}, {"dtr", FLOW_IN_DTR}, {"xonxoff", FLOW_IN_XON}};
constexpr FlowName kOutFlows[] = {
    {"none", 0}, {"cts", FLOW_OUT_CTS}, {"dsr", FLOW_OUT_DSR}, {"xonxoff", FLOW_OUT_XON}};

// Replaces the flow bits under `mask` with the named flow; an unknown name
// is reported and leaves the previous setting.
template <size_t N>
void ReadFlow(const PortSettings& port, const TextKey& key, const FlowName (&names)[N],
              unsigned mask, const char* error, unsigned* flow) {
    std::string text;
    if (!port.FindText(key, &text)) {
        return;
    }
    for (const FlowName& n : names) {
        if (strcasecmp(text.c_str(), n.text) == 0) {
            *flow = (*flow & ~mask) | n.bits;
            return;
        }
    }
    DebugMonitor::Instance().Logf(DEBUG_ERROR, port.Port().c_str(), error, text.c_str());
}

void ReadLine(const PortSettings& port, const TextKey& key, unsigned bit, const char* error,
              unsigned* lines) {
    std::string text;
    if (!port.FindText(key, &text)) {
        return;
    }
    if (text == "0") {
        *lines &= ~bit;
    } else if (text == "1") {
        *lines |= bit;
    } else {
        DebugMonitor::Instance().Logf(DEBUG_ERROR, port.Port().c_str(), error, text.c_str());
    }
}

}  // namespace

void UARTSettings::Read(const std::string& portName, unsigned* lines) {
    DebugMonitor& monitor = DebugMonitor::Instance();
    const char* source = portName.c_str();
    PortSettings port(portName);
    // Only the port's own section counts; an absent key (or a number that
    // does not parse) answers the current value.
    baud = port.Number(ConfigKeys::kBaud, baud);
    int length = port.Number(ConfigKeys::kDataLength, dataBits);
    if (length >= 5 && length <= 8) {
        dataBits = length;
    } else {
        monitor.Logf(DEBUG_ERROR, source, "Invalid data length %d", length);
    }
    std::string text;
    if (port.FindText(ConfigKeys::kParity, &text)) {
        static const char* const kParities[] = {"even", "odd", "none", "mark", "space"};
        bool known = false;
        for (const char* p : kParities) {
            if (strcasecmp(text.c_str(), p) == 0) {
                parity = p[0] - 'a' + 'A';
                known = true;
            }
        }
        if (!known) {
            monitor.Logf(DEBUG_ERROR, source, "Invalid parity %s", text.c_str());
        }
    }
    if (port.FindText(ConfigKeys::kStopBits, &text)) {
        if (text == "1") {
            stopBits = 1;
        } else if (text == "2") {
            stopBits = 2;
        } else if (text == "1.5" && dataBits == 5) {
            stopBits = 2;
        } else if (text != "1.5") {
            monitor.Logf(DEBUG_ERROR, source, "Invalid stop bits %s", text.c_str());
        }
        // "1.5" with another data length is not a valid framing and is
        // ignored: the stop bits stay as they were.
    }
    ReadLine(port, ConfigKeys::kDTR, LINE_DTR, "Invalid dtr state %s", lines);
    ReadLine(port, ConfigKeys::kRTS, LINE_RTS, "Invalid rts state %s", lines);
    ReadFlow(port, ConfigKeys::kInFlow, kInFlows, FLOW_IN_MASK, "Invalid input flow %s", &flow);
    ReadFlow(port, ConfigKeys::kOutFlow, kOutFlows, FLOW_OUT_MASK, "Invalid output flow %s", &flow);
}

const char* UARTSettings::StopBitsText() const {
    if (stopBits == 1) {
        return "1";
    }
    return dataBits == 5 ? "1.5" : "2";
}

std::vector<std::string> UARTSettings::StatusRecords(unsigned lines) const {
    std::vector<std::string> records;
    records.emplace_back("Current UART Settings:");
    char text[64];
    snprintf(text, sizeof text, "Baud: %08ld", static_cast<long>(baud));
    records.emplace_back(text);
    snprintf(text, sizeof text, "Framing: %02d,%c,%s", dataBits, parity, StopBitsText());
    records.emplace_back(text);
    // At open the flow is compared with none, so only enabled flows show.
    std::string flowText = UARTTraceText::FlowChange(0, flow);
    if (!flowText.empty()) {
        records.push_back(flowText);
    }
    records.push_back(
        UARTTraceText::Lines(lines, LINE_DTR | LINE_RTS | LINE_CTS | LINE_DSR | LINE_CD));
    return records;
}
