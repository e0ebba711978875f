// Process tools, the installer thread's session and token branches, the
// hook DLL and housekeeping, in the test process.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "InstallTestSupport.h"
#include "base/Access.h"
#include "base/Log.h"
#include "install/CallerProcess.h"
#include "install/Installer.h"
#include "install/Maintenance.h"
#include "install/NSISMonitor.h"
#include "install/zel_processes.h"
#include "store/ModuleList.h"
#include "support/TestSupport.h"

using namespace zel;
using test::DriverPath;
using test::ExpectInOrder;

namespace {

std::string LogSince(size_t offset) {
    std::string log = test::ReadLog(test::TestDir());
    return offset < log.size() ? log.substr(offset) : std::string();
}

size_t LogSize() { return test::ReadLog(test::TestDir()).size(); }

// Runs one installer thread to its end.
void RunAndWait(const std::vector<std::string>& modules, DWORD pid, bool restart) {
    HANDLE thread = StartInstaller(modules, pid, restart);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

BOOL WINAPI NoToken(ULONG, PHANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
// A token that comes only when the test lets it: the installation lock is
// held meanwhile.
HANDLE TokenGate = nullptr;
BOOL WINAPI LateNoToken(ULONG session, PHANDLE token) {
    WaitForSingleObject(TokenGate, 20000);
    return NoToken(session, token);
}
BOOL WINAPI NoLinkedToken(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) {
    SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
    return FALSE;
}
BOOL WINAPI BrokenTokenInfo(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
BOOL WINAPI NoEnvironment(LPVOID*, HANDLE, BOOL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}
std::vector<std::string> Started;
std::vector<HANDLE> StartTokens;
BOOL WINAPI RecordStart(HANDLE token, LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                        DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
    Started.push_back(commandLine);
    StartTokens.push_back(token);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
// The monitor's event as the run holds it when the monitor is started.
test::AccessList EventAccess;
BOOL WINAPI RecordStartAndEvent(HANDLE token, LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                                LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCSTR dir, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    std::string line = commandLine;
    size_t at = line.find("/event=");
    if (at != std::string::npos) {
        HANDLE event = OpenEventA(READ_CONTROL, FALSE, MonitorEventNameFor(line.substr(at + 7)).c_str());
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL dacl = nullptr;
        if (event && GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                     nullptr, &descriptor) == ERROR_SUCCESS) {
            EventAccess = test::DecodeAccess(descriptor);
            LocalFree(descriptor);
        }
        if (event) CloseHandle(event);
    }
    return RecordStart(token, application, commandLine, process, thread, inherit, flags, environment, dir, startup,
                       info);
}
std::string FixedSuffix() { return "0123456789ABCDEF"; }

HANDLE UserToken = nullptr;
BOOL WINAPI KnownToken(ULONG, PHANDLE token) {
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    UserToken = *token;
    return TRUE;
}

HANDLE LinkedToken = nullptr;
BOOL WINAPI KnownLinkedToken(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed) {
    if (cls != TokenLinkedToken) return GetTokenInformation(token, cls, info, size, needed);
    HANDLE linked = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &linked))
        return FALSE;
    LinkedToken = linked;
    static_cast<TOKEN_LINKED_TOKEN*>(info)->LinkedToken = linked;
    return TRUE;
}

class InstallerSeamTest : public testing::Test {
protected:
    void SetUp() override {
        InstallerSeam() = DefaultInstallerPlatform();
        InstallerSeam().CreateProcessAsUserA = RecordStart;
        Started.clear();
        StartTokens.clear();
        LogMode.store(0x3F);
        offset = LogSize();
    }
    void TearDown() override {
        InstallerSeam() = DefaultInstallerPlatform();
        LogMode.store(LogDefaultMode);
    }
    size_t offset = 0;
};

}  // namespace

TEST(ProcessToolsTest, ParentNameAndCommandLine) {
    EXPECT_EQ(GetParentProcessId(0xFFFFFFF0), NoProcessId);
    EXPECT_EQ(GetProcessExeName(0xFFFFFFF0), "");
    EXPECT_EQ(GetProcessExeName(GetCurrentProcessId()), "install_test.exe");
    EXPECT_FALSE(IsParentProcessName("install_test.exe"));

    std::string line = "untouched", dir = "untouched";
    EXPECT_FALSE(GetProcessCommandLine(0, line, dir));
    EXPECT_EQ(line, "untouched");
    EXPECT_EQ(dir, "untouched");

    ASSERT_TRUE(GetProcessCommandLine(GetCurrentProcessId(), line, dir));
    EXPECT_EQ(line, GetCommandLineA());
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    EXPECT_EQ(IncludeTrailingBackslash(dir), IncludeTrailingBackslash(current));
}

TEST_F(InstallerSeamTest, TokenAndEnvironmentFailuresStartNothing) {
    InstallerSeam().WTSQueryUserToken = NoToken;
    RunAndWait({"m=1.0.0.1"}, 0, true);
    InstallerSeam().WTSQueryUserToken = DefaultInstallerPlatform().WTSQueryUserToken;
    InstallerSeam().GetTokenInformation = BrokenTokenInfo;
    RunAndWait({}, 0, false);
    InstallerSeam().GetTokenInformation = DefaultInstallerPlatform().GetTokenInformation;
    InstallerSeam().CreateEnvironmentBlock = NoEnvironment;
    RunAndWait({}, 0, false);
    EXPECT_TRUE(Started.empty());
    std::string log = LogSince(offset);
    EXPECT_NE(log.find("Ошибка при установке: При вызове функции WTSQueryUserToken произошла ошибка"),
              std::string::npos);
    EXPECT_NE(log.find("Ошибка при установке: При вызове функции GetTokenInformation произошла ошибка"),
              std::string::npos);
    EXPECT_NE(log.find("Ошибка при установке: При вызове функции CreateEnvironmentBlock произошла ошибка"),
              std::string::npos);
    EXPECT_EQ(log.find("Запускаем монитор NSIS"), std::string::npos);
    EXPECT_NE(log.find("Installer Thread Successfully Terminated"), std::string::npos);

    // Requests behind one that holds the lock wait, up to the limit; one
    // more is refused and starts nothing; then the queue takes requests again.
    TokenGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    InstallerSeam().WTSQueryUserToken = LateNoToken;
    std::vector<HANDLE> waiting;
    for (LONG i = 0; i < MaxQueuedInstalls; ++i) {
        HANDLE thread = StartInstaller({"m=1.0.0.1"}, 0, false);
        ASSERT_NE(thread, nullptr) << i;
        waiting.push_back(thread);
    }
    offset = LogSize();
    EXPECT_EQ(StartInstaller({"m=1.0.0.1"}, 0, false), nullptr);
    EXPECT_NE(LogSince(offset).find("Отказано в установке: запросов, ожидающих установки, уже 8"), std::string::npos);
    SetEvent(TokenGate);
    for (HANDLE thread : waiting) {
        EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    CloseHandle(TokenGate);
    InstallerSeam().WTSQueryUserToken = NoToken;
    RunAndWait({"m=1.0.0.1"}, 0, false);
    EXPECT_TRUE(Started.empty());
}

TEST_F(InstallerSeamTest, NonAdministratorUsesUserTokenAndEmptyListIsReported) {
    InstallerSeam().WTSQueryUserToken = KnownToken;
    InstallerSeam().GetTokenInformation = NoLinkedToken;
    RunAndWait({"absent=1.0.0.1"}, 0, true);
    ASSERT_EQ(Started.size(), 1u);
    const std::string monitor = "\"" + GetProgramPath() + "\" /monitor /event=";
    ASSERT_EQ(Started[0].rfind(monitor, 0), 0u) << Started[0];
    EXPECT_TRUE(IsMonitorEventSuffix(Started[0].substr(monitor.size()))) << Started[0];
    EXPECT_EQ(StartTokens[0], UserToken);
    std::string log = LogSince(offset);
    const char* order[] = {"RunInstaller (Caller PID : 0)", "Текущий пользователь не входит в группу Администраторов",
                           "Запускаем монитор NSIS", "Не удалось запустить монитор NSIS",
                           "Ошибка при вызове WaitforSingleObject",
                           "Принудительно завершаем работу монитора NSIS", "Ошибка при вызове TerminateProcess",
                           "Ошибка при установке: Список модулей пуст", "Installer Thread Successfully Terminated"};
    size_t at = 0;
    for (const char* line : order) {
        size_t next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << line;
        at = next;
    }
}

// The caller is started again with the token of its own process, held
// since the request, in its own session: never with the linked (elevated)
// token that the monitor and the installers get.
TEST_F(InstallerSeamTest, CallerIsStartedAgainWithItsOwnToken) {
    InstallerSeam().WTSQueryUserToken = KnownToken;
    InstallerSeam().GetTokenInformation = KnownLinkedToken;
    std::string dir = test::TestDir() + "own-token\\";
    test::RemoveTree(dir);
    ASSERT_TRUE(ForceDirectories(dir));
    ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\caller.exe", dir + "caller.exe"));
    const std::string line = "\"" + dir + "caller.exe\" /linger=60000";
    DWORD pid = 0;
    HANDLE process = test::StartProcess(line, dir, &pid);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return FileExists(dir + "caller.log"); }, 10000));
    DWORD error = 0;
    std::unique_ptr<TCallerProcess> caller = TCallerProcess::Open(pid, error);
    ASSERT_TRUE(caller) << error;
    const HANDLE callerToken = caller->Token();
    HANDLE thread = StartInstaller({}, std::move(caller), true);
    ASSERT_NE(thread, nullptr);
    TerminateProcess(process, 0);
    CloseHandle(process);
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_EQ(Started.size(), 2u);
    EXPECT_EQ(StartTokens[0], LinkedToken);  // the monitor
    EXPECT_EQ(Started[1], line);
    EXPECT_EQ(StartTokens[1], callerToken);
    EXPECT_NE(StartTokens[1], LinkedToken);
    EXPECT_NE(StartTokens[1], UserToken);
    ExpectInOrder(LogSince(offset), {"Запускаем программу:", dir + "caller.exe",
                                     "Ошибка при установке: При вызове функции CreateProcessAsUser произошла ошибка",
                                     "Installer Thread Successfully Terminated"});
}

// What the service takes from a caller's program: its file only from a
// local fixed disk, its internal name only as one plain word.
TEST(CallerProgramTest, LocalPathsAndPlainWords) {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_TRUE(IsLocalFixedPath(std::string(windows) + "\\notepad.exe"));
    EXPECT_TRUE(IsLocalFixedPath("\\\\?\\" + std::string(windows) + "\\notepad.exe"));
    for (const char* path : {"\\\\host\\share\\app.exe", "\\\\?\\UNC\\host\\share\\app.exe",
                             "\\\\.\\pipe\\app", "app.exe", "\\app.exe", "C:app.exe", "", "Q:\\app.exe"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(IsLocalFixedPath(path));
    }
    for (const char* word : {"ClientApp", "Kassa-2.1_x", "Клиент", "Ёлка"}) EXPECT_TRUE(IsPlainWord(word)) << word;
    for (const char* word : {"", "App /D=C:\\x", "a b", "a\"b", "/S", "a=b", "a\tb", "%PATH%", "a&b", "a^b"})
        EXPECT_FALSE(IsPlainWord(word)) << word;
}

// Every run has an event of its own, for SYSTEM and the user whose token
// starts the monitor, who may only wait for it.
TEST_F(InstallerSeamTest, EachRunHasItsOwnEventThatOnlyItsUserMayWaitFor) {
    InstallerSeam().WTSQueryUserToken = KnownToken;
    InstallerSeam().CreateProcessAsUserA = RecordStartAndEvent;
    EventAccess = test::AccessList();
    RunAndWait({}, 0, false);
    RunAndWait({}, 0, false);
    ASSERT_EQ(Started.size(), 2u);
    EXPECT_NE(Started[0], Started[1]);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<BYTE> user = TokenUserSid(token);
    CloseHandle(token);
    ASSERT_TRUE(EventAccess.valid);
    EXPECT_TRUE(EventAccess.isProtected);
    EXPECT_EQ(EventAccess.entries, (std::vector<test::AccessEntry>{{"S-1-5-18", EVENT_ALL_ACCESS, 0},
                                                                  {test::SidString(user.data()), SYNCHRONIZE, 0}}));
}

// An event of the run's name exists already (someone else made it): the
// run ends there, with its log line, and starts nothing.
TEST_F(InstallerSeamTest, AnEventOfTheRunsNameThatExistsEndsTheRun) {
    InstallerSeam().MonitorEventSuffix = FixedSuffix;
    HANDLE squatter = CreateEventA(nullptr, TRUE, TRUE, MonitorEventNameFor(FixedSuffix()).c_str());
    ASSERT_NE(squatter, nullptr);
    RunAndWait({"m=1.0.0.1"}, 0, true);
    CloseHandle(squatter);
    EXPECT_TRUE(Started.empty());
    std::string log = LogSince(offset);
    test::ExpectInOrder(log, {"Ошибка при установке: Событие монитора " + MonitorEventNameFor(FixedSuffix()) +
                                  " уже существует: установка не выполняется",
                              "Installer Thread Successfully Terminated"});
    EXPECT_EQ(log.find("Запускаем монитор NSIS"), std::string::npos) << log;
}

TEST(HousekeepingTest, HookDllPatchDirsAndLogs) {
    std::string dll = GetHookDllPath();
    RemoveFile(dll);
    LogMode.store(0x3F);
    size_t offset = LogSize();
    EXPECT_TRUE(RestoreHookDll());
    EXPECT_TRUE(FileExists(dll));
    EXPECT_NE(LogSince(offset).find("Восстанавливаем Service.dll"), std::string::npos);
    EXPECT_EQ(GetFileVersionString(dll, "InternalName"), "NSISMonitor");
    // Another version than the program's (the test has none): replaced.
    EXPECT_TRUE(RestoreHookDll());

    std::string files = GetFilesDir() + "\\";
    test::RemoveTree(files);
    for (int v = 1; v <= 5; ++v) {
        ASSERT_TRUE(ForceDirectories(files + "full@" + std::to_string(v)));
        test::WriteFileBytes(files + "full@" + std::to_string(v) + "\\x.bin", "x");
        ASSERT_TRUE(ForceDirectories(files + "empty@" + std::to_string(v)));
    }
    offset = LogSize();
    RemovePatchDirs();
    std::string log = LogSince(offset);
    for (int v = 1; v <= 5; ++v) EXPECT_TRUE(DirectoryExists(files + "full@" + std::to_string(v)));
    EXPECT_NE(log.find("Удалены файлы патча full@1"), std::string::npos);
    EXPECT_NE(log.find("Удалены файлы патча full@2"), std::string::npos);
    EXPECT_EQ(log.find("Удалены файлы патча full@3"), std::string::npos);
    for (int v = 1; v <= 4; ++v) EXPECT_FALSE(DirectoryExists(files + "empty@" + std::to_string(v)));
    EXPECT_TRUE(DirectoryExists(files + "empty@5"));

    // Only today's log and the prepared files take part.
    std::string logs = GetLogDir();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((logs + "*.txt").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (logs + found.cFileName != test::TodayLogPath(test::TestDir())) RemoveFile(logs + found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    for (int day = 1; day <= 20; ++day) {
        char name[32];
        wsprintfA(name, "US202601%02d.txt", day);
        test::WriteFileBytes(logs + name, "old");
    }
    test::WriteFileBytes(logs + "a-notes.TXT", "other");
    CleanLogs();
    EXPECT_FALSE(FileExists(logs + "a-notes.TXT"));
    for (int day = 1; day <= 6; ++day) {
        char name[32];
        wsprintfA(name, "US202601%02d.txt", day);
        EXPECT_FALSE(FileExists(logs + name)) << name;
    }
    EXPECT_TRUE(FileExists(logs + "US20260108.txt"));  // today's log counts too
    LogMode.store(LogDefaultMode);
    test::RemoveTree(files);
}

// A module folder in the store and the log's folder that are links to a
// folder elsewhere: housekeeping enters neither and deletes nothing there.
TEST(HousekeepingTest, NothingIsDeletedThroughALink) {
    std::string files = GetFilesDir() + "\\";
    std::string elsewhere = test::TestDir() + "elsewhere\\";
    test::RemoveTree(files);
    test::RemoveTree(elsewhere);
    for (int v = 1; v <= 5; ++v)
        ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "stubs\\old" + std::to_string(v) + ".exe",
                                     elsewhere + "v" + std::to_string(v) + ".exe"));
    for (int day = 1; day <= 20; ++day) test::WriteFileBytes(elsewhere + Format("US202601%.2d.txt", {day}), "old");
    ASSERT_TRUE(ForceDirectories(files));
    ASSERT_TRUE(test::MakeFolderLink(elsewhere, files + "linked"));
    // This program's own log folder steps aside for the link meanwhile.
    std::string logs = ExtractFileDir(GetLogDir()), kept = logs + ".kept";
    test::RemoveTree(kept);
    ASSERT_TRUE(!DirectoryExists(logs) || MoveFileA(logs.c_str(), kept.c_str()));
    ASSERT_TRUE(test::MakeFolderLink(elsewhere, logs));
    LogMode.store(LogDefaultMode);  // no debug lines: they would go to the link

    RemoveOldInstallers();
    CleanLogs();

    EXPECT_TRUE(test::RemoveFolderLink(logs));
    EXPECT_TRUE(!DirectoryExists(kept) || MoveFileA(kept.c_str(), logs.c_str()));
    EXPECT_TRUE(test::RemoveFolderLink(files + "linked"));
    for (int v = 1; v <= 5; ++v) EXPECT_TRUE(FileExists(elsewhere + "v" + std::to_string(v) + ".exe")) << v;
    for (int day = 1; day <= 20; ++day) EXPECT_TRUE(FileExists(elsewhere + Format("US202601%.2d.txt", {day}))) << day;
    test::RemoveTree(files);
    test::RemoveTree(elsewhere);
}

TEST(SampleInstallerTest, VersionStringsAndSilentRun) {
    std::string exe = test::TestDir() + "samples\\alpha.exe";
    EXPECT_EQ(GetFileVersionString(exe, "FileDescription"), "Тестовый модуль Альфа");
    EXPECT_EQ(GetFileVersionString(exe, "FileVersion"), "3.1.0.7");
    EXPECT_EQ(GetFileVersionString(exe, "UpdateType"), "FU");
    EXPECT_EQ(GetFileVersionString(exe, "InternalName"), "Alpha");
    EXPECT_EQ(GetFileVersionString(exe, "Sequential"), "1");

    std::string target = test::TestDir() + "alpha-target";
    test::RemoveTree(target);
    SetEnvironmentVariableA("ZEL_TEST_TARGET", target.c_str());
    EXPECT_EQ(test::RunProcess("\"" + exe + "\" /service /internalname=Client", 30000), 0);
    SetEnvironmentVariableA("ZEL_TEST_TARGET", nullptr);
    EXPECT_TRUE(FileExists(target + "\\readme.txt"));
    EXPECT_TRUE(FileExists(target + "\\data.bin"));
    std::string record = test::ReadFileBytes(target + "\\cmdline.txt");
    EXPECT_NE(record.find("/service /internalname=Client"), std::string::npos) << record;
    EXPECT_NE(record.find("service=yes"), std::string::npos) << record;
    EXPECT_NE(record.find("internalname=Client"), std::string::npos) << record;
}

namespace {

typedef BOOLEAN(WINAPI* SetHookFn)(BOOLEAN install, HWND window, DWORD reserved);

struct Report {
    ULONG_PTR code;
    DWORD size;
    std::string text;
};
std::vector<Report> Reports;

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const char* text = static_cast<const char*>(data->lpData);
        Reports.push_back({data->dwData, data->cbData, std::string(text, text ? strnlen(text, data->cbData) : 0)});
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Runs a command line and takes the reports sent to this thread meanwhile.
DWORD RunReceiving(const std::string& commandLine) {
    HANDLE process = test::StartProcess(commandLine);
    if (!process) return 99;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        DWORD r = MsgWaitForMultipleObjects(1, &process, FALSE, 500, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        if (r == WAIT_OBJECT_0) break;
    }
    DWORD code = 98;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

bool HasReport(ULONG_PTR code, const std::string& text) {
    for (const Report& r : Reports)
        if (r.code == code && r.text == text) return true;
    return false;
}

std::string Dump() {
    std::string all;
    for (const Report& r : Reports) all += std::to_string(r.code) + " [" + r.text + "]\n";
    return all;
}

}  // namespace

// The hook DLL, loaded here and pointed at a window of this test: only
// programs started by ZELService.exe, other than its own copies, report.
TEST(HookDllTest, ReportsOnlyFromInstallersOfTheService) {
    std::string path = GetHookDllPath();
    try {
        ExtractHookDll(path);  // the DLL of this build, unless a process still holds an older one
    } catch (const Exception&) {
    }
    ASSERT_TRUE(FileExists(path));
    // As the monitor, which makes the block for its own user, and only when
    // none of that name is there yet, before it loads the DLL.
    HANDLE mapping = CreateHookBlock();
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(CreateHookBlock(), nullptr);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<BYTE> user = TokenUserSid(token);
    CloseHandle(token);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetSecurityInfo(mapping, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    test::AccessList block = test::DecodeAccess(descriptor);
    LocalFree(descriptor);
    EXPECT_TRUE(block.isProtected);
    EXPECT_EQ(block.entries, (std::vector<test::AccessEntry>{
                                 {test::SidString(user.data()), SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE, 0}}));
    HMODULE dll = LoadLibraryA(path.c_str());
    ASSERT_NE(dll, nullptr);
    SetHookFn setHook = reinterpret_cast<SetHookFn>(reinterpret_cast<void*>(GetProcAddress(dll, "SetHook")));
    ASSERT_NE(setHook, nullptr);
    const DWORD* shared = static_cast<const DWORD*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 8));
    ASSERT_NE(shared, nullptr);
    EXPECT_FALSE(setHook(FALSE, nullptr, 0));
    EXPECT_EQ(shared[0], 0u);

    WNDCLASSA cls;
    ZeroMemory(&cls, sizeof(cls));
    cls.lpfnWndProc = RecorderProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = "ZELReportRecorder";
    RegisterClassA(&cls);
    HWND recorder = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance,
                                    nullptr);
    ASSERT_NE(recorder, nullptr);
    ASSERT_TRUE(setHook(TRUE, recorder, 0));
    EXPECT_NE(shared[0], 0u);
    EXPECT_EQ(shared[1], static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(recorder)));

    std::string dir = test::TestDir() + "hook\\";
    test::RemoveTree(dir);
    ASSERT_TRUE(ForceDirectories(dir));
    ASSERT_TRUE(test::CopyFileTo(DriverPath(), dir + "ZELService.exe"));
    ASSERT_TRUE(test::CopyFileTo(DriverPath(), dir + "Other.exe"));
    ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "samples\\alpha.exe", dir + "alpha.exe"));
    test::WriteFileBytes(dir + "Файл данных.txt", "x");
    std::string longName(300, 'n');
    std::string files = " /window C:\\Temp\\nsx12.tmp\\System.dll \"W:" + dir + "Файл данных.txt\" " + dir + longName;
    std::string service = "\"" + dir + "ZELService.exe\" /spawn ";

    // Not started by the service, and the service's own copy: silent.
    EXPECT_EQ(RunReceiving("\"" + dir + "Other.exe\"" + files), 0u);
    EXPECT_EQ(RunReceiving(service + "\"" + dir + "ZELService.exe\"" + files), 0u);
    EXPECT_TRUE(Reports.empty()) << Dump();

    // A program of the service without a version resource.
    EXPECT_EQ(RunReceiving(service + "\"" + dir + "Other.exe\"" + files), 0u);
    ASSERT_GE(Reports.size(), 2u) << Dump();
    EXPECT_EQ(Reports.front().code, MONITOR_TEXT1);
    EXPECT_EQ(Reports.front().text, "Устанавливаем \"\" версии ");
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, "Извлечение: System.dll")) << Dump();
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, "Извлечение: Файл данных.txt")) << Dump();
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, ("Извлечение: " + longName).substr(0, 260))) << Dump();
    EXPECT_EQ(Reports.back().code, MONITOR_TEXT2);
    EXPECT_EQ(Reports.back().text, "");
    for (const Report& r : Reports) EXPECT_EQ(r.size, 261u);

    // A real NSIS installer of the service.
    Reports.clear();
    SetEnvironmentVariableA("ZEL_TEST_TARGET", (dir + "target").c_str());
    EXPECT_EQ(RunReceiving(service + "\"" + dir + "alpha.exe\" /service"), 0u);
    SetEnvironmentVariableA("ZEL_TEST_TARGET", nullptr);
    ASSERT_FALSE(Reports.empty());
    EXPECT_EQ(Reports.front().text, "Устанавливаем \"Тестовый модуль Альфа\" версии 3.1.0.7") << Dump();
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, "Извлечение: readme.txt")) << Dump();
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, "Извлечение: data.bin")) << Dump();
    EXPECT_EQ(Reports.back().text, "");
    EXPECT_TRUE(FileExists(dir + "target\\data.bin"));

    // Once the hook is gone (the monitor ended) the system may unload the
    // DLL from the processes it went into: an installer that it patched keeps
    // it, and goes on reporting.
    Reports.clear();
    EXPECT_EQ(RunReceiving(service + "\"" + dir + "Other.exe\" /freehook C:\\Temp\\after.dll"), 0u);
    EXPECT_TRUE(HasReport(MONITOR_TEXT2, "Извлечение: after.dll")) << Dump();

    // A monitor that does not answer delays the installer, but only a little.
    DWORD start = GetTickCount();
    EXPECT_EQ(test::RunProcess(service + "\"" + dir + "Other.exe\" /window C:\\Temp\\a.dll", 30000), 0);
    EXPECT_LT(GetTickCount() - start, 15000u);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);

    EXPECT_TRUE(setHook(FALSE, nullptr, 0));
    EXPECT_EQ(shared[0], 0u);
    DestroyWindow(recorder);
    UnmapViewOfFile(shared);
    CloseHandle(mapping);
    FreeLibrary(dll);
}

// Installers of versions 5..1 in three modules: without a sequential one,
// with version 2 sequential, with the oldest sequential.
TEST(HousekeepingTest, OldInstallersUpToASequentialOne) {
    std::string files = GetFilesDir() + "\\";
    std::string stubs = test::TestDir() + "stubs\\";
    test::RemoveTree(files);
    struct Module {
        const char* name;
        int sequential;
    } modules[] = {{"plain", 0}, {"seq2", 2}, {"seq1", 1}};
    for (const Module& m : modules) {
        ASSERT_TRUE(ForceDirectories(files + m.name));
        for (int v = 1; v <= 5; ++v) {
            std::string stub = (v == m.sequential ? "seq" : "old") + std::to_string(v) + ".exe";
            ASSERT_TRUE(test::CopyFileTo(stubs + stub, files + m.name + "\\v" + std::to_string(v) + ".exe"));
        }
    }
    LogMode.store(0x3F);
    size_t offset = LogSize();
    RemoveOldInstallers();
    std::string log = LogSince(offset);
    LogMode.store(LogDefaultMode);
    auto exists = [&](const char* module, int v) {
        return FileExists(files + module + "\\v" + std::to_string(v) + ".exe");
    };
    EXPECT_NE(log.find("Проверяем наличие старых версий инсталяторов"), std::string::npos);
    ExpectInOrder(log, {"Удален файл " + files + "plain\\v1.exe", "Удален файл " + files + "plain\\v2.exe"});
    for (int v = 3; v <= 5; ++v) EXPECT_TRUE(exists("plain", v)) << v;
    EXPECT_FALSE(exists("plain", 1));
    EXPECT_FALSE(exists("plain", 2));
    EXPECT_FALSE(exists("seq2", 1));
    for (int v = 2; v <= 5; ++v) EXPECT_TRUE(exists("seq2", v)) << v;
    for (int v = 1; v <= 5; ++v) EXPECT_TRUE(exists("seq1", v)) << v;
    EXPECT_EQ(log.find("seq1\\v"), std::string::npos) << log;
    EXPECT_EQ(log.find("seq2\\v2"), std::string::npos) << log;
    test::RemoveTree(files);
}
