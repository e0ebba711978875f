// The conversions between the service's Windows-1251 texts, UTF-16 (COM,
// BITS) and UTF-8 (the update server), through the platform's conversion
// calls as the units make them.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/Text.h"

using namespace zel;

namespace {

std::string AllBytes() {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    return all;
}

}  // namespace

TEST(CodePage, EveryByteSurvivesTheWayToUtf16AndUtf8AndBack) {
    const std::string all = AllBytes();
    std::wstring wide = ToWide(all);
    ASSERT_EQ(wide.size(), all.size());  // one UTF-16 unit per byte
    EXPECT_EQ(ToAnsi(wide), all);
    std::string utf8 = AnsiToUtf8(all);
    EXPECT_EQ(Utf8ToAnsi(utf8), all);
    EXPECT_EQ(Utf8ToWide(utf8), wide);
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(CodePage, CyrillicLettersMapToTheirCodePoints) {
    // А..я are 0xC0..0xFF in 1251; Ё and ё lie apart.
    for (int c = 0xC0; c <= 0xFF; ++c) {
        std::wstring w = ToWide(std::string(1, static_cast<char>(c)));
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(static_cast<unsigned>(w[0]), 0x0410u + (c - 0xC0)) << c;
    }
    EXPECT_EQ(ToWide("Ёё№"), L"\u0401\u0451\u2116");
    EXPECT_EQ(AnsiToUtf8("Служба"), "\xD0\xA1\xD0\xBB\xD1\x83\xD0\xB6\xD0\xB1\xD0\xB0");
    // The console's OEM code page (866) puts the letters elsewhere.
    EXPECT_EQ(OemToWide("\x80\xA0\xF0"), L"\u0410\u0430\u0401");
}

TEST(CodePage, WhatTheCodePageLacksBecomesAQuestionMark) {
    // No best fit: a look-alike of a separator must not become one.
    EXPECT_EQ(ToAnsi(L"\uFF0F\uFF3C\uFF1A\u2215\u00C0\u4E2D"), "??????");
    EXPECT_EQ(Utf8ToAnsi("a\xE4\xB8\xAD" "b"), "a?b");
    // A character beyond the BMP is two UTF-16 units and one "?".
    std::wstring pair = Utf8ToWide("\xF0\x9F\x98\x80");
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(static_cast<unsigned>(pair[0]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(pair[1]), 0xDE00u);
    EXPECT_EQ(WideToUtf8(pair), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ToAnsi(pair), "??");
}

TEST(CodePage, MalformedUtf8GivesReplacementsNotCrashes) {
    const std::string bad[] = {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                               "\xFF", "\xC3", "\xE2\x82", "a\xF0\x9F\x98"};
    for (const std::string& text : bad) {
        std::wstring wide = Utf8ToWide(text);
        EXPECT_FALSE(wide.empty()) << text;
        for (wchar_t c : wide) EXPECT_TRUE(c == L'a' || c == 0xFFFD) << text;
        EXPECT_EQ(Utf8ToAnsi(text).find_first_not_of("a?"), std::string::npos) << text;
    }
    // A lone surrogate (possible in a client's BSTR) goes out as U+FFFD.
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(CodePage, RandomUtf8RoundTripsThroughUtf16) {
    std::mt19937 random(7);
    for (int round = 0; round < 500; ++round) {
        std::wstring wide;
        int n = random() % 20;
        for (int i = 0; i < n; ++i) {
            unsigned cp = random() % 0x110000;
            if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x20;
            if (cp >= 0x10000) {
                wide += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                wide += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                wide += static_cast<wchar_t>(cp);
            }
        }
        std::string utf8 = WideToUtf8(wide);
        EXPECT_EQ(Utf8ToWide(utf8), wide);
    }
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToAnsi(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(Utf8ToAnsi(""), "");
}
