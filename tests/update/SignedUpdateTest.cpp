// Whole update runs with pinned keys and a pinned publisher: only answers
// the publisher's keys signed for the request are used, and only programs
// the publisher signed are announced, started or put in the service's place.
#include "UpdateSupport.h"

using namespace zel;
using namespace zel::test;

namespace {

class SignedUpdateTest : public UpdateTest {
protected:
    // A check every five seconds, both answer keys and the test publisher.
    // The period in 100-ns units.
    void ConfigureTrusted(InstalledService& svc, const std::string& publishers, const char* period = "50000000") {
        svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nPeriod=" + period + "\r\nLogLevel=63\r\nUpdateKeys=" +
                        TrustValue("answer-a.txt") + "," + TrustValue("answer-b.txt") + "\r\nPublishers=" +
                        publishers + "\r\n");
    }
};

}  // namespace

// The typical update, signed: the client's module is downloaded, announced,
// installed under the monitor and the client started again; the newer
// service program takes the running one's place at the stop.
TEST_F(SignedUpdateTest, SignedAnswersAndProgramsUpdateAsBefore) {
    const std::string setup = TrustDir() + "demo-signed.exe";
    const std::string version = VersionOf(setup);
    ASSERT_TRUE(CopyFileTo(setup, CatalogueDir("SignedDemo", version) + "demo-setup.exe"));
    const std::string next = VersionOf(TrustDir() + "next-signed.exe");
    ASSERT_TRUE(CopyFileTo(TrustDir() + "next-signed.exe", CatalogueDir("ZELUPDATE", next) + "ZELService.exe"));
    const std::string target = "C:\\ZELTest\\update_demo_setup";
    RemoveTree(target);

    InstalledService svc(TestDir() + "svc-signed", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    ConfigureTrusted(svc, TrustValue("publisher.txt"));
    ASSERT_TRUE(svc.Start());
    const std::string clientDir = ClientDir("signed-client");
    std::string command = "\"" + clientDir + "zelctl.exe\" watch --name SignedClient --modules SignedDemo=1.0.0.0 "
                          "--install-on-download --log client.log --seconds 120";
    HANDLE client = StartProcess(command, clientDir, nullptr, CREATE_NO_WINDOW);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(WaitForSingleObject(client, 120000), WAIT_OBJECT_0) << svc.Log();
    CloseHandle(client);

    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 120000)) << svc.Log();
    ExpectInOrder(svc.LogMessages(),
                  {"Загружено обновление модуля SignedDemo версии " + version,
                   "Устанавливаем обновление модуля SignedDemo версии " + version, "Код завершения: 0",
                   "Запускаем программу:"},
                  svc.Log());
    EXPECT_TRUE(FileExists(target + "\\readme.txt"));
    EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(clientDir + "client.log").find("Started: ") !=
                                     ReadFileBytes(clientDir + "client.log").rfind("Started: "); },
                        30000))
        << ReadFileBytes(clientDir + "client.log");
    EndProgramsIn(clientDir);

    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля ZELUPDATE версии " + next, 120000)) << svc.Log();
    ASSERT_TRUE(svc.Stop());
    EXPECT_EQ(VersionOf(svc.Exe()), next);
    auto m = svc.LogMessages();
    EXPECT_EQ(FindMessagePrefix(m, "Ответ сервера обновлений"), -1) << svc.Log();
    EXPECT_EQ(FindMessagePrefix(m, "Подпись"), -1) << svc.Log();
    EXPECT_EQ(FindMessagePrefix(m, "Ключи подписи не заданы"), -1);
    svc.Uninstall();
}

// Every answer that the keys did not sign for this request and nonce is
// refused whole: nothing is fetched, no job moves, the asking client hears
// OnNoUpdates. An answer of the second key is used like one of the first.
TEST_F(SignedUpdateTest, UnsignedOrMisSignedAnswersFetchNothing) {
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", CatalogueDir("Guarded", "2.0.0.1") + "kept.exe"));
    SetServerSwitches("Guarded", "{\"signature\": \"none\"}");
    InstalledService svc(TestDir() + "svc-guarded", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    ConfigureTrusted(svc, "");
    ASSERT_TRUE(StartScheduled(svc));
    ASSERT_EQ(AddModule("Guarded", "1.0.0.0"), S_OK) << svc.Log();
    const std::string client = ClientDir("guarded-client");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"none", "ответ не подписан"},
        {"changed", "подпись не совпадает"},
        {"foreign", "подпись ключом"},
        {"nonce", "подпись не совпадает"},
        {"request", "подпись не совпадает"}};
    for (const auto& c : refused) {
        SetServerSwitches("Guarded", "{\"signature\": \"" + c.first + "\"}");
        const int before = static_cast<int>(svc.LogMessages().size());
        const std::string line = "Ответ сервера обновлений " + ReferenceServerURL() + " отклонён: " + c.second;
        ASSERT_TRUE(WaitFor([&] { return FindMessagePrefix(svc.LogMessages(), line, before) >= 0; }, 30000))
            << c.first << "\n" << svc.Log();
        std::string out = Zelctl(client, "watch --name Guard --check --exit-on OnNoUpdates --seconds 30", 60000);
        EXPECT_NE(out.find("OnNoUpdates"), std::string::npos) << c.first << ": " << out;
    }
    EXPECT_EQ(FileRequests("Guarded", "kept.exe"), 0);
    EXPECT_TRUE(HasIdleJob(ClientJob("Name=Guarded|Version=1.0.0.0|Target=")));
    auto m = svc.LogMessages();
    EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля Guarded"), -1) << svc.Log();
    // Keys without publishers: the start says which half is unverified.
    EXPECT_GE(FindMessagePrefix(m, "Издатели программ не заданы (Publishers)"), 0) << svc.Log();
    EXPECT_EQ(FindMessagePrefix(m, "Ключи подписи не заданы"), -1);

    SetServerSwitches("Guarded", "{\"key\": 1}");
    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Guarded версии 2.0.00.01", 120000)) << svc.Log();
    SetServerSwitches("Guarded", "");
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

// Programs the publisher did not sign, or that changed after signing, are
// deleted when their download completes and never announced; a file put in
// the store later is not started, and a newer service program that fails at
// the stop leaves the running one in place.
TEST_F(SignedUpdateTest, ProgramsNotSignedByThePublisherNeverRun) {
    const std::string version = VersionOf(TrustDir() + "demo-signed.exe");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"Unsigned", TestDir() + "installers\\demo-setup.exe"},
        {"Foreign", TrustDir() + "demo-foreign.exe"},
        {"Tampered", TrustDir() + "demo-tampered.exe"}};
    for (const auto& module : refused)
        ASSERT_TRUE(CopyFileTo(module.second, CatalogueDir(module.first, version) + "demo-setup.exe"));
    ASSERT_TRUE(CopyFileTo(TrustDir() + "demo-signed.exe", CatalogueDir("Swapped", version) + "demo-setup.exe"));
    const std::string next = VersionOf(TrustDir() + "next-foreign.exe");
    ASSERT_TRUE(CopyFileTo(TrustDir() + "next-foreign.exe", CatalogueDir("ZELUPDATE", next) + "ZELService.exe"));
    const std::string target = "C:\\ZELTest\\update_demo_setup";
    RemoveTree(target);

    InstalledService svc(TestDir() + "svc-refused", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    // Checks 20 s apart: the refused modules are fetched again at every
    // check and Wine's BITS serves one job at a time, so with checks every
    // 5 s BITS never rests here; so run on a loaded machine, a refusal was
    // once not seen within 60 s and the next start of the service hung.
    ConfigureTrusted(svc, TrustValue("publisher.txt"), "200000000");
    const std::string own = VersionOf(svc.Exe());
    ASSERT_TRUE(StartScheduled(svc));
    // The service's own download first.
    auto refusal = [&](const std::string& module, const std::string& file, const std::string& reason) {
        return "Подпись файла " + svc.Dir() + "Files\\" + module + "\\" + file + " модуля " + module +
               " не принята: " + reason;
    };
    ASSERT_TRUE(svc.WaitForLog(refusal("ZELUPDATE", "ZELService.exe", "файл подписан издателем"), 120000, true))
        << svc.Log();
    for (const auto& module : refused) ASSERT_EQ(AddModule(module.first, "1.0.0.0"), S_OK);
    ASSERT_EQ(AddModule("Swapped", "1.0.0.0"), S_OK);

    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Swapped версии " + version, 120000)) << svc.Log();
    const std::vector<std::pair<std::string, std::string>> reasons = {
        {"Unsigned", "файл не подписан"}, {"Foreign", "файл подписан издателем"}, {"Tampered", "файл изменён"}};
    for (const auto& r : reasons)
        EXPECT_TRUE(svc.WaitForLog(refusal(r.first, "demo-setup.exe", r.second), 60000, true))
            << "no refusal of " << r.first << "\n" << svc.Log();
    auto m = svc.LogMessages();
    EXPECT_EQ(FindMessagePrefix(m, "Загружено обновление модуля ZELUPDATE"), -1) << svc.Log();
    for (const auto& r : reasons) {
        EXPECT_EQ(FindMessagePrefix(m, "Загружено обновление модуля " + r.first), -1) << svc.Log();
        EXPECT_FALSE(FileExists(svc.Dir() + "Files\\" + r.first + "\\demo-setup.exe"));
    }

    // The checked file is replaced by another before the installation.
    ASSERT_TRUE(CopyFileTo(TrustDir() + "demo-foreign.exe", svc.Dir() + "Files\\Swapped\\demo-setup.exe"));
    const std::string client = ClientDir("swapped-client");
    Zelctl(client, "install 0 1 Swapped=1.0.0.0");
    ASSERT_TRUE(svc.WaitForLog("Ошибка при установке: Подпись программы обновления", 60000, true)) << svc.Log();
    m = svc.LogMessages();
    EXPECT_EQ(FindMessage(m, "Запускаем обновление:"), -1) << svc.Log();
    EXPECT_FALSE(FileExists(target + "\\readme.txt"));

    // A newer service program put in the store is checked again at the stop.
    ASSERT_TRUE(CopyFileTo(BinDir() + "next\\ZELService.exe", svc.Dir() + "Files\\ZELUPDATE\\ZELService.exe"));
    ASSERT_TRUE(svc.Stop());
    EXPECT_EQ(VersionOf(svc.Exe()), own);
    EXPECT_TRUE(svc.WaitForLog("Не удалось обновить службу: подпись программы", 1000, true)) << svc.Log();
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}
