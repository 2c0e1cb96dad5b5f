#include "tools/pvconfig/ConfigOptions.h"

#include <gtest/gtest.h>

#include <set>

#include "common/config/ConfigKeySchema.h"

namespace {

const ToolOptionTable& Table() {
    return ConfigOptions::Table();
}

TEST(ConfigOptionLookup, ExactFormsWinAndPrefixesMustBeUnique) {
    struct {
        const char* word;
        const char* longForm;  // nullptr: not recognised
    } cases[] = {
        {"-y", "tty"},        {"-tty", "tty"},       {"-ttylist", "ttylist"}, {"-ttyl", "ttylist"},
        {"-t", nullptr},      {"-tt", nullptr},      {"-ti", "timeout"},      {"-se", "server"},
        {"-s", "server"},     {"-S", "stop"},        {"-p", "port"},          {"-pa", nullptr},
        {"-pas", "password"}, {"-/", "chown"},       {"-\\", "chgrp"},        {"-_", "chmod"},
        {"-&", "timeout"},    {"-l", "ttylist"},     {"-lo", "login"},        {"-L", "length"},
        {"-", nullptr},       {"-servers", nullptr}, {"server", nullptr},     {"--server", nullptr},
        {"-h", "help"},       {"-he", "help"},       {"-5", "reset"},
    };
    for (const auto& c : cases) {
        const ToolOption* row = Table().Find(c.word);
        if (c.longForm == nullptr) {
            EXPECT_EQ(row, nullptr) << c.word;
        } else {
            ASSERT_NE(row, nullptr) << c.word;
            EXPECT_STREQ(row->longForm, c.longForm) << c.word;
        }
    }
}

// The keys the options name must be keys the daemon knows in the section the
// option addresses: a misspelt key would be refused by the daemon, or worse,
// stored where nothing reads it. Server and ServerPort are the daemon's own
// names for the parts of ServerAddress; the device-list keys and Copy are
// commands rather than settings.
TEST(ConfigOptionKeys, MatchTheDaemonsKeyTables) {
    const std::set<std::string> notSettings = {"Server", "ServerPort", "AddPorts", "DelPorts",
                                               "Copy"};
    for (const ToolOption& row : Table().Rows()) {
        std::string key = row.key;
        if (key.empty() || notSettings.count(key) != 0) {
            continue;
        }
        if (row.flags == 0 || (row.flags & OPT_WITH_TTY)) {
            EXPECT_NE(LookupPortKeyType(key), CONFIG_NONE) << key;
        }
        if (row.flags == 0 || (row.flags & OPT_WITHOUT_TTY)) {
            EXPECT_NE(LookupGeneralKeyType(key), CONFIG_NONE) << key;
        }
        int type = (row.flags & OPT_WITH_TTY) ? LookupPortKeyType(key) : LookupGeneralKeyType(key);
        if (row.kind == ToolValueKind::Number || row.kind == ToolValueKind::YesNo) {
            EXPECT_EQ(type, CONFIG_NUMBER) << key;
        }
    }
}

TEST(ConfigOptionTable, EveryOptionHasDistinctForms) {
    std::set<char> shortForms;
    std::set<std::string> longForms;
    for (const ToolOption& row : Table().Rows()) {
        EXPECT_TRUE(shortForms.insert(row.shortForm).second) << row.shortForm;
        EXPECT_TRUE(longForms.insert(row.longForm).second) << row.longForm;
    }
    EXPECT_EQ(Table().Rows().size(), 38u);
}

}  // namespace
