// The description of a module's BITS job is the service's only record of
// which module a job belongs to and what it downloads: what the service
// writes must read back as the same fields.
#include <gtest/gtest.h>

#include <string>

#include "base/ModuleName.h"
#include "transfer/JobText.h"

using namespace zel;

namespace {

TJobInfo Read(const std::string& text) {
    TJobInfo info;
    ParseDescriptionText(text, info);
    return info;
}

}  // namespace

TEST(JobText, PlainFieldsReadBack) {
    TJobInfo info = Read(JobDescription("Kassa", "1.2.0.5", "1.2.00.07"));
    EXPECT_EQ(info.Name, "Kassa");
    EXPECT_EQ(info.Version, "1.2.0.5");
    EXPECT_EQ(info.Target, "1.2.00.07");
    EXPECT_EQ(JobDescription("Kassa", "1.2.0.5", ""), "Name=Kassa|Version=1.2.0.5|Target=");
    info = Read(JobDescription("Kassa", "", ""));
    EXPECT_EQ(info.Name, "Kassa");
    EXPECT_EQ(info.Version, "");
    EXPECT_EQ(info.Target, "");
}

TEST(JobText, EveryValidModuleNameReadsBack) {
    // A name with a blank is a valid module name; read back as its first
    // word, the module would never find its job again and could take
    // another module's.
    for (const std::string name : {"Склад учёта", "My App", " lead", "a  b", "a'b", "%1", "a\x7F b"}) {
        ASSERT_TRUE(IsValidModuleName(name)) << name;
        TJobInfo info = Read(JobDescription(name, "1.0", ""));
        EXPECT_EQ(info.Name, name);
        EXPECT_EQ(info.Version, "1.0") << name;
    }
}

TEST(JobText, VersionsAsClientsAndServersWriteThemReadBack) {
    // The installed version is the client's text as registered; the target
    // is the server's.
    const std::string versions[] = {"1.0 beta", "2.0|Name=Other", "\"", "\"\"", "a\tb", "=", "|", " ", ""};
    for (const std::string& version : versions) {
        for (const std::string& target : versions) {
            TJobInfo info = Read(JobDescription("Kassa", version, target));
            EXPECT_EQ(info.Name, "Kassa") << version << " / " << target;
            EXPECT_EQ(info.Version, version) << version << " / " << target;
            EXPECT_EQ(info.Target, target) << version << " / " << target;
        }
    }
}

TEST(JobText, HostileDescriptionsOfOtherProgramsReadWithoutHarm) {
    // Any program of the account may describe a job so.
    const std::string texts[] = {"",    "|",   "||||", "\"",  "\"\"\"", "Name", "=",         "Name=",
                                 "\x01", " \t", "Name=\"a", "\"Name=a|b\"", std::string("Name=a\0|Target=b", 16),
                                 std::string(100000, '|'), std::string(100000, '"'), std::string(100000, ' ')};
    for (const std::string& text : texts) {
        TJobInfo info = Read(text);
        EXPECT_LE(info.Name.size(), text.size());
    }
    EXPECT_EQ(Read("\"Name=a|b\"").Name, "a|b");
    EXPECT_EQ(Read(std::string("Name=a\0|Target=b", 16)).Target, "");  // a zero byte ends the text
}
