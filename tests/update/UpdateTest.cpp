// Whole update runs: the installed service asks the reference update server,
// downloads through BITS into its store and replaces itself.
#include <gtest/gtest.h>

#include <windows.h>
#include <bits.h>

#include "ZELUpdate_TLB.h"
#include "service/Text.h"
#include "store/Versions.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

using namespace zel;
using namespace zel::test;

namespace {

std::string ServerURL() {
    return "http://127.0.0.1:" + Trim(ReadFileBytes(TestDir() + "server.port")) + "/";
}

// Catalogue folder of one module version served by the update server.
std::string CatalogueDir(const std::string& module, const std::string& version) {
    std::string dir = TestDir() + "catalogue\\" + module + "\\" + version + "\\";
    ForceDirectories(dir);
    return dir;
}

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
        BSTR name = SysAllocString(ToWide(module).c_str());
        BSTR ver = SysAllocString(ToWide(version).c_str());
        hr = list->Add(name, ver);
        SysFreeString(name);
        SysFreeString(ver);
        list->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

class UpdateTest : public testing::Test {
protected:
    void SetUp() override { CancelServiceJobs(); }
    void TearDown() override { CancelServiceJobs(); }
    void Configure(InstalledService& svc) {
        // A check every five seconds, with the debug lines that show the answers.
        svc.WriteConfig("URL=" + ServerURL() + "\r\nPeriod=50000000\r\nLogLevel=63\r\n");
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
    for (const std::string& line : m)
        if (line.rfind("Ошибка", 0) == 0) EXPECT_EQ(line, "Ошибка при настройке параметров proxy-сервера");
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
