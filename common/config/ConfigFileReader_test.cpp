#include "common/config/ConfigFileReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Section = ConfigFileReader::Section;
using Ports = ConfigFileReader::PortSections;

struct Parsed {
    Section general;
    Ports ports;
    std::vector<std::string> errors;
};

Parsed ParseWhole(const std::string& text) {
    Parsed result;
    ConfigFileReader reader([&](const std::string& e) { result.errors.push_back(e); });
    reader.Parse(text.data(), text.size());
    result.general = reader.General();
    result.ports = reader.Ports();
    return result;
}

struct LineCase {
    const char* name;
    std::string text;
    Section general;
    Ports ports;
    std::vector<std::string> errors;
};

class LinePatternTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LinePatternTest, ParsesAsTheFileSyntaxSays) {
    const LineCase& c = GetParam();
    Parsed p = ParseWhole(c.text);
    EXPECT_EQ(p.general, c.general);
    EXPECT_EQ(p.ports, c.ports);
    EXPECT_EQ(p.errors, c.errors);
}

const LineCase kLineCases[] = {
    {"blank_lines_ignored", "\n \t \n[main]\n\n\t\na=1\n", {{"a", "1"}}, {}, {}},
    {"header_with_blanks", "  [ tty0 ]\t \nBaud=9600\n", {}, {{"tty0", {{"Baud", "9600"}}}}, {}},
    {"device_name_header", "[tty_0-a+b]\nx=1\n", {}, {{"tty_0-a+b", {{"x", "1"}}}}, {}},
    {"header_other_characters",
     "[main]\n[a.b]\nx=1\n",
     {{"x", "1"}},
     {},
     {"invalid format at line 2"}},
    {"main_is_case_sensitive", "[MAIN]\nx=1\n", {}, {{"MAIN", {{"x", "1"}}}}, {}},
    {"quoted_value_loses_quotes", "[main]\na = \"x y \"  \n", {{"a", "x y "}}, {}, {}},
    {"quoted_value_greedy", "[main]\na=\"x\" \"y\"\n", {{"a", "x\" \"y"}}, {}, {}},
    {"plain_keeps_trailing_blanks", "[main]\n  a  =  v w \t\n", {{"a", "v w \t"}}, {}, {}},
    {"blank_only_value_keeps_one", "[main]\na=   \n", {{"a", " "}}, {}, {}},
    {"empty_value_is_invalid", "[main]\na=\nb=2\n", {{"b", "2"}}, {}, {"invalid format at line 2"}},
    {"empty_quotes_are_plain", "[main]\na=\"\"\n", {{"a", "\"\""}}, {}, {}},
    {"pair_outside_section",
     "a=1\n\n[main]\nb=2\n",
     {{"b", "2"}},
     {},
     {"name/value pair found outside of grouping at line 1"}},
    {"repeated_section_starts_afresh",
     "[p]\na=1\nb=2\n[q]\nc=3\n[p]\nd=4\n",
     {},
     {{"p", {{"d", "4"}}}, {"q", {{"c", "3"}}}},
     {}},
    {"repeated_main_keeps_values", "[main]\na=1\n[main]\nb=2\n", {{"a", "1"}, {"b", "2"}}, {}, {}},
    {"later_pair_wins", "[main]\na=1\na=2\n", {{"a", "2"}}, {}, {}},
    {"garbage_keeps_current_section",
     "[p]\n!!!\nkey_x=1\na=1\n",
     {},
     {{"p", {{"a", "1"}}}},
     {"invalid format at line 2", "invalid format at line 3"}},
    {"line_numbers_count_blank_lines",
     "\n\n\n[main]\n\n=x\n",
     {},
     {},
     {"invalid format at line 6"}},
    {"last_line_without_newline", "[main]\na=1", {{"a", "1"}}, {}, {}},
    {"nul_in_line_is_invalid",
     std::string("[main]\na=1\0x\nb=2\n", 17),
     {{"b", "2"}},
     {},
     {"invalid format at line 2"}},
    {"empty_section_kept", "[p]\n[main]\n", {}, {{"p", {}}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Lines, LinePatternTest, ::testing::ValuesIn(kLineCases),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ConfigFileReaderTest, OverlongLineIsReportedSkippedAndNeverSplit) {
    std::string value(ConfigFileReader::kMaxLineLength - 2, 'v');
    std::string fits = "a=" + value;  // exactly the longest line accepted
    std::string tooLong = "b=" + value + "v";
    Parsed p = ParseWhole("[main]\n" + tooLong + "\n" + fits + "\nc=3\n" + tooLong);
    EXPECT_EQ(p.general, (Section{{"a", value}, {"c", "3"}}));
    EXPECT_EQ(p.errors, (std::vector<std::string>{"line 2 too long", "line 5 too long"}));
}

TEST(ConfigFileReaderTest, OverlongLineSpreadOverManyFeeds) {
    std::vector<std::string> errors;
    ConfigFileReader reader([&](const std::string& e) { errors.push_back(e); });
    std::string chunk(4096, 'x');
    reader.Feed("[main]\n", 7);
    for (size_t fed = 0; fed <= ConfigFileReader::kLineBufferSize * 3; fed += chunk.size()) {
        reader.Feed(chunk.data(), chunk.size());
    }
    reader.Feed("\na=1\n", 5);
    reader.Finish();
    EXPECT_EQ(reader.General(), (Section{{"a", "1"}}));
    EXPECT_EQ(errors, std::vector<std::string>{"line 2 too long"});
}

TEST(ConfigFileReaderTest, SplitPointsDoNotChangeTheResult) {
    const std::string text = "[main]\na = \"q\" \nb=2  \n[tty1]\n\nc=3\nbad\n[tty1]\nd=4";
    Parsed whole = ParseWhole(text);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        std::vector<std::string> errors;
        ConfigFileReader reader([&](const std::string& e) { errors.push_back(e); });
        reader.Feed(text.data(), cut);
        reader.Feed(text.data() + cut, text.size() - cut);
        reader.Finish();
        EXPECT_EQ(reader.General(), whole.general) << "cut at " << cut;
        EXPECT_EQ(reader.Ports(), whole.ports) << "cut at " << cut;
        EXPECT_EQ(errors, whole.errors) << "cut at " << cut;
    }
}

TEST(ConfigFileReaderTest, NameChecksMatchWhatTheReaderAccepts) {
    EXPECT_TRUE(ConfigFileReader::IsKeyName("Baud9"));
    EXPECT_FALSE(ConfigFileReader::IsKeyName("Baud_9"));
    EXPECT_FALSE(ConfigFileReader::IsKeyName(""));
    EXPECT_TRUE(ConfigFileReader::IsSectionName("tty_0-a+b"));
    EXPECT_FALSE(ConfigFileReader::IsSectionName("tty 0"));
    EXPECT_FALSE(ConfigFileReader::IsSectionName("a]"));
    EXPECT_FALSE(ConfigFileReader::IsSectionName(""));
}

}  // namespace
