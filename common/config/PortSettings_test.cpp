#include "common/config/PortSettings.h"

#include <gtest/gtest.h>

#include "common/config/ConfigTestSupport.h"
#include "common/config/PasswordScrambler.h"

namespace {

class PortSettingsTest : public ::testing::Test {
  protected:
    TempDirectory dir_;
    RecordingCache cache_{dir_.File("portvaned.conf")};
    InstalledCache installed_{&cache_};
    PortSettings port_{"tty0"};
};

TEST_F(PortSettingsTest, PortThenGeneralThenDefault) {
    EXPECT_EQ(port_.Number(ConfigKeys::kPortCloseDelay), 8000);
    cache_.SetValue("PortCloseDelay", "500");
    EXPECT_EQ(port_.Number(ConfigKeys::kPortCloseDelay), 500);
    cache_.SetPortValue("tty0", "PortCloseDelay", "100");
    EXPECT_EQ(port_.Number(ConfigKeys::kPortCloseDelay), 100);
    EXPECT_EQ(PortSettings("tty1").Number(ConfigKeys::kPortCloseDelay), 500);

    EXPECT_EQ(port_.Text(ConfigKeys::kAuthTerminator), "");
    cache_.SetValue("AuthTerminator", "\\r");
    EXPECT_EQ(port_.Text(ConfigKeys::kAuthTerminator), "\\r");
}

TEST_F(PortSettingsTest, ScopesAreKeptApart) {
    // Port-only keys ignore "[main]"; general-only keys ignore the port.
    cache_.SetValue("Baud", "300");
    EXPECT_EQ(port_.Number(ConfigKeys::kBaud, 9600), 9600);
    cache_.SetPortValue("tty0", "MaxReconnectDelay", "1");
    EXPECT_EQ(port_.Number(ConfigKeys::kMaxReconnectDelay), 30000);
    cache_.SetValue("MaxReconnectDelay", "2");
    EXPECT_EQ(PortSettings::General().Number(ConfigKeys::kMaxReconnectDelay), 2);
    EXPECT_EQ(PortSettings::General().Number(ConfigKeys::kInboundEnabled), 1);
}

TEST_F(PortSettingsTest, DefaultsFindAndUnparsableNumbers) {
    int value = -7;
    EXPECT_FALSE(port_.FindNumber(ConfigKeys::kAuthSource, &value));
    EXPECT_EQ(value, -7);
    EXPECT_EQ(port_.Number(ConfigKeys::kAuthSource), 3);
    EXPECT_EQ(port_.Number(ConfigKeys::kTLSMaxKeyLength), 2147483647);
    cache_.SetPortValue("tty0", "AuthSource", "none");
    EXPECT_TRUE(port_.FindNumber(ConfigKeys::kAuthSource, &value));
    EXPECT_EQ(value, 3);
    cache_.SetPortValue("tty0", "AuthSource", "4294967295");
    EXPECT_EQ(port_.Number(ConfigKeys::kAuthSource), -1);

    std::string text = "untouched";
    EXPECT_FALSE(port_.FindText(ConfigKeys::kServerAddress, &text));
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(port_.Text(ConfigKeys::kParity, "none"), "none");
}

TEST_F(PortSettingsTest, LongValuesAreCutToTheReadersLength) {
    cache_.SetPortValue("tty0", "chmod", std::string(200, '7'));
    EXPECT_EQ(port_.Text(ConfigKeys::kChmod), std::string(127, '7'));
    cache_.SetPortValue("tty0", "Parity", "a-very-long-parity-name");
    EXPECT_EQ(port_.Text(ConfigKeys::kParity), "a-very-long-par");
    cache_.SetValue("Ports", std::string(5000, 'p'));
    EXPECT_EQ(port_.Text(ConfigKeys::kPorts).size(), 5000u);
}

TEST_F(PortSettingsTest, LastResortGeneralKey) {
    EXPECT_EQ(port_.Text(ConfigKeys::kTLSCAPath), "");
    cache_.SetValue("TLSDefaultCAPath", "/etc/ca");
    EXPECT_EQ(port_.Text(ConfigKeys::kTLSCAPath), "/etc/ca");
    cache_.SetValue("TLSCAPath", "/etc/general-ca");
    EXPECT_EQ(port_.Text(ConfigKeys::kTLSCAPath), "/etc/general-ca");
    cache_.SetPortValue("tty0", "TLSCAPath", "/etc/port-ca");
    EXPECT_EQ(port_.Text(ConfigKeys::kTLSCAPath), "/etc/port-ca");
}

TEST_F(PortSettingsTest, PasswordIsStoredScrambledUnderTheLogin) {
    EXPECT_FALSE(port_.HasPassword());
    EXPECT_EQ(port_.Password(), "");
    cache_.SetPortValue("tty0", "Login", "alice");
    EXPECT_TRUE(port_.SetPassword("secret"));
    EXPECT_TRUE(port_.HasPassword());
    EXPECT_EQ(port_.Password(), "secret");
    std::string stored;
    cache_.GetPortValue("tty0", "Password", &stored, "");
    std::string expected = "secret";
    EncodePassword("tty0", "alice", &expected);
    EXPECT_EQ(stored, expected);

    EXPECT_TRUE(port_.SetPassword(std::string(600, 'x')));
    EXPECT_EQ(port_.Password(), std::string(PortSettings::kMaxPasswordLength, 'x'));
    // A login change leaves a password that no longer decodes to the same.
    cache_.SetPortValue("tty0", "Login", "bob");
    EXPECT_NE(port_.Password(), std::string(PortSettings::kMaxPasswordLength, 'x'));
}

TEST_F(PortSettingsTest, ServerAddressForm) {
    ServerAddress a;
    EXPECT_FALSE(port_.Server(&a));
    cache_.SetPortValue("tty0", "ServerAddress", "[4001]");
    EXPECT_FALSE(port_.Server(&a));
    cache_.SetPortValue("tty0", "ServerAddress", "10.1.2.3[4001]");
    ASSERT_TRUE(port_.Server(&a));
    EXPECT_EQ(a.Host(), "10.1.2.3");
    EXPECT_EQ(a.PortNumber(), 4001);
}

}  // namespace
