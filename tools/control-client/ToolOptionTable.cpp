#include "tools/control-client/ToolOptionTable.h"

const ToolOption* ToolOptionTable::Find(const std::string& word) const {
    if (word.empty() || word[0] != '-') {
        return nullptr;
    }
    const std::string typed = word.substr(1);
    const ToolOption* candidate = nullptr;
    int candidates = 0;
    for (const ToolOption& row : rows_) {
        if ((typed.size() == 1 && typed[0] == row.shortForm) || typed == row.longForm) {
            return &row;
        }
        if (std::string(row.longForm).compare(0, typed.size(), typed) == 0) {
            candidate = &row;
            ++candidates;
        }
    }
    return candidates == 1 ? candidate : nullptr;
}

const ToolOption* ToolOptionTable::ByLongForm(const std::string& longForm) const {
    for (const ToolOption& row : rows_) {
        if (longForm == row.longForm) {
            return &row;
        }
    }
    return nullptr;
}

bool ToolOptionTable::TakeArgument(const std::vector<std::string>& args, size_t* next,
                                   std::string* value) {
    if (*next >= args.size()) {
        return false;
    }
    const std::string& word = args[*next];
    if (word.size() > 1 && word[0] == '-') {
        return false;
    }
    *value = word;
    ++*next;
    return true;
}
