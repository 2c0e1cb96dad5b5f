#include "common/config/ServerAddress.h"

#include <gtest/gtest.h>

namespace {

struct AddressCase {
    const char* text;
    bool parses;
    const char* host;
    const char* port;
};

const AddressCase kCases[] = {
    {"10.1.2.3[4001]", true, "10.1.2.3", "4001"},
    {"device-server_1.example[23]", true, "device-server_1.example", "23"},
    {"host[0]", true, "host", "0"},
    {"host", false, "", ""},
    {"[23]", false, "", ""},
    {"host[]", false, "", ""},
    {"host[23] ", false, "", ""},
    {" host[23]", false, "", ""},
    {"ho st[23]", false, "", ""},
    {"host[2x]", false, "", ""},
    {"", false, "", ""},
};

TEST(ServerAddressTest, RecognisesHostAndPortForm) {
    for (const AddressCase& c : kCases) {
        ServerAddress a;
        EXPECT_EQ(ServerAddress::Parse(c.text, &a), c.parses) << c.text;
        EXPECT_EQ(a.Host(), c.host) << c.text;
        EXPECT_EQ(a.Port(), c.port) << c.text;
    }
}

TEST(ServerAddressTest, FormatAndPortNumber) {
    ServerAddress a("10.1.2.3", ServerAddress::kDefaultPort);
    EXPECT_EQ(a.Format(), "10.1.2.3[23]");
    EXPECT_EQ(a.PortNumber(), 23);
    EXPECT_EQ(ServerAddress("h", "65535").PortNumber(), 65535);
    EXPECT_EQ(ServerAddress("h", "65536").PortNumber(), 0);
    EXPECT_EQ(ServerAddress("h", "99999999999999999999").PortNumber(), 0);
    EXPECT_EQ(ServerAddress("h", "").PortNumber(), 0);
}

}  // namespace
