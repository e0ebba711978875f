// The real program as a Windows service under the real service control
// manager: start-up, its own module's job, configuration reloads, stop and
// self-replacement.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <map>

#include "base/FileTree.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "config/Proxy.h"
#include "service/Lockdown.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"
#include "base/RegKey.h"

using namespace zel;
using namespace zel::test;

namespace {

const char* const Separator = "------------------------------------------------------";

class ServiceTest : public testing::Test {
protected:
    void SetUp() override { CancelServiceJobs(); }
    void TearDown() override { CancelServiceJobs(); }
    std::string OwnVersion() {
        TVersion v = 0;
        GetFileVersion(BinDir() + "ZELService.exe", v);
        return VersionToStr(v);
    }
};

bool HasJob(const std::string& description) {
    for (const auto& j : ServiceJobs())
        if (j.description == description) return true;
    return false;
}

}  // namespace

TEST_F(ServiceTest, StartsRegistersItsOwnJobAndStopsInOrder) {
    InstalledService svc(TestDir() + "svc", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("LogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.WaitForLog("Стартует поток загрузки (период опроса: 20 мин)", 20000));

    auto m = svc.LogMessages();
    int banner = FindMessage(m, Separator);
    ASSERT_GE(banner, 0);
    ASSERT_LT(banner + 2, static_cast<int>(m.size()));
    const std::string head = "Служба обновления ЗЕЛ " + OwnVersion() + " от ";
    EXPECT_EQ(m[banner + 1].rfind(head, 0), 0u) << m[banner + 1];
    EXPECT_EQ(m[banner + 1].size(), head.size() + std::string("dd.mm.yyyy hh:nn:ss").size());
    EXPECT_EQ(m[banner + 2], Separator);

    std::string own = "Name=ZELUPDATE|Version=" + OwnVersion() + "|Target=";
    EXPECT_TRUE(WaitFor([&] { return HasJob(own); }, 10000)) << "no job " << own;

    DWORD t0 = GetTickCount();
    ASSERT_TRUE(svc.Stop(10000));
    EXPECT_LT(GetTickCount() - t0, 6000u);
    m = svc.LogMessages();
    int stopped = FindMessage(m, "Работа службы остановлена");
    ASSERT_GE(stopped, 0) << svc.Log();
    int waiting = FindMessage(m, "Ждем завершения потока загрузки", stopped);
    int destroyed = FindMessage(m, "Уничтожен поток загрузки", stopped);
    int disconnect = FindMessage(m, "Отключаем всех клиентов", stopped);
    int factory = FindMessage(m, "Удаляем фабрику", disconnect);
    int uninit = FindMessage(m, "CoUninitialize", factory);
    int done = FindMessage(m, "Работа службы завершена", uninit);
    EXPECT_GT(waiting, stopped);
    EXPECT_GT(destroyed, stopped);
    EXPECT_GT(disconnect, waiting);
    EXPECT_GT(disconnect, destroyed);
    EXPECT_GT(factory, disconnect);
    EXPECT_GT(uninit, factory);
    EXPECT_GT(done, uninit) << svc.Log();
    EXPECT_EQ(FindMessage(m, "Поток загрузки не отвечает"), -1);
    EXPECT_EQ(FindMessagePrefix(m, "Ошибка"), -1) << svc.Log();

    // A stop as soon as the service reports itself running, while it is
    // still setting up its COM server and scheduler: it stops all the same.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(svc.Start()) << "round " << round;
        ASSERT_TRUE(svc.Stop(10000)) << "round " << round << "\n" << svc.Log();
    }
    m = svc.LogMessages();
    int ends = 0;
    for (const std::string& line : m) ends += line == "Работа службы завершена";
    EXPECT_EQ(ends, 4) << svc.Log();
    EXPECT_EQ(FindMessagePrefix(m, "Ошибка"), -1) << svc.Log();
}

// A start that fails ends in the stopped state with a code of its own, at
// once; what made it fail leaves nothing broken for the next start.
TEST_F(ServiceTest, AStartThatFailsStopsWithAnExitCode) {
    InstalledService svc(TestDir() + "svc-fail", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("LogLevel=63\r\n");
    DWORD win32 = 0, specific = 0;
    auto startFails = [&](DWORD expected) {
        DWORD t0 = GetTickCount();
        svc.RequestStart();
        EXPECT_TRUE(svc.WaitState(SERVICE_STOPPED, 10000)) << svc.State();
        EXPECT_LT(GetTickCount() - t0, 10000u);
        ASSERT_TRUE(svc.ExitCodes(win32, specific));
        EXPECT_EQ(win32, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(specific, expected);
    };

    // No line can be written: a directory in place of today's log file.
    RemoveFile(TodayLogPath(svc.Dir()));
    ASSERT_TRUE(ForceDirectories(TodayLogPath(svc.Dir())));
    ASSERT_TRUE(DirectoryExists(TodayLogPath(svc.Dir())));
    startFails(1);
    ASSERT_TRUE(svc.Stop());
    RemoveTree(TodayLogPath(svc.Dir()));

    // The store cannot take the service's own module: the COM set-up fails.
    RemoveTree(svc.Dir() + "Files");
    WriteFileBytes(svc.Dir() + "Files", "not a directory");
    ASSERT_TRUE(FileExists(svc.Dir() + "Files"));
    startFails(2);
    auto m = svc.LogMessages();
    int error = FindMessage(m, "Ошибка: Не удалось получить доступ к " + svc.Dir() + "Files\\ZELUPDATE");
    EXPECT_GE(error, 0) << svc.Log();
    ASSERT_TRUE(svc.Stop());
    RemoveFile(svc.Dir() + "Files");

    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.Stop());
    ASSERT_TRUE(svc.ExitCodes(win32, specific));
    EXPECT_EQ(win32, 0u);
    EXPECT_EQ(specific, 0u);
}

// A check that fails, whatever raised (here its first log line), still
// arms the next one.
TEST_F(ServiceTest, AFailedCheckStillArmsTheNextOne) {
    InstalledService svc(TestDir() + "svc-rearm", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("LogLevel=63\r\nPeriod=50000000\r\nURL=http://127.0.0.1:9/zel\r\n");
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.WaitForLog("Проверка обновлений", 20000)) << svc.Log();
    // For a while no line can be written: the next check fails at once.
    const std::string log = TodayLogPath(svc.Dir());
    ASSERT_TRUE(WaitFor([&] { return RemoveFile(log) && ForceDirectories(log); }, 5000, 10));
    Sleep(7000);
    ASSERT_TRUE(RemoveDirectoryA(log.c_str()));
    EXPECT_TRUE(svc.WaitForLog("Проверка обновлений", 15000)) << svc.Log();
    ASSERT_TRUE(svc.Stop());
}

namespace {

// The running program of the service in dir, opened to wait for its end.
HANDLE OpenServiceProcess(const std::string& dir) {
    HANDLE found = nullptr;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok && !found; ok = Process32Next(snap, &pe)) {
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pe.th32ProcessID);
        if (!p) continue;
        char path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameA(p, 0, path, &size) && SameText(ExtractFilePath(path), dir))
            found = p;
        else
            CloseHandle(p);
    }
    CloseHandle(snap);
    return found;
}

}  // namespace

// A stop while the update server takes a minute over its answer: the
// service stops in time and in order, and its process ends without a fault.
TEST_F(ServiceTest, AStopDuringALongCheckEndsInTime) {
    InstalledService svc(TestDir() + "svc-slow", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("LogLevel=63\r\nPeriod=50000000\r\nURL=" + ReferenceServerURL() + "\r\n");
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.WaitForLog("Отправляем данные методом POST:", 30000)) << svc.Log();
    HANDLE process = OpenServiceProcess(svc.Dir());
    ASSERT_NE(process, nullptr);
    Sleep(1000);
    DWORD t0 = GetTickCount();
    ASSERT_TRUE(svc.Stop(10000));
    EXPECT_LT(GetTickCount() - t0, 5000u);
    EXPECT_EQ(WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(code, 0u);
    auto m = svc.LogMessages();
    int at = FindMessage(m, "Работа службы остановлена");
    for (const char* line : {"Ждем завершения потока загрузки", "Поток загрузки не отвечает", "Отключаем всех клиентов",
                             "Удаляем фабрику", "CoUninitialize", "Работа службы завершена"}) {
        int next = FindMessage(m, line, at);
        EXPECT_GT(next, at) << line << "\n" << svc.Log();
        if (next > at) at = next;
    }
}

TEST_F(ServiceTest, TestMarkerAndDebugSwitch) {
    InstalledService svc(TestDir() + "svc-test", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    WriteFileBytes(svc.Dir() + ".test", "");
    ASSERT_TRUE(svc.SetImageArguments("/Service /debug"));
    ASSERT_TRUE(svc.Start());
    std::string own = "Name=ZELUPDATE_TEST|Version=" + OwnVersion() + "|Target=";
    EXPECT_TRUE(WaitFor([&] { return HasJob(own); }, 10000));
    EXPECT_TRUE(svc.WaitForLog("Включаем отладочные сообщения", 10000));
    // Without LogLevel in .config the first reload returns to 0x3C and says so.
    EXPECT_TRUE(svc.WaitForLog("Изменился режим логирования: 3C", 10000)) << svc.Log();
    ASSERT_TRUE(svc.Stop());
}

TEST_F(ServiceTest, ConfigurationChangesArePickedUpWhileRunning) {
    InstalledService svc(TestDir() + "svc-config", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("LogLevel=62\r\n");
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.WaitForLog("Изменился режим логирования: 3E", 20000)) << svc.Log();
    svc.WriteConfig("LogLevel=62\r\nPeriod=3000000000\r\nURL=http://127.0.0.1:9/zel\r\nMethod=GET\r\n");
    ASSERT_TRUE(svc.WaitForLog("Изменился метод запросов к серверу ЗЕЛ: GET", 40000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("Изменился адрес сервера ЗЕЛ: http://127.0.0.1:9/zel", 1000));
    EXPECT_TRUE(svc.WaitForLog("Изменился период опроса сервера ЗЕЛ: 5 мин", 1000));
    size_t before = svc.LogMessages().size();

    // Deleting the file returns the defaults. Address and method change while
    // debug lines are still on; the mode report follows; the period's line
    // comes after the mode went back to 0x3C and so is not written.
    RemoveFile(svc.Dir() + ".config");
    ASSERT_TRUE(svc.WaitForLog("Изменился режим логирования: 3C", 40000)) << svc.Log();
    auto m = svc.LogMessages();
    int method = FindMessage(m, "Изменился метод запросов к серверу ЗЕЛ: POST", static_cast<int>(before));
    int address = FindMessagePrefix(m, "Изменился адрес сервера ЗЕЛ: ", static_cast<int>(before));
    int mode = FindMessage(m, "Изменился режим логирования: 3C", static_cast<int>(before));
    EXPECT_GE(address, 0);
    EXPECT_GT(method, address);
    EXPECT_GT(mode, method);
    EXPECT_EQ(FindMessagePrefix(m, "Изменился период опроса", static_cast<int>(before)), -1);
    ASSERT_TRUE(svc.Stop());
}

TEST_F(ServiceTest, ReplacesItselfWithANewerStoredVersionAtStop) {
    InstalledService svc(TestDir() + "svc-update", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    std::string stored = svc.Dir() + "Files\\ZELUPDATE\\ZELService.exe";
    ASSERT_TRUE(CopyFileTo(BinDir() + "next\\ZELService.exe", stored));
    TVersion next = 0, now = 0;
    ASSERT_TRUE(GetFileVersion(stored, next));
    ASSERT_TRUE(GetFileVersion(svc.Exe(), now));
    ASSERT_TRUE(VersionGreater(next, now));

    // The stored program is held open: it cannot be moved into place, and
    // the running one keeps its name.
    ASSERT_TRUE(svc.Start());
    HANDLE held = CreateFileA(stored.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(svc.Stop());
    CloseHandle(held);
    TVersion kept = 0;
    ASSERT_TRUE(GetFileVersion(svc.Exe(), kept));
    EXPECT_EQ(kept, now);
    EXPECT_FALSE(FileExists(ChangeFileExt(svc.Exe(), ".tmp")));
    EXPECT_TRUE(FileExists(stored));
    auto m = svc.LogMessages();
    int replacing = FindMessage(m, "Выполняем обновление службы");
    EXPECT_GE(replacing, 0) << svc.Log();
    EXPECT_GT(FindMessagePrefix(m, "Не удалось обновить службу: ", replacing), replacing) << svc.Log();

    // The old program starts again, and replaces itself at its next stop.
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.Stop());
    TVersion replaced = 0;
    ASSERT_TRUE(GetFileVersion(svc.Exe(), replaced));
    EXPECT_EQ(replaced, next);
    EXPECT_TRUE(FileExists(ChangeFileExt(svc.Exe(), ".tmp")));
    EXPECT_FALSE(FileExists(stored));
    EXPECT_NE(svc.Log().find("Выполняем обновление службы"), std::string::npos);

    // The next start removes the previous program.
    ASSERT_TRUE(svc.Start());
    EXPECT_TRUE(WaitFor([&] { return !FileExists(ChangeFileExt(svc.Exe(), ".tmp")); }, 10000));
    ASSERT_TRUE(svc.Stop());
}

TEST_F(ServiceTest, AStoredProgramOfTheSameVersionIsLeftAlone) {
    InstalledService svc(TestDir() + "svc-same", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    std::string stored = svc.Dir() + "Files\\ZELUPDATE\\ZELService.exe";
    ASSERT_TRUE(CopyFileTo(BinDir() + "ZELService.exe", stored));
    ASSERT_TRUE(svc.Start());
    ASSERT_TRUE(svc.Stop());
    EXPECT_TRUE(FileExists(stored));
    EXPECT_FALSE(FileExists(ChangeFileExt(svc.Exe(), ".tmp")));
    EXPECT_EQ(svc.Log().find("Выполняем обновление службы"), std::string::npos);
}

namespace {

const std::string System = "S-1-5-18", Admins = "S-1-5-32-544", Users = "S-1-5-32-545", Everyone = "S-1-1-0";
constexpr BYTE Inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

std::vector<AccessEntry> Entries(const std::vector<std::string>& sids, const std::vector<DWORD>& masks, BYTE flags) {
    std::vector<AccessEntry> entries;
    for (size_t i = 0; i < sids.size(); ++i) entries.push_back({sids[i], masks[i], flags});
    return entries;
}

// The proxy key's list, read back.
AccessList KeyAccess() {
    HKEY key = nullptr;
    AccessList list;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, READ_CONTROL | ServiceKeyView, &key) != ERROR_SUCCESS)
        return list;
    std::vector<BYTE> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, buffer.data(), &size) ==
        ERROR_SUCCESS)
        list = DecodeAccess(buffer.data());
    RegCloseKey(key);
    return list;
}

bool HasEntryFor(const AccessList& list, const std::string& sid) {
    for (const AccessEntry& e : list.entries)
        if (e.sid == sid) return true;
    return false;
}

// What the lock set on each file and folder: Wine keeps no access lists of
// files (it makes Unix permission bits of them), so they are taken on their
// way, and set for real all the same.
std::map<std::string, AccessList> SetLists;
BOOL RecordSecurity(HANDLE entry, const std::wstring& path, SECURITY_INFORMATION what,
                           PSECURITY_DESCRIPTOR descriptor) {
    AccessList& list = SetLists[UpperCase(ToAnsi(path))];
    AccessList given = DecodeAccess(descriptor);
    if (what & DACL_SECURITY_INFORMATION) {
        std::string owner = list.owner;
        list = given;
        list.owner = owner;
    }
    if (what & OWNER_SECURITY_INFORMATION) list.owner = given.owner;
    return DefaultFileSecurityWriter().Write(entry, path, what, descriptor);
}

}  // namespace

// The "install" run locks the installation: the proxy key, left open to
// everybody, carries its list (read back as it is), and the folders have
// lost what they inherited from above (under Wine: the read right of
// Everyone that the Unix permission bits gave them).
TEST_F(ServiceTest, InstallLocksTheFoldersAndTheKey) {
    InstalledService svc(TestDir() + "svc-lock", BinDir() + "ZELService.exe");
    ASSERT_TRUE(HasEntryFor(FileAccess(svc.Dir()), Everyone));
    ASSERT_TRUE(CreateKeyOpenToEveryone(SettingsKey));
    ASSERT_TRUE(HasEntryFor(KeyAccess(), Everyone));
    ASSERT_TRUE(svc.Install());

    AccessList key = KeyAccess();
    ASSERT_TRUE(key.valid);
    EXPECT_TRUE(key.isProtected);
    EXPECT_EQ(key.owner, Admins);
    EXPECT_EQ(key.entries,
              Entries({System, Admins, Users}, {KEY_ALL_ACCESS, KEY_ALL_ACCESS, KEY_READ}, CONTAINER_INHERIT_ACE));
    for (const std::string& folder : {svc.Dir(), svc.Dir() + "Files", svc.Dir() + "Logs"}) {
        AccessList list = FileAccess(folder);
        ASSERT_TRUE(list.valid) << folder;
        EXPECT_FALSE(HasEntryFor(list, Everyone)) << folder;
    }
    // An empty key would read as proxy settings without a port.
    DeleteMachineKeyTree(SettingsKey);
}

// The lists the lock gives each file and folder, as set: the program
// folder, Files\ and Service.dll their own for SYSTEM, the Administrators
// and the Users, the logs theirs without the Users; what lies beneath the
// same, inherited. A link in the store is not entered: what it leads to
// keeps its lists and its files.
TEST_F(ServiceTest, TheLockGivesEveryEntryItsList) {
    const std::string dir = TestDir();
    const std::string elsewhere = dir + "lock-elsewhere\\";
    RemoveTree(dir + "Files");
    RemoveTree(elsewhere);
    WriteFileBytes(dir + "Files\\m\\x.exe", "x");
    ASSERT_TRUE(ForceDirectories(dir + "Files\\m@1"));
    WriteFileBytes(dir + "Logs\\US20260101.txt", "old");
    WriteFileBytes(dir + "Service.dll", "dll");
    WriteFileBytes(elsewhere + "kept.txt", "kept");
    ASSERT_TRUE(MakeFolderLink(elsewhere, dir + "Files\\elsewhere"));

    SetLists.clear();
    FileSecuritySeam().Write = RecordSecurity;
    std::vector<TLockMessage> messages = LockInstallation();
    FileSecuritySeam() = DefaultFileSecurityWriter();
    bool linkStayed = IsLink(dir + "Files\\elsewhere");
    EXPECT_TRUE(RemoveFolderLink(dir + "Files\\elsewhere") || !linkStayed);

    auto set = [&](const std::string& path) { return SetLists[UpperCase(path)]; };
    const std::vector<DWORD> programMasks = {FILE_ALL_ACCESS, FILE_ALL_ACCESS, 0x1200A9};
    const std::vector<DWORD> logMasks = {FILE_ALL_ACCESS, FILE_ALL_ACCESS};
    struct Expected {
        std::string path;
        bool isProtected;
        std::vector<AccessEntry> entries;
    } expected[] = {
        {ExtractFileDir(dir), true, Entries({System, Admins, Users}, programMasks, Inherit)},
        {dir + "Files", true, Entries({System, Admins, Users}, programMasks, Inherit)},
        {dir + "Logs", true, Entries({System, Admins}, logMasks, Inherit)},
        {dir + "Service.dll", true, Entries({System, Admins, Users}, programMasks, 0)},
        {dir + "service_test.exe", false, Entries({System, Admins, Users}, programMasks, INHERITED_ACE)},
        {dir + "Files\\m", false, Entries({System, Admins, Users}, programMasks, Inherit | INHERITED_ACE)},
        {dir + "Files\\m@1", false, Entries({System, Admins, Users}, programMasks, Inherit | INHERITED_ACE)},
        {dir + "Files\\m\\x.exe", false, Entries({System, Admins, Users}, programMasks, INHERITED_ACE)},
        {dir + "Logs\\US20260101.txt", false, Entries({System, Admins}, logMasks, INHERITED_ACE)},
    };
    for (const Expected& e : expected) {
        AccessList list = set(e.path);
        ASSERT_TRUE(list.valid) << e.path;
        EXPECT_EQ(list.isProtected, e.isProtected) << e.path;
        EXPECT_EQ(list.entries, e.entries) << e.path;
        EXPECT_EQ(list.owner, Admins) << e.path;
    }
    for (const auto& entry : SetLists) EXPECT_EQ(entry.first.find(UpperCase(elsewhere)), std::string::npos) << entry.first;
    EXPECT_EQ(ReadFileBytes(elsewhere + "kept.txt"), "kept");
    // The link is removed as a link; Wine cannot, and says so.
    std::string link = dir + "Files\\elsewhere";
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text.rfind(linkStayed ? "Не удалось удалить ссылку " + link + ": " : "Удалена ссылка " + link, 0),
              0u)
        << messages[0].Text;
    RemoveTree(dir + "Files");
    RemoveTree(elsewhere);
}

// A link in place of the log's folder: nothing of the service's start goes
// where it leads. The start removes it as a link and goes on; where it
// cannot (Wine), the start fails with its exit code, the only place where
// the refused log can be reported.
TEST_F(ServiceTest, NothingIsLoggedThroughALinkInPlaceOfTheLogs) {
    InstalledService svc(TestDir() + "svc-loglink", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    const std::string elsewhere = TestDir() + "svc-loglink-elsewhere\\";
    RemoveTree(elsewhere);
    ASSERT_TRUE(ForceDirectories(elsewhere));
    RemoveTree(svc.Dir() + "Logs");
    ASSERT_TRUE(MakeFolderLink(elsewhere, svc.Dir() + "Logs"));
    svc.RequestStart();
    ASSERT_TRUE(WaitFor([&] { DWORD s = svc.State(); return s == SERVICE_RUNNING || s == SERVICE_STOPPED; }, 20000));
    bool linkStayed = IsLink(svc.Dir() + "Logs");
    if (linkStayed) {
        ASSERT_TRUE(svc.WaitState(SERVICE_STOPPED, 10000));
        DWORD win32 = 0, specific = 0;
        ASSERT_TRUE(svc.ExitCodes(win32, specific));
        EXPECT_EQ(win32, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(specific, 1u);
        EXPECT_TRUE(RemoveFolderLink(svc.Dir() + "Logs"));
    } else {
        EXPECT_TRUE(svc.WaitForLog("Удалена ссылка " + svc.Dir() + "Logs", 10000)) << svc.Log();
    }
    ASSERT_TRUE(svc.Stop());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((elsewhere + "*.txt").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemoveTree(elsewhere);
}
