#include "common/config/PtyListIterator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Walk(const std::string& list) {
    std::vector<std::string> names;
    for (PtyListIterator it(list); !it.AtEnd(); it.Next()) {
        names.push_back(it.Current());
    }
    return names;
}

struct ListCase {
    const char* list;
    std::vector<std::string> names;
};

const ListCase kCases[] = {
    {"tty0", {"tty0"}},
    {"a,b,c", {"a", "b", "c"}},
    {"a, b , c", {"a", "b", "c"}},
    {"  a\t,\tb  ", {"a", "b"}},
    {"tty_0,a-b,c+d", {"tty_0", "a-b", "c+d"}},
    {"a,,b", {"a"}},
    {",a", {}},
    {"a,b c,d", {"a"}},
    {"a,b,", {"a"}},
    {"a,", {}},
    {"a,b.c,d", {"a"}},
    {"", {}},
    {"   ", {}},
    {",", {}},
};

TEST(PtyListIteratorTest, WalkStopsAtTheFirstMalformedElement) {
    for (const ListCase& c : kCases) {
        EXPECT_EQ(Walk(c.list), c.names) << "'" << c.list << "'";
    }
}

TEST(PtyListIteratorTest, NextAfterTheEndStaysAtTheEnd) {
    PtyListIterator it("a,b");
    EXPECT_EQ(it.Current(), "a");
    EXPECT_TRUE(it.Next());
    EXPECT_EQ(it.Current(), "b");
    EXPECT_FALSE(it.Next());
    EXPECT_TRUE(it.AtEnd());
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(it.Current(), "");
}

}  // namespace
