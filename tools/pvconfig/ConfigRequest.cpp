#include "tools/pvconfig/ConfigRequest.h"

#include <cstring>

#include "tools/pvconfig/ConfigOptions.h"

std::string ConfigRequest::WireValue(const ToolOption& row, const std::string& value) {
    if (row.kind != ToolValueKind::YesNo) {
        return value;
    }
    bool yes = value == "Y" || value == "y";
    return yes != row.inverted ? "1" : "0";
}

std::string ConfigRequest::Change(const ToolOption& row, const std::string* tty, bool hasValue,
                                  const std::string& value) {
    const std::string key = row.key;
    if (!hasValue) {
        return tty != nullptr ? "delete port " + *tty + " " + key + "\n"
                              : "delete config " + key + "\n";
    }
    const std::string wire = WireValue(row, value);
    if (tty == nullptr) {
        return "set config " + key + " " + wire + "\n";
    }
    if (row.role == ConfigOptions::ROLE_COPY) {
        return "copy port " + wire + " " + *tty + "\n";
    }
    return "set port " + *tty + " " + key + " " + wire + "\n";
}

std::string ConfigRequest::Get(const ToolOption& row, const std::string* tty) {
    const std::string key = row.key;
    return tty != nullptr ? "get port " + *tty + " " + key + "\n" : "get config " + key + "\n";
}

std::string ConfigRequest::Label(const ToolOption& row) {
    return std::string(row.longForm) + (strlen(row.longForm) <= 6 ? ":\t\t" : ":\t");
}

std::string ConfigRequest::Display(const ToolOption& row, const std::string& reply) {
    if (reply.empty()) {
        return row.resetDefault != nullptr ? row.resetDefault : "";
    }
    if (row.kind != ToolValueKind::YesNo) {
        return reply;
    }
    bool set = reply[0] >= '1' && reply[0] <= '9';
    return set != row.inverted ? "Y" : "N";
}
