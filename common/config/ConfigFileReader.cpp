#include "common/config/ConfigFileReader.h"

#include <cstdio>
#include <cstring>

#include "common/config/WholeLineMatch.h"

namespace {

// The four line forms, tried in this order. Section names take the
// characters of device names, so that every port section the cache writes
// reads back; names of keys stay letters and digits.
const boost::regex& BlankLine() {
    static const boost::regex r("^[[:blank:]]*$", boost::regex::perl);
    return r;
}

const boost::regex& SectionHeader() {
    static const boost::regex r(
        "^[[:blank:]]*\\[[[:blank:]]*([a-zA-Z0-9_\\-\\+]+)[[:blank:]]*\\][[:blank:]]*$",
        boost::regex::perl);
    return r;
}

const boost::regex& QuotedPair() {
    static const boost::regex r(
        "^[[:blank:]]*([[:alnum:]]+)[[:blank:]]*=[[:blank:]]*\"(.+)\"[[:blank:]]*$",
        boost::regex::perl);
    return r;
}

const boost::regex& PlainPair() {
    static const boost::regex r(
        "^[[:blank:]]*([[:alnum:]]+)[[:blank:]]*=[[:blank:]]*(.+)[[:blank:]]*$",
        boost::regex::perl);
    return r;
}

const boost::regex& KeyName() {
    static const boost::regex r("^[[:alnum:]]+$", boost::regex::perl);
    return r;
}

const boost::regex& SectionName() {
    static const boost::regex r("^[a-zA-Z0-9_\\-\\+]+$", boost::regex::perl);
    return r;
}

}  // namespace

ConfigFileReader::ConfigFileReader(ErrorReporter reporter) : reporter_(std::move(reporter)) {}

bool ConfigFileReader::IsKeyName(const std::string& name) {
    return WholeLineMatch(name, KeyName());
}

bool ConfigFileReader::IsSectionName(const std::string& name) {
    return WholeLineMatch(name, SectionName());
}

void ConfigFileReader::Report(const char* format, int lineNumber) {
    if (!reporter_) {
        return;
    }
    char text[128];
    snprintf(text, sizeof text, format, lineNumber);
    reporter_(text);
}

void ConfigFileReader::Feed(const char* data, size_t length) {
    const char* end = data + length;
    while (data < end) {
        const char* newline = static_cast<const char*>(memchr(data, '\n', end - data));
        const char* stop = newline != nullptr ? newline : end;
        if (!tooLong_) {
            size_t piece = static_cast<size_t>(stop - data);
            if (line_.size() + piece > kMaxLineLength) {
                // The rest of this line is skipped, never parsed as lines
                // of its own.
                tooLong_ = true;
                line_.clear();
                line_.shrink_to_fit();
            } else {
                line_.append(data, piece);
            }
        }
        if (newline == nullptr) {
            return;
        }
        EndLine();
        data = newline + 1;
    }
}

void ConfigFileReader::Finish() {
    if (tooLong_ || !line_.empty()) {
        EndLine();
    }
}

void ConfigFileReader::Parse(const char* data, size_t length) {
    Feed(data, length);
    Finish();
}

void ConfigFileReader::EndLine() {
    if (tooLong_) {
        Report("line %d too long", lineNumber_);
        tooLong_ = false;
    } else {
        ParseLine(line_.data(), line_.data() + line_.size());
    }
    line_.clear();
    ++lineNumber_;
}

void ConfigFileReader::ParseLine(const char* begin, const char* end) {
    boost::cmatch m;
    // A NUL cannot be part of a name or of a value that the accessors hand
    // out as C strings: such a line is damaged, not a shorter line.
    if (memchr(begin, '\0', end - begin) != nullptr) {
        Report("invalid format at line %d", lineNumber_);
        return;
    }
    if (WholeLineMatch(begin, end, BlankLine(), &m)) {
        return;
    }
    if (WholeLineMatch(begin, end, SectionHeader(), &m)) {
        std::string name = m.str(1);
        if (name == kGeneralSection) {
            current_ = &general_;
        } else {
            // A second header of the same name starts that section afresh.
            Section& section = ports_[name];
            section.clear();
            current_ = &section;
        }
        return;
    }
    if (WholeLineMatch(begin, end, QuotedPair(), &m) ||
        WholeLineMatch(begin, end, PlainPair(), &m)) {
        if (current_ == nullptr) {
            Report("name/value pair found outside of grouping at line %d", lineNumber_);
        } else {
            (*current_)[m.str(1)] = m.str(2);
        }
        return;
    }
    Report("invalid format at line %d", lineNumber_);
}
