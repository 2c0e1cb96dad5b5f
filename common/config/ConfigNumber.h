// Conversions between numbers and the decimal text in which the
// configuration file stores them. Numbers are written unsigned and read
// signed; both readers take the rules of the C library's "%d" and "%u" (blanks
// first, an optional sign, digits, anything after the digits ignored) but,
// unlike those, never overflow: a magnitude above 4294967295 does not parse,
// and the value read is the low 32 bits, so that every unsigned value written
// reads back as the same bits. Stateless; safe on any thread.
#pragma once

#include <string>

class ConfigNumber {
  public:
    // "%d": "4294967295" reads as -1, "-1" as -1.
    static bool ParseSigned(const std::string& text, int* value);
    // "%u": the sign is taken as the library does, so "-1" is 4294967295.
    static bool ParseUnsigned(const std::string& text, unsigned* value);
    // "%u".
    static std::string Format(unsigned value);
};
