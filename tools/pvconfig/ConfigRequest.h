// How the options of pvconfig and pvquery become control requests and how
// replies become listing lines: the request formats, Y/N as "1"/"0" (the
// other way round for inverted rows), labels and displayed values. Pure
// functions of their arguments; any thread.
#pragma once

#include <string>

#include "tools/control-client/ToolOptionTable.h"

class ConfigRequest {
  public:
    // The value as it travels to the daemon.
    static std::string WireValue(const ToolOption& row, const std::string& value);

    // The configuration-mode request for one option. `tty` is null without
    // -tty; without a value the setting is deleted.
    static std::string Change(const ToolOption& row, const std::string* tty, bool hasValue,
                              const std::string& value);

    // The query-mode request for one option; `tty` is null for a general
    // setting.
    static std::string Get(const ToolOption& row, const std::string* tty);

    // "%s:" and one or two tabs, so that values line up.
    static std::string Label(const ToolOption& row);

    // The value as listed (without line end): Y/N replies as "Y" or "N", an
    // empty reply as the reset default or "".
    static std::string Display(const ToolOption& row, const std::string& reply);
};
