#include "common/config/ConfigNumber.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace {

// The common part of both readers: the 32-bit pattern of the text.
bool ParseBits(const std::string& text, uint32_t* bits) {
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t magnitude = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > UINT32_MAX) {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    uint32_t low = static_cast<uint32_t>(magnitude);
    *bits = negative ? 0u - low : low;
    return true;
}

}  // namespace

bool ConfigNumber::ParseSigned(const std::string& text, int* value) {
    uint32_t bits;
    if (!ParseBits(text, &bits)) {
        return false;
    }
    *value = static_cast<int>(static_cast<int32_t>(bits));
    return true;
}

bool ConfigNumber::ParseUnsigned(const std::string& text, unsigned* value) {
    uint32_t bits;
    if (!ParseBits(text, &bits)) {
        return false;
    }
    *value = bits;
    return true;
}

std::string ConfigNumber::Format(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    return text;
}
