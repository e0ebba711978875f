#include <gtest/gtest.h>

#include "service/Log.h"
#include "service/Proxy.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

// Writes the settings key in the 32-bit view, which the service sees.
class ProxyTest : public testing::Test {
protected:
    void SetUp() override {
        DeleteKey();
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
    }
    void TearDown() override {
        DeleteKey();
        LogMode = LogDefaultMode;
    }
    static void DeleteKey() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, KEY_WOW64_32KEY, 0); }
    HKEY CreateKey() {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void SetString(HKEY key, const char* name, const std::string& value) {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    static void SetDword(HKEY key, const char* name, DWORD value) {
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    std::vector<std::string> Messages() { return test::LogMessages(test::TestDir()); }
};

}  // namespace

TEST_F(ProxyTest, LoadsAllValues) {
    TProxySettings proxy;
    proxy.Address = "old";
    EXPECT_FALSE(proxy.Load());  // no key: nothing changes, nothing logged
    EXPECT_EQ(proxy.Address, "old");
    EXPECT_FALSE(DirectoryExists(GetLogDir()));

    HKEY key = CreateKey();
    SetString(key, "Address", "proxy.local");
    SetDword(key, "Port", 3128);
    SetString(key, "UserName", "Пользователь");
    SetString(key, "Password", "secret");
    SetString(key, "Proxy", "ignored");
    // A string stored without its terminating NUL still reads whole.
    RegSetValueExA(key, "UserName", 0, REG_SZ, reinterpret_cast<const BYTE*>("user"), 4);
    RegCloseKey(key);
    ASSERT_TRUE(proxy.Load());
    EXPECT_EQ(proxy.Address, "proxy.local");
    EXPECT_EQ(proxy.Port, 3128);
    EXPECT_EQ(proxy.UserName, "user");
    EXPECT_EQ(proxy.Password, "secret");
    EXPECT_EQ(proxy.ProxyText(), "http=proxy.local:3128");

    proxy.LogProxy(LogInfo);
    proxy.LogProxy(LogTrace);  // filtered out
    std::vector<std::string> expected = {"Настройки Proxy-сервера:", "  Сервер:           http=proxy.local:3128",
                                         "  Имя пользователя: user", "  Пароль:           ******"};
    EXPECT_EQ(Messages(), expected);

    // Missing strings read as empty text.
    key = CreateKey();
    RegDeleteValueA(key, "UserName");
    RegDeleteValueA(key, "Password");
    RegCloseKey(key);
    ASSERT_TRUE(proxy.Load());
    EXPECT_EQ(proxy.UserName, "");
    EXPECT_EQ(proxy.Password, "");
}

TEST_F(ProxyTest, BadPortKeepsEarlierFieldsAndLogs) {
    TProxySettings proxy;
    proxy.Port = 1;
    proxy.UserName = "u0";
    proxy.Password = "p0";
    HKEY key = CreateKey();
    SetString(key, "Address", "10.0.0.1");
    SetString(key, "UserName", "u1");
    RegCloseKey(key);
    EXPECT_FALSE(proxy.Load());  // no Port
    EXPECT_EQ(proxy.Address, "10.0.0.1");
    EXPECT_EQ(proxy.Port, 1);
    EXPECT_EQ(proxy.UserName, "u0");
    EXPECT_EQ(proxy.Password, "p0");
    EXPECT_EQ(Messages(), std::vector<std::string>{"Ошибка при чтении настроек из реестра"});

    // A Port written as text is not an integer either.
    key = CreateKey();
    SetString(key, "Port", "8080");
    RegCloseKey(key);
    EXPECT_FALSE(proxy.Load());
    EXPECT_EQ(proxy.Port, 1);

    // A string value stored with another type is an error too.
    key = CreateKey();
    SetDword(key, "Port", 8080);
    SetDword(key, "Password", 5);
    RegCloseKey(key);
    EXPECT_FALSE(proxy.Load());
    EXPECT_EQ(proxy.Port, 8080);
    EXPECT_EQ(proxy.UserName, "u1");
    EXPECT_EQ(proxy.Password, "p0");
    EXPECT_EQ(Messages().size(), 3u);
}

TEST_F(ProxyTest, EmptyAddressMeansNoProxy) {
    TProxySettings proxy;
    proxy.Port = 8080;
    proxy.UserName = "u";
    proxy.Password = "p";
    EXPECT_EQ(proxy.ProxyText(), "");
    proxy.LogProxy(LogFatal | LogError | LogInfo);
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
}
