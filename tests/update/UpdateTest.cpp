// Whole update runs: the installed service asks the reference update server,
// downloads through BITS into its store and replaces itself.
#include <gtest/gtest.h>

#include <windows.h>
#include <bits.h>

#include "ZELUpdate_TLB.h"
#include "com/BStr.h"
#include "service/Text.h"
#include "store/Versions.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

using namespace zel;
using namespace zel::test;

namespace {

// How many times the server was asked for the body of a module's file.
int FileRequests(const std::string& module, const std::string& name) {
    int count = 0;
    for (const std::string& line : SplitLines(ReadFileBytes(TestDir() + "server.log")))
        if (line.find("\"GET /files/" + module + "/") != std::string::npos &&
            line.find("/" + name + " ") != std::string::npos)
            ++count;
    return count;
}

bool HasIdleJob(const std::string& description) {
    for (const JobView& job : ServiceJobs())
        if (job.description == description && job.state == BG_JOB_STATE_SUSPENDED && job.files == 0) return true;
    return false;
}

std::string VersionOf(const std::string& path) {
    TVersion v = 0;
    GetFileVersion(path, v);
    return VersionToStr(v);
}

// Registers a module the way a client application does.
HRESULT AddModule(const std::string& module, const std::string& version) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IZELAppList* list = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IZELAppList,
                                  reinterpret_cast<void**>(&list));
    if (SUCCEEDED(hr)) {
        hr = list->Add(BStr(module), BStr(version));
        list->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

void ExpectInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected,
                   const std::string& log) {
    int at = 0;
    for (const std::string& text : expected) {
        int found = FindMessage(messages, text, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << text << "\n" << log;
        at = found + 1;
    }
}

class UpdateTest : public testing::Test {
protected:
    void SetUp() override { CancelServiceJobs(); }
    void TearDown() override { CancelServiceJobs(); }
    void Configure(InstalledService& svc) {
        // A check every five seconds, with the debug lines that show the answers.
        svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nPeriod=50000000\r\nLogLevel=63\r\n");
    }
};

}  // namespace

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
    const int kept = FileRequests("Sample", "kept.exe");
    const int resized = FileRequests("Sample", "resized.exe");
    ASSERT_TRUE(svc.Start());
    ASSERT_EQ(AddModule("Sample", "1.0.0.0"), S_OK) << svc.Log();

    ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля Sample версии 2.0.00.01", 120000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("Файл kept.exe уже загружен", 1000)) << svc.Log();
    EXPECT_EQ(ReadFileBytes(store + "kept.exe"), marker);
    EXPECT_EQ(ReadFileBytes(store + "resized.exe"), ReadFileBytes(dir + "resized.exe"));
    EXPECT_EQ(FileRequests("Sample", "kept.exe"), kept);
    EXPECT_GT(FileRequests("Sample", "resized.exe"), resized);
    EXPECT_TRUE(WaitFor([&] { return HasIdleJob("Name=Sample|Version=1.0.0.0|Target="); }, 30000)) << svc.Log();
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
    ASSERT_TRUE(svc.Start());
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
                  {"Загружено обновление модуля Demo версии " + version,
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
