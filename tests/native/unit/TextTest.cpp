// Format, the integer conversions and the small text helpers: what every
// log line, version text and settings value of the service is made with.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>

#include "base/Text.h"

using namespace zel;

namespace {

// Values where the conversions change behaviour: sign, 32 and 64 bits.
const int64_t Edges[] = {0,          1,           -1,         9,          10,         -10,
                         INT32_MAX,  INT32_MIN,   UINT32_MAX, -4294967295LL, 4294967296LL,
                         INT64_MAX,  INT64_MIN,   INT64_MIN + 1, 12000000000LL, -12000000000LL};

}  // namespace

TEST(Format, DecimalTextReadsBackAsTheSameNumber) {
    std::mt19937_64 random(1);
    std::vector<int64_t> values(std::begin(Edges), std::end(Edges));
    for (int i = 0; i < 2000; ++i) values.push_back(static_cast<int64_t>(random()) >> (random() % 64));
    for (int64_t v : values) {
        std::string text = Format("%d", {static_cast<long long>(v)});
        int64_t back = 0;
        ASSERT_TRUE(TryStrToInt64(text, back)) << text;
        EXPECT_EQ(back, v) << text;
        int32_t small = 0;
        EXPECT_EQ(TryStrToInt(text, small), v >= INT32_MIN && v <= INT32_MAX) << text;
        if (v >= INT32_MIN && v <= INT32_MAX) EXPECT_EQ(small, v);
    }
}

TEST(Format, HexadecimalTextReadsBackAsTheSameBits) {
    // 32-bit values show their 32 bits, and "$" + that text gives them back.
    for (int64_t v : Edges) {
        if (v < INT32_MIN || v > UINT32_MAX) continue;
        std::string text = Format("%x", {static_cast<long long>(v)});
        EXPECT_LE(text.size(), 8u) << text;
        int32_t back = 0;
        ASSERT_TRUE(TryStrToInt("$" + text, back)) << text;
        EXPECT_EQ(static_cast<uint32_t>(back), static_cast<uint32_t>(v)) << text;
        ASSERT_TRUE(TryStrToInt("0x" + text, back)) << text;
        EXPECT_EQ(static_cast<uint32_t>(back), static_cast<uint32_t>(v)) << text;
    }
}

TEST(Format, WidthPadsAndPrecisionFillsOrCuts) {
    for (int width = 0; width < 40; ++width) {
        for (const char* text : {"", "a", "Журнал", "0123456789abcdefghij"}) {
            std::string right = Format("%" + std::to_string(width) + "s", {text});
            std::string left = Format("%-" + std::to_string(width) + "s", {text});
            size_t expected = std::max<size_t>(width, strlen(text));
            EXPECT_EQ(right.size(), expected);
            EXPECT_EQ(left.size(), expected);
            EXPECT_EQ(Trim(right), Trim(text));
            EXPECT_EQ(left.compare(0, strlen(text), text), 0);
            std::string cut = Format("%." + std::to_string(width) + "s", {text});
            EXPECT_EQ(cut, std::string(text).substr(0, width));
        }
        std::string digits = Format("%." + std::to_string(width) + "d", {-42});
        EXPECT_EQ(digits.size(), std::max<size_t>(width, 2) + 1) << digits;
        EXPECT_EQ(digits[0], '-');
        int32_t back = 0;
        ASSERT_TRUE(TryStrToInt(digits, back)) << digits;
        EXPECT_EQ(back, -42);
    }
}

TEST(Format, PatternsThatEndInsideAFieldAreRefused) {
    // Every cut of a valid field is either a valid pattern or refused:
    // nothing is read beyond the pattern's end.
    const std::string field = "%-12.5d";
    for (size_t cut = 1; cut < field.size(); ++cut)
        EXPECT_THROW(Format("x" + field.substr(0, cut), {1}), EConvertError) << field.substr(0, cut);
    EXPECT_EQ(Format("x" + field, {1}), "x00001       ");
    EXPECT_THROW(Format("%s%s", {"one"}), EConvertError);
    EXPECT_THROW(Format("%", {}), EConvertError);
    EXPECT_EQ(Format("%%%%", {}), "%%");
    EXPECT_EQ(Format("no fields", {1, "unused"}), "no fields");
    EXPECT_THROW(Format(std::string("%\0d", 3), {1}), EConvertError);
}

TEST(Format, WidthAndPrecisionAreCapped) {
    // A field is padded or filled with zeros to at most 4096 characters,
    // however many digits its width or precision has: no overflow while
    // they are read, no allocation beyond the cap. (Sizes are compared, so
    // that a failure does not print the texts.)
    const size_t cap = MaxFormatWidth;
    EXPECT_EQ(cap, 4096u);
    EXPECT_EQ(Format("%99999999d", {1}).size(), cap);
    EXPECT_EQ(Format("%-99999999s|", {"x"}).size(), cap + 1);
    EXPECT_EQ(Format("%.99999999d", {-1}).size(), cap + 1);
    std::string hex = Format("%.99999999x", {255});
    EXPECT_EQ(hex.size(), cap);
    EXPECT_TRUE(hex == std::string(cap - 2, '0') + "FF");
    const std::string digits(1000, '9');
    std::string padded = Format("%" + digits + "d", {7});
    EXPECT_EQ(padded.size(), cap);
    EXPECT_TRUE(padded == std::string(cap - 1, ' ') + "7");
    EXPECT_EQ(Format("%" + digits + "." + digits + "d", {7}).size(), cap);
    EXPECT_EQ(Format("%" + std::to_string(cap) + "d", {7}).size(), cap);
    EXPECT_EQ(Format("%" + std::to_string(cap - 1) + "d", {7}).size(), cap - 1);
    // A precision of text only cuts, so it needs no cap: a text is cut
    // where it asks, beyond the cap too, and a width never cuts.
    const std::string longText(10000, 't');
    EXPECT_EQ(Format("%.99999999999999999999s", {longText}).size(), longText.size());
    EXPECT_EQ(Format("%.5000s", {longText}).size(), 5000u);
    EXPECT_EQ(Format("%99999s", {longText}).size(), longText.size());
    // The fields still have to fit their arguments.
    EXPECT_THROW(Format("%" + digits, {7}), EConvertError);
    EXPECT_THROW(Format("%" + digits + "q", {7}), EConvertError);
}

TEST(Format, TextArgumentsArePassedThroughByteForByte) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    all += '\0';
    all += "%s%d";
    EXPECT_EQ(Format("[%s]", {all}), "[" + all + "]");
    EXPECT_EQ(Format("%s", {static_cast<const char*>(nullptr)}), "");
}

TEST(IntegerConversion, HostileTextsAreRefusedWithoutOverflow) {
    int32_t v = 7;
    int64_t w = 7;
    const std::string many(100000, '9');
    EXPECT_FALSE(TryStrToInt(many, v));
    EXPECT_FALSE(TryStrToInt64(many, w));
    EXPECT_FALSE(TryStrToInt64("$" + std::string(17, 'F'), w));
    EXPECT_TRUE(TryStrToInt64("$" + std::string(16, 'F'), w));
    EXPECT_EQ(w, -1);
    EXPECT_FALSE(TryStrToInt("$100000000", v));
    EXPECT_FALSE(TryStrToInt("-2147483649", v));
    EXPECT_FALSE(TryStrToInt64("-9223372036854775809", w));
    for (const char* bad : {"", " ", "-", "+", "$", "0x", "--1", "+-1", "1 ", "\t1", "1e3", "0b1", "$-1"})
        EXPECT_FALSE(TryStrToInt(std::string(bad), v)) << bad;
    EXPECT_FALSE(TryStrToInt(std::string("1\0" "2", 3), v));
    EXPECT_EQ(StrToIntDef("junk", -5), -5);
    EXPECT_EQ(StrToInt64Def("", 12), 12);
    EXPECT_EQ(StrToInt64Def("  -0", 12), 0);
}

TEST(TextHelpers, TrimUpperCaseAndReplace) {
    std::string controls;
    for (int c = 0; c <= 32; ++c) controls += static_cast<char>(c);
    EXPECT_EQ(Trim(controls + "a\x01" "b" + controls), "a\x01" "b");
    EXPECT_EQ(Trim(controls), "");
    EXPECT_EQ(Trim("\xA0" "x\xA0"), "\xA0" "x\xA0");  // a no-break space (1251) is no blank
    // Only ASCII letters change case: the Cyrillic bytes stay.
    EXPECT_EQ(UpperCase("abc xyz Журнал {}"), "ABC XYZ Журнал {}");
    EXPECT_TRUE(SameText("UpdateKeys", "UPDATEKEYS"));
    EXPECT_FALSE(SameText("журнал", "ЖУРНАЛ"));
    EXPECT_EQ(StringReplace("aaa", "a", "aa"), "aaaaaa");  // no rescanning of what was put in
    EXPECT_EQ(StringReplace("abc", "", "x"), "abc");
    EXPECT_EQ(ShortString(std::string(300, 'z')).size(), 255u);
    EXPECT_EQ(ShortString("short"), "short");
}

TEST(Paths, SeparatorsAtTheEdges) {
    EXPECT_EQ(ExtractFileName(""), "");
    EXPECT_EQ(ExtractFileName("C:"), "");
    EXPECT_EQ(ExtractFileName("dir/"), "");
    EXPECT_EQ(ExtractFilePath("file"), "");
    EXPECT_EQ(ExtractFileDir("C:\\file"), "C:\\");
    EXPECT_EQ(ExtractFileDir("C:file"), "C:");
    EXPECT_EQ(ExtractFileDir("\\"), "\\");
    EXPECT_EQ(ChangeFileExt("", ".tmp"), ".tmp");
    EXPECT_EQ(ChangeFileExt("a.b\\c", ".tmp"), "a.b\\c.tmp");
    EXPECT_EQ(IncludeTrailingBackslash(""), "\\");
    EXPECT_EQ(IncludeTrailingBackslash("C:\\x\\"), "C:\\x\\");
}
