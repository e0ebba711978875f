// Descriptor building and editing of the permission values.
#include <gtest/gtest.h>

#include <objbase.h>

#include "DcpermHelpers.h"
#include "SecUtils.h"

using namespace dcperm;
using test::Ace;

namespace {

const BYTE A = ACCESS_ALLOWED_ACE_TYPE;
const BYTE D = ACCESS_DENIED_ACE_TYPE;

// Entries are given in list order (the parser's reverse script order).
struct Entries {
    TPermEntry* head = nullptr;
    TPermEntry* tail = nullptr;
    Entries& Add(bool allow, BYTE kind, DWORD rights, const char* sid, bool del = false) {
        auto* e = new TPermEntry;
        e->Allow = allow;
        e->Kind = kind;
        e->Rights = rights;
        e->Delete = del;
        e->Sid = sid ? StringToSid(sid) : nullptr;
        e->Name = sid ? sid : "UNKNOWN";
        (tail ? tail->Next : head) = e;
        tail = e;
        return *this;
    }
    ~Entries() { FreeEntries(head); }
};

test::Descriptor Decode(const TSdResult& r) {
    return test::DecodeDescriptor(std::string(static_cast<const char*>(r.Sd), r.Size));
}

}  // namespace

TEST(SecUtilsTest, BuildOrdersDeniedBeforeAllowed) {
    PSID owner = StringToSid("S-1-5-32-544");
    Entries e;
    e.Add(true, PermAccess, 3, "S-1-1-0")
        .Add(false, PermAccess, 1, "S-1-5-7")
        .Add(true, PermLaunch, 11, "S-1-5-4")
        .Add(true, PermAccess, 1, nullptr)  // an unknown account: ignored
        .Add(false, PermAccess, 0, "S-1-5-18", true)
        .Add(true, PermAccess, 7, "S-1-5-32-545")
        .Add(false, PermAccess, 5, "S-1-5-32-546");
    TSdResult r = BuildSecurityDescriptor(e.head, PermAccess, owner);
    ASSERT_TRUE(r.Ok);
    ASSERT_NE(nullptr, r.Sd);
    EXPECT_TRUE(IsValidSelfRelativeSD(r.Sd, r.Size));
    test::Descriptor d = Decode(r);
    EXPECT_EQ("S-1-5-32-544", d.owner);
    EXPECT_EQ("S-1-5-32-544", d.group);
    ASSERT_TRUE(d.hasDacl);
    std::vector<Ace> want = {{D, 1, "S-1-5-7"}, {D, 5, "S-1-5-32-546"}, {A, 3, "S-1-1-0"}, {A, 7, "S-1-5-32-545"}};
    EXPECT_EQ(want, d.aces);
    CoTaskMemFree(r.Sd);

    // Without an owner, and with only a del entry: an empty DACL.
    Entries del;
    del.Add(false, PermLaunch, 0, "S-1-1-0", true);
    r = BuildSecurityDescriptor(del.head, PermLaunch, nullptr);
    ASSERT_TRUE(r.Ok);
    ASSERT_NE(nullptr, r.Sd);
    d = Decode(r);
    EXPECT_EQ("", d.owner);
    EXPECT_TRUE(d.hasDacl);
    EXPECT_TRUE(d.aces.empty());
    CoTaskMemFree(r.Sd);

    // No entry of the kind: nothing to write, which deletes the value.
    r = BuildSecurityDescriptor(del.head, PermAccess, owner);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(nullptr, r.Sd);
    CoTaskMemFree(owner);
}

TEST(SecUtilsTest, EditKeepsOrderAndReplacesMatches) {
    PSID owner = StringToSid("S-1-5-18");
    std::string old = test::MakeDescriptor({{A, 1, "S-1-5-4"},
                                            {D, 3, "S-1-5-7"},
                                            {A, 1, "S-1-1-0"},
                                            {D, 1, "S-1-5-32-545"},
                                            {A, 3, "S-1-5-32-545"}});
    ASSERT_FALSE(old.empty());
    ASSERT_TRUE(IsValidSelfRelativeSD(old.data(), static_cast<DWORD>(old.size())));
    Entries e;
    e.Add(true, PermAccess, 5, "S-1-1-0")                  // replaces the allowed ACE
        .Add(false, PermAccess, 0, "S-1-5-32-545", true)   // removes only the denied ACE
        .Add(false, PermAccess, 2, "S-1-5-32-546")         // a new denied ACE
        .Add(true, PermLaunch, 1, "S-1-5-4");              // another kind: no effect
    TSdResult r = EditSecurityDescriptor(e.head, PermAccess, &old[0], owner);
    ASSERT_TRUE(r.Ok);
    ASSERT_NE(nullptr, r.Sd);
    test::Descriptor d = Decode(r);
    EXPECT_EQ("S-1-5-18", d.owner);
    std::vector<Ace> want = {{D, 3, "S-1-5-7"},
                             {D, 2, "S-1-5-32-546"},
                             {A, 1, "S-1-5-4"},
                             {A, 3, "S-1-5-32-545"},
                             {A, 5, "S-1-1-0"}};
    EXPECT_EQ(want, d.aces);
    CoTaskMemFree(r.Sd);

    // Deleting the last ACE with no further entries leaves an empty DACL;
    // an empty old DACL and no entries of the kind give nothing (deletion).
    std::string one = test::MakeDescriptor({{A, 1, "S-1-1-0"}});
    Entries del;
    del.Add(true, PermAccess, 0, "S-1-1-0", true);
    r = EditSecurityDescriptor(del.head, PermAccess, &one[0], owner);
    ASSERT_TRUE(r.Ok);
    ASSERT_NE(nullptr, r.Sd);
    EXPECT_TRUE(Decode(r).aces.empty());
    CoTaskMemFree(r.Sd);
    std::string empty = test::MakeDescriptor({});
    r = EditSecurityDescriptor(del.head, PermLaunch, &empty[0], owner);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(nullptr, r.Sd);

    // A descriptor without DACL is edited like an empty one.
    SECURITY_DESCRIPTOR abs;
    InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION);
    BYTE rel[64];
    DWORD relSize = sizeof rel;
    ASSERT_TRUE(MakeSelfRelativeSD(&abs, rel, &relSize));
    r = EditSecurityDescriptor(e.head, PermLaunch, rel, nullptr);
    ASSERT_TRUE(r.Ok);
    ASSERT_NE(nullptr, r.Sd);
    EXPECT_EQ((std::vector<Ace>{{A, 1, "S-1-5-4"}}), Decode(r).aces);
    CoTaskMemFree(r.Sd);
    CoTaskMemFree(owner);
}

TEST(SecUtilsTest, ValidationRejectsDamagedValues) {
    std::string good = test::MakeDescriptor({{A, 1, "S-1-1-0"}, {D, 1, "S-1-5-32-545"}});
    ASSERT_TRUE(IsValidSelfRelativeSD(good.data(), static_cast<DWORD>(good.size())));
    // Every truncation is refused.
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(IsValidSelfRelativeSD(good.data(), static_cast<DWORD>(n))) << n;
    EXPECT_FALSE(IsValidSelfRelativeSD(nullptr, 100));
    // Random bytes, and a good header whose offsets point outside.
    std::string garbage(200, '\0');
    unsigned seed = 7;
    for (int round = 0; round < 200; ++round) {
        for (char& c : garbage) {
            seed = seed * 1103515245 + 12345;
            c = static_cast<char>(seed >> 16);
        }
        garbage[0] = 1;
        garbage[2] = 0x04;
        garbage[3] = static_cast<char>(0x80);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
        IsValidSelfRelativeSD(garbage.data(), static_cast<DWORD>(garbage.size()));  // must not fault
    }
    std::string bad = good;
    auto* sd = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(&bad[0]);
    sd->Dacl = 0x7FFF0000;
    EXPECT_FALSE(IsValidSelfRelativeSD(bad.data(), static_cast<DWORD>(bad.size())));
    bad = good;
    sd = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(&bad[0]);
    reinterpret_cast<ACL*>(&bad[sd->Dacl])->AceCount = 50;  // more ACEs than bytes
    EXPECT_FALSE(IsValidSelfRelativeSD(bad.data(), static_cast<DWORD>(bad.size())));
    bad = good;
    sd = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(&bad[0]);
    sd->Control &= ~SE_SELF_RELATIVE;  // absolute pointers stored as data
    EXPECT_FALSE(IsValidSelfRelativeSD(bad.data(), static_cast<DWORD>(bad.size())));

    // Account lookup: unknown and empty names give no identifier.
    EXPECT_EQ(nullptr, AccountNameToSid("NO_SUCH_ACCOUNT_4711"));
    EXPECT_EQ(nullptr, AccountNameToSid(""));
    EXPECT_EQ(nullptr, StringToSid("S-X"));
}
