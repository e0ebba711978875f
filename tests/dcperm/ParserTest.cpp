// Script parser: errors, sections, entries and hostile input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DcpermHelpers.h"
#include "untParser.h"

using namespace dcperm;

namespace {

const char* const Guid = "{0A1B2C3D-0000-1111-2222-333344445555}";

// Feeds the lines; returns the first error code (0 when all passed).
int Feed(TParser& p, const std::vector<std::string>& lines) {
    for (const auto& l : lines)
        if (int r = p.ExecuteLine(l)) return r;
    return 0;
}

int Count(const TPermEntry* e) {
    int n = 0;
    for (; e; e = e->Next) ++n;
    return n;
}

}  // namespace

TEST(ParserTest, ErrorCodes) {
    const std::string app = std::string("AppID ") + Guid;
    struct Case {
        std::vector<std::string> lines;
        int code;
    } cases[] = {
        {{"frobnicate"}, 3},
        {{"appidx {x}"}, 3},
        {{"edit yes"}, 4},
        {{"set +access user"}, 4},
        {{"del +access user"}, 4},
        {{"authlevel 2"}, 4},
        {{"imperslevel 2"}, 31},
        {{"enabledcom y"}, 31},
        {{app, "imperslevel 2"}, 31},
        {{app, "enablehttp y"}, 31},
        {{"AppID {00000000-0000-0000-0000-000000000000} extra"}, 2},
        {{"AppID"}, 2},
        {{"AppID not-a-guid"}, 5},
        {{"AppID {0A1B2C3D-0000-1111-2222-33334444555}"}, 5},
        {{"AppId default", "AppId default"}, 29},
        {{"AppId default", app, "AppId DEFAULT"}, 29},
        {{app, "authlevel 7"}, 6},
        {{app, "authlevel -1"}, 6},
        {{app, "authlevel nonsense"}, 0},  // no digits, no alias: level 0
        {{app, "authlevel"}, 2},
        {{app, "authlevel 1 2"}, 2},
        {{"AppId default", "imperslevel 5"}, 30},
        {{"AppId default", "imperslevel RPC_C_AUTHN_LEVEL_CALL"}, 0},  // no alias: value 0
        {{app, "edit"}, 2},
        {{app, "edit maybe"}, 2},
        {{"AppId default", "enabledcom"}, 2},
        {{"AppId default", "enabledcom 1"}, 2},
        {{app, "set access user"}, 8},
        {{app, "set"}, 8},
        {{app, "del launch user"}, 8},
        {{app, "set +access rights"}, 10},
        {{app, "set +access rights 5"}, 10},
        {{app, "set +access rights 5 |"}, 10},
        {{app, "del +access"}, 10},
        {{app, "set +access rights x user"}, 11},
        {{app, "set +access rights 1 | x user"}, 11},
        {{app, "set +access user extra"}, 2},
        {{app, "del +access user extra"}, 2},
        {{app, "set +access rights 1 2 user"}, 2},
        {{app, "del +launch %NOBODY%"}, 12},
        {{app, "set +access %EVERYONE"}, 12},
        {{app, "set +access %everyone%x"}, 12},
    };
    for (const auto& c : cases) {
        TParser p;
        EXPECT_EQ(c.code, Feed(p, c.lines)) << c.lines.back();
    }
}

TEST(ParserTest, SectionsAndLevels) {
    TParser p;
    ASSERT_EQ(0, Feed(p, {"  ; a comment", "", "   \t  ", "  ; note", "AppId default", "edit y ; comment",
                          "authlevel RPC_C_AUTHN_LEVEL_PKT_PRIVACY", "imperslevel RPC_C_IMP_LEVEL_DELEGATE",
                          "enabledcom YES", "enablehttp none", std::string("appid ") + Guid, "authlevel $5",
                          "AppID {11111111-2222-3333-4444-555555555555}", "authlevel 3x", "edit N",
                          "AppID {22222222-2222-3333-4444-555555555555}", "EDIT Yes", "authlevel 0X4"}));
    EXPECT_TRUE(p.HasDefaults);
    EXPECT_TRUE(p.DefaultEditMode);
    EXPECT_EQ(6, p.DefaultAuthLevel);
    EXPECT_EQ(4, p.DefaultImpersLevel);
    EXPECT_EQ(1, p.DefaultEnableDCOM);
    EXPECT_EQ(0, p.DefaultEnableHTTP);

    // Newest section first.
    TAppIdSection* s = p.Sections;
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0x22222222u, s->AppId.Data1);
    EXPECT_TRUE(s->EditMode);
    EXPECT_EQ(4, s->AuthLevel);
    s = s->Next;
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0x11111111u, s->AppId.Data1);
    EXPECT_FALSE(s->EditMode);
    EXPECT_EQ(3, s->AuthLevel);
    s = s->Next;
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0x0A1B2C3Du, s->AppId.Data1);
    EXPECT_EQ(5, s->AuthLevel);
    EXPECT_EQ(nullptr, s->Next);

    // A section without the command keeps "not set"; defaults untouched by it.
    TParser q;
    ASSERT_EQ(0, Feed(q, {std::string("AppID ") + Guid}));
    EXPECT_FALSE(q.HasDefaults);
    EXPECT_EQ(-1, q.Sections->AuthLevel);
    EXPECT_FALSE(q.Sections->EditMode);
    EXPECT_EQ(-1, q.DefaultAuthLevel);
}

TEST(ParserTest, PermissionEntries) {
    TParser p;
    ASSERT_EQ(0, Feed(p, {std::string("AppID ") + Guid, "set +access %everyone%",
                          "set -launch rights 2|COM_RIGHTS_EXECUTE_REMOTE | 8 domain\\user",
                          "del -access %Admins%", "set +access user;comment", "set +launch rights $10 me",
                          "AppId default", "set -access rights COM_RIGHTS_ACTIVATE_REMOTE %LOCALSYSTEM%"}));
    // Entries run in reverse script order.
    const TPermEntry* e = p.Sections->Entries;
    ASSERT_EQ(5, Count(e));
    EXPECT_EQ("ME", e->Name);
    EXPECT_EQ(16u, e->Rights);
    EXPECT_EQ(PermLaunch, e->Kind);
    EXPECT_TRUE(e->Allow);
    EXPECT_EQ(nullptr, e->Sid);
    e = e->Next;
    EXPECT_EQ("USER", e->Name);
    EXPECT_EQ(1u, e->Rights);
    e = e->Next;
    EXPECT_EQ("%ADMINS%", e->Name);
    EXPECT_TRUE(e->Delete);
    EXPECT_FALSE(e->Allow);
    EXPECT_EQ(0u, e->Rights);
    EXPECT_EQ("S-1-5-32-544", test::SidText(e->Sid));
    e = e->Next;
    EXPECT_EQ("DOMAIN\\USER", e->Name);
    EXPECT_FALSE(e->Allow);
    EXPECT_FALSE(e->Delete);
    EXPECT_EQ(PermLaunch, e->Kind);
    EXPECT_EQ(14u, e->Rights);
    e = e->Next;
    EXPECT_EQ("%EVERYONE%", e->Name);
    EXPECT_TRUE(e->Allow);
    EXPECT_EQ(PermAccess, e->Kind);
    EXPECT_EQ(1u, e->Rights);
    EXPECT_EQ("S-1-1-0", test::SidText(e->Sid));

    ASSERT_EQ(1, Count(p.DefaultEntries));
    EXPECT_EQ(16u, p.DefaultEntries->Rights);
    EXPECT_EQ("S-1-5-18", test::SidText(p.DefaultEntries->Sid));

    // Every alias stands for its well-known identifier.
    const char* aliases[][2] = {{"%EVERYONE%", "S-1-1-0"},        {"%INTERACTIVE%", "S-1-5-4"},
                                {"%SERVICE%", "S-1-5-6"},         {"%ANONYMOUS%", "S-1-5-7"},
                                {"%AUTHUSERS%", "S-1-5-11"},      {"%LOCALSYSTEM%", "S-1-5-18"},
                                {"%ADMINS%", "S-1-5-32-544"},     {"%USERS%", "S-1-5-32-545"},
                                {"%GUESTS%", "S-1-5-32-546"},     {"%POWERUSERS%", "S-1-5-32-547"}};
    for (auto& a : aliases) {
        PSID sid = AliasToSid(a[0]);
        EXPECT_EQ(a[1], test::SidText(sid)) << a[0];
        CoTaskMemFree(sid);
    }
}

TEST(ParserTest, HostileLines) {
    const std::string app = std::string("AppID ") + Guid;
    // A megabyte-long line: one unknown token, or a valid command with a long tail.
    {
        TParser p;
        EXPECT_EQ(3, p.ExecuteLine(std::string(1 << 20, 'x')));
        TParser q;
        ASSERT_EQ(0, q.ExecuteLine(app));
        EXPECT_EQ(0, q.ExecuteLine("edit y ;" + std::string(1 << 20, 'z')));
        EXPECT_EQ(2, q.ExecuteLine("set +access u " + std::string(1 << 20, 'n')));
    }
    // At most 32 tokens are read: "edit" ignores the excess, a name as
    // a name within the first 32 tokens is taken, one beyond them is lost.
    {
        TParser p;
        ASSERT_EQ(0, p.ExecuteLine(app));
        std::string many = "edit y";
        for (int i = 0; i < 100; ++i) many += " t";
        EXPECT_EQ(0, p.ExecuteLine(many));
        EXPECT_EQ(32, p.TokenCount());
        EXPECT_TRUE(p.Sections->EditMode);

        std::string rights = "set +access rights 1";  // 4 tokens
        for (int i = 0; i < 12; ++i) rights += " | 1";   // 28 tokens
        EXPECT_EQ(0, p.ExecuteLine(rights + " | 2 user"));  // "user" is token 31
        EXPECT_EQ(3u, p.Sections->Entries->Rights);
        EXPECT_EQ(10, p.ExecuteLine(rights + " | 1 | 2 user"));  // "user" would be token 33
    }
    // Binary garbage: no crash, an error code or an accepted comment/empty line.
    {
        std::string garbage;
        unsigned seed = 12345;
        for (int i = 0; i < 4096; ++i) {
            seed = seed * 1103515245 + 12345;
            garbage.push_back(static_cast<char>(seed >> 16));
        }
        TParser p;
        for (size_t pos = 0; pos < garbage.size(); pos += 97) {
            int r = p.ExecuteLine(garbage.substr(pos, 300));
            EXPECT_TRUE(r == 0 || r == 2 || r == 3 || r == 4 || r == 5 || r == 6 || r == 8 || r == 10 || r == 11 ||
                        r == 12 || r == 29 || r == 30 || r == 31)
                << r;
        }
        TParser q;
        ASSERT_EQ(0, q.ExecuteLine(app));
        EXPECT_EQ(5, q.ExecuteLine(std::string("AppID ") + Guid + std::string("\0x", 2)));
        EXPECT_EQ(12, q.ExecuteLine(std::string("set +access %EVERYONE%\0", 23) + "%"));
        EXPECT_EQ(0, q.ExecuteLine(std::string("\0\0\0edit y\0", 10)));  // zero bytes at the ends are trimmed
        EXPECT_EQ(3, q.ExecuteLine(std::string("ed\0it y", 8)));          // ... but not inside
    }
    // A tab is part of a token.
    {
        TParser p;
        EXPECT_EQ(3, p.ExecuteLine("appid\tdefault"));
    }
}

TEST(ParserTest, IntegerConversion) {
    struct Case {
        const char* text;
        bool ok;
        LONG value;
    } cases[] = {
        {"0", true, 0},          {"42", true, 42},         {"+7", true, 7},           {"-1", true, -1},
        {"$1F", true, 31},       {"0X1f", true, 31},       {"-$10", true, -16},       {"  12", true, 12},
        {"$FFFFFFFF", true, -1}, {"2147483647", true, 2147483647},                    {"-2147483648", true, LONG(0x80000000)},
        {"3x", false, 3},        {"x3", false, 0},         {"", false, 0},            {"$", false, 0},
        {"12 ", false, 12},      {"2147483648", false, 214748364},                    {"$123456789", false, 0x12345678},
    };
    for (const auto& c : cases) {
        LONG v = 99;
        EXPECT_EQ(c.ok, ValInt(c.text, v)) << c.text;
        EXPECT_EQ(c.value, v) << c.text;
    }
}
