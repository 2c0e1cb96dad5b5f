#include "common/config/PasswordScrambler.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Encoded(const std::string& port, const std::string& login, std::string text) {
    EncodePassword(port, login, &text);
    return text;
}

std::string Decoded(const std::string& port, const std::string& login, std::string text) {
    DecodePassword(port, login, &text);
    return text;
}

// Worked by hand from the rules: interleave, then mix each byte with the
// original next one and transform that next one.
TEST(PasswordScramblerTest, KeyDerivation) {
    // "ab" + "c" interleave to "acb" = 61 63 62:
    //   k0 = 61 ^ 63 = 02; T(63) = 95; k1 = 95 ^ 62 = f7; T(62) = 84; k2 = 84 ^ 00.
    EXPECT_EQ(MakePasswordKey("ab", "c"), std::string("\x02\xf7\x84"));
    // A byte of 0x80 or more gets an all-ones high nibble: T(90) = f9.
    EXPECT_EQ(MakePasswordKey(std::string("\x01\x90"), ""), std::string("\x91\xf9"));
    // The longer string's rest follows: "abc" + "x" interleave to "axbc".
    EXPECT_EQ(MakePasswordKey("abc", "x").size(), 4u);
    EXPECT_EQ(MakePasswordKey("", "x"), std::string("x"));
    EXPECT_EQ(MakePasswordKey("", ""), "");
}

TEST(PasswordScramblerTest, EncodingIsChainedAndKeyed) {
    // s = 5a ^ 'p' ^ 02 = 28; s = 28 ^ 'w' ^ f7 = a8.
    static_assert(kPasswordScramblerSeed == 0x5A, "vector below assumes this seed");
    EXPECT_EQ(Encoded("ab", "c", "pw"), "28a8");
    EXPECT_EQ(Encoded("ab", "c", ""), "");
    EXPECT_NE(Encoded("tty0", "root", "secret"), Encoded("tty1", "root", "secret"));
}

TEST(PasswordScramblerTest, RoundTrips) {
    const char* passwords[] = {"x", "secret", "a much longer password than the key is",
                               "\x01\xff\x80 blanks and \"quotes\""};
    const char* logins[] = {"", "root", "a-very-long-login-name"};
    for (const char* password : passwords) {
        for (const char* login : logins) {
            std::string stored = Encoded("tty_0", login, password);
            EXPECT_EQ(stored.size(), 2 * std::string(password).size());
            EXPECT_EQ(stored.find_first_not_of("0123456789abcdef"), std::string::npos);
            EXPECT_EQ(Decoded("tty_0", login, stored), password) << login;
        }
    }
    // Neither port name nor login: the seed alone still round-trips.
    EXPECT_EQ(Decoded("", "", Encoded("", "", "pw")), "pw");
}

TEST(PasswordScramblerTest, ChangedLoginDecodesToOtherBytes) {
    std::string stored = Encoded("tty0", "alice", "secret");
    EXPECT_NE(Decoded("tty0", "bob", stored), "secret");
    EXPECT_EQ(Decoded("tty0", "alice", stored), "secret");
}

TEST(PasswordScramblerTest, MalformedStoredTextDecodesValidPairsOnly) {
    std::string stored = Encoded("ab", "c", "pw");  // "28a8"
    struct {
        std::string text;
        std::string clear;
    } cases[] = {
        {"", ""},
        {"28a", "p"},  // lone digit at the end
        {"28zz"
         "a8",
         "p"},          // bad pair in the middle
        {"28A8", "p"},  // upper case is not the stored form
        {"2", ""},
        {"g8", ""},
        {stored, "pw"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decoded("ab", "c", c.text), c.clear) << c.text;
    }
}

}  // namespace
