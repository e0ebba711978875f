// Whole update runs: the installed service asks the reference update server,
// downloads through BITS into its store and replaces itself.
#include "UpdateSupport.h"

#include <algorithm>

using namespace zel;
using namespace zel::test;

TEST_F(UpdateTest, DownloadsANewerServiceAndReplacesItself) {
    const std::string now = VersionOf(BinDir() + "ZELService.exe");
    const std::string next = VersionOf(BinDir() + "next\\ZELService.exe");
    ASSERT_TRUE(CopyFileTo(BinDir() + "next\\ZELService.exe", CatalogueDir("ZELUPDATE", next) + "ZELService.exe"));

    InstalledService svc(TestDir() + "svc-self", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    const int asked = FileRequests("ZELUPDATE", "ZELService.exe");
    ASSERT_TRUE(svc.Start());

    ASSERT_TRUE(svc.WaitForLog("Начинаем загрузку модуля ZELUPDATE (" + next + ")", 60000, true)) << svc.Log();
    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля ZELUPDATE версии " + next, 120000)) << svc.Log();
    const std::string stored = svc.Dir() + "Files\\ZELUPDATE\\ZELService.exe";
    EXPECT_EQ(VersionOf(stored), next);
    // The finished job gives way to a fresh idle one for the running version.
    EXPECT_TRUE(WaitFor([&] { return HasIdleJob("Name=ZELUPDATE|Version=" + now + "|Target="); }, 30000))
        << svc.Log();
    const int fetched = FileRequests("ZELUPDATE", "ZELService.exe");
    EXPECT_GT(fetched, asked);

    ASSERT_TRUE(svc.Stop());
    EXPECT_EQ(VersionOf(svc.Exe()), next);
    EXPECT_FALSE(FileExists(stored));

    // The replaced program asks with its own version and is told it is current.
    size_t before = svc.LogMessages().size();
    ASSERT_TRUE(svc.Start());
    EXPECT_TRUE(WaitFor(
        [&] {
            auto m = svc.LogMessages();
            return FindMessage(m, "  ModuleVersion    : CURRENT", static_cast<int>(before)) >= 0;
        },
        60000))
        << svc.Log();
    EXPECT_TRUE(WaitFor([&] { return HasIdleJob("Name=ZELUPDATE|Version=" + next + "|Target="); }, 10000));
    ASSERT_TRUE(svc.Stop());
    auto m = svc.LogMessages();
    EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля ZELUPDATE", static_cast<int>(before)), -1);
    EXPECT_EQ(FileRequests("ZELUPDATE", "ZELService.exe"), fetched);
    // Wine's BITS cannot take proxy settings and says so; nothing else may fail.
    for (const std::string& line : m) {
        if (line.rfind("Ошибка", 0) == 0) {
            EXPECT_EQ(line, "Ошибка при настройке параметров proxy-сервера");
        }
    }
    svc.Uninstall();
}

TEST_F(UpdateTest, StoredFilesOfTheOfferedSizeAreNotFetchedAgain) {
    const std::string dir = CatalogueDir("Sample", "2.0.0.1");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", dir + "kept.exe"));
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\resized.exe", dir + "resized.exe"));
    // This module's server sends no digests, as servers did before them.
    SetServerSwitches("Sample", "{\"digests\": false}");
    // With digests, a stored file must have the offered bytes as well.
    const std::string sums = CatalogueDir("SampleSums", "2.0.0.1");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", sums + "kept.exe"));
    WriteFileBytes(sums + "notes.txt", "Примечания к версии 2.0.0.1\r\n");

    InstalledService svc(TestDir() + "svc-store", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    const std::string store = svc.Dir() + "Files\\Sample\\";
    ForceDirectories(store);
    // Neither carries a version, so the store does not count as holding the
    // offered version; only the sizes tell the downloaded file from the other.
    const std::string marker(ReadFileBytes(dir + "kept.exe").size(), 'x');
    WriteFileBytes(store + "kept.exe", marker);
    WriteFileBytes(store + "resized.exe", "short");
    const std::string sumsStore = svc.Dir() + "Files\\SampleSums\\";
    WriteFileBytes(sumsStore + "kept.exe", marker);
    ASSERT_TRUE(CopyFileTo(sums + "notes.txt", sumsStore + "notes.txt"));
    const int kept = FileRequests("Sample", "kept.exe");
    const int resized = FileRequests("Sample", "resized.exe");
    const int sumsKept = FileRequests("SampleSums", "kept.exe");
    const int sumsNotes = FileRequests("SampleSums", "notes.txt");
    ASSERT_TRUE(StartScheduled(svc));
    ASSERT_EQ(AddModule("Sample", "1.0.0.0"), S_OK) << svc.Log();
    ASSERT_EQ(AddModule("SampleSums", "1.0.0.0"), S_OK) << svc.Log();

    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Sample версии 2.0.00.01", 120000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("Файл kept.exe уже загружен", 1000)) << svc.Log();
    EXPECT_EQ(ReadFileBytes(store + "kept.exe"), marker);
    EXPECT_EQ(ReadFileBytes(store + "resized.exe"), ReadFileBytes(dir + "resized.exe"));
    EXPECT_EQ(FileRequests("Sample", "kept.exe"), kept);
    EXPECT_GT(FileRequests("Sample", "resized.exe"), resized);
    EXPECT_TRUE(WaitFor([&] { return HasIdleJob(ClientJob("Name=Sample|Version=1.0.0.0|Target=")); }, 30000))
        << svc.Log();

    // The same size with other bytes is fetched again; the same bytes are not.
    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля SampleSums версии 2.0.00.01", 120000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("Файл notes.txt уже загружен", 1000)) << svc.Log();
    EXPECT_EQ(ReadFileBytes(sumsStore + "kept.exe"), ReadFileBytes(sums + "kept.exe"));
    EXPECT_GT(FileRequests("SampleSums", "kept.exe"), sumsKept);
    EXPECT_EQ(FileRequests("SampleSums", "notes.txt"), sumsNotes);
    std::vector<std::string> left = FilesIn(sumsStore);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kept.exe", "notes.txt"}));
    // The dump of the answers shows the digests where the server sent them.
    auto m = svc.LogMessages();
    const std::string size = std::to_string(marker.size());
    EXPECT_GE(FindMessage(m, "    " + ReferenceServerURL() + "files/Sample/2.0.0.1/kept.exe (Size: " + size + ")"), 0);
    EXPECT_GE(FindMessage(m, "    " + ReferenceServerURL() + "files/SampleSums/2.0.0.1/kept.exe (Size: " + size +
                                 ", SHA-256: " + Sha256Of(sums + "kept.exe") + ")"),
              0)
        << svc.Log();
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

TEST_F(UpdateTest, AFailedDownloadIsRetriedWithAFreshJob) {
    const std::string dir = CatalogueDir("Broken", "1.0.0.2");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", dir + "setup.exe"));
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\resized.exe", dir + "missing.exe"));  // the server answers 404

    InstalledService svc(TestDir() + "svc-broken", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    ASSERT_TRUE(StartScheduled(svc));
    ASSERT_EQ(AddModule("Broken", "1.0.0.0"), S_OK) << svc.Log();

    ASSERT_TRUE(svc.WaitForLog("Обнаружено задание со статусом BG_JOB_STATE_ERROR (Broken)", 90000)) << svc.Log();
    auto m = svc.LogMessages();
    int error = FindMessage(m, "Обнаружено задание со статусом BG_JOB_STATE_ERROR (Broken)");
    // The next check finds the fresh job and begins again.
    EXPECT_TRUE(WaitFor(
        [&] {
            return FindMessagePrefix(svc.LogMessages(), "Начинаем загрузку модуля Broken", error) >= 0;
        },
        30000))
        << svc.Log();
    int live = 0;
    for (const JobView& job : ServiceJobs())
        if (job.description.rfind("Name=Broken|", 0) == 0) ++live;
    EXPECT_EQ(live, 1);
    EXPECT_EQ(FindMessagePrefix(svc.LogMessages(), "Загружено обновление модуля Broken"), -1);
    EXPECT_FALSE(FileExists(svc.Dir() + "Files\\Broken\\missing.exe"));
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

// The typical update: a client application registers its module, the update
// downloads, the client asks for the installation and ends, the installer
// runs under the monitor, and the client is started again.
TEST_F(UpdateTest, ClientUpdateIsInstalledAndTheClientStartedAgain) {
    const std::string setup = TestDir() + "installers\\demo-setup.exe";
    const std::string version = VersionOf(setup);
    ASSERT_TRUE(CopyFileTo(setup, CatalogueDir("Demo", version) + "demo-setup.exe"));
    const std::string target = "C:\\ZELTest\\update_demo_setup";
    RemoveTree(target);

    InstalledService svc(TestDir() + "svc-run", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    ASSERT_TRUE(svc.Start());

    const std::string clientDir = TestDir() + "client\\";
    RemoveTree(clientDir);
    ForceDirectories(clientDir);
    ASSERT_TRUE(CopyFileTo(BinDir() + "zelctl.exe", clientDir + "zelctl.exe"));
    std::string command = "\"" + clientDir + "zelctl.exe\" watch --name DemoClient --modules Demo=1.0.0.0 "
                          "--install-on-download --log client.log --seconds 120";
    DWORD clientPid = 0;
    HANDLE client = StartProcess(command, clientDir, &clientPid, CREATE_NO_WINDOW);
    ASSERT_NE(client, nullptr);
    // The client ends by itself once it has asked for the installation.
    EXPECT_EQ(WaitForSingleObject(client, 120000), WAIT_OBJECT_0) << svc.Log();
    CloseHandle(client);

    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 120000)) << svc.Log();
    auto m = svc.LogMessages();
    ExpectInOrder(m,
                  {"    " + ReferenceServerURL() + "files/Demo/" + version + "/demo-setup.exe (Size: " +
                       std::to_string(ReadFileBytes(setup).size()) + ", SHA-256: " + Sha256Of(setup) + ")",
                   "Загружено обновление модуля Demo версии " + version,
                   "RunInstaller (Caller PID : " + std::to_string(clientPid) + ")", "InternalName: zelctl",
                   "Запускаем монитор NSIS", "Будут установлены следующие модули:", "   Demo",
                   "Устанавливаем обновление модуля Demo версии " + version, "Запускаем обновление:",
                   "\"" + svc.Dir() + "Files\\Demo\\demo-setup.exe\" /service /internalname=zelctl",
                   "Код завершения: 0", "Запускаем программу:", clientDir + "zelctl.exe"},
                  svc.Log());
    EXPECT_EQ(FindMessage(m, "Принудительно завершаем работу монитора NSIS"), -1) << svc.Log();
    EXPECT_TRUE(FileExists(target + "\\readme.txt"));
    EXPECT_TRUE(FileExists(target + "\\data.bin"));
    EXPECT_NE(ReadFileBytes(target + "\\cmdline.txt").find("internalname=zelctl"), std::string::npos);

    // Started again with its own command line, in its own directory.
    const std::string started = "Started: " + command + " | " + clientDir.substr(0, clientDir.size() - 1);
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::string text = ReadFileBytes(clientDir + "client.log");
            int count = 0;
            for (size_t at = text.find(started + "\n"); at != std::string::npos; at = text.find(started + "\n", at + 1))
                ++count;
            return count == 2;
        },
        30000))
        << ReadFileBytes(clientDir + "client.log");
    EndProgramsIn(clientDir);  // the client started again
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

// Answers that must not be used: file addresses of other schemes, a "FILE"
// that is no list, a malformed digest field. Each is refused for its module
// alone; exchanges that fail as a whole tell the client that asked.
TEST_F(UpdateTest, HostileAnswersAreRefusedAndTheOtherModulesUpdated) {
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", CatalogueDir("Fine", "2.0.0.1") + "kept.exe"));
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"FileUrl", "{\"FILE\":[\"file:///C:/windows/system32/notepad.exe;1000\"]}"},
        {"Unc", "{\"FILE\":[\"\\\\\\\\127.0.0.1\\\\c$\\\\windows\\\\notepad.exe;1000\"]}"},
        {"Ftp", "{\"FILE\":[\"ftp://127.0.0.1/setup.exe;1000\"]}"},
        {"FileText", "{\"FILE\":\"http://127.0.0.1:1/setup.exe;1000\"}"},
        {"BadDigest", "{\"FILE\":[\"http://127.0.0.1:1/setup.exe;1000;sha256=0123\"]}"},
    };
    for (const auto& module : hostile)
        PutCatalogueFile(CatalogueDir(module.first, "2.0.0.1") + ".info.json", module.second);
    // A module whose switches break the whole answer.
    const std::string switchInfo = CatalogueDir("Switch", "2.0.0.1") + ".info.json";
    PutCatalogueFile(switchInfo, "");
    SetServerSwitches("Switch", "");

    InstalledService svc(TestDir() + "svc-hostile", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    ASSERT_TRUE(StartScheduled(svc));
    ASSERT_EQ(AddModule("Fine", "1.0.0.0"), S_OK) << svc.Log();
    for (const auto& module : hostile) ASSERT_EQ(AddModule(module.first, "1.0.0.0"), S_OK);
    ASSERT_EQ(AddModule("Switch", "1.0.0.0"), S_OK);

    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Fine версии 2.0.00.01", 120000)) << svc.Log();
    auto m = svc.LogMessages();
    const int fine = FindMessage(m, "Загружено обновление модуля Fine версии 2.0.00.01");
    const std::vector<std::string> reasons = {
        "адрес file:///C:/windows/system32/notepad.exe не является адресом http или https",
        "адрес \\\\127.0.0.1\\c$\\windows\\notepad.exe не является адресом http или https",
        "адрес ftp://127.0.0.1/setup.exe не является адресом http или https",
        "значение FILE не является массивом (string)",
        "в записи файла http://127.0.0.1:1/setup.exe неверно поле SHA-256"};
    for (size_t i = 0; i < hostile.size(); ++i) {
        const std::string& name = hostile[i].first;
        EXPECT_GE(FindMessage(m, "Сведения о модуле " + name + " отклонены: " + reasons[i]), 0) << svc.Log();
        EXPECT_EQ(FindMessagePrefix(m, "Начинаем загрузку модуля " + name), -1);
        // Nothing fetched, the job left as it was.
        EXPECT_TRUE(FilesIn(svc.Dir() + "Files\\" + name + "\\").empty()) << name;
        EXPECT_TRUE(HasIdleJob(ClientJob("Name=" + name + "|Version=1.0.0.0|Target="))) << name;
    }
    EXPECT_EQ(FindMessagePrefix(m, "Не удалось получить сведения о модуле"), -1) << svc.Log();
    // The checks go on and refuse them again.
    EXPECT_TRUE(WaitFor(
        [&] { return FindMessagePrefix(svc.LogMessages(), "Сведения о модуле FileUrl отклонены", fine) >= 0; }, 30000))
        << svc.Log();

    // Exchanges that fail as a whole: a sign-in page, 50 MB with and without
    // a length, a value of the wrong type. A client asking with its cookie
    // hears that there is nothing for it.
    const std::string client = ClientDir("asker");
    const struct {
        const char* switches;
        const char* info;
        const char* logged;
    } failures[] = {
        {"{\"answer\": \"html\"}", "", "Ответ сервера ЗЕЛ не является текстом JSON"},
        {"{\"answer\": \"huge\"}", "", "Ответ сервера превышает допустимый размер (8388608 байт)"},
        {"{\"answer\": \"huge\", \"chunked\": true}", "", "Ответ сервера превышает допустимый размер (8388608 байт)"},
        {"", "{\"MODULE_VERSION\": 5}", "Неверный тип значения MODULE_VERSION модуля Switch"},
    };
    for (const auto& failure : failures) {
        const int before = static_cast<int>(svc.LogMessages().size());
        SetServerSwitches("Switch", failure.switches);
        PutCatalogueFile(switchInfo, failure.info);
        ASSERT_TRUE(WaitFor([&] { return FindMessagePrefix(svc.LogMessages(), failure.logged, before) >= 0; }, 30000))
            << failure.logged << "\n" << svc.Log();
        const int asked = static_cast<int>(svc.LogMessages().size());
        std::string out = Zelctl(client, "watch --name Asker --check --exit-on OnNoUpdates --seconds 30", 60000);
        EXPECT_NE(out.find("OnNoUpdates"), std::string::npos) << failure.logged << "\n" << out << svc.Log();
        // Every exchange of that time failed.
        m = svc.LogMessages();
        EXPECT_EQ(FindMessage(m, "Полученные сведения: ", asked), -1) << failure.logged;
        EXPECT_GE(CountMessages(m, failure.logged, asked), 1) << failure.logged;
    }
    // Once the server answers again, so do the checks.
    SetServerSwitches("Switch", "");
    PutCatalogueFile(switchInfo, "");
    const int repaired = static_cast<int>(svc.LogMessages().size());
    EXPECT_TRUE(WaitFor([&] { return FindMessage(svc.LogMessages(), "Полученные сведения: ", repaired) >= 0; }, 30000))
        << svc.Log();
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

// The server's file arrives with other bytes than it vouched for: the file
// is deleted, logged and reported, never announced or installed; once the
// server is right again the next check brings it.
TEST_F(UpdateTest, AFileThatDoesNotMatchItsDigestIsNeverAnnouncedOrRun) {
    const std::string offered = CatalogueDir("Checked", "2.0.0.1") + "kept.exe";
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", offered));
    const std::string digest = Sha256Of(offered);
    ASSERT_EQ(digest.size(), 64u);
    SetServerSwitches("Checked", "{\"tamper\": [\"kept.exe\"]}");

    InstalledService svc(TestDir() + "svc-checked", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    Configure(svc);
    ASSERT_TRUE(svc.Start());
    const std::string clientDir = ClientDir("checked-client");
    DWORD clientPid = 0;
    HANDLE client = StartProcess("\"" + clientDir + "zelctl.exe\" watch --name CheckedClient --modules Checked=0 "
                                 "--install-on-download --restart 1 --log client.log --seconds 240",
                                 clientDir, &clientPid, CREATE_NO_WINDOW);
    ASSERT_NE(client, nullptr);

    const std::string store = svc.Dir() + "Files\\Checked\\";
    const std::string mismatch = "Контрольная сумма файла " + store + "kept.exe модуля Checked не совпадает: ";
    ASSERT_TRUE(svc.WaitForLog(mismatch, 120000, true)) << svc.Log();
    const std::string exception = AnsiToUtf8(
        "OnException Checked | Служба обновления | Файл обновления kept.exe не совпадает с указанным сервером и удалён");
    EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(clientDir + "client.log").find(exception) != std::string::npos; },
                        10000))
        << ReadFileBytes(clientDir + "client.log");
    // Each check fetches it anew (into a holding name) and rejects it.
    EXPECT_FALSE(FileExists(store + "kept.exe"));
    EXPECT_NE(Zelctl(clientDir, "checkmodule Checked 0").find("CheckModule: E_INVALIDARG"), std::string::npos);
    auto m = svc.LogMessages();
    const int first = FindMessagePrefix(m, mismatch);
    EXPECT_EQ(m[first].find("ожидалась SHA-256 " + digest + ", "), mismatch.size()) << m[first];

    // A digest of other bytes is caught the same way.
    SetServerSwitches("Checked", "{\"wrong_digest\": [\"kept.exe\"]}");
    auto wrongDigest = [&] {
        for (const std::string& line : svc.LogMessages())
            if (line.compare(0, mismatch.size(), mismatch) == 0 &&
                line.find(", получена " + digest) != std::string::npos)
                return line;
        return std::string();
    };
    ASSERT_TRUE(WaitFor([&] { return !wrongDigest().empty(); }, 60000)) << svc.Log();
    EXPECT_EQ(wrongDigest().find("ожидалась SHA-256 " + digest), std::string::npos) << wrongDigest();
    m = svc.LogMessages();
    EXPECT_FALSE(FileExists(store + "kept.exe"));
    EXPECT_EQ(FindMessagePrefix(m, "Загружено обновление модуля Checked"), -1);
    EXPECT_EQ(FindMessagePrefix(m, "RunInstaller"), -1);
    EXPECT_EQ(ReadFileBytes(clientDir + "client.log").find("OnDownload"), std::string::npos);
    EXPECT_EQ(WaitForSingleObject(client, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // The server put right: downloaded, announced and installed.
    SetServerSwitches("Checked", "");
    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Checked версии 2.0.00.01", 60000)) << svc.Log();
    EXPECT_EQ(ReadFileBytes(store + "kept.exe"), ReadFileBytes(offered));
    EXPECT_EQ(WaitForSingleObject(client, 30000), WAIT_OBJECT_0) << ReadFileBytes(clientDir + "client.log");
    CloseHandle(client);
    EXPECT_NE(ReadFileBytes(clientDir + "client.log").find("OnDownload Checked 2.0.00.01"), std::string::npos);
    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 120000)) << svc.Log();
    ExpectInOrder(svc.LogMessages(),
                  {"Загружено обновление модуля Checked версии 2.0.00.01",
                   "RunInstaller (Caller PID : " + std::to_string(clientPid) + ")",
                   "Устанавливаем обновление модуля Checked версии 2.0.00.01"},
                  svc.Log());
    ASSERT_TRUE(svc.Stop());
    svc.Uninstall();
}

// The checks keep their rhythm whatever clients and servers do: clients that
// come and go every 2 s, an answer that names 100,000 modules, a server that
// sends a byte every 20 s. The texts of the server (its version and its
// reason phrase with line breaks) reach the log shown, never written; in
// GET mode the request text arrives as it was built.
TEST_F(UpdateTest, ChecksKeepTheirRhythmWhateverClientsAndServersDo) {
    CatalogueDir("Churn", "1.0.0.0");
    CatalogueDir("Amp", "1.0.0.0");
    SetServerSwitches("Churn", "");
    InstalledService svc(TestDir() + "svc-rhythm", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nPeriod=50000000\r\nLogLevel=63\r\nMethod=GET\r\n");
    ASSERT_TRUE(StartScheduled(svc));
    const std::string amp = "1.0&b=2#c%41+d";
    ASSERT_EQ(AddModule("Amp", amp), S_OK) << svc.Log();
    auto messages = [&] { return static_cast<int>(svc.LogMessages().size()); };
    auto logged = [&](const std::string& prefix, int from, DWORD ms) {
        return WaitFor([&] { return FindMessagePrefix(svc.LogMessages(), prefix, from) >= 0; }, ms, 200);
    };
    ASSERT_TRUE(logged("Полученные сведения: ", 0, 30000)) << svc.Log();
    EXPECT_NE(ReadFileBytes(TestDir() + "record\\last-request.bin").find("\"CURRENT_VERSION\":\"" + amp + "\""),
              std::string::npos)
        << ReadFileBytes(TestDir() + "record\\last-request.bin");

    // A client connecting with a subscription every 2 s for 40 s (each
    // connection used to put the next check off by 5 s: none came at all).
    const std::string dir = ClientDir("churn");
    const int churnFrom = messages();
    std::vector<HANDLE> clients;
    const DWORD churnStart = GetTickCount();
    for (int i = 0; GetTickCount() - churnStart < 40000; ++i) {
        HANDLE client = StartProcess("\"" + dir + "zelctl.exe\" watch --name Churn --modules Churn=1.0.0.0 --seconds 1",
                                     dir, nullptr, CREATE_NO_WINDOW);
        if (client) clients.push_back(client);
        while (GetTickCount() - churnStart < 2000u * (i + 1)) Sleep(50);
    }
    for (HANDLE client : clients) {
        WaitForSingleObject(client, 30000);
        CloseHandle(client);
    }
    EXPECT_GE(FindMessage(svc.LogMessages(), "   Churn (1.0.0.0)", churnFrom), 0) << svc.Log();
    std::vector<int> checks = CheckTimes(svc, churnFrom);
    ASSERT_GE(checks.size(), 4u) << svc.Log();
    // A client that stops answering in the middle of an event call (seen
    // under Wine with a client ending while it is called) holds that
    // delivery, and so the check, up to the 30 s after which it is dropped;
    // every other gap is the period's.
    std::vector<int> drops = CheckTimes(svc, churnFrom, "Клиент Churn (dwCoockie: ", true);
    for (size_t i = 1; i < checks.size(); ++i) {
        bool dropped = std::any_of(drops.begin(), drops.end(),
                                   [&](int t) { return t > checks[i - 1] && t <= checks[i]; });
        EXPECT_LE(checks[i] - checks[i - 1], dropped ? 10 + 30 : 10) << svc.Log();
    }

    // Too many modules in an answer: refused, and the next check on time.
    int from = messages();
    SetServerSwitches("Churn", "{\"members\": 100000}");
    ASSERT_TRUE(logged("Ответ сервера ЗЕЛ содержит больше 10000 модулей", from, 30000)) << svc.Log();
    SetServerSwitches("Churn", "");
    from = messages();
    ASSERT_TRUE(logged("Полученные сведения: ", from, 15000)) << svc.Log();

    // A reason phrase with a CR (Wine ends the status line at LF only).
    from = messages();
    SetServerSwitches("Churn", "{\"status\": 503, \"reason\": \"Busy\\r12:00:00 : Stopped\"}");
    EXPECT_TRUE(logged("Сервер ответил ошибкой HTTP 503 Busy\\x0D12:00:00 : Stopped: " + ReferenceServerURL(), from,
                       30000))
        << svc.Log();
    SetServerSwitches("Churn", "");

    // An offered version with a line break: its download is logged with
    // the text shown.
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\kept.exe", CatalogueDir("Churn", "2.0.0.1") + "kept.exe"));
    PutCatalogueFile(CatalogueDir("Churn", "2.0.0.1") + ".info.json",
                     "{\"MODULE_VERSION\": \"2.0.0.1\\r\\n12:00:00 : Stopped\"}");
    EXPECT_TRUE(logged("Начинаем загрузку модуля Churn (2.0.0.1\\x0D\\x0A12:00:00 : Stopped)", 0, 30000)) << svc.Log();
    EXPECT_TRUE(logged("  ModuleVersion    : 2.0.0.1\\x0D\\x0A12:00:00 : Stopped", 0, 1000)) << svc.Log();
    EXPECT_TRUE(logged("Загружено обновление модуля Churn версии 2.0.00.01", 0, 60000)) << svc.Log();

    // A server that sends a byte every 20 s: the exchange ends at its
    // deadline (the service's own, 60 s), and the next check comes on time.
    from = messages();
    SetServerSwitches("Churn", "{\"drip\": 20}");
    const std::string late = "Ответ сервера не получен за отведённое время (60 с): " + ReferenceServerURL();
    ASSERT_TRUE(logged(late, from, 100000)) << svc.Log();
    SetServerSwitches("Churn", "");
    const int failed = FindMessagePrefix(svc.LogMessages(), late, from);
    ASSERT_TRUE(logged("Полученные сведения: ", failed, 20000)) << svc.Log();
    std::vector<std::string> lines = SplitLines(ReadLog(svc.Dir()));
    checks = CheckTimes(svc, failed);
    ASSERT_GE(checks.size(), 1u);
    const std::string& failure = lines[failed];
    int failedAt = std::stoi(failure.substr(0, 2)) * 3600 + std::stoi(failure.substr(3, 2)) * 60 +
                   std::stoi(failure.substr(6, 2));
    EXPECT_LE((checks[0] - failedAt + 86400) % 86400, 10) << svc.Log();
    ASSERT_TRUE(svc.Stop());

    // Nothing of the server's texts forged a line: every CR of the log ends
    // one of its lines.
    const std::string log = ReadLog(svc.Dir());
    for (size_t at = log.find('\r'); at != std::string::npos; at = log.find('\r', at + 1))
        ASSERT_EQ(log.compare(at, 2, "\r\n"), 0) << log.substr(at > 80 ? at - 80 : 0, 160);
    EXPECT_EQ(log.find("\n12:00:00 : Stopped"), std::string::npos);
    SetServerSwitches("Churn", "");
    svc.Uninstall();
}
