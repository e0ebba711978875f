// The dcperm script parser on the build host: the security identifiers it
// makes of the aliases, the branch where the system cannot make one, and
// the parser's state after lines that fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StandInControl.h"
#include "untParser.h"

using namespace dcperm;

namespace {

const char* const App = "AppID {0A1B2C3D-0000-1111-2222-333344445555}";

int Count(const TPermEntry* e) {
    int n = 0;
    for (; e; e = e->Next) ++n;
    return n;
}

// The text form of a binary SID.
std::string SidText(PSID sid) {
    const BYTE* b = static_cast<const BYTE*>(sid);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | b[i];
    std::string text = "S-" + std::to_string(b[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < b[1]; ++i) {
        uint32_t sub;
        memcpy(&sub, b + 8 + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return text;
}

}  // namespace

TEST(Parser, AliasesBecomeTheirSecurityIdentifiers) {
    const char* const aliases[][2] = {{"%EVERYONE%", "S-1-1-0"},      {"%INTERACTIVE%", "S-1-5-4"},
                                      {"%SERVICE%", "S-1-5-6"},       {"%ANONYMOUS%", "S-1-5-7"},
                                      {"%AUTHUSERS%", "S-1-5-11"},    {"%LOCALSYSTEM%", "S-1-5-18"},
                                      {"%ADMINS%", "S-1-5-32-544"},   {"%USERS%", "S-1-5-32-545"},
                                      {"%GUESTS%", "S-1-5-32-546"},   {"%POWERUSERS%", "S-1-5-32-547"}};
    TParser p;
    ASSERT_EQ(p.ExecuteLine(App), 0);
    for (const auto& alias : aliases) {
        ASSERT_EQ(p.ExecuteLine(std::string("set +access ") + alias[0]), 0) << alias[0];
        ASSERT_NE(p.Sections->Entries->Sid, nullptr);
        EXPECT_EQ(SidText(p.Sections->Entries->Sid), alias[1]);
        EXPECT_EQ(p.Sections->Entries->Name, alias[0]);
    }
    EXPECT_EQ(p.ExecuteLine("del -launch domain\\user"), 0);
    EXPECT_EQ(p.Sections->Entries->Sid, nullptr);  // resolved only when applied
    EXPECT_EQ(Count(p.Sections->Entries), 11);
}

TEST(Parser, AnAliasTheSystemCannotConvertIsAnUnknownAlias) {
    TParser p;
    ASSERT_EQ(p.ExecuteLine("AppId default"), 0);
    standin::FailSidConversion = true;
    int set = p.ExecuteLine("set +access %EVERYONE%");
    int del = p.ExecuteLine("del -access %ADMINS%");
    standin::FailSidConversion = false;
    EXPECT_EQ(set, 12);
    EXPECT_EQ(del, 12);
    EXPECT_EQ(p.DefaultEntries, nullptr);
    EXPECT_EQ(p.ExecuteLine("set +access %EVERYONE%"), 0);
    EXPECT_EQ(Count(p.DefaultEntries), 1);
}

TEST(Parser, AFailedLineLeavesNoEntryBehind) {
    TParser p;
    ASSERT_EQ(p.ExecuteLine(App), 0);
    const char* const failing[] = {"set +access rights 1 | x user", "set +access rights", "set +access a b",
                                   "set access user", "del +launch %NOBODY%", "set +access %EVERYONE% x",
                                   "set -launch rights 1 |", "del"};
    for (const char* line : failing) {
        EXPECT_NE(p.ExecuteLine(line), 0) << line;
        EXPECT_EQ(p.Sections->Entries, nullptr) << line;
    }
}

TEST(Parser, RightsAreTheOrOfTheirParts) {
    TParser p;
    ASSERT_EQ(p.ExecuteLine(App), 0);
    struct {
        const char* rights;
        DWORD value;
    } cases[] = {{"1", 1},
                 {"COM_RIGHTS_EXECUTE_LOCAL|COM_RIGHTS_ACTIVATE_REMOTE", 18},
                 {"$FFFFFFFF", 0xFFFFFFFF},
                 {"-1", 0xFFFFFFFF},
                 {"0", 0},
                 {"8 | 8 | 8", 8},
                 {"com_rights_execute", 1}};
    for (const auto& c : cases) {
        ASSERT_EQ(p.ExecuteLine(std::string("set +launch rights ") + c.rights + " u"), 0) << c.rights;
        EXPECT_EQ(p.Sections->Entries->Rights, c.value) << c.rights;
        EXPECT_EQ(p.Sections->Entries->Kind, PermLaunch);
    }
}

TEST(Parser, ManySectionsAndEntriesAreFreedWithTheParser) {
    // Run under the leak checker: every section, entry and SID is owned.
    TParser p;
    for (int s = 0; s < 200; ++s) {
        ASSERT_EQ(p.ExecuteLine(App), 0);
        for (int e = 0; e < 20; ++e) ASSERT_EQ(p.ExecuteLine(e % 2 ? "set +access %USERS%" : "del -launch u"), 0);
    }
    int sections = 0;
    for (TAppIdSection* s = p.Sections; s; s = s->Next) {
        ++sections;
        EXPECT_EQ(Count(s->Entries), 20);
    }
    EXPECT_EQ(sections, 200);
}

TEST(Parser, GuidsInBracesOnly) {
    TParser p;
    EXPECT_EQ(p.ExecuteLine("AppID {0a1b2c3d-0000-1111-2222-333344445555}"), 0);
    EXPECT_EQ(p.Sections->AppId.Data1, 0x0A1B2C3Du);
    EXPECT_EQ(p.Sections->AppId.Data4[7], 0x55);
    for (const char* bad : {"AppID 0A1B2C3D-0000-1111-2222-333344445555", "AppID {0A1B2C3D-0000-1111-2222-33334444555}",
                            "AppID {0A1B2C3D-0000-1111-2222-3333444455555}", "AppID {0A1B2C3D_0000-1111-2222-333344445555}",
                            "AppID {0A1B2C3D-0000-1111-2222-33334444555G}", "AppID {}"})
        EXPECT_EQ(p.ExecuteLine(bad), 5) << bad;
}
