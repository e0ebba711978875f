#include <gtest/gtest.h>

#include "base/Text.h"

using namespace zel;

TEST(Format, TypesWidthsAndPrecision) {
    EXPECT_EQ(Format("%s : %s", {"12:00:01", "текст"}), "12:00:01 : текст");
    EXPECT_EQ(Format("%d.%d.%.2d.%.2d", {1, 2, 3, 4}), "1.2.03.04");
    EXPECT_EQ(Format("%.2d", {300}), "300");
    EXPECT_EQ(Format("%x", {62}), "3E");
    EXPECT_EQ(Format("%x", {-1}), "FFFFFFFF");
    EXPECT_EQ(Format("%.4x%.4x", {0x419, 0x4E3}), "041904E3");
    EXPECT_EQ(Format("[%-16s]", {"ModuleName"}), "[ModuleName      ]");
    EXPECT_EQ(Format("[%6s]", {"ab"}), "[    ab]");
    EXPECT_EQ(Format("%d%%", {25}), "25%");
    EXPECT_EQ(Format("%d", {-7}), "-7");
    EXPECT_EQ(Format("%.3d", {-7}), "-007");
    EXPECT_EQ(Format("%d", {static_cast<long long>(1) << 40}), "1099511627776");
    EXPECT_EQ(Format("%.3s", {"abcdef"}), "abc");
}

TEST(Format, MismatchRaisesConvertError) {
    EXPECT_THROW(Format("%s", {}), EConvertError);
    EXPECT_THROW(Format("%d", {"text"}), EConvertError);
    EXPECT_THROW(Format("%s", {5}), EConvertError);
    EXPECT_THROW(Format("100%", {}), EConvertError);
    EXPECT_THROW(Format("%q", {1}), EConvertError);
}

TEST(IntegerConversion, RunTimeRules) {
    int32_t v = 0;
    EXPECT_TRUE(TryStrToInt("62", v));
    EXPECT_EQ(v, 62);
    EXPECT_TRUE(TryStrToInt("-12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(TryStrToInt("$1F", v));
    EXPECT_EQ(v, 31);
    EXPECT_TRUE(TryStrToInt("0x10", v));
    EXPECT_EQ(v, 16);
    EXPECT_TRUE(TryStrToInt("$FFFFFFFF", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(TryStrToInt(" 5", v));
    EXPECT_FALSE(TryStrToInt("5 ", v));
    EXPECT_FALSE(TryStrToInt("", v));
    EXPECT_FALSE(TryStrToInt("x", v));
    EXPECT_FALSE(TryStrToInt("1x", v));
    EXPECT_FALSE(TryStrToInt("2147483648", v));
    EXPECT_TRUE(TryStrToInt("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    int64_t w = 0;
    EXPECT_TRUE(TryStrToInt64("-12000000000", w));
    EXPECT_EQ(w, -12000000000LL);
    EXPECT_TRUE(TryStrToInt64("-9223372036854775808", w));
    EXPECT_EQ(w, INT64_MIN);
    EXPECT_FALSE(TryStrToInt64("9223372036854775808", w));
}

TEST(Conversion, RoundTripThroughUtf16AndUtf8) {
    const std::string ansi = "Служба обновления ЗЕЛ";
    EXPECT_EQ(ansi.size(), 21u);  // single-byte texts
    EXPECT_EQ(ToAnsi(ToWide(ansi)), ansi);
    EXPECT_EQ(ToWide(ansi), L"\u0421\u043b\u0443\u0436\u0431\u0430 \u043e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u044f \u0417\u0415\u041b");
    EXPECT_EQ(AnsiToUtf8("Ж"), "\xD0\x96");
    EXPECT_EQ(Utf8ToAnsi("\xD0\x96"), "Ж");
    // A character the code page lacks is "?", never a look-alike that
    // means something in a path.
    EXPECT_EQ(ToAnsi(L"\uFF0F\uFF3C\uFF1A\u2215\uFF0E"), "?????");
}

TEST(Paths, PartsOfAPath) {
    EXPECT_EQ(ExtractFileName("C:\\Upd\\ZELService.exe"), "ZELService.exe");
    EXPECT_EQ(ExtractFilePath("C:\\Upd\\ZELService.exe"), "C:\\Upd\\");
    EXPECT_EQ(ExtractFileDir("C:\\Upd\\ZELService.exe"), "C:\\Upd");
    EXPECT_EQ(ChangeFileExt("C:\\Upd\\ZELService.exe", ".tmp"), "C:\\Upd\\ZELService.tmp");
    EXPECT_EQ(ChangeFileExt("C:\\Up.d\\ZELService", ".tmp"), "C:\\Up.d\\ZELService.tmp");
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(StringReplace("a\r\nb\r\n", "\r\n", ""), "ab");
}
