// Only common/config includes this. Every pattern of the configuration code
// is matched against a whole line or a whole value; Boost.Regex may throw on a
// pathological input (its backtracking limit), which this layer reports as
// "no match" instead of letting an exception escape.
#pragma once

#include <boost/regex.hpp>
#include <string>

inline bool WholeLineMatch(const char* begin, const char* end, const boost::regex& pattern,
                           boost::cmatch* match) {
    try {
        return boost::regex_match(begin, end, *match, pattern);
    } catch (...) {
        return false;
    }
}

inline bool WholeLineMatch(const std::string& text, const boost::regex& pattern,
                           boost::smatch* match) {
    try {
        return boost::regex_match(text, *match, pattern);
    } catch (...) {
        return false;
    }
}

inline bool WholeLineMatch(const std::string& text, const boost::regex& pattern) {
    try {
        return boost::regex_match(text, pattern);
    } catch (...) {
        return false;
    }
}
