#include <gtest/gtest.h>

#include "base/Text.h"
#include "base/Versions.h"
#include "support/TestSupport.h"

using namespace zel;

TEST(Versions, ParseAndFormat) {
    EXPECT_EQ(StrToVersion(""), 0);
    EXPECT_EQ(VersionToStr(0), "0.0.00.00");
    EXPECT_EQ(VersionToStr(StrToVersion("10.2.3.45")), "10.2.03.45");
    EXPECT_EQ(VersionToStr(StrToVersion("1.2.300.4")), "1.2.300.04");
    EXPECT_EQ(StrToVersion("1.x.3.4"), StrToVersion("1.0.3.4"));
    EXPECT_EQ(StrToVersion("5"), StrToVersion("5.0.0.0"));
    EXPECT_EQ(StrToVersion("1.2"), StrToVersion("1.2.0.0"));
    EXPECT_EQ(StrToVersion("1.2.3.4.5"), StrToVersion("1.2.3.4"));
    EXPECT_EQ(VersionToStr(StrToVersion("-1.70000.0.0")), "65535.4464.00.00");
    EXPECT_EQ(StrToVersion("1.2.3.4"), 0x0001000200030004LL);
    EXPECT_EQ(StrToVersion("$10"), StrToVersion("16"));
}

TEST(Versions, OrderIsSigned64Bit) {
    TVersion a = StrToVersion("1.2.0.7"), b = StrToVersion("1.2.0.5");
    EXPECT_TRUE(VersionGreater(a, b));
    EXPECT_FALSE(VersionGreater(b, a));
    EXPECT_FALSE(VersionGreater(a, a));
    EXPECT_TRUE(VersionGreater(StrToVersion("1.0.0.65535"), StrToVersion("1.0.0.1")));  // low half unsigned
    // A major part of 32768 or more makes the value negative.
    EXPECT_FALSE(VersionGreater(StrToVersion("40000.0.0.0"), StrToVersion("1.0.0.0")));
    EXPECT_TRUE(VersionStrGreater("2.0", "1.9.9.9"));
    EXPECT_TRUE(VersionsEqual(StrToVersion("1.2"), StrToVersion("1.2.0.0")));
}

TEST(Versions, MaxReturnsSecondOnEquality) {
    // Equal values are the same number, so what matters is the ordering rule
    // on unequal ones and that equality yields b.
    EXPECT_EQ(MaxVersion(3, 5), 5);
    EXPECT_EQ(MaxVersion(5, 3), 5);
    EXPECT_EQ(MaxVersion(4, 4), 4);
}

TEST(Versions, ReadFromRealFiles) {
    std::string data = test::TestDir() + "data\\";
    TVersion v = 7;
    ASSERT_TRUE(GetFileVersion(data + "v1.exe", v));
    EXPECT_EQ(VersionToStr(v), "10.2.03.45");
    EXPECT_EQ(GetFileVersionString(data + "v1.exe", "UpdateType"), "FU");
    EXPECT_EQ(GetFileVersionString(data + "v1.exe", "Sequential", 0x0419, 0x04E3), "1");
    EXPECT_EQ(GetFileVersionString(data + "v1.exe", "FileDescription"), "Тестовая программа");
    EXPECT_EQ(GetFileVersionString(data + "v1.exe", "NoSuchString"), "");
    // Only block 041904E3 exists.
    EXPECT_EQ(GetFileVersionString(data + "v1.exe", "UpdateType", 0x0409, 0x04B0), "");

    TVersion untouched = 42;
    EXPECT_FALSE(GetFileVersion(data + "plain.exe", untouched));
    EXPECT_EQ(untouched, 42);
    EXPECT_EQ(GetFileVersionString(data + "plain.exe", "UpdateType"), "");
    EXPECT_FALSE(GetFileVersion(data + "missing.exe", untouched));
    EXPECT_EQ(untouched, 42);
    EXPECT_FALSE(GetFileVersion(data, untouched));  // a directory

    ASSERT_TRUE(GetFileVersion(data + "high.exe", v));
    EXPECT_LT(v, 0);
    EXPECT_EQ(VersionToStr(v), "40000.1.00.00");
}

TEST(Versions, SelfVersionOfAProgramWithoutResource) {
    // The test program carries no version resource.
    EXPECT_EQ(GetSelfVersion(), "0.0.00.00");
}
