// The command line of pvconfig / pvquery, taken apart and checked: the
// device(s) of -tty and the options in command-line order with their values.
// A misuse leaves the message the tool prints and its exit status. Holds
// only what it parsed; single thread.
#pragma once

#include <string>
#include <vector>

#include "tools/control-client/ToolOptionTable.h"

class ConfigCommandLine {
  public:
    struct Option {
        const ToolOption* row;  // non-owning, into ConfigOptions::Table()
        std::string typed;      // the option word as given, for messages
        bool hasValue;          // given, or the reset default in configuration mode
        std::string value;
    };

    explicit ConfigCommandLine(bool configMode) : configMode_(configMode) {}

    // Parses the arguments after the program name. Returns 0, or the exit
    // status of the first misuse with its message in Error().
    int Parse(const std::vector<std::string>& args);

    bool ConfigMode() const { return configMode_; }
    bool HaveTty() const { return haveTty_; }
    const std::string& Tty() const { return tty_; }
    const std::vector<Option>& Options() const { return options_; }
    const std::string& Error() const { return error_; }

  private:
    int Check(const Option& option);
    int CheckValue(const Option& option);
    int Fail(int status, const std::string& message);

    bool configMode_;
    bool haveTty_ = false;
    std::string tty_;
    std::vector<Option> options_;
    std::string error_;
};
