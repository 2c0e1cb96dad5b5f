// The option table shared by pvconfig and pvquery: every option with its
// flags, the setting it reads or writes, its value kind and the default that
// -reset (or the option without a value) restores. Built once, read-only
// afterwards; any thread may read it.
#pragma once

#include "tools/control-client/ToolOptionTable.h"

class ConfigOptions {
  public:
    // What an option does beyond reading or writing its key (ToolOption::role).
    enum Role {
        ROLE_SETTING = 0,
        ROLE_TTY,      // selects the device(s) the other options apply to
        ROLE_DEVICES,  // changes the device population (ttylist, addtty, deltty)
        ROLE_VERSION,
        ROLE_COPY,
        ROLE_RESET,
        ROLE_HELP,
    };

    static const ToolOptionTable& Table();

    // Options that must stand alone on a command line (beside -tty).
    static bool StandsAlone(const ToolOption& row) {
        return row.role != ROLE_SETTING && row.role != ROLE_TTY;
    }
};
