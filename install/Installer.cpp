#include "Installer.h"

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Access.h"
#include "base/InFlight.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Owners.h"
#include "base/Versions.h"
#include "install/NSISMonitor.h"
#include "install/zel_processes.h"
#include "store/CodeSignature.h"
#include "store/InstallList.h"

namespace zel {

namespace {

// Install requests waiting or running; each thread gives its place back
// when it ends.
std::atomic<LONG> InstallsPending{0};

// The thread carries out its request whatever becomes of the log: its lines
// are written where they can be (TryWriteLog).

DWORD PlatformMajorVersion() {
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) return 0;
    return version.dwMajorVersion;
}

constexpr DWORD BaseCreationFlags = 0x30;  // new console, normal priority
constexpr DWORD ExtraCreationFlags = 0x400 | 0x10000000;  // UTF-16 environment block
constexpr DWORD CallerWaitMs = 300000;
constexpr DWORD MonitorWaitMs = 2000;
constexpr DWORD MonitorReadyMs = 5000;
constexpr size_t MaxCallerChildren = 63;
char Desktop[] = "Winsta0\\Default";

// Install requests run one after another: the monitor event, the hook's
// window and the installers belong to one request at a time.
SRWLOCK InstallLock = SRWLOCK_INIT;

// The module file name of another process through psapi, loaded on first use.
typedef DWORD(WINAPI* GetModuleFileNameExAFn)(HANDLE, HMODULE, LPSTR, DWORD);

std::string ProcessFileName(HANDLE process) {
    static GetModuleFileNameExAFn getName = []() -> GetModuleFileNameExAFn {
        HMODULE psapi = LoadLibraryA("psapi.dll");
        if (!psapi) return nullptr;
        return reinterpret_cast<GetModuleFileNameExAFn>(
            reinterpret_cast<void*>(GetProcAddress(psapi, "GetModuleFileNameExA")));
    }();
    std::string result;
    char name[MAX_PATH + 1] = {0};
    if (process && getName) {
        DWORD n = getName(process, nullptr, name, MAX_PATH);
        result.assign(name, n);
    }
    return result;
}

// The events of the runs whose monitor is up, for the stop to signal.
std::mutex LiveMonitorsLock;
std::vector<HANDLE> LiveMonitors;

// Lists a run's event while the run may still signal it (it is closed only
// after this has gone).
class TLiveMonitor {
public:
    explicit TLiveMonitor(HANDLE event) : event_(event) {
        if (!event_) return;
        std::lock_guard<std::mutex> lock(LiveMonitorsLock);
        LiveMonitors.push_back(event_);
    }
    ~TLiveMonitor() {
        if (!event_) return;
        std::lock_guard<std::mutex> lock(LiveMonitorsLock);
        LiveMonitors.erase(std::remove(LiveMonitors.begin(), LiveMonitors.end(), event_), LiveMonitors.end());
    }
    TLiveMonitor(const TLiveMonitor&) = delete;
    TLiveMonitor& operator=(const TLiveMonitor&) = delete;

private:
    HANDLE event_;
};

// The system's text of the error that a handler reports besides the message.
void LogSysError(const Exception& e) {
    if (const SysException* s = dynamic_cast<const SysException*>(&e))
        TryWriteLog(SysErrorMessage(s->ErrorCode()), LogError);
}

class TInstaller {
public:
    TInstaller(const std::vector<std::string>& modules, bool restartCaller, DWORD callerPid,
               std::unique_ptr<TCallerProcess> caller);
    ~TInstaller();
    HANDLE Start();

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    void Execute();
    void GetParentProcessInfo(DWORD pid);
    void WaitForCaller();
    void StopMonitor(HANDLE event, HANDLE monitor);
    void RestartCallerProcess(DWORD flags);
    bool StartProcess(HANDLE token, const std::string& application, const std::string& commandLine,
                      DWORD flags, LPVOID environment, const std::string& currentDir, PROCESS_INFORMATION& info);

    // First: it goes last, after the destructor's log line.
    TInFlight InFlight;
    std::unique_ptr<TInstallList> Modules;
    DWORD CallerPID = 0;
    // The caller's process and token, held from the request on; null when
    // there is no caller or it could not be opened.
    std::unique_ptr<TCallerProcess> Caller;
    std::string CommandLine;
    std::string WorkingDir;
    std::string ProgramPath;
    std::string CallerInternalName;
    bool RestartCaller = false;
};

TInstaller::TInstaller(const std::vector<std::string>& modules, bool restartCaller, DWORD callerPid,
                       std::unique_ptr<TCallerProcess> caller)
    : Caller(std::move(caller)) {
    TryWriteLogFmt("RunInstaller (Caller PID : %d)", {callerPid}, LogTrace);
    Modules.reset(new TInstallList(modules));
    RestartCaller = restartCaller;
    GetParentProcessInfo(callerPid);
}

TInstaller::~TInstaller() { TryWriteLog("Installer Thread Successfully Terminated", LogTrace); }

HANDLE TInstaller::Start() {
    HANDLE thread = CreateThread(nullptr, 0, &TInstaller::ThreadProc, this, 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        delete this;
        --InstallsPending;
        RaiseLastOSError(error);
    }
    return thread;
}

DWORD WINAPI TInstaller::ThreadProc(LPVOID self) {
    TInstaller* installer = static_cast<TInstaller*>(self);
    AcquireSRWLockExclusive(&InstallLock);
    try {
        installer->Execute();
    } catch (...) {
        // As the run-time's thread wrapper: the thread still ends and frees itself.
    }
    ReleaseSRWLockExclusive(&InstallLock);
    delete installer;
    --InstallsPending;
    return 0;
}

void TInstaller::GetParentProcessInfo(DWORD pid) {
    CallerPID = pid;
    TryWriteLog("GetParentProcessInfo\\OpenProcess", LogTrace);
    ProgramPath = Caller ? ProcessFileName(Caller->Process()) : std::string();
    TryWriteLogFmt("Parent Process Full Path: %s", {ProgramPath}, LogTrace);
    // A program elsewhere than on a local disk (a share above all) would
    // have LocalSystem open a path of the caller's choosing: it is neither
    // read nor started again.
    const bool local = IsLocalFixedPath(ProgramPath);
    if (!ProgramPath.empty() && !local) {
        TryWriteLogFmt("Программа %s находится не на локальном диске: она не открывается и не будет запущена снова",
                       {LogSafeText(ProgramPath)}, LogWarning);
        RestartCaller = false;
    }
    CallerInternalName =
        local ? Trim(GetFileVersionString(ProgramPath, "InternalName", 0x0419, 0x04E3)) : std::string();
    // The name goes onto the installers' command lines: one plain word only.
    if (!CallerInternalName.empty() && !IsPlainWord(CallerInternalName)) {
        TryWriteLogFmt("InternalName вызывающей программы не передаётся установщику: %s",
                       {LogSafeText(CallerInternalName)}, LogWarning);
        CallerInternalName.clear();
    }
    TryWriteLogFmt("InternalName: %s", {CallerInternalName}, LogTrace);
    if (!Caller || !ReadProcessCommandLine(Caller->Process(), CommandLine, WorkingDir)) return;
    WorkingDir = ExtractFileDir(ProgramPath);
    TryWriteLogFmt("Parent Process Comand Line: %s", {CommandLine}, LogTrace);
    TryWriteLogFmt("Parent Process Working Directory: %s", {WorkingDir}, LogTrace);
}

bool TInstaller::StartProcess(HANDLE token, const std::string& application, const std::string& commandLine,
                              DWORD flags, LPVOID environment, const std::string& currentDir,
                              PROCESS_INFORMATION& info) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpDesktop = Desktop;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    ZeroMemory(&info, sizeof(info));
    return InstallerSeam().CreateProcessAsUserA(token, application.c_str(), line.data(), nullptr, nullptr, FALSE,
                                                flags, environment,
                                                currentDir.empty() ? nullptr : currentDir.c_str(), &startup,
                                                &info) != FALSE;
}

void TInstaller::Execute() {
    InstallerPlatform& platform = InstallerSeam();
    try {
        DWORD session = 0;
        if (CallerPID == 0 || !platform.ProcessIdToSessionId(CallerPID, &session))
            session = platform.WTSGetActiveConsoleSessionId();

        UniqueHandle userToken;
        if (!platform.WTSQueryUserToken(session, userToken.Out())) {
            userToken.Release();  // nothing of a failed call is closed
            throw Exception(Format("При вызове функции WTSQueryUserToken произошла ошибка %s",
                                   {SysErrorMessage(GetLastError())}));
        }
        DWORD major = platform.MajorVersion();
        TryWriteLogFmt("Win32MajorVersion: %d", {major}, LogTrace);

        // Systems before user account control run with the user's token;
        // from major version 6 on, the linked (elevated) token when there is one.
        HANDLE launchToken = userToken.Get();
        UniqueHandle linkedToken;
        if (major >= 6) {
            TOKEN_LINKED_TOKEN linked;
            ZeroMemory(&linked, sizeof(linked));
            DWORD needed = 0;
            if (platform.GetTokenInformation(userToken.Get(), TokenLinkedToken, &linked, sizeof(linked), &needed)) {
                linkedToken.Reset(linked.LinkedToken);
                launchToken = linked.LinkedToken;
            } else {
                DWORD error = GetLastError();
                if (error != ERROR_NO_SUCH_LOGON_SESSION)
                    throw Exception(Format("При вызове функции GetTokenInformation произошла ошибка %s",
                                           {SysErrorMessage(error)}));
                TryWriteLog("Текущий пользователь не входит в группу Администраторов", LogWarning);
            }
        }

        LPVOID environment = nullptr;
        if (!platform.CreateEnvironmentBlock(&environment, launchToken, TRUE))
            throw Exception(Format("При вызове функции CreateEnvironmentBlock произошла ошибка %s",
                                   {SysErrorMessage(GetLastError())}));
        ScopeExit environmentGuard([environment] { DestroyEnvironmentBlock(environment); });

        // The run's own event, for SYSTEM and the user whose token starts the
        // monitor (who may only wait for it). Its name is new with every run
        // and goes to the monitor on its command line; an event of that
        // name that exists already is someone else's: the run ends here.
        UniqueHandle event;
        std::string eventSuffix = platform.MonitorEventSuffix();
        std::string eventName = MonitorEventNameFor(eventSuffix);
        bool eventExisted = false;
        try {
            std::vector<BYTE> user = TokenUserSid(launchToken);
            if (user.empty()) throw SysException("Ошибка при вызове GetTokenInformation");
            TSecurityDescriptor descriptor = MonitorEventDescriptor(user.data());
            if (!descriptor.IsValid()) throw SysException("Ошибка при вызове SetSecurityDescriptorDacl");
            event.Reset(CreateEventA(descriptor.Attributes(), TRUE, FALSE, eventName.c_str()));
            if (!event) throw SysException("Ошибка при вызове CreateEvent");
            eventExisted = GetLastError() == ERROR_ALREADY_EXISTS;
        } catch (const Exception& e) {
            TryWriteLog(e.Message(), LogError);
            LogSysError(e);
        }
        if (eventExisted)
            throw Exception(Format("Событие монитора %s уже существует: установка не выполняется", {eventName}));
        TLiveMonitor live(event.Get());

        TryWriteLog("Запускаем монитор NSIS", LogDebug);
        DWORD flags = BaseCreationFlags | ExtraCreationFlags;
        std::string self = GetProgramPath();
        PROCESS_INFORMATION monitorInfo;
        if (!StartProcess(launchToken, self, Format("\"%s\" /monitor /event=%s", {self, eventSuffix}), flags,
                          environment, "", monitorInfo)) {
            DWORD error = GetLastError();
            TryWriteLog("Не удалось запустить монитор NSIS", LogError);
            TryWriteLog(SysErrorMessage(error), LogError);
            ZeroMemory(&monitorInfo, sizeof(monitorInfo));
        }
        UniqueHandle monitorProcess(monitorInfo.hProcess), monitorThread(monitorInfo.hThread);
        // The monitor installs its hook while its window comes up; an
        // installer started before that would run without reports.
        if (monitorProcess) WaitForInputIdle(monitorProcess.Get(), MonitorReadyMs);

        if (CallerPID != 0) WaitForCaller();

        std::exception_ptr pending;
        try {
            if (Modules->Count() == 0) throw Exception("Список модулей пуст");
            TryWriteLog("Будут установлены следующие модули:", LogDebug);
            for (size_t i = 0; i < Modules->Count(); ++i)
                TryWriteLogFmt("   %s", {Modules->Items(i).ModuleName}, LogDebug);
            for (size_t i = 0; i < Modules->Count(); ++i) {
                const TInstallFile& item = Modules->Items(i);
                const std::string& installer = item.InstallerFile.FileName;
                TryWriteLogFmt("Устанавливаем обновление модуля %s версии %s",
                            {item.ModuleName, VersionToStr(item.InstallerFile.Version)}, LogDebug);
                // Only a file of the module's own store directory is run,
                // whatever the list holds.
                if (!IsStoredFile(item.ModuleName, installer) || !FileExists(installer))
                    throw Exception(Format("Файл обновления не найден %s", {installer}));
                std::string commandLine =
                    CallerInternalName.empty()
                        ? Format("\"%s\" /service", {installer})
                        : Format("\"%s\" /service /internalname=%s", {installer, CallerInternalName});
                // The file stays locked from its check until its process runs.
                TLockedFile program(installer, false);
                std::string problem = TrustedProgramProblem(program);
                if (!problem.empty()) {
                    // A file that fails is not kept for a later request.
                    bool opened = program.IsOpen();
                    program.Close();
                    if (opened) RemoveFile(installer);
                    throw Exception(Format("Подпись программы обновления %s не принята: %s", {installer, problem}));
                }
                TryWriteLog("Запускаем обновление:", LogTrace);
                TryWriteLogFmt("%s", {commandLine}, LogTrace);
                PROCESS_INFORMATION info;
                bool started = StartProcess(launchToken, installer, commandLine, flags, environment, "", info);
                DWORD startError = GetLastError();
                program.Close();
                if (!started) throw Exception(SysErrorMessage(startError));
                UniqueHandle process(info.hProcess);
                CloseHandle(info.hThread);
                WaitForSingleObject(process.Get(), INFINITE);
                DWORD exitCode = 0;
                GetExitCodeProcess(process.Get(), &exitCode);
                TryWriteLogFmt("Код завершения: %d", {exitCode}, LogTrace);
            }
        } catch (...) {
            pending = std::current_exception();
        }
        StopMonitor(event.Get(), monitorProcess.Get());
        try {
            RestartCallerProcess(flags);
        } catch (...) {
            pending = std::current_exception();
        }
        if (pending) std::rethrow_exception(pending);
    } catch (const Exception& e) {
        TryWriteLogFmt("Ошибка при установке: %s", {e.Message()}, LogError);
        LogSysError(e);
    }
}

void TInstaller::WaitForCaller() {
    std::vector<HANDLE> handles;
    ScopeExit closeHandles([&handles] {
        for (HANDLE h : handles) CloseHandle(h);
    });
    // A process whose parent id is the caller's but that is older than the
    // caller was the child of an earlier process of that id.
    const uint64_t callerCreated = Caller ? Caller->Created() : 0;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot) {
        PROCESSENTRY32 entry;
        ZeroMemory(&entry, sizeof(entry));
        entry.dwSize = sizeof(entry);
        if (Process32First(snapshot.Get(), &entry)) {
            do {
                if (entry.th32ParentProcessID != CallerPID || entry.th32ProcessID == CallerPID) continue;
                UniqueHandle child(
                    OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
                if (child && (!callerCreated || ProcessCreationTime(child.Get()) >= callerCreated)) {
                    handles.push_back(child.Get());
                    child.Release();
                }
            } while (handles.size() < MaxCallerChildren && Process32Next(snapshot.Get(), &entry));
        }
    }
    auto waitFailed = [](DWORD error) {
        TryWriteLogFmt("При вызове функции WaitForMultipleObjects произошла ошибка (%s)", {SysErrorMessage(error)},
                       LogError);
    };
    // The caller's own handle, held since the request: waited for even when
    // it has ended and its id has gone to another process. A requester that
    // had ended before its handle could be had leaves none to wait for,
    // which is said as a wait on it would say it; its children are still
    // waited for.
    UniqueHandle caller;
    if (Caller && DuplicateHandle(GetCurrentProcess(), Caller->Process(), GetCurrentProcess(), caller.Out(),
                                  SYNCHRONIZE, FALSE, 0)) {
        handles.push_back(caller.Get());
        caller.Release();
    } else
        waitFailed(Caller ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_HANDLE));
    if (!handles.empty()) {
        DWORD result =
            WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, CallerWaitMs);
        if (result == WAIT_FAILED)
            waitFailed(GetLastError());
        else if (result == WAIT_TIMEOUT)
            TryWriteLog("Не удалось дождаться завершения всех процессов", LogWarning);
    }
}

void TInstaller::StopMonitor(HANDLE event, HANDLE monitor) {
    try {
        if (!event) throw Exception("Событие не создано");
        if (!SetEvent(event)) throw SysException("Ошибка при вызове SetEvent");
        DWORD result = WaitForSingleObject(monitor, MonitorWaitMs);
        if (result == WAIT_FAILED) throw SysException("Ошибка при вызове WaitforSingleObject");
        if (result == WAIT_TIMEOUT) throw Exception("Не удалось дождаться завершения монитора NSIS");
    } catch (const Exception& e) {
        TryWriteLog(e.Message(), LogError);
        LogSysError(e);
        TryWriteLog("Принудительно завершаем работу монитора NSIS", LogInfo);
        if (!TerminateProcess(monitor, 0)) {
            DWORD error = GetLastError();
            TryWriteLog("Ошибка при вызове TerminateProcess", LogError);
            TryWriteLog(SysErrorMessage(error), LogError);
        }
    }
}

// The caller is started again as it ran: with its own token (in its own
// session, as its user, never with the linked token the installers get)
// and that token's environment.
void TInstaller::RestartCallerProcess(DWORD flags) {
    if (!RestartCaller || CommandLine.empty() || !Caller) return;
    TryWriteLog("Запускаем программу:", LogTrace);
    TryWriteLogFmt("%s", {ProgramPath}, LogTrace);
    LPVOID environment = nullptr;
    if (!InstallerSeam().CreateEnvironmentBlock(&environment, Caller->Token(), TRUE))
        throw Exception(Format("При вызове функции CreateEnvironmentBlock произошла ошибка %s",
                               {SysErrorMessage(GetLastError())}));
    ScopeExit environmentGuard([environment] { DestroyEnvironmentBlock(environment); });
    PROCESS_INFORMATION info;
    bool started = StartProcess(Caller->Token(), ProgramPath, CommandLine, flags, environment, WorkingDir, info);
    DWORD error = GetLastError();
    if (!started)
        throw Exception(Format("При вызове функции CreateProcessAsUser произошла ошибка %s", {SysErrorMessage(error)}));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

}  // namespace

InstallerPlatform DefaultInstallerPlatform() {
    InstallerPlatform p;
    p.ProcessIdToSessionId = &::ProcessIdToSessionId;
    p.WTSGetActiveConsoleSessionId = &::WTSGetActiveConsoleSessionId;
    p.WTSQueryUserToken = &::WTSQueryUserToken;
    p.GetTokenInformation = &::GetTokenInformation;
    p.CreateEnvironmentBlock = &::CreateEnvironmentBlock;
    p.MajorVersion = &PlatformMajorVersion;
    p.CreateProcessAsUserA = &::CreateProcessAsUserA;
    p.MonitorEventSuffix = &NewMonitorEventSuffix;
    return p;
}

InstallerPlatform& InstallerSeam() {
    static InstallerPlatform platform = DefaultInstallerPlatform();
    return platform;
}

namespace {

bool TakeInstallPlace() {
    if (++InstallsPending <= MaxQueuedInstalls) return true;
    --InstallsPending;
    TryWriteLogFmt("Отказано в установке: запросов, ожидающих установки, уже %d", {MaxQueuedInstalls}, LogWarning);
    return false;
}

}  // namespace

HANDLE StartInstaller(const std::vector<std::string>& modules, std::unique_ptr<TCallerProcess> caller,
                      bool restartCaller) {
    if (!TakeInstallPlace()) return nullptr;
    DWORD pid = caller ? caller->Pid() : 0;
    TInstaller* installer = new TInstaller(modules, restartCaller, pid, std::move(caller));
    return installer->Start();
}

HANDLE StartInstaller(const std::vector<std::string>& modules, DWORD callerPid, bool restartCaller) {
    if (!TakeInstallPlace()) return nullptr;
    DWORD error = 0;
    std::unique_ptr<TCallerProcess> caller = callerPid ? TCallerProcess::Open(callerPid, error) : nullptr;
    TInstaller* installer = new TInstaller(modules, restartCaller, callerPid, std::move(caller));
    return installer->Start();
}

HRESULT RunInstaller(const std::vector<std::string>& modules, std::unique_ptr<TCallerProcess> caller,
                     bool restartCaller) {
    HANDLE thread = StartInstaller(modules, std::move(caller), restartCaller);
    if (!thread) return E_OUTOFMEMORY;
    CloseHandle(thread);
    return S_OK;
}

void CloseLiveMonitors() {
    std::lock_guard<std::mutex> lock(LiveMonitorsLock);
    for (HANDLE event : LiveMonitors) SetEvent(event);
}

}  // namespace zel
