// The text of ".config": what the set-up writes with SetConfigValue the
// service reads back with ConfigValue, and nothing else changes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/Text.h"
#include "config/ConfigText.h"

using namespace zel;

namespace {

const char* const Keys[] = {"URL", "Method", "LogLevel", "Period", "SecFlags", "UpdateKeys", "Publishers"};

// A file as an administrator may have left it: any breaks, blank and
// comment lines, other letter cases, lines without "=".
std::string RandomConfig(std::mt19937& random) {
    static const char* const breaks[] = {"\r\n", "\n", "\r", "\n\r"};
    static const char* const names[] = {"url", "URL", "Method", " LogLevel", "period", "x", "", "UpdateKeys",
                                        "Publishers=", "Журнал"};
    std::string text;
    int lines = random() % 8;
    for (int i = 0; i < lines; ++i) {
        switch (random() % 4) {
        case 0: text += "; note"; break;
        case 1: text += "no equals sign"; break;
        default:
            text += names[random() % 10];
            text += "=";
            text += std::to_string(random() % 1000);
            if (random() % 3 == 0) text += "=more ";
        }
        if (i + 1 < lines || random() % 2) text += breaks[random() % 4];
    }
    return text;
}

}  // namespace

TEST(ConfigText, AValueSetIsTheValueRead) {
    std::mt19937 random(11);
    const std::string values[] = {"", "POST", "http://h/upd?a=1&b=2", "=", "a=b=c", " spaced ", "Журнал", "x;y"};
    for (int round = 0; round < 2000; ++round) {
        std::string text = RandomConfig(random);
        std::string key = Keys[random() % 7];
        if (random() % 2) key = UpperCase(key);
        const std::string& value = values[random() % 8];
        std::vector<std::string> before = SplitConfigLines(text);
        std::string written = SetConfigValue(text, key, value);
        std::vector<std::string> after = SplitConfigLines(written);
        EXPECT_EQ(ConfigValue(after, key), value) << text;
        // Every other key reads as before.
        for (const char* other : Keys)
            if (!SameText(other, key)) EXPECT_EQ(ConfigValue(after, other), ConfigValue(before, other)) << text;
        // Every line ends in CR LF, and writing again changes nothing.
        EXPECT_EQ(written.size() >= 2 ? written.substr(written.size() - 2) : "", "\r\n");
        EXPECT_EQ(SetConfigValue(written, key, value), written);
        // One line more at most.
        EXPECT_LE(after.size(), before.size() + 1);
    }
}

TEST(ConfigText, LineBreaksOfEveryKindSplitAlike) {
    EXPECT_EQ(SplitConfigLines("a=1\r\nb=2\rc=3\nd=4"), (std::vector<std::string>{"a=1", "b=2", "c=3", "d=4"}));
    EXPECT_EQ(SplitConfigLines("\n\r"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(SplitConfigLines("x\r"), (std::vector<std::string>{"x"}));
    EXPECT_TRUE(SplitConfigLines("").empty());
    EXPECT_EQ(SplitConfigLines(std::string("a=\0b", 4))[0].size(), 4u);  // a zero byte is no break
}

TEST(ConfigText, FirstLineOfAKeyCountsAndNothingIsTrimmed) {
    std::vector<std::string> lines = SplitConfigLines("loglevel=62\r\nLogLevel=1\r\n LogLevel=3\r\nURL= x \r\n");
    EXPECT_EQ(ConfigValue(lines, "LOGLEVEL"), "62");
    EXPECT_EQ(ConfigValue(lines, "URL"), " x ");
    EXPECT_EQ(ConfigValue(lines, " LogLevel"), "3");
    EXPECT_EQ(ConfigValue(lines, "Period"), "");
    // Replacing keeps the position and the other lines, the second line
    // of the key included.
    EXPECT_EQ(SetConfigValue("a=1\nLogLevel=62\nLogLevel=1\n", "LOGLEVEL", "2"),
              "a=1\r\nLOGLEVEL=2\r\nLogLevel=1\r\n");
    EXPECT_EQ(SetConfigValue("", "URL", "http://u"), "URL=http://u\r\n");
}

TEST(ConfigText, HugeAndBinaryTextsAreReadWithoutHarm) {
    std::string huge(1 << 20, 'x');
    huge += "\nURL=found";
    EXPECT_EQ(ConfigValue(SplitConfigLines(huge), "URL"), "found");
    std::string binary;
    std::mt19937 random(2);
    for (int i = 0; i < 100000; ++i) binary += static_cast<char>(random());
    std::vector<std::string> lines = SplitConfigLines(binary);
    for (const auto& line : lines) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(ConfigValue(SplitConfigLines(SetConfigValue(binary, "Period", "1")), "Period"), "1");
}
