#include "common/config/ConfigKeySchema.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/config/ConfigTestSupport.h"
#include "common/config/PasswordScrambler.h"

namespace {

class ConfigKeySchemaTest : public ::testing::Test {
  protected:
    TempDirectory dir_;
    RecordingCache cache_{dir_.File("portvaned.conf")};
    InstalledCache installed_{&cache_};

    std::string Port(const std::string& port, const std::string& key) {
        std::string value;
        return cache_.GetPortValue(port, key, &value, "<none>") ? value : "<none>";
    }
};

int IndexOf(const ConfigKeyType* table, const char* name) {
    for (int i = 0; table[i].name != nullptr; ++i) {
        if (strcmp(table[i].name, name) == 0) {
            return i;
        }
    }
    return -1;
}

int Count(const ConfigKeyType* table) {
    int n = 0;
    while (table[n].name != nullptr) {
        ++n;
    }
    return n;
}

TEST(ConfigKeySchemaTables, SizesAndOrder) {
    EXPECT_EQ(Count(kPortKeyTable), 55);
    EXPECT_EQ(Count(kGeneralKeyTable), 49);
    EXPECT_STREQ(kPortKeyTable[0].name, "TLSMinKeyLength");
    EXPECT_STREQ(kPortKeyTable[54].name, "chmod");
    EXPECT_STREQ(kGeneralKeyTable[0].name, "AuthTerminator");
    EXPECT_STREQ(kGeneralKeyTable[48].name, "chmod");
    EXPECT_LT(IndexOf(kPortKeyTable, "Login"), IndexOf(kPortKeyTable, "Password"));
    EXPECT_EQ(kPortKeyTable[55].type, CONFIG_NONE);
}

TEST(ConfigKeySchemaTables, LookupIgnoresCase) {
    struct {
        const char* key;
        int port;
        int general;
    } cases[] = {
        {"Baud", CONFIG_NUMBER, CONFIG_NONE},
        {"baud", CONFIG_NUMBER, CONFIG_NONE},
        {"BAUD", CONFIG_NUMBER, CONFIG_NONE},
        {"ServerAddress", CONFIG_TEXT, CONFIG_NONE},
        {"Ports", CONFIG_NONE, CONFIG_TEXT},
        {"presetsfilespec", CONFIG_NONE, CONFIG_FILE},
        {"TCPNODELAY", CONFIG_NUMBER, CONFIG_NUMBER},
        {"chown", CONFIG_TEXT, CONFIG_TEXT},
        {"Bau", CONFIG_NONE, CONFIG_NONE},
        {"Baudx", CONFIG_NONE, CONFIG_NONE},
        {"FSXX", CONFIG_NONE, CONFIG_NONE},
        {"", CONFIG_NONE, CONFIG_NONE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LookupPortKeyType(c.key), c.port) << c.key;
        EXPECT_EQ(LookupGeneralKeyType(c.key), c.general) << c.key;
    }
}

TEST_F(ConfigKeySchemaTest, SetPortSettingFromTextChecksTypeAndStoresAsSpelled) {
    EXPECT_FALSE(SetPortSettingFromText("tty0", "Nope", "1"));
    EXPECT_FALSE(SetPortSettingFromText("tty0", "Baud", "fast"));
    EXPECT_EQ(Port("tty0", "Baud"), "<none>");
    EXPECT_TRUE(SetPortSettingFromText("tty0", "Baud", "9600"));
    EXPECT_EQ(Port("tty0", "Baud"), "9600");
    EXPECT_TRUE(SetPortSettingFromText("tty0", "DataLength", "-1"));
    EXPECT_EQ(Port("tty0", "DataLength"), "4294967295");
    // Accepted by the look-up, stored under the caller's spelling.
    EXPECT_TRUE(SetPortSettingFromText("tty1", "baud", "19200"));
    EXPECT_EQ(Port("tty1", "baud"), "19200");
    EXPECT_EQ(Port("tty1", "Baud"), "<none>");
    EXPECT_TRUE(SetPortSettingFromText("tty0", "Parity", "even  "));
    EXPECT_EQ(Port("tty0", "Parity"), "even  ");
}

TEST_F(ConfigKeySchemaTest, GeneralTextConversions) {
    std::string text = "stale";
    EXPECT_FALSE(GetConfigText("Nope", &text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(GetConfigText("MaxReconnectDelay", &text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(SetConfigFromText("Nope", "1"));
    EXPECT_FALSE(SetConfigFromText("MaxReconnectDelay", "soon"));
    EXPECT_TRUE(SetConfigFromText("MaxReconnectDelay", "-1"));
    EXPECT_TRUE(GetConfigText("MaxReconnectDelay", &text));
    EXPECT_EQ(text, "4294967295");
    EXPECT_TRUE(SetConfigFromText("PresetsFileSpec", "/etc/presets "));
    EXPECT_TRUE(GetConfigText("PresetsFileSpec", &text));
    EXPECT_EQ(text, "/etc/presets ");
    // A number key whose stored text does not parse reads as 0.
    cache_.SetValue("TCPNODELAY", "yes");
    EXPECT_TRUE(GetConfigText("TCPNODELAY", &text));
    EXPECT_EQ(text, "0");
}

TEST_F(ConfigKeySchemaTest, PortTextConversions) {
    std::string text;
    EXPECT_TRUE(SetPortSettingFromText("tty0", "IncomingPort", "4001"));
    EXPECT_TRUE(GetPortSettingText("tty0", "IncomingPort", &text));
    EXPECT_EQ(text, "4001");
    EXPECT_FALSE(GetPortSettingText("tty0", "Ports", &text));
    EXPECT_FALSE(GetPortSettingText("tty9", "Login", &text));
    EXPECT_EQ(text, "");
}

TEST_F(ConfigKeySchemaTest, CopyPortSettingsMirrorsSchemaKeysAndRekeysThePassword) {
    std::string password = "secret";
    EncodePassword("src", "alice", &password);
    cache_.SetPortValue("src", "Login", "alice");
    cache_.SetPortValue("src", "Password", password);
    cache_.SetPortValue("src", "Baud", "4294967295");
    cache_.SetPortValue("src", "ServerAddress", "10.0.0.1[4001]");
    cache_.SetPortValue("src", "Other", "not in the table");
    cache_.SetPortValue("dst", "Parity", "odd");
    cache_.SetPortValue("dst", "Custom", "kept");

    EXPECT_TRUE(CopyPortSettings("src", "dst"));
    EXPECT_EQ(Port("dst", "Login"), "alice");
    EXPECT_EQ(Port("dst", "Baud"), "4294967295");
    EXPECT_EQ(Port("dst", "ServerAddress"), "10.0.0.1[4001]");
    EXPECT_EQ(Port("dst", "Parity"), "<none>");
    EXPECT_EQ(Port("dst", "Other"), "<none>");
    EXPECT_EQ(Port("dst", "Custom"), "kept");
    std::string copied = Port("dst", "Password");
    EXPECT_NE(copied, password);
    DecodePassword("dst", "alice", &copied);
    EXPECT_EQ(copied, "secret");
}

TEST_F(ConfigKeySchemaTest, CopyFromAnEmptyPortClearsTheDestination) {
    cache_.SetPortValue("dst", "Baud", "9600");
    cache_.SetPortValue("dst", "Login", "bob");
    EXPECT_TRUE(CopyPortSettings("none", "dst"));
    EXPECT_EQ(Port("dst", "Baud"), "<none>");
    EXPECT_EQ(Port("dst", "Login"), "<none>");
}

}  // namespace
