// The real installer thread in the test driver, with the real monitor and
// real NSIS installers; the monitor window itself.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "InstallTestSupport.h"
#include "base/Text.h"
#include "install/NSISMonitor.h"
#include "support/TestSupport.h"

using namespace zel;
using test::DriverPath;
using test::ExpectInOrder;

// The real installer thread in a program named ZELService.exe, with the
// real monitor and a real NSIS installer from the store.
class DriverTest : public testing::Test {
protected:
    std::string app = test::TestDir() + "drv\\";
    std::string target = test::TestDir() + "drv-target";
    void SetUp() override {
        test::RemoveTree(app);
        test::RemoveTree(target);
        ASSERT_TRUE(ForceDirectories(app + "Files\\alpha"));
        ASSERT_TRUE(test::CopyFileTo(DriverPath(), app + "ZELService.exe"));
        ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\alpha.exe", app + "Files\\alpha\\alpha.exe"));
        SetEnvironmentVariableA("ZEL_TEST_TARGET", target.c_str());
    }
    void TearDown() override { SetEnvironmentVariableA("ZEL_TEST_TARGET", nullptr); }
    std::string Run(const std::string& args) {
        EXPECT_EQ(test::RunProcess("\"" + app + "ZELService.exe\" /runinstaller " + args, 60000), 0);
        return test::ReadLog(app);
    }
};

TEST_F(DriverTest, InstallsUnderTheMonitorAndStopsIt) {
    std::string log = Run("0 0 alpha=0.0.0.0");
    ExpectInOrder(log, {"RunInstaller (Caller PID : 0)", "Запускаем монитор NSIS", "Будут установлены следующие модули:",
                        "   alpha", "Устанавливаем обновление модуля alpha версии 3.1.00.07", "Запускаем обновление:",
                        "\"" + app + "Files\\alpha\\alpha.exe\" /service\r\n", "Код завершения: 0",
                        "Installer Thread Successfully Terminated"});
    EXPECT_EQ(log.find("Принудительно"), std::string::npos) << log;
    EXPECT_EQ(log.find("Ошибка"), std::string::npos) << log;
    EXPECT_TRUE(FileExists(target + "\\readme.txt"));
    EXPECT_TRUE(FileExists(app + "Service.dll"));

    // Nothing to install: the monitor still comes and goes in order.
    RemoveFile(test::TodayLogPath(app));
    log = Run("0 1");
    ExpectInOrder(log, {"Запускаем монитор NSIS", "Ошибка при установке: Список модулей пуст",
                        "Installer Thread Successfully Terminated"});
    EXPECT_EQ(log.find("Принудительно"), std::string::npos) << log;
    EXPECT_EQ(log.find("Запускаем программу:"), std::string::npos) << log;
}

// A log that cannot be written (a directory in place of today's file) does
// not keep the request from being carried out.
TEST_F(DriverTest, InstallsAlsoWhenTheLogCannotBeWritten) {
    ASSERT_TRUE(ForceDirectories(test::TodayLogPath(app)));
    EXPECT_EQ(test::RunProcess("\"" + app + "ZELService.exe\" /runinstaller 0 0 alpha=0.0.0.0", 60000), 0);
    EXPECT_TRUE(FileExists(target + "\\data.bin"));
    EXPECT_TRUE(FileExists(target + "\\cmdline.txt"));
}

TEST_F(DriverTest, MonitorThatIgnoresTheEventIsTerminated) {
    test::WriteFileBytes(app + "stubborn.flag", "1");
    DWORD start = GetTickCount();
    std::string log = Run("0 0 alpha=0.0.0.0");
    EXPECT_LT(GetTickCount() - start, 12000u);
    ExpectInOrder(log, {"Код завершения: 0", "Не удалось дождаться завершения монитора NSIS",
                        "Принудительно завершаем работу монитора NSIS", "Installer Thread Successfully Terminated"});
    EXPECT_EQ(log.find("Ошибка при вызове TerminateProcess"), std::string::npos) << log;
}

// The requesting program is waited for and started again; its internal name
// reaches the installers; an installer that vanished from the store after the
// request ends the run, but the monitor is still stopped and the caller still
// restarted.
TEST_F(DriverTest, CallerIsAwaitedAndRestartedAfterAMissingInstaller) {
    for (const char* module : {"beta", "gamma"}) {
        ASSERT_TRUE(ForceDirectories(app + "Files\\" + module));
        ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\alpha.exe",
                                     app + "Files\\" + module + "\\" + module + ".exe"));
    }
    std::string callerDir = test::TestDir() + "caller\\";
    test::RemoveTree(callerDir);
    ASSERT_TRUE(ForceDirectories(callerDir));
    ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\caller.exe", callerDir + "caller.exe"));
    std::string callerLine = "\"" + callerDir + "caller.exe\" /linger=60000 \"two words\"";
    DWORD callerPid = 0;
    HANDLE caller = test::StartProcess(callerLine, test::TestDir(), &callerPid);
    ASSERT_NE(caller, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return FileExists(callerDir + "caller.log"); }, 10000));

    HANDLE driver = test::StartProcess("\"" + app + "ZELService.exe\" /runinstaller " + std::to_string(callerPid) +
                                 " 1 alpha=0.0.0.0 beta=0.0.0.0 gamma=0.0.0.0");
    ASSERT_NE(driver, nullptr);
    // The request has been taken (the list is built); now beta's installer
    // goes away and the caller ends.
    ASSERT_TRUE(test::WaitFor([&] { return test::ReadLog(app).find("Parent Process Working Directory") !=
                                           std::string::npos; }, 20000));
    Sleep(300);
    EXPECT_EQ(WaitForSingleObject(driver, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(test::ReadLog(app).find("Устанавливаем обновление модуля"), std::string::npos);
    ASSERT_TRUE(RemoveFile(app + "Files\\beta\\beta.exe"));
    TerminateProcess(caller, 0);
    CloseHandle(caller);
    EXPECT_EQ(WaitForSingleObject(driver, 60000), WAIT_OBJECT_0);
    CloseHandle(driver);

    std::string log = test::ReadLog(app);
    ExpectInOrder(log, {"Parent Process Full Path: " + callerDir + "caller.exe", "InternalName: ClientApp\r\n",
                        "Parent Process Comand Line: " + callerLine,
                        "Parent Process Working Directory: " + callerDir.substr(0, callerDir.size() - 1) + "\r\n",
                        "Устанавливаем обновление модуля alpha",
                        "\"" + app + "Files\\alpha\\alpha.exe\" /service /internalname=ClientApp\r\n",
                        "Код завершения: 0", "Устанавливаем обновление модуля beta", "Запускаем программу:",
                        callerDir + "caller.exe",
                        "Ошибка при установке: Файл обновления не найден " + app + "Files\\beta\\beta.exe",
                        "Installer Thread Successfully Terminated"});
    EXPECT_EQ(log.find("модуля gamma"), std::string::npos) << log;
    EXPECT_EQ(log.find("Принудительно"), std::string::npos) << log;
    std::string record = test::ReadFileBytes(target + "\\cmdline.txt");
    EXPECT_NE(record.find("internalname=ClientApp\r\n"), std::string::npos) << record;

    // The second line of caller.log is the restarted caller: the same command
    // line, started in its own directory.
    ASSERT_TRUE(test::WaitFor([&] { return test::SplitLines(test::ReadFileBytes(callerDir + "caller.log")).size() >= 2; },
                              10000));
    std::vector<std::string> runs = test::SplitLines(test::ReadFileBytes(callerDir + "caller.log"));
    ASSERT_GE(runs.size(), 2u);
    std::string again = runs[1];
    EXPECT_NE(again.find("|" + callerLine + "|"), std::string::npos) << again;
    EXPECT_EQ(IncludeTrailingBackslash(again.substr(again.rfind('|') + 1)), callerDir) << again;
    DWORD restartedPid = static_cast<DWORD>(strtoul(again.c_str(), nullptr, 10));
    if (HANDLE restarted = OpenProcess(PROCESS_TERMINATE, FALSE, restartedPid)) {
        TerminateProcess(restarted, 0);
        CloseHandle(restarted);
    }

    // A requester that ended before its request was taken (an id that names
    // no process: Wine gives ended processes' ids to new ones at once)
    // leaves no handle to wait for: the log says that the wait failed, as a
    // wait on it would, and the installation is made all the same.
    const DWORD endedPid = 4000000;
    const size_t before = test::ReadLog(app).size();
    driver = test::StartProcess("\"" + app + "ZELService.exe\" /runinstaller " + std::to_string(endedPid) +
                                " 0 alpha=0.0.0.0");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(WaitForSingleObject(driver, 60000), WAIT_OBJECT_0);
    CloseHandle(driver);
    log = test::ReadLog(app).substr(before);
    ExpectInOrder(log, {"При вызове функции WaitForMultipleObjects произошла ошибка (",
                        "Устанавливаем обновление модуля alpha", "Installer Thread Successfully Terminated"});
}

namespace {

struct WindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM param) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindProcessWindow(DWORD pid) {
    WindowSearch search{pid, nullptr};
    EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string ControlText(HWND dialog, int id) {
    char text[1024] = {0};
    DWORD_PTR result = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                        SMTO_NORMAL, 5000, &result);
    return text;
}

void SendReport(HWND window, ULONG_PTR code, const std::string& bytes) {
    COPYDATASTRUCT data;
    data.dwData = code;
    data.cbData = static_cast<DWORD>(bytes.size());
    data.lpData = const_cast<char*>(bytes.data());
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &result);
}

std::string Block(const std::string& text) { return text + std::string(261 - text.size(), '\0'); }

// An event that anybody may open, of the given name.
HANDLE CreateOpenEvent(const std::string& name) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    return CreateEventA(&attributes, TRUE, FALSE, name.c_str());
}

HANDLE CreateMonitorEvent() { return CreateOpenEvent(MonitorEventName); }

BOOL CALLBACK CollectMonitors(HWND window, LPARAM param) {
    char caption[256] = {0};
    if (IsWindowVisible(window) && GetWindowTextA(window, caption, sizeof(caption)) &&
        std::string(caption) == "Установка программного обеспечения ЗЕЛ")
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

// The monitor windows on the desktop now.
std::vector<HWND> MonitorWindows() {
    std::vector<HWND> found;
    EnumWindows(CollectMonitors, reinterpret_cast<LPARAM>(&found));
    return found;
}

}  // namespace

// Two install requests at once (every client is told of the download, and
// each may ask): they run one after the other, each under a monitor of its
// own that shows its installer; both installers end with 0, both callers are
// started again. The event of an earlier request, signalled and still held
// open here, closes neither monitor.
TEST_F(DriverTest, RequestsAtOnceRunOneAfterTheOtherEachUnderItsMonitor) {
    HANDLE earlier = CreateMonitorEvent();
    ASSERT_NE(earlier, nullptr);
    SetEvent(earlier);
    std::string slow = test::TestDir() + "samples\\slow.exe";
    std::vector<std::string> callerDirs;
    std::string args;
    std::vector<HANDLE> callers;
    for (const char* module : {"beta", "gamma"}) {
        ASSERT_TRUE(test::CopyFileTo(slow, app + "Files\\" + module + "\\" + module + ".exe"));
        std::string dir = test::TestDir() + "caller-" + module + "\\";
        test::RemoveTree(dir);
        ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\caller.exe", dir + "caller.exe"));
        DWORD pid = 0;
        HANDLE caller = test::StartProcess("\"" + dir + "caller.exe\" /linger=2000", dir, &pid);
        ASSERT_NE(caller, nullptr);
        callers.push_back(caller);
        callerDirs.push_back(dir);
        args += (args.empty() ? "" : " + ") + std::to_string(pid) + " 1 " + module + "=0.0.0.0";
    }
    for (const std::string& dir : callerDirs)
        ASSERT_TRUE(test::WaitFor([&] { return FileExists(dir + "caller.log"); }, 10000));
    HANDLE driver = test::StartProcess("\"" + app + "ZELService.exe\" /runinstaller " + args);
    ASSERT_NE(driver, nullptr);
    // What each monitor window showed in its first line, while it lived.
    std::map<HWND, std::set<std::string>> shown;
    DWORD start = GetTickCount();
    while (WaitForSingleObject(driver, 100) == WAIT_TIMEOUT && GetTickCount() - start < 90000)
        for (HWND monitor : MonitorWindows()) shown[monitor].insert(ControlText(monitor, MonitorLine1));
    EXPECT_EQ(WaitForSingleObject(driver, 0), WAIT_OBJECT_0);
    TerminateProcess(driver, 1);
    CloseHandle(driver);
    CloseHandle(earlier);
    for (HANDLE caller : callers) CloseHandle(caller);

    const std::string installing = "Устанавливаем \"Тестовый модуль Бета\" версии 2.1.0.5";
    EXPECT_EQ(shown.size(), 2u);
    for (const auto& monitor : shown) EXPECT_EQ(monitor.second.count(installing), 1u) << *monitor.second.begin();
    std::string log = test::ReadLog(app);
    size_t first = log.find("Код завершения: 0");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("Код завершения: 0", first + 1), std::string::npos) << log;
    EXPECT_EQ(log.find("Принудительно"), std::string::npos) << log;
    EXPECT_EQ(log.find("Ошибка"), std::string::npos) << log;
    for (const std::string& dir : callerDirs) {
        EXPECT_TRUE(test::WaitFor([&] { return test::SplitLines(test::ReadFileBytes(dir + "caller.log")).size() == 2; },
                                  10000))
            << dir;
        test::EndProgramsIn(dir);
    }
}

// The monitor ends while an installer extracts (killed, or its session
// ended): the installer goes on to its end.
TEST_F(DriverTest, AnInstallerOutlivesItsKilledMonitor) {
    ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\slow.exe", app + "Files\\beta\\beta.exe"));
    HANDLE driver = test::StartProcess("\"" + app + "ZELService.exe\" /runinstaller 0 0 beta=0.0.0.0");
    ASSERT_NE(driver, nullptr);
    // The installer runs, and reports to the monitor, once a file is on its way.
    HWND monitor = nullptr;
    ASSERT_TRUE(test::WaitFor(
        [&] {
            for (HWND window : MonitorWindows())
                if (ControlText(window, MonitorLine2).rfind("Извлечение: ", 0) == 0) monitor = window;
            return monitor != nullptr;
        },
        30000));
    DWORD pid = 0;
    GetWindowThreadProcessId(monitor, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(TerminateProcess(process, 9));
    CloseHandle(process);
    EXPECT_EQ(WaitForSingleObject(driver, 60000), WAIT_OBJECT_0);
    CloseHandle(driver);
    std::string log = test::ReadLog(app);
    EXPECT_NE(log.find("Код завершения: 0\r\n"), std::string::npos) << log;
    EXPECT_TRUE(FileExists(target + "\\data.bin"));
    EXPECT_TRUE(FileExists(target + "\\cmdline.txt"));
}

// The real monitor process: its lines follow the reports, the user cannot
// close it, and the event ends it, also when it came before the window.
TEST(MonitorWindowTest, ShowsReportsIgnoresClosingAndEndsOnTheEvent) {
    std::string app = test::TestDir() + "mon\\";
    test::RemoveTree(app);
    ASSERT_TRUE(ForceDirectories(app));
    ASSERT_TRUE(test::CopyFileTo(DriverPath(), app + "ZELService.exe"));
    const std::string suffix = NewMonitorEventSuffix();
    const std::string command = "\"" + app + "ZELService.exe\" /monitor /event=" + suffix;
    HANDLE event = CreateOpenEvent(MonitorEventNameFor(suffix));
    ASSERT_NE(event, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD pid = 0;
    HANDLE monitor = test::StartProcess(command, "", &pid);
    ASSERT_NE(monitor, nullptr);
    HWND dialog = nullptr;
    ASSERT_TRUE(test::WaitFor([&] { return (dialog = FindProcessWindow(pid)) && !ControlText(dialog, 101).empty(); },
                              10000));
    char caption[256] = {0};
    GetWindowTextA(dialog, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Установка программного обеспечения ЗЕЛ");
    EXPECT_EQ(ControlText(dialog, 101), "Подготовка к установке ПО...");
    EXPECT_EQ(ControlText(dialog, 102), "");
    EXPECT_TRUE(FileExists(app + "Service.dll"));

    SendReport(dialog, MONITOR_TEXT1, Block("abc"));
    EXPECT_EQ(ControlText(dialog, 101), "abc");
    EXPECT_EQ(ControlText(dialog, 102), "");
    SendReport(dialog, MONITOR_TEXT2, Block("def"));
    EXPECT_EQ(ControlText(dialog, 101), "abc");
    EXPECT_EQ(ControlText(dialog, 102), "def");
    SendReport(dialog, 170, Block("zzz"));
    EXPECT_EQ(ControlText(dialog, 101), "abc");
    EXPECT_EQ(ControlText(dialog, 102), "def");
    SendReport(dialog, MONITOR_TEXT1, std::string(300, 'x'));  // no zero byte
    EXPECT_EQ(ControlText(dialog, 101), std::string(261, 'x'));
    SendReport(dialog, MONITOR_TEXT2, "12345");  // short block, no zero byte
    EXPECT_EQ(ControlText(dialog, 102), "12345");

    PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(WaitForSingleObject(monitor, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(IsWindowVisible(dialog));

    DWORD start = GetTickCount();
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(monitor, 5000), WAIT_OBJECT_0);
    EXPECT_LT(GetTickCount() - start, 2000u);
    DWORD code = 1;
    GetExitCodeProcess(monitor, &code);
    EXPECT_EQ(code, 0u);
    TerminateProcess(monitor, 1);
    CloseHandle(monitor);

    // Signalled before the monitor starts: it still closes by itself.
    monitor = test::StartProcess(command);
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(WaitForSingleObject(monitor, 10000), WAIT_OBJECT_0);
    TerminateProcess(monitor, 1);
    CloseHandle(monitor);
    CloseHandle(event);
}

// A block of the hook's name that is there before the monitor is someone
// else's: the monitor does not use it (its window never goes into it) and
// runs without installer reports.
TEST(MonitorWindowTest, RefusesAHookBlockThatExists) {
    std::string app = test::TestDir() + "mon-block\\";
    test::RemoveTree(app);
    ASSERT_TRUE(test::CopyFileTo(DriverPath(), app + "ZELService.exe"));
    HANDLE squatter = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, HookBlockName);
    ASSERT_NE(squatter, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const DWORD* shared = static_cast<const DWORD*>(MapViewOfFile(squatter, FILE_MAP_READ, 0, 0, 8));
    ASSERT_NE(shared, nullptr);
    const std::string suffix = NewMonitorEventSuffix();
    HANDLE event = CreateOpenEvent(MonitorEventNameFor(suffix));
    DWORD pid = 0;
    HANDLE monitor = test::StartProcess("\"" + app + "ZELService.exe\" /monitor /event=" + suffix, "", &pid);
    ASSERT_NE(monitor, nullptr);
    HWND dialog = nullptr;
    EXPECT_TRUE(test::WaitFor([&] { return (dialog = FindProcessWindow(pid)) && !ControlText(dialog, 101).empty(); },
                              10000));
    EXPECT_EQ(shared[0], 0u);
    EXPECT_EQ(shared[1], 0u);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(monitor, 5000), WAIT_OBJECT_0);
    TerminateProcess(monitor, 1);
    CloseHandle(monitor);
    CloseHandle(event);
    UnmapViewOfFile(shared);
    CloseHandle(squatter);
}

// Windows animates the monitor's marquee bar only with Common Controls 6: the
// service program, and the driver that stands in for it, select that version
// in their application manifest.
TEST(MonitorWindowTest, ProgramsSelectCommonControls6) {
    for (const std::string& program : {test::BinDir() + "ZELService.exe", DriverPath()}) {
        HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << program;
        HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
        ASSERT_NE(info, nullptr) << program;
        std::string text(static_cast<const char*>(LockResource(LoadResource(module, info))),
                         SizeofResource(module, info));
        FreeLibrary(module);
        size_t name = text.find("name=\"Microsoft.Windows.Common-Controls\"");
        ASSERT_NE(name, std::string::npos) << text;
        size_t begin = text.rfind("<assemblyIdentity", name), end = text.find("/>", name);
        ASSERT_TRUE(begin != std::string::npos && end != std::string::npos) << text;
        std::string identity = text.substr(begin, end - begin);
        EXPECT_NE(identity.find("version=\"6.0.0.0\""), std::string::npos) << identity;
        EXPECT_NE(identity.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos) << identity;
        EXPECT_NE(text.rfind("<dependentAssembly>", begin), std::string::npos) << text;
    }
}
