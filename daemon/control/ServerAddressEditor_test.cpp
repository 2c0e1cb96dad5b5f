#include "daemon/control/ServerAddressEditor.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerAddressEditor, ReadsAndEditsEveryForm) {
    struct Case {
        const char* stored;
        const char* host;         // get Server
        const char* port;         // get ServerPort
        const char* withHost;     // set Server to "h"
        const char* withPort;     // set ServerPort to "4001"
        const char* withoutHost;  // delete Server
        const char* withoutPort;  // delete ServerPort
    };
    const Case cases[] = {
        {"10.1.2.3[4000]", "10.1.2.3", "4000", "h[4000]", "10.1.2.3[4001]", "[4000]", "10.1.2.3"},
        {"", "", "", "h[23]", "[4001]", "[23]", ""},
        // A port set before any host: the port survives a later host.
        {"[4000]", "", "4000", "h[4000]", "[4001]", "[4000]", ""},
        // What deleting the port leaves: the host survives a later port.
        {"dev-1.example", "dev-1.example", "", "h[23]", "dev-1.example[4001]", "[23]",
         "dev-1.example"},
        // Forms that are none of these are replaced whole.
        {"a b[1]", "", "", "h[23]", "[4001]", "[23]", ""},
        {"h[x]", "", "", "h[23]", "[4001]", "[23]", ""},
        {"[]", "", "", "h[23]", "[4001]", "[23]", ""},
    };
    for (const Case& c : cases) {
        ServerAddressEditor e(c.stored);
        EXPECT_EQ(e.Host(), c.host) << c.stored;
        EXPECT_EQ(e.Port(), c.port) << c.stored;
        EXPECT_EQ(e.WithHost("h"), c.withHost) << c.stored;
        EXPECT_EQ(e.WithPort("4001"), c.withPort) << c.stored;
        EXPECT_EQ(e.WithoutHost(), c.withoutHost) << c.stored;
        EXPECT_EQ(e.WithoutPort(), c.withoutPort) << c.stored;
    }
}

// The command line "-port 4001 -server h" sets the port first.
TEST(ServerAddressEditor, PortThenHostKeepsThePort) {
    std::string stored = ServerAddressEditor("").WithPort("4001");
    stored = ServerAddressEditor(stored).WithHost("h");
    EXPECT_EQ(stored, "h[4001]");
}

}  // namespace
