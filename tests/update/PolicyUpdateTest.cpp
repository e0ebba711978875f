// Group policy on a running service: the policies are written with Wine's
// "reg add" while the service runs and take effect at its 30-second reload.
#include "UpdateSupport.h"

using namespace zel;
using namespace zel::test;

namespace {

// The server's log lines of update requests whose target begins with `target`.
int Requests(const std::string& target) {
    int count = 0;
    for (const std::string& line : SplitLines(ReadFileBytes(TestDir() + "server.log"), "\n"))
        if (line.find("\"POST " + target) != std::string::npos) ++count;
    return count;
}

class PolicyUpdateTest : public UpdateTest {
protected:
    void SetUp() override {
        UpdateTest::SetUp();
        RemovePolicies();
    }
    void TearDown() override {
        RemovePolicies();
        UpdateTest::TearDown();
    }
};

bool Logged(const InstalledService& svc, const std::string& text, DWORD timeoutMs = 60000) {
    return svc.WaitForLog(text, timeoutMs);
}

}  // namespace

// Per module: UpdateMode 0 and 1, a pinned version and a rollback, beside a
// module without policy; then the machine-wide server, the switch of the
// checks and the proxy, each set and removed while the service runs.
TEST_F(PolicyUpdateTest, ModulesAndMachineFollowThePolicy) {
    for (const char* module : {"PolFree", "PolNever", "PolAnnounce"})
        ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", CatalogueDir(module, "2.0.0.1") + "kept.exe"));
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\v32.exe", CatalogueDir("PolPinned", "3.2.0.0") + "v32.exe"));
    ASSERT_TRUE(CopyFileTo(TestDir() + "installers\\rollback-setup.exe",
                           CatalogueDir("PolRollback", "3.1.5.0") + "rollback-setup.exe"));
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\v315.exe", CatalogueDir("PolLower", "3.1.5.0") + "v315.exe"));
    SetServerSwitches("PolRollback", "{\"offer_lower\": true}");
    SetServerSwitches("PolLower", "{\"offer_lower\": true}");
    RemoveTree("C:\\ZELTest\\update_rollback_setup");

    InstalledService svc(TestDir() + "svc-policy", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    const std::string fromConfig = "http://updates.invalid/config/";
    svc.WriteConfig("URL=" + fromConfig + "\r\nPeriod=50000000\r\nLogLevel=63\r\n");
    const std::string fromPolicy = ReferenceServerURL() + "policy/";
    ASSERT_TRUE(SetPolicy("", "UpdateServer", "REG_SZ", fromPolicy));
    ASSERT_TRUE(SetPolicy("", "CheckPeriodMinutes", "REG_SZ", "abc"));  // wrong type: the file's period stays
    ASSERT_TRUE(SetPolicy("Modules\\PolFree", "UpdateMode", "REG_DWORD", "9"));  // out of range: as without
    ASSERT_TRUE(SetPolicy("Modules\\PolNever", "UpdateMode", "REG_DWORD", "0"));
    ASSERT_TRUE(SetPolicy("Modules\\PolAnnounce", "UpdateMode", "REG_DWORD", "1"));
    ASSERT_TRUE(SetPolicy("Modules\\PolPinned", "TargetVersionPrefix", "REG_SZ", "3.1"));
    ASSERT_TRUE(SetPolicy("Modules\\PolRollback", "TargetVersionPrefix", "REG_SZ", "3.1"));
    ASSERT_TRUE(SetPolicy("Modules\\PolRollback", "RollbackToTarget", "REG_DWORD", "1"));
    ASSERT_TRUE(SetPolicy("Modules\\PolLower", "TargetVersionPrefix", "REG_SZ", "3.1"));
    ASSERT_TRUE(SetPolicy("Modules\\PolLower", "TargetVersionPrefix", "REG_SZ", "3.1.x"));  // malformed
    ASSERT_TRUE(StartScheduled(svc));
    for (const auto& m : std::vector<std::pair<const char*, const char*>>{{"PolFree", "1.0.0.0"},
                                                                         {"PolNever", "1.0.0.0"},
                                                                         {"PolAnnounce", "1.0.0.0"},
                                                                         {"PolPinned", "3.0.0.0"},
                                                                         {"PolRollback", "3.2.0.0"},
                                                                         {"PolLower", "3.2.0.0"}})
        ASSERT_EQ(AddModule(m.first, m.second), S_OK) << svc.Log();

    EXPECT_TRUE(Logged(svc, "Значение групповой политики не применяется: CheckPeriodMinutes: неверный тип", 1000));
    EXPECT_TRUE(Logged(svc, "Значение групповой политики не применяется: Modules\\PolFree\\UpdateMode: вне "
                            "допустимых пределов", 1000));
    EXPECT_TRUE(Logged(svc, "Значение групповой политики не применяется: Modules\\PolLower\\TargetVersionPrefix: "
                            "неверный формат", 1000));
    ASSERT_TRUE(Logged(svc, "Версия 3.2.0.0 модуля PolPinned не загружается: версия вне заданной групповой "
                            "политикой (TargetVersionPrefix)"))
        << svc.Log();
    // Without a rollback a lower version is not taken even without a prefix of its own.
    EXPECT_TRUE(Logged(svc, "Версия 3.1.5.0 модуля PolLower не загружается: версия ниже установленной"))
        << svc.Log();
    EXPECT_TRUE(Logged(svc, "Версия 2.0.0.1 модуля PolNever не загружается: обновление модуля запрещено "
                            "групповой политикой (UpdateMode)"));
    // The server offers a version inside the prefix now.
    RemoveTree(TestDir() + "catalogue\\PolPinned\\3.2.0.0");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\v315.exe", CatalogueDir("PolPinned", "3.1.5.0") + "v315.exe"));

    for (const char* done : {"Загружено обновление модуля PolFree версии 2.0.00.01",
                             "Загружено обновление модуля PolAnnounce версии 2.0.00.01",
                             "Загружено обновление модуля PolPinned версии 3.1.05.00",
                             "Загружено обновление модуля PolRollback версии 3.1.05.00"})
        ASSERT_TRUE(Logged(svc, done, 120000)) << done << "\n" << svc.Log();
    auto m = svc.LogMessages();
    EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля PolNever"), -1);
    EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля PolLower"), -1);
    EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля PolPinned (3.2"), -1);
    EXPECT_EQ(FileRequests("PolNever", "kept.exe"), 0);
    EXPECT_EQ(Requests("/policy/"), Requests("/"));  // every request went to the policy's server

    // UpdateMode 1: announced, never installed; the rollback installs.
    const std::string client = ClientDir("policy-client");
    EXPECT_EQ(Zelctl(client, "checkmodule PolAnnounce 1.0.0.0"), "CheckModule: S_OK (0x00000000) 2.0.00.01\n");
    EXPECT_EQ(Zelctl(client, "checkmodule PolRollback 3.2.0.0"), "CheckModule: S_OK (0x00000000) 3.1.05.00\n");
    EXPECT_EQ(Zelctl(client, "install 0 1 PolAnnounce=1.0.0.0 PolRollback=3.2.0.0"), "Install: S_OK (0x00000000)\n");
    EXPECT_TRUE(Logged(svc, "Установка модуля PolAnnounce запрещена групповой политикой (UpdateMode=1)", 10000));
    ASSERT_TRUE(Logged(svc, "Installer Thread Successfully Terminated", 120000)) << svc.Log();
    m = svc.LogMessages();
    EXPECT_GE(FindMessage(m, "Устанавливаем обновление модуля PolRollback версии 3.1.05.00"), 0) << svc.Log();
    EXPECT_EQ(FindMessagePrefix(m, "Устанавливаем обновление модуля PolAnnounce"), -1);
    EXPECT_TRUE(FileExists("C:\\ZELTest\\update_rollback_setup\\readme.txt"));

    // The status after the checks: what was asked and offered, each setting
    // with its source, the modules with their policies.
    const std::string table = Zelctl(client, "status");
    EXPECT_NE(table.find("Result:   updates\n"), std::string::npos) << table;
    EXPECT_NE(table.find("Server:   " + fromPolicy + "\n"), std::string::npos) << table;
    EXPECT_NE(table.find("UpdateServer     policy    " + fromPolicy + "\n"), std::string::npos) << table;
    EXPECT_NE(table.find("LogLevel         .config   3F\n"), std::string::npos) << table;
    EXPECT_NE(table.find("PolAnnounce         1.0.0.0     2.0.00.01   SUSPENDED     1 (policy)"), std::string::npos)
        << table;
    const std::string json = Zelctl(client, "status --json");
    for (const std::string& part : std::vector<std::string>{"{\"lastCheck\":{\"Time\":\"", "\"Result\":\"updates\"", "\"Server\":\"" + fromPolicy + "\"",
          "{\"name\":\"UpdateServer\",\"value\":\"" + fromPolicy + "\",\"source\":\"policy\"}",
          "{\"name\":\"Proxy\",\"value\":\"\",\"source\":\"default\"}",
          "{\"name\":\"PolRollback\",\"InstalledVersion\":\"3.2.0.0\",\"StoreVersion\":\"3.1.05.00\"",
          "\"TargetVersionPrefix\":{\"value\":\"3.1\",\"source\":\"policy\"},"
          "\"RollbackToTarget\":{\"value\":\"1\",\"source\":\"policy\"}"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;

    // Checks switched off, the server of ".config" back: no request at all,
    // a client's check is answered at once.
    ASSERT_TRUE(RemovePolicyValue("", "UpdateServer"));
    ASSERT_TRUE(SetPolicy("", "UpdatesDisabled", "REG_DWORD", "1"));
    ASSERT_TRUE(Logged(svc, "Проверка обновлений отключена групповой политикой (UpdatesDisabled)", 45000))
        << svc.Log();
    EXPECT_TRUE(Logged(svc, "Изменился адрес сервера ЗЕЛ: " + fromConfig, 1000));
    const int asked = Requests("");
    std::string watched = Zelctl(client, "watch --check --exit-on OnNoUpdates --seconds 20");
    EXPECT_NE(watched.find("OnNoUpdates"), std::string::npos) << watched;
    Sleep(6000);  // more than one period of checks
    EXPECT_EQ(Requests(""), asked);

    // Checks resumed through the policy's proxy: the server standing in for
    // it sees the requests in absolute form, and clients may not set another.
    ASSERT_TRUE(RemovePolicyValue("", "UpdatesDisabled"));
    const std::string port = Trim(ReadFileBytes(TestDir() + "server.port"));
    ASSERT_TRUE(SetPolicy("", "ProxyServer", "REG_SZ", "127.0.0.1"));
    ASSERT_TRUE(SetPolicy("", "ProxyPort", "REG_DWORD", port));
    ASSERT_TRUE(Logged(svc, "Прокси-сервер задан групповой политикой: http=127.0.0.1:" + port, 45000)) << svc.Log();
    // Wine's WinHTTP names the port in the absolute form ("http://updates.invalid:80/config/").
    EXPECT_TRUE(WaitFor([&] { return Requests("http://updates.invalid") > 0; }, 30000)) << svc.Log();
    const std::string refused = Zelctl(client, "setproxy other.local 3128 user secret");
    EXPECT_NE(refused.find("E_ACCESSDENIED"), std::string::npos) << refused;
    EXPECT_TRUE(Logged(svc, "Отказано в изменении настроек прокси-сервера: прокси-сервер задан групповой политикой",
                       5000));

    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}
