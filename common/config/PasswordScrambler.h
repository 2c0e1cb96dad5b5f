// The reversible scrambling under which port passwords are stored: two
// lowercase hexadecimal digits per byte, keyed by the port's name and the
// port's Login at the time of scrambling. It keeps the password out of plain
// sight in the file; it is not encryption. Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <string>

// The scrambler's initial value. Changing it makes every stored password
// decode to different bytes.
constexpr uint8_t kPasswordScramblerSeed = 0x5A;

// The key for port name A and login B: A and B interleaved (the rest of the
// longer one following), then mixed so that each byte depends on the next.
// Its length is length(A) + length(B).
std::string MakePasswordKey(const std::string& portName, const std::string& login);

// Replaces the clear text by its scrambled form; an empty text stays empty.
void EncodePassword(const std::string& portName, const std::string& login, std::string* text);
// Replaces the scrambled form by the clear text. Decoding stops at the first
// pair that is not two lowercase hexadecimal digits (and at a lone digit at
// the end): what was decoded before it is the result.
void DecodePassword(const std::string& portName, const std::string& login, std::string* text);
