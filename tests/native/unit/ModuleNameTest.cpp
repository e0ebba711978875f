// The module name rule: a name from any client becomes a directory of the
// store and a job's Name, so only one plain file-name component passes; and
// whatever a client sends reaches the log as one harmless line.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "base/Log.h"
#include "base/ModuleName.h"

using namespace zel;

TEST(ModuleName, EveryByteAloneAndInsideAName) {
    const std::string refused = "\\/:*?\"<>|=";
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        bool bad = c < 32 || refused.find(ch) != std::string::npos;
        EXPECT_EQ(IsValidModuleName("a" + std::string(1, ch) + "b"), !bad) << c;
        EXPECT_EQ(IsValidModuleName(std::string(1, ch)), !bad && ch != '.' && ch != ' ') << c;
    }
}

TEST(ModuleName, NamesThatWindowsTakesForSomethingElse) {
    for (const char* name : {"", ".", "..", "a.", "a ", "CON", "con", "Con.txt", "NUL.tar.gz", "aux ", "AUX .x",
                             "prn", "COM1", "com9.log", "LPT1", "lpt9"})
        EXPECT_FALSE(IsValidModuleName(name)) << name;
    for (const char* name : {"Kassa", "Склад учёта", " lead", "a.b", "...a", "CONSOLE", "COM10", "LPT",
                             "xCON", "CON_", "a..b", "#1", "%TEMP%", "a'b", "[x]"})
        EXPECT_TRUE(IsValidModuleName(name)) << name;
    EXPECT_TRUE(IsValidModuleName(std::string(MaxModuleNameLength, 'm')));
    EXPECT_FALSE(IsValidModuleName(std::string(MaxModuleNameLength + 1, 'm')));
    EXPECT_FALSE(IsValidModuleName(std::string("a\0b", 3)));
}

TEST(ModuleName, LogTextHasNoControlCharactersAndABoundedLength) {
    std::string all;
    for (int round = 0; round < 4; ++round)
        for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    std::string safe = LogSafeText(all);
    for (unsigned char c : safe) EXPECT_TRUE(c >= 32 && c != 127) << int(c);
    EXPECT_LE(safe.size(), 256u * 4 + 3);
    EXPECT_EQ(safe.substr(safe.size() - 3), "...");
    EXPECT_EQ(LogSafeText("a\r\nb\x7F"), "a\\x0D\\x0Ab\\x7F");
    EXPECT_EQ(LogSafeText("Склад"), "Склад");
    EXPECT_EQ(LogSafeText(std::string(256, 'x')), std::string(256, 'x'));
}

TEST(ModuleName, ARefusedNameIsOneWarningLine) {
    zeltest::ClearLog();
    LogRefusedModuleName("evil\r\n12:00:00 : forged line%s%d");
    std::vector<std::string> lines = zeltest::LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(lines[0].find("forged line%s%d"), std::string::npos);
    EInvalidModuleName error(std::string(10000, '\n'));
    EXPECT_LE(strlen(error.what()), 2000u);
}
