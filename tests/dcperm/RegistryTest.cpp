// The real dcperm.exe on real AppID keys and on the machine-wide Ole key.
#include <gtest/gtest.h>

#include "DcpermHelpers.h"
#include "support/TestSupport.h"

using namespace dcperm::test;

namespace {

const char* const En = "en_US.UTF-8";
const BYTE A = ACCESS_ALLOWED_ACE_TYPE;
const BYTE D = ACCESS_DENIED_ACE_TYPE;

class RegistryTest : public testing::Test {
protected:
    std::string guid = CreateAppIdKey();
    std::string key = "AppID\\" + guid;

    void TearDown() override { DeleteAppIdKey(guid); }

    RunResult Run(const std::string& script, const std::string& switches = std::string()) {
        std::string path = WriteScript("reg.txt", script);
        return RunDcperm(switches + (switches.empty() ? "" : " ") + "\"" + path + "\"", En);
    }
    bool Has(const std::string& name) {
        DWORD type;
        std::string data;
        return ReadValue(HKEY_CLASSES_ROOT, key, name, type, data);
    }
    Descriptor Value(const std::string& name) {
        DWORD type = 0;
        std::string data;
        if (!ReadValue(HKEY_CLASSES_ROOT, key, name, type, data) || type != REG_BINARY) return Descriptor();
        return DecodeDescriptor(data);
    }
    DWORD Dword(const std::string& name) {
        DWORD type = 0;
        std::string data;
        if (!ReadValue(HKEY_CLASSES_ROOT, key, name, type, data) || type != REG_DWORD || data.size() != 4) return ~0u;
        return *reinterpret_cast<const DWORD*>(data.data());
    }
    void Put(const std::string& name, const std::string& bytes) {
        WriteValue(HKEY_CLASSES_ROOT, key, name, REG_BINARY, bytes);
    }
    void PutDword(const std::string& name, DWORD v) {
        WriteValue(HKEY_CLASSES_ROOT, key, name, REG_DWORD, std::string(reinterpret_cast<char*>(&v), 4));
    }
};

}  // namespace

TEST_F(RegistryTest, RewriteMode) {
    Put("LaunchPermission", MakeDescriptor({{A, 1, "S-1-1-0"}}));
    Put("AccessPermission", MakeDescriptor({{A, 1, "S-1-5-4"}}));
    RunResult r = Run("AppID " + guid + "\r\nauthlevel RPC_C_AUTHN_LEVEL_CALL\r\nset +access %everyone%\r\n"
                      "set -access rights COM_RIGHTS_EXECUTE_REMOTE %guests%\r\ndel +access %users%\r\n"
                      "set +access rights 8 NO_SUCH_ACCOUNT_4711\r\nset -access %anonymous%\r\n");
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_EQ("\r\n", r.out);
    Descriptor d = Value("AccessPermission");
    ASSERT_TRUE(d.valid);
    std::string me = CurrentUserSidText();
    EXPECT_EQ(me, d.owner);
    EXPECT_EQ(me, d.group);
    // Denied before allowed, each group in script order; rights get "execute".
    EXPECT_EQ((std::vector<Ace>{{D, 1, "S-1-5-7"}, {D, 5, "S-1-5-32-546"}, {A, 1, "S-1-1-0"}}), d.aces);
    EXPECT_FALSE(Has("LaunchPermission"));
    EXPECT_EQ(3u, Dword("AuthenticationLevel"));

    // No authlevel in rewrite mode deletes it; only a del entry writes an empty DACL.
    r = Run("AppID " + guid + "\r\ndel -access %everyone%\r\n");
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_FALSE(Has("AuthenticationLevel"));
    d = Value("AccessPermission");
    ASSERT_TRUE(d.valid);
    EXPECT_TRUE(d.hasDacl);
    EXPECT_TRUE(d.aces.empty());
}

TEST_F(RegistryTest, EditMode) {
    Put("AccessPermission", MakeDescriptor({{A, 1, "S-1-5-4"},
                                            {D, 3, "S-1-5-7"},
                                            {A, 1, "S-1-1-0"},
                                            {D, 1, "S-1-5-32-545"},
                                            {A, 3, "S-1-5-32-545"}}));
    Put("LaunchPermission", MakeDescriptor({{A, 11, "S-1-5-4"}}));
    PutDword("AuthenticationLevel", 5);
    RunResult r = Run("AppID " + guid + "\r\nedit yes\r\nset +access rights 5 %EVERYONE%\r\ndel -access %users%\r\n");
    EXPECT_EQ(0, r.exitCode) << r.out;
    Descriptor d = Value("AccessPermission");
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(CurrentUserSidText(), d.owner);
    EXPECT_EQ((std::vector<Ace>{{D, 3, "S-1-5-7"}, {A, 1, "S-1-5-4"}, {A, 3, "S-1-5-32-545"}, {A, 5, "S-1-1-0"}}),
              d.aces);
    EXPECT_EQ((std::vector<Ace>{{A, 11, "S-1-5-4"}}), Value("LaunchPermission").aces);
    EXPECT_EQ(5u, Dword("AuthenticationLevel"));

    r = Run("AppID " + guid + "\r\nedit y\r\nauthlevel 0\r\n");
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_FALSE(Has("AuthenticationLevel"));
    EXPECT_EQ(4u, Value("AccessPermission").aces.size());

    // A missing value in edit mode is built from the entries.
    r = Run("AppID " + guid + "\r\nedit y\r\nset -launch %admins%\r\n");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ((std::vector<Ace>{{D, 1, "S-1-5-32-544"}, {A, 11, "S-1-5-4"}}), Value("LaunchPermission").aces);
}

TEST_F(RegistryTest, DamagedValueIsReportedAndKept) {
    std::string good = MakeDescriptor({{A, 1, "S-1-1-0"}});
    std::string truncated = good.substr(0, good.size() - 6);
    Put("AccessPermission", truncated);
    Put("LaunchPermission", MakeDescriptor({{A, 1, "S-1-5-4"}}));
    std::string script = "AppID " + guid + "\r\nedit y\r\nset +access %users%\r\nset +launch %users%\r\n";
    RunResult r = Run(script, "/b");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.out.find("Системная ошибка (1338): ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\r\nВыполнение скрипта прервано\r\n\r\n"));
    DWORD type;
    std::string data;
    ASSERT_TRUE(ReadValue(HKEY_CLASSES_ROOT, key, "AccessPermission", type, data));
    EXPECT_EQ(truncated, data);
    EXPECT_EQ(1u, Value("LaunchPermission").aces.size());  // the run stopped before it

    // Without /b the run goes on with the next value and ends with code 1.
    Put("AccessPermission", std::string("\x01\x00\x04\x80garbage garbage garbage", 27));
    r = Run(script, "/i");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("Системная ошибка (1338): ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\r\nУспешно\r\nВыполнение завершено\r\n")) << r.out;
    ASSERT_TRUE(ReadValue(HKEY_CLASSES_ROOT, key, "AccessPermission", type, data));
    EXPECT_EQ(27u, data.size());
    EXPECT_EQ(2u, Value("LaunchPermission").aces.size());
}

TEST_F(RegistryTest, MissingKeyAndSectionOrder) {
    std::string absent = "{0DC0FFEE-0000-4000-8000-00000000DEAD}";
    DeleteAppIdKey(absent);
    RunResult r = Run("AppID " + absent + "\r\nset +access %everyone%\r\n");
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.out.find("Ошибка реестра (2): ")) << r.out;
    EXPECT_EQ(1u, zel::test::SplitLines(r.out).size() - 1);  // one message and the final empty line

    // Sections are applied from the last of the script to the first; a
    // missing key does not stop the others, even with /b.
    r = Run("AppID " + absent + "\r\nset +access %everyone%\r\nAppID " + guid + "\r\nset +launch %everyone%\r\n",
            "/b /i");
    EXPECT_EQ(1, r.exitCode);
    std::vector<std::string> lines = zel::test::SplitLines(r.out);
    ASSERT_GE(lines.size(), 8u) << r.out;
    EXPECT_EQ("Анализ скрипта...", lines[0]);
    EXPECT_EQ("Успешно", lines[1]);
    EXPECT_EQ("Выполнение скрипта...", lines[2]);
    EXPECT_EQ("Обработка AppId\\" + guid + "...", lines[3]);
    EXPECT_EQ("Успешно", lines[4]);
    EXPECT_EQ("Обработка AppId\\" + absent + "...", lines[5]);
    EXPECT_EQ(0u, lines[6].find("Ошибка реестра (2): "));
    EXPECT_EQ("Выполнение завершено", lines[7]);
    EXPECT_EQ(1u, Value("LaunchPermission").aces.size());
}

TEST(OleDefaultsTest, MachineWideSettings) {
    const std::string ole = "SOFTWARE\\Microsoft\\Ole";
    const char* names[] = {"LegacyAuthenticationLevel", "LegacyImpersonationLevel", "EnableDCOM",
                           "EnableDCOMHTTP",            "DefaultAccessPermission",  "DefaultLaunchPermission"};
    struct Saved {
        bool present;
        DWORD type;
        std::string data;
    } saved[6];
    for (int i = 0; i < 6; ++i) saved[i].present = ReadValue(HKEY_LOCAL_MACHINE, ole, names[i], saved[i].type, saved[i].data);

    std::string path = WriteScript("ole.txt", "AppId default\r\nenabledcom yes\r\nenablehttp no\r\nauthlevel 2\r\n"
                                              "imperslevel RPC_C_IMP_LEVEL_IMPERSONATE\r\nset +launch %interactive%\r\n");
    WriteValue(HKEY_LOCAL_MACHINE, ole, "DefaultAccessPermission", REG_BINARY, MakeDescriptor({{A, 1, "S-1-1-0"}}));
    RunResult r = RunDcperm("/i \"" + path + "\"", En);
    EXPECT_EQ(0, r.exitCode) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\r\nОбработка Настройки по-умолчанию...\r\nУспешно\r\n")) << r.out;
    DWORD type = 0;
    std::string data;
    // The tool hands over the one letter; Wine's registry adds a zero of
    // its own when storing a REG_SZ, so only the text is compared here.
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "EnableDCOM", type, data));
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_STREQ("Y", data.c_str());
    EXPECT_LE(data.size(), 2u);
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "EnableDCOMHTTP", type, data));
    EXPECT_STREQ("N", data.c_str());
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "LegacyAuthenticationLevel", type, data));
    EXPECT_EQ(std::string("\x02\0\0\0", 4), data);
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "LegacyImpersonationLevel", type, data));
    EXPECT_EQ(std::string("\x03\0\0\0", 4), data);
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, ole, "DefaultAccessPermission", type, data));
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "DefaultLaunchPermission", type, data));
    EXPECT_EQ((std::vector<Ace>{{A, 1, "S-1-5-4"}}), DecodeDescriptor(data).aces);

    // Edit mode without values keeps everything; rewrite mode removes them.
    r = RunDcperm("\"" + WriteScript("ole2.txt", "AppId default\r\nedit y\r\n") + "\"", En);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "EnableDCOM", type, data));
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, ole, "LegacyImpersonationLevel", type, data));
    r = RunDcperm("\"" + WriteScript("ole3.txt", "AppId default\r\n") + "\"", En);
    EXPECT_EQ(0, r.exitCode);
    for (const char* n : names) EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, ole, n, type, data)) << n;

    // Put the machine back as it was.
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, ole.c_str(), 0, KEY_SET_VALUE, &k));
    for (int i = 0; i < 6; ++i) {
        if (saved[i].present)
            RegSetValueExA(k, names[i], 0, saved[i].type, reinterpret_cast<const BYTE*>(saved[i].data.data()),
                           static_cast<DWORD>(saved[i].data.size()));
        else
            RegDeleteValueA(k, names[i]);
    }
    RegCloseKey(k);
}
