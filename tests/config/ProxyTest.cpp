#include <gtest/gtest.h>

#include "base/Log.h"
#include "config/Proxy.h"
#include "support/TestSupport.h"
#include "base/RegKey.h"

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
    // With the service's Status beneath it, when a service ran in this prefix.
    static void DeleteKey() { DeleteMachineKeyTree(SettingsKey); }
    HKEY CreateKey() {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | ServiceKeyView,
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

// The password goes to the registry protected for the machine; a plain one
// of an older version is still read, and is gone after the next Store.
TEST_F(ProxyTest, PasswordIsStoredProtected) {
    HKEY key = CreateKey();
    SetString(key, "Password", "older");
    RegCloseKey(key);
    TProxySettings proxy;
    ASSERT_TRUE(proxy.ReadStored());
    EXPECT_EQ(proxy.Password, "older");

    proxy.Address = "proxy.local";
    proxy.Port = 8080;
    proxy.UserName = "user";
    proxy.Password = "secret";
    ASSERT_TRUE(proxy.Store());
    key = CreateKey();
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Password", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegQueryValueExA(key, "ProtectedPassword", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    std::string blob(size, '\0');
    RegQueryValueExA(key, "ProtectedPassword", nullptr, &type, reinterpret_cast<BYTE*>(&blob[0]), &size);
    EXPECT_EQ(blob.find("secret"), std::string::npos);
    char proxyText[64] = {};
    DWORD proxySize = sizeof proxyText;
    RegQueryValueExA(key, "Proxy", nullptr, &type, reinterpret_cast<BYTE*>(proxyText), &proxySize);
    EXPECT_STREQ(proxyText, "http=proxy.local:8080");
    RegCloseKey(key);

    TProxySettings loaded;
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Password, "secret");
    EXPECT_EQ(loaded.UserName, "user");
    TProxySettings read;
    ASSERT_TRUE(read.ReadStored());
    EXPECT_EQ(read.Password, "secret");

    // A blob that does not open is a bad value, as a wrong type is.
    key = CreateKey();
    RegSetValueExA(key, "ProtectedPassword", 0, REG_BINARY, reinterpret_cast<const BYTE*>("garbage"), 7);
    RegCloseKey(key);
    loaded.Password = "kept";
    EXPECT_FALSE(loaded.Load());
    EXPECT_EQ(loaded.Password, "kept");
    ASSERT_TRUE(read.ReadStored());
    EXPECT_EQ(read.Password, "");
    EXPECT_EQ(read.Address, "proxy.local");

    // No password: nothing of one is left.
    proxy.Password.clear();
    ASSERT_TRUE(proxy.Store());
    key = CreateKey();
    EXPECT_EQ(RegQueryValueExA(key, "ProtectedPassword", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// Address and user name come from clients: a line break in them cannot
// forge a log line.
TEST_F(ProxyTest, LoggedClientTextsHaveNoControlCharacters) {
    TProxySettings proxy;
    proxy.Address = "evil\r\n03:00:00 : forged";
    proxy.Port = 1;
    proxy.UserName = "u\nforged";
    proxy.LogProxy(LogInfo);
    std::vector<std::string> expected = {"Настройки Proxy-сервера:",
                                         "  Сервер:           http=evil\\x0D\\x0A03:00:00 : forged:1",
                                         "  Имя пользователя: u\\x0Aforged", "  Пароль:           "};
    EXPECT_EQ(Messages(), expected);
}
