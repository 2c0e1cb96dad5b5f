#include "common/config/PasswordScrambler.h"

namespace {

// The mixing function: low nibble l XOR h, high nibble (l + h) mod 16, and
// the high nibble all ones for a byte of 0x80 or more.
uint8_t Transform(uint8_t a) {
    unsigned low = a & 0x0Fu;
    unsigned high = a >> 4;
    unsigned resultHigh = (low + high) & 0x0Fu;
    if (a >= 0x80) {
        resultHigh |= 0x0Fu;
    }
    return static_cast<uint8_t>((resultHigh << 4) | (low ^ high));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// An empty port name and login would give an empty key; one zero byte
// scrambles with the seed alone instead of dividing by zero.
std::string UsableKey(const std::string& portName, const std::string& login) {
    std::string key = MakePasswordKey(portName, login);
    if (key.empty()) {
        key.assign(1, '\0');
    }
    return key;
}

}  // namespace

std::string MakePasswordKey(const std::string& portName, const std::string& login) {
    std::string key;
    key.reserve(portName.size() + login.size());
    size_t i = 0;
    for (; i < portName.size() || i < login.size(); ++i) {
        if (i < portName.size()) {
            key += portName[i];
        }
        if (i < login.size()) {
            key += login[i];
        }
    }
    size_t n = key.size();
    for (size_t j = 0; j < n; ++j) {
        uint8_t next = j + 1 < n ? static_cast<uint8_t>(key[j + 1]) : 0;
        key[j] = static_cast<char>(static_cast<uint8_t>(key[j]) ^ next);
        if (j + 1 < n) {
            key[j + 1] = static_cast<char>(Transform(next));
        }
    }
    return key;
}

void EncodePassword(const std::string& portName, const std::string& login, std::string* text) {
    if (text->empty()) {
        return;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string key = UsableKey(portName, login);
    std::string out;
    out.reserve(text->size() * 2);
    uint8_t s = kPasswordScramblerSeed;
    size_t j = 0;
    for (char c : *text) {
        s = static_cast<uint8_t>(s ^ static_cast<uint8_t>(c) ^ static_cast<uint8_t>(key[j]));
        out += kDigits[s >> 4];
        out += kDigits[s & 0x0F];
        j = (j + 1) % key.size();
    }
    text->swap(out);
}

void DecodePassword(const std::string& portName, const std::string& login, std::string* text) {
    std::string key = UsableKey(portName, login);
    std::string out;
    uint8_t s = kPasswordScramblerSeed;
    size_t j = 0;
    for (size_t i = 0; i + 1 < text->size(); i += 2) {
        int high = HexValue((*text)[i]);
        int low = HexValue((*text)[i + 1]);
        if (high < 0 || low < 0) {
            break;
        }
        uint8_t f = static_cast<uint8_t>((high << 4) | low);
        out += static_cast<char>(s ^ static_cast<uint8_t>(key[j]) ^ f);
        s = f;
        j = (j + 1) % key.size();
    }
    text->swap(out);
}
