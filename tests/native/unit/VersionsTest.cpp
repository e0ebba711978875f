// Four-part versions: the text form the service writes (requests, logs,
// store directories) reads back as the same version, and the order is the
// one of signed 64-bit numbers.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/Versions.h"

using namespace zel;

namespace {

TVersion Make(unsigned a, unsigned b, unsigned c, unsigned d) {
    return static_cast<TVersion>((uint64_t(a) << 48) | (uint64_t(b) << 32) | (uint64_t(c) << 16) | d);
}

}  // namespace

TEST(Versions, TextReadsBackAsTheSameVersion) {
    std::mt19937_64 random(3);
    std::vector<TVersion> values = {0, 1, -1, INT64_MIN, INT64_MAX, Make(1, 2, 3, 4), Make(65535, 0, 0, 0),
                                    Make(0, 65535, 65535, 65535), Make(32768, 0, 0, 1)};
    for (int i = 0; i < 5000; ++i) values.push_back(static_cast<TVersion>(random()));
    for (TVersion v : values) {
        std::string text = VersionToStr(v);
        EXPECT_EQ(StrToVersion(text), v) << text;
        // Four parts, the last two with at least two digits.
        EXPECT_EQ(std::count(text.begin(), text.end(), '.'), 3) << text;
        EXPECT_GE(text.size() - text.rfind('.') - 1, 2u) << text;
    }
}

TEST(Versions, PartsAreSixteenBitsAndMissingOnesAreZero) {
    EXPECT_EQ(StrToVersion("1.2"), Make(1, 2, 0, 0));
    EXPECT_EQ(StrToVersion("1..3"), Make(1, 0, 3, 0));
    EXPECT_EQ(StrToVersion("."), 0);
    EXPECT_EQ(StrToVersion("...."), 0);
    EXPECT_EQ(StrToVersion("1.2.3.4.5.6"), Make(1, 2, 3, 4));
    EXPECT_EQ(StrToVersion("65536.65537"), Make(0, 1, 0, 0));
    EXPECT_EQ(StrToVersion("-1.-2"), Make(65535, 65534, 0, 0));
    EXPECT_EQ(StrToVersion("$10.0x10"), Make(16, 16, 0, 0));
    // A part that is no 32-bit number counts as 0, whatever its length.
    EXPECT_EQ(StrToVersion("99999999999.7"), Make(0, 7, 0, 0));
    EXPECT_EQ(StrToVersion(std::string(100000, '9') + ".1.2.3"), Make(0, 1, 2, 3));
    EXPECT_EQ(StrToVersion("1.2.3.4 "), Make(1, 2, 3, 0));
    EXPECT_EQ(StrToVersion(" 1. 2"), Make(1, 2, 0, 0));
    EXPECT_EQ(StrToVersion(std::string("1\0.2", 4)), Make(0, 2, 0, 0));
    EXPECT_EQ(StrToVersion("CURRENT"), 0);
}

TEST(Versions, OrderIsTheSignedOrderOfTheValue) {
    std::mt19937_64 random(5);
    for (int i = 0; i < 5000; ++i) {
        TVersion a = static_cast<TVersion>(random()), b = static_cast<TVersion>(random());
        if (i % 7 == 0) b = a;
        EXPECT_EQ(VersionGreater(a, b), a > b);
        EXPECT_EQ(VersionsEqual(a, b), a == b);
        EXPECT_EQ(MaxVersion(a, b), a > b ? a : b);
        EXPECT_FALSE(VersionGreater(a, b) && VersionGreater(b, a));
        EXPECT_EQ(VersionStrGreater(VersionToStr(a), VersionToStr(b)), a > b);
    }
    // A major part of 32768 or more is negative and orders below 1.0.0.0.
    EXPECT_TRUE(VersionGreater(Make(1, 0, 0, 0), Make(40000, 0, 0, 0)));
    EXPECT_TRUE(VersionStrGreater("2.0", "1.65535.65535.65535"));
    EXPECT_FALSE(VersionStrGreater("1.0", "1.0.0.0"));
}

TEST(Versions, FilesThatCannotBeReadHaveNoVersion) {
    TVersion v = Make(9, 9, 9, 9);
    EXPECT_FALSE(GetFileVersion("C:\\missing\\setup.exe", v));
    EXPECT_EQ(v, Make(9, 9, 9, 9));
    EXPECT_EQ(GetFileVersionString("C:\\missing\\setup.exe", "UpdateType"), "");
    EXPECT_EQ(GetSelfVersion(), "0.0.00.00");
}
