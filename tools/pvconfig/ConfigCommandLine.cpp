#include "tools/pvconfig/ConfigCommandLine.h"

#include <strings.h>

#include <boost/regex.hpp>

#include "tools/pvconfig/ConfigOptions.h"

namespace {

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string joined;
    for (const std::string& w : words) {
        if (!joined.empty()) {
            joined += separator;
        }
        joined += w;
    }
    return joined;
}

bool IsChoice(const ToolOption& row, const std::string& value) {
    for (const std::string& c : row.choices) {
        if (strcasecmp(c.c_str(), value.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int ConfigCommandLine::Fail(int status, const std::string& message) {
    error_ = message;
    return status;
}

int ConfigCommandLine::Parse(const std::vector<std::string>& args) {
    const ToolOptionTable& table = ConfigOptions::Table();
    for (size_t next = 0; next < args.size();) {
        const std::string& word = args[next++];
        const ToolOption* row = table.Find(word);
        if (row == nullptr) {
            return Fail(1, "Unknown option " + word + "\n");
        }
        Option option{row, word, false, ""};
        option.hasValue = ToolOptionTable::TakeArgument(args, &next, &option.value);
        if (!option.hasValue && configMode_ && row->resetDefault != nullptr) {
            option.hasValue = true;
            option.value = row->resetDefault;
        }
        if (int status = Check(option)) {
            return status;
        }
        if (row->role == ConfigOptions::ROLE_TTY) {
            if (haveTty_) {
                return Fail(3, "Option " + word + " may only be specified once\n");
            }
            haveTty_ = true;
            tty_ = option.value;
            continue;
        }
        options_.push_back(option);
        if (options_.size() > 1) {
            for (const Option& o : options_) {
                if (ConfigOptions::StandsAlone(*o.row)) {
                    return Fail(2,
                                "Option " + o.typed + " cannot be combined with other options\n");
                }
            }
        }
    }
    return 0;
}

int ConfigCommandLine::Check(const Option& option) {
    const int flags = option.row->flags;
    const std::string& word = option.typed;
    if ((flags & OPT_WITH_TTY) && !haveTty_) {
        return Fail(2, "Option " + word + " only valid in conjunction with -tty option\n");
    }
    if ((flags & OPT_WITHOUT_TTY) && haveTty_) {
        return Fail(2, "Option " + word + " not valid with -tty option\n");
    }
    if ((flags & OPT_CONFIG_ONLY) && !configMode_) {
        return Fail(2, "Invalid option " + word + "\n");
    }
    if (option.hasValue) {
        bool queryTakesValue = (flags & (OPT_ARG_IN_CONFIG | OPT_ARG_ALWAYS)) ||
                               option.row->role == ConfigOptions::ROLE_HELP;
        if ((flags & OPT_NO_ARG) || (!configMode_ && !queryTakesValue)) {
            return Fail(3, "Option " + word + " does not take an argument\n");
        }
        return CheckValue(option);
    }
    if ((flags & OPT_ARG_ALWAYS) || ((flags & OPT_ARG_IN_CONFIG) && configMode_)) {
        return Fail(3, "Option " + word + " requires an argument\n");
    }
    return 0;
}

int ConfigCommandLine::CheckValue(const Option& option) {
    static const boost::regex number("[0-9]+");
    static const boost::regex mode("[0-7]{3}");
    static const boost::regex notInDeviceList("[^a-zA-Z0-9,_+\\-]");
    static const boost::regex lineEnd("[\\r\\n]");
    const std::string& word = option.typed;
    const std::string& value = option.value;
    switch (option.row->kind) {
        case ToolValueKind::YesNo:
            if (value != "Y" && value != "y" && value != "N" && value != "n") {
                return Fail(3, "Option " + word + " must be 'Y' or 'N'\n");
            }
            return 0;
        case ToolValueKind::Number:
            if (!boost::regex_match(value, number)) {
                return Fail(3, "Option " + word + " requires a numeric argument\n");
            }
            return 0;
        case ToolValueKind::Mode:
            if (!boost::regex_match(value, mode)) {
                return Fail(3, "Option " + word + " must be three exactly octal digits (0-7)\n");
            }
            return 0;
        case ToolValueKind::Choice:
            if (!IsChoice(*option.row, value)) {
                return Fail(3, "Option " + word +
                                   " must be one of: " + Join(option.row->choices, ", ") + "\n");
            }
            return 0;
        case ToolValueKind::CommaList: {
            boost::smatch bad;
            if (boost::regex_search(value, bad, notInDeviceList)) {
                return Fail(3, std::string("Illegal character '") + bad.str(0) +
                                   "' in argument \"" + value + "\"\n");
            }
            return 0;
        }
        default:
            // A line end would cut the request short and the daemon would act
            // on what came before it, so texts must stay on one line.
            if (boost::regex_search(value, lineEnd)) {
                return Fail(3, "Option " + word + " must not contain a line break\n");
            }
            return 0;
    }
}
