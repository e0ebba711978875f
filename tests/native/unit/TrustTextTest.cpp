// The trust lists of ".config" and the package: base64 keys and hex
// publisher pins. A list is only as good as its refusals: an entry that is
// not exactly of the form must never count as trusted.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "config/TrustText.h"

using namespace zel;

namespace {

std::string RandomBytes(std::mt19937& random, size_t n) {
    std::string bytes;
    for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(random());
    return bytes;
}

std::string Point(std::mt19937& random) { return "\x04" + RandomBytes(random, 64); }

const std::string Pin = "3f2a0000000000000000000000000000000000000000000000000000000000ff";

}  // namespace

TEST(Base64, KnownTexts) {
    const char* const pairs[][2] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                                    {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"}, {"\xFB\xEF", "++8="}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(Base64Encode(pair[0]), pair[1]);
        std::string bytes;
        ASSERT_TRUE(Base64Decode(pair[1], bytes)) << pair[1];
        EXPECT_EQ(bytes, pair[0]);
    }
}

TEST(Base64, BytesRoundTripAndEveryAcceptedTextIsTheCanonicalOne) {
    std::mt19937 random(17);
    for (size_t n = 0; n < 200; ++n) {
        std::string bytes = RandomBytes(random, n);
        std::string text = Base64Encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        std::string back;
        ASSERT_TRUE(Base64Decode(text, back));
        EXPECT_EQ(back, bytes);
    }
    // Every short text over the alphabet and "=": accepted only when the
    // encoding of what it decodes to is that very text.
    const std::string symbols = "AQgw/+=Z";
    std::string text(4, 'A');
    for (int code = 0; code < 8 * 8 * 8 * 8; ++code) {
        for (int k = 0, c = code; k < 4; ++k, c /= 8) text[k] = symbols[c % 8];
        std::string bytes;
        if (Base64Decode(text, bytes)) EXPECT_EQ(Base64Encode(bytes), text);
        if (Base64Decode("Zm9v" + text, bytes)) EXPECT_EQ(Base64Encode(bytes), "Zm9v" + text);
    }
}

TEST(Base64, MalformedTextsAreRefused) {
    for (const char* bad : {"Zg", "Zg=", "Z===", "====", "Zh==", "Zm9=", "Zg==Zg==", "Zm9v ", " Zm9v", "Zm9v\n",
                            "Zm-v", "Zm_v", "Zm9v====", "Zm\x009v", "Жm9v"}) {
        std::string bytes = "left over";
        EXPECT_FALSE(Base64Decode(bad, bytes)) << bad;
    }
    std::string bytes;
    EXPECT_FALSE(Base64Decode(std::string("Zm9\0", 4), bytes));
}

TEST(TrustList, KeysAreExactly65BytePoints) {
    std::mt19937 random(23);
    const std::string a = Point(random), b = Point(random);
    TTrustList list = ParseUpdateKeys(" " + Base64Encode(a) + " ,,\t" + Base64Encode(b) + "," + Base64Encode(a));
    EXPECT_TRUE(list.Given);
    ASSERT_EQ(list.Items.size(), 2u);  // the repeat counts once
    EXPECT_EQ(list.Items[0], a);
    EXPECT_EQ(list.Items[1], b);
    EXPECT_TRUE(list.Invalid.empty());

    const std::string wrong[] = {
        Base64Encode("\x02" + a.substr(1)),       // a compressed point's prefix
        Base64Encode(a.substr(0, 64)),            // one byte short
        Base64Encode(a + "x"),                    // one byte over
        Base64Encode(a).substr(1),                // not base64 any more
        Base64Encode(a) + "=",
        "x" + Base64Encode(a),
        Base64Encode(a).insert(10, " "),
    };
    for (const std::string& entry : wrong) {
        TTrustList refused = ParseUpdateKeys(entry);
        EXPECT_TRUE(refused.Given) << entry;
        EXPECT_TRUE(refused.Items.empty()) << entry;
        ASSERT_EQ(refused.Invalid.size(), 1u) << entry;
    }
    // Nothing but separators names no key at all.
    for (const char* none : {"", " ", ",", " , ,\t\r\n"}) {
        TTrustList empty = ParseUpdateKeys(none);
        EXPECT_FALSE(empty.Given) << none;
        EXPECT_TRUE(empty.Items.empty() && empty.Invalid.empty());
    }
}

TEST(TrustList, PublishersAreExactly64HexDigits) {
    std::string upper = Pin;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    TTrustList list = ParsePublishers(upper + "," + Pin);
    ASSERT_EQ(list.Items.size(), 1u);  // one pin in two spellings
    EXPECT_EQ(list.Items[0], Pin);
    const std::string wrong[] = {Pin.substr(1), Pin + "0", "0x" + Pin.substr(2), Pin.substr(0, 63) + "g",
                                 Pin.substr(0, 32) + " " + Pin.substr(32), Pin.substr(0, 63) + "\xE0",
                                 std::string(Pin).replace(5, 1, 1, '\0')};
    for (const std::string& entry : wrong) {
        TTrustList refused = ParsePublishers(entry);
        EXPECT_TRUE(refused.Given);
        EXPECT_TRUE(refused.Items.empty()) << entry;
        EXPECT_EQ(refused.Invalid.size(), 1u) << entry;
    }
}

TEST(TrustList, MergingKeepsEveryItemOnceAndAnyGivenList) {
    TTrustList builtIn = ParsePublishers(Pin);
    TTrustList configured = ParsePublishers("bad," + Pin);
    MergeTrustList(builtIn, configured);
    EXPECT_EQ(builtIn.Items, std::vector<std::string>{Pin});
    EXPECT_EQ(builtIn.Invalid, std::vector<std::string>{"bad"});
    TTrustList none, onlyBad = ParsePublishers("bad");
    MergeTrustList(none, onlyBad);
    // A line whose entries are all malformed still counts as given: then
    // nothing is trusted, rather than everything.
    EXPECT_TRUE(none.Given);
    EXPECT_TRUE(none.Items.empty());
}
