// The description of a module's BITS job is the service's only record of
// which module a job belongs to and what it downloads: what the service
// writes must read back as the same fields.
#include <gtest/gtest.h>

#include <string>

#include "store/ModuleName.h"
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
