#include "tools/pvconfig/ConfigHelp.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tools/pvconfig/ConfigOptions.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

TEST(ConfigHelpAbout, ItemsAreTakenFromTheLeftUntilOneDoesNotParse) {
    struct {
        const char* reply;
        Items items;
    } cases[] = {
        {"VER=4.0", {{"VER", "4.0"}}},
        {"  VER=4.0   B=\"two words\" C=3", {{"VER", "4.0"}, {"B", "two words"}, {"C", "3"}}},
        {"A=\"q\"VER=5", {{"A", "q"}, {"VER", "5"}}},
        {"A= VER=5", {{"A", ""}, {"VER", "5"}}},
        {"A=1 junk VER=5", {{"A", "1"}}},
        {"A=\"unterminated VER=5", {{"A", "\"unterminated"}, {"VER", "5"}}},
        {"-X=1", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConfigHelp::ParseAbout(c.reply), c.items) << c.reply;
    }
}

// Every option a user may type is explained, in the form it is typed, except
// the three that are deliberately left out of the help.
TEST(ConfigHelpText, NamesEveryDocumentedOption) {
    const std::string config = ConfigHelp::UsageText(true);
    const std::string query = ConfigHelp::UsageText(false);
    for (const ToolOption& row : ConfigOptions::Table().Rows()) {
        std::string hidden[] = {"timeout", "deflogin", "defpassword"};
        if (std::find(std::begin(hidden), std::end(hidden), row.longForm) != std::end(hidden)) {
            EXPECT_EQ(config.find(std::string("-") + row.longForm + " "), std::string::npos);
            continue;
        }
        std::string forms = std::string("-") + row.shortForm + ", -" + row.longForm;
        if (row.role != ConfigOptions::ROLE_TTY) {
            EXPECT_NE(config.find(forms), std::string::npos) << forms;
        }
        bool configOnly = row.flags & (OPT_CONFIG_ONLY | OPT_UNLISTED);
        if (!configOnly && row.role != ConfigOptions::ROLE_TTY) {
            EXPECT_NE(query.find(forms), std::string::npos) << forms;
        }
    }
    for (const std::string& text : {config, query}) {
        EXPECT_NE(text.find("-y|-tty DEV TTY-OPTION..."), std::string::npos);
        EXPECT_NE(text.find("RFC 2217"), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
    }
    EXPECT_EQ(config.find("pvconfig -help"), 0u);
    EXPECT_EQ(query.find("pvquery -help"), 0u);
    EXPECT_NE(config.find("Usage: pvconfig OPTION DEV\n"), std::string::npos);
    EXPECT_NE(query.find("Usage: pvquery OPTION\n"), std::string::npos);
}

}  // namespace
