#include "common/config/ConfigNumber.h"

#include <gtest/gtest.h>

namespace {

struct NumberCase {
    const char* text;
    bool parses;
    unsigned bits;  // the value read, as 32 bits
};

// The rules of "%d" and "%u" without their overflow.
const NumberCase kCases[] = {
    {"0", true, 0},
    {"9600", true, 9600},
    {"  \t42", true, 42},
    {"+7", true, 7},
    {"-1", true, 4294967295u},
    {"12abc", true, 12},
    {"2147483648", true, 2147483648u},
    {"4294967295", true, 4294967295u},
    {"4294967296", false, 0},
    {"99999999999999999999999", false, 0},
    {"", false, 0},
    {"   ", false, 0},
    {"abc", false, 0},
    {"-", false, 0},
    {"+-1", false, 0},
    {"0x10", true, 0},
};

TEST(ConfigNumberTest, SignedAndUnsignedReadTheSameBits) {
    for (const NumberCase& c : kCases) {
        unsigned u = 12345;
        int s = 12345;
        EXPECT_EQ(ConfigNumber::ParseUnsigned(c.text, &u), c.parses) << c.text;
        EXPECT_EQ(ConfigNumber::ParseSigned(c.text, &s), c.parses) << c.text;
        if (c.parses) {
            EXPECT_EQ(u, c.bits) << c.text;
            EXPECT_EQ(static_cast<unsigned>(s), c.bits) << c.text;
        } else {
            EXPECT_EQ(u, 12345u) << c.text;
            EXPECT_EQ(s, 12345) << c.text;
        }
    }
}

TEST(ConfigNumberTest, EveryUnsignedValueWrittenReadsBack) {
    for (unsigned v : {0u, 1u, 2147483647u, 2147483648u, 4294967295u}) {
        int s;
        ASSERT_TRUE(ConfigNumber::ParseSigned(ConfigNumber::Format(v), &s));
        EXPECT_EQ(ConfigNumber::Format(static_cast<unsigned>(s)), ConfigNumber::Format(v));
    }
    EXPECT_EQ(ConfigNumber::Format(4294967295u), "4294967295");
}

}  // namespace
