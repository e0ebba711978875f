// The group policy key over ".config": values written with Wine's "reg add",
// read by the service's reader.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/Log.h"
#include "catalogue/Requests.h"
#include "config/ExtConfig.h"
#include "config/Policy.h"
#include "config/Proxy.h"
#include "config/Tools.h"
#include "config/Trust.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

class PolicyTest : public testing::Test {
protected:
    void SetUp() override {
        test::RemovePolicies();
        RemoveFile(GetConfigPath());
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
        PollPeriod = DefaultPollPeriod;
        ServerURL = DefaultServerURL;
    }
    void TearDown() override {
        test::RemovePolicies();
        RemoveFile(GetConfigPath());
        ReadConfig();
    }
    std::vector<std::string> Warnings() {
        const std::string prefix = "Значение групповой политики не применяется: ";
        std::vector<std::string> found;
        for (const std::string& m : test::LogMessages(test::TestDir()))
            if (m.rfind(prefix, 0) == 0) found.push_back(m.substr(prefix.size()));
        std::sort(found.begin(), found.end());
        return found;
    }
};

const std::string Pin(64, 'a');

}  // namespace

// Every value overrides its ".config" line; a value of the wrong type, out
// of range or malformed is left out with one warning, the others apply.
TEST_F(PolicyTest, OverridesConfigAndLeavesOutBadValues) {
    test::WriteFileBytes(GetConfigPath(), "URL=http://config.local/zel\r\nPeriod=36000000000\r\n"
                                          "Publishers=" + std::string(64, 'b') + "\r\n");
    ASSERT_TRUE(test::SetPolicy("", "UpdateServer", "REG_SZ", "http://policy.local/zel"));
    ASSERT_TRUE(test::SetPolicy("", "CheckPeriodMinutes", "REG_SZ", "5"));    // wrong type
    ASSERT_TRUE(test::SetPolicy("", "UpdatesDisabled", "REG_DWORD", "2"));    // out of range
    ASSERT_TRUE(test::SetPolicy("", "ProxyServer", "REG_SZ", "http://proxy"));  // malformed
    ASSERT_TRUE(test::SetPolicy("", "ProxyPort", "REG_DWORD", "3128"));
    ASSERT_TRUE(test::SetPolicy("", "UpdateKeys", "REG_SZ", "not-a-key"));    // malformed
    ASSERT_TRUE(test::SetPolicy("", "Publishers", "REG_SZ", Pin));
    ASSERT_TRUE(test::SetPolicy("Modules\\Demo", "UpdateMode", "REG_DWORD", "1"));
    ASSERT_TRUE(test::SetPolicy("Modules\\Demo", "TargetVersionPrefix", "REG_SZ", "3.x"));  // malformed
    ASSERT_TRUE(test::SetPolicy("Modules\\Demo", "RollbackToTarget", "REG_SZ", "1"));  // wrong type
    ASSERT_TRUE(test::SetPolicy("Modules\\Other", "UpdateMode", "REG_DWORD", "3"));  // out of range

    ReadConfig();
    EXPECT_EQ(ServerURL, "http://policy.local/zel");
    EXPECT_EQ(PollPeriod.load(), -36000000000LL);  // the file's, as the policy's is unusable
    EXPECT_EQ(CurrentTrust().Publishers, std::vector<std::string>{Pin});
    EXPECT_FALSE(CurrentTrust().KeysRequired);
    TPolicy policy = CurrentPolicy();
    EXPECT_FALSE(policy.UpdatesDisabled());
    EXPECT_FALSE(policy.ProxySet());
    EXPECT_EQ(EffectiveProxy().ProxyText(), "");
    EXPECT_EQ(policy.UpdateMode("DEMO"), UpdateModeDownload);
    EXPECT_FALSE(HasVersionPolicy(policy, "Demo"));
    EXPECT_EQ(policy.UpdateMode("Other"), UpdateModeFull);
    const std::vector<std::string> expected = {
        "CheckPeriodMinutes: неверный тип",
        "Modules\\Demo\\RollbackToTarget: неверный тип",
        "Modules\\Demo\\TargetVersionPrefix: неверный формат",
        "Modules\\Other\\UpdateMode: вне допустимых пределов",
        "ProxyServer: неверный формат",
        "UpdateKeys: неверный формат",
        "UpdatesDisabled: вне допустимых пределов",
    };
    EXPECT_EQ(Warnings(), expected);
    // Reported once, not at every reload.
    ReadConfig();
    EXPECT_EQ(Warnings(), expected);

    // Mended values apply at the next reload; the proxy of the policy wins.
    ASSERT_TRUE(test::SetPolicy("", "CheckPeriodMinutes", "REG_DWORD", "5"));
    ASSERT_TRUE(test::SetPolicy("", "ProxyServer", "REG_SZ", "proxy.local"));
    ReadConfig();
    EXPECT_EQ(PollPeriod.load(), -3000000000LL);
    EXPECT_EQ(EffectiveProxy().ProxyText(), "http=proxy.local:3128");
    EXPECT_EQ(EffectiveProxy().UserName, "");

    // Without the key, ".config" is in force again.
    test::RemovePolicies();
    ReadConfig();
    EXPECT_EQ(ServerURL, "http://config.local/zel");
    EXPECT_EQ(PollPeriod.load(), -36000000000LL);
    EXPECT_EQ(CurrentTrust().Publishers, std::vector<std::string>{std::string(64, 'b')});
    EXPECT_EQ(EffectiveProxy().ProxyText(), "");
}

// Pinning and rollback: which offered versions a module may take.
TEST_F(PolicyTest, TargetPrefixAndRollback) {
    ASSERT_TRUE(test::SetPolicy("Modules\\Pinned", "TargetVersionPrefix", "REG_SZ", "3.1"));
    ASSERT_TRUE(test::SetPolicy("Modules\\Back", "TargetVersionPrefix", "REG_SZ", "3.1"));
    ASSERT_TRUE(test::SetPolicy("Modules\\Back", "RollbackToTarget", "REG_DWORD", "1"));
    ASSERT_TRUE(test::SetPolicy("Modules\\Never", "UpdateMode", "REG_DWORD", "0"));
    TPolicy policy = ReloadPolicy();
    const TVersion v30 = StrToVersion("3.0"), v315 = StrToVersion("3.1.5"), v32 = StrToVersion("3.2"),
                   v310 = StrToVersion("3.10.0.1");
    EXPECT_EQ(JudgeVersion(policy, "Pinned", v30, v32), TVersionVerdict::OutsidePrefix);
    EXPECT_EQ(JudgeVersion(policy, "Pinned", v30, v310), TVersionVerdict::OutsidePrefix);
    EXPECT_EQ(JudgeVersion(policy, "Pinned", v30, v315), TVersionVerdict::Allowed);
    EXPECT_EQ(JudgeVersion(policy, "Pinned", v32, v315), TVersionVerdict::Lower);
    EXPECT_EQ(JudgeVersion(policy, "Back", v32, v315), TVersionVerdict::Allowed);
    EXPECT_TRUE(MayInstall(policy, "Back", v32, v315));
    EXPECT_FALSE(MayInstall(policy, "Back", v315, v315));
    // Inside the prefix already: no way down.
    EXPECT_EQ(JudgeVersion(policy, "Back", StrToVersion("3.1.7"), v315), TVersionVerdict::Lower);
    EXPECT_EQ(JudgeVersion(policy, "Never", v30, v32), TVersionVerdict::NeverUpdated);
    // A module without policy takes what is newer, never what is lower.
    EXPECT_EQ(JudgeVersion(policy, "Free", v30, v32), TVersionVerdict::Allowed);
    EXPECT_EQ(JudgeVersion(policy, "Free", v32, v315), TVersionVerdict::Lower);
    EXPECT_FALSE(MayInstall(policy, "Free", v32, v315));
}
