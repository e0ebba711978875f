// "install" and "uninstall" of a copy of the service program write and
// remove the COM registration.
#include <gtest/gtest.h>

#include "base/Text.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

bool KeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

std::string Value(const std::string& key, const char* name) {
    char buf[1024] = {};
    DWORD size = sizeof buf - 1;
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
        return "<none>";
    return buf;
}

}  // namespace

TEST(Registration, InstallWritesAndUninstallRemovesTheEntries) {
    std::string app = test::TestDir() + "app\\";
    std::string exe = app + "ZELService.exe";
    test::RunProcess("\"" + exe + "\" /uninstall");
    ASSERT_TRUE(test::CopyFileTo(test::BinDir() + "ZELService.exe", exe));
    ASSERT_EQ(test::RunProcess("\"" + exe + "\" /install"), 0);

    const std::string clsid = "CLSID\\{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}";
    const std::string appid = "AppID\\{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}";
    EXPECT_EQ(Value(clsid, nullptr), "ZELUpdate COM Object");
    EXPECT_EQ(Value(clsid, "AppID"), "{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}");
    EXPECT_EQ(Value(clsid + "\\ProgID", nullptr), "ZELUpdate.ZELUpdateServer");
    EXPECT_EQ(Value(clsid + "\\Version", nullptr), "1.0");
    EXPECT_EQ(Value(clsid + "\\TypeLib", nullptr), "{D508BA31-7976-4A58-9588-77CD7BA85B30}");
    EXPECT_EQ(Value("ZELUpdate.ZELUpdateServer\\Clsid", nullptr), "{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}");
    EXPECT_EQ(Value(appid, nullptr), "ZELUpdate service");
    EXPECT_EQ(Value(appid, "LocalService"), "ZELUpdate");
    EXPECT_EQ(Value("AppID\\ZELService.exe", "AppID"), "{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}");
    EXPECT_TRUE(KeyExists("TypeLib\\{D508BA31-7976-4A58-9588-77CD7BA85B30}"));
    // Every interface of the library has the type-library marshaller.
    for (const char* iid : {"{8AFE98AD-7F7E-4DCB-88F3-33708E1C550A}", "{FE6C80DB-02AE-462F-9CEE-822ADCD34191}",
                            "{840001CC-E740-4694-B527-8E5D4356822A}", "{20F09186-2424-4F48-9100-590744C87F4C}",
                            "{BA9FE7F3-082A-4C30-AB40-5ABFB911FD57}"})
        EXPECT_EQ(Value(std::string("Interface\\") + iid + "\\ProxyStubClsid32", nullptr),
                  "{00020424-0000-0000-C000-000000000046}")
            << iid;

    ASSERT_EQ(test::RunProcess("\"" + exe + "\" /uninstall"), 0);
    EXPECT_FALSE(KeyExists(clsid));
    EXPECT_FALSE(KeyExists("ZELUpdate.ZELUpdateServer"));
    EXPECT_FALSE(KeyExists(appid));
    EXPECT_FALSE(KeyExists("AppID\\ZELService.exe"));
    // The type library and the interfaces it registered for marshalling go too.
    EXPECT_FALSE(KeyExists("TypeLib\\{D508BA31-7976-4A58-9588-77CD7BA85B30}"));
    EXPECT_FALSE(KeyExists("Interface\\{8AFE98AD-7F7E-4DCB-88F3-33708E1C550A}"));
    EXPECT_FALSE(KeyExists("Interface\\{FE6C80DB-02AE-462F-9CEE-822ADCD34191}"));
}
