// The option table of a command-line tool and its look-up: an option word is
// "-" plus a row's single character, or "-" plus its long form or a unique
// prefix of it. The table owns its rows and never changes after construction;
// any thread may read it.
#pragma once

#include <string>
#include <vector>

// Option flags; their meaning is the same in every tool that uses them.
enum ToolOptionFlag {
    OPT_ARG_IN_CONFIG = 1,  // needs an argument in configuration mode
    OPT_ARG_ALWAYS = 2,     // always needs an argument
    OPT_NO_ARG = 4,         // never takes an argument
    OPT_WITH_TTY = 8,       // only after -tty
    OPT_WITHOUT_TTY = 16,   // only without -tty
    OPT_CONFIG_ONLY = 32,   // configuration mode only
    OPT_UNLISTED = 64,      // left out of listings and of -reset
};

enum class ToolValueKind {
    None,       // takes no value
    Number,     // a decimal integer
    YesNo,      // "Y" or "N", in either case
    Text,       // anything
    Choice,     // one of the row's choices, compared without regard to case
    CommaList,  // device names separated by commas
    BarList,    // texts separated by "|"
    Mode,       // exactly three octal digits
};

struct ToolOption {
    char shortForm;
    const char* longForm;
    int flags;
    // The setting the option reads or writes; "" for options that act.
    const char* key;
    ToolValueKind kind;
    // What the tool does with the option beyond reading or writing its key;
    // 0 for plain settings, otherwise a value the tool defines.
    int role;
    const char* resetDefault;  // nullptr: the option has no default
    std::vector<std::string> choices;
    // A Y/N option whose key holds the opposite sense.
    bool inverted;
};

class ToolOptionTable {
  public:
    explicit ToolOptionTable(std::vector<ToolOption> rows) : rows_(std::move(rows)) {}

    // The row the option word names, or nullptr when the word is no option,
    // names nothing, or is a prefix of more than one long form.
    const ToolOption* Find(const std::string& word) const;

    // The row with this long form; for the tool's own use.
    const ToolOption* ByLongForm(const std::string& longForm) const;

    const std::vector<ToolOption>& Rows() const { return rows_; }

    // Takes the argument of the option just read: the word at *next if there
    // is one and it does not start with "-" (a lone "-" is an argument).
    // Advances *next past it and returns true when taken.
    static bool TakeArgument(const std::vector<std::string>& args, size_t* next,
                             std::string* value);

  private:
    std::vector<ToolOption> rows_;
};
