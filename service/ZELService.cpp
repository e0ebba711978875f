#include "ZELService.h"

#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>

#include "Lockdown.h"
#include "base/KeptInterfaces.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "base/TryFinally.h"
#include "base/Versions.h"
#include "base/WorkerPool.h"
#include "com/COMUtils.h"
#include "com/CallSecurity.h"
#include "com/ClientCalls.h"
#include "com/Server.h"
#include "com/UpdateServerNotify.h"
#include "config/Proxy.h"
#include "config/Trust.h"
#include "download/Downloader.h"
#include "download/InfoQueue.h"
#include "install/Installer.h"
#include "install/Maintenance.h"
#include "install/NSISMonitor.h"
#include "store/CodeSignature.h"
#include "store/ModuleList.h"
#include "store/ModuleOwner.h"
#include "transfer/BITS.h"

namespace zel {

const char* const ServiceName = "ZELUpdate";
const char* const ServiceDescription = "Служба обновления ЗЕЛ";

HANDLE StopEvent = nullptr;
HANDLE DownloaderDoneEvent = nullptr;

namespace {

// How long the stop waits for the clients to be let go.
constexpr DWORD DisconnectWaitMs = 3000;

const wchar_t* const MonikerItem = L"{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}";

// Service-specific exit codes of a run that failed; a normal stop ends with 0.
constexpr DWORD ExitStartUpFailed = 1;  // before the running report: log, re-registration, hook DLL
constexpr DWORD ExitServerFailed = 2;   // the COM server could not be set up or failed

// How long the stop waits for the worker pool's tasks (a call into a client
// that hangs is not waited for beyond this).
constexpr DWORD WorkersShutDownMs = 500;

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
bool DownloaderStarted = false;
SERVICE_STATUS Status = {};

void WriteConsoleError(const std::string& text) {
    // A windowed program has the console of its parent only when it asks.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) {
        AttachConsole(ATTACH_PARENT_PROCESS);
        err = GetStdHandle(STD_ERROR_HANDLE);
    }
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    std::string line = text + "\r\n";
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode)) {
        std::wstring wide = ToWide(line);
        DWORD written = 0;
        WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        // A pipe or a file gets the console's OEM code page, as console tools do.
        std::wstring wide = ToWide(line);
        int len = WideCharToMultiByte(CP_OEMCP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
        std::string oem(len, '\0');
        WideCharToMultiByte(CP_OEMCP, 0, wide.data(), static_cast<int>(wide.size()), &oem[0], len, nullptr,
                            nullptr);
        DWORD written = 0;
        WriteFile(err, oem.data(), static_cast<DWORD>(oem.size()), &written, nullptr);
    }
}

// "install" and "uninstall" report an error to the user and end with 1.
int RunRegistrationRole(void (*role)()) {
    try {
        role();
        return 0;
    } catch (const std::exception& e) {
        WriteConsoleError(e.what());
        TryWriteLog(e.what(), LogError);
        return 1;
    }
}

bool ReportStatus() { return StatusHandle && SetServiceStatus(StatusHandle, &Status); }

// The whole status record, as at the start and at the end.
bool ReportFullStatus(DWORD state, DWORD specificExitCode = 0) {
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    Status.dwWin32ExitCode = specificExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
    Status.dwServiceSpecificExitCode = specificExitCode;
    Status.dwCheckPoint = 1;
    Status.dwWaitHint = 5000;
    return ReportStatus();
}

bool ReportStartPending() { return ReportFullStatus(SERVICE_START_PENDING); }

bool ReportRunning() {
    Status.dwCurrentState = SERVICE_RUNNING;
    Status.dwWin32ExitCode = 0;
    Status.dwCheckPoint = 0;
    Status.dwWaitHint = 0;
    return ReportStatus();
}

// The stop takes at most the scheduler's second and the clean-up: the
// manager is told so.
bool ReportStopPending() {
    Status.dwCurrentState = SERVICE_STOP_PENDING;
    Status.dwWin32ExitCode = 0;
    Status.dwCheckPoint = 1;
    Status.dwWaitHint = 5000;
    return ReportStatus();
}

bool ReportStopped(DWORD specificExitCode) { return ReportFullStatus(SERVICE_STOPPED, specificExitCode); }

std::string PreviousExecutable() { return ChangeFileExt(GetProgramPath(), ".tmp"); }

// The "install" run locks the installation before anything is registered:
// a folder it could not lock is an installation that fails. Links it
// removed are reported too.
void LockForInstallation() {
    std::string failures;
    for (const TLockMessage& m : LockInstallation()) {
        if (m.Level != LogError) {
            WriteConsoleError(m.Text);
            TryWriteLog(m.Text, m.Level);
        } else {
            failures += (failures.empty() ? "" : "\r\n") + m.Text;
        }
    }
    if (!failures.empty()) throw Exception(failures);
}

bool ServiceStartUp() {
    // First, so that the log of this start already lies in a locked folder;
    // what went wrong is logged once the banner is out, and the service
    // starts all the same.
    std::vector<TLockMessage> lock = LockInstallation();
    const std::string separator(54, '-');
    WriteLog(separator, LogInfo);
    WriteLogFmt("Служба обновления ЗЕЛ %s от %s", {GetSelfVersion(), FileDateText(GetProgramPath())}, LogInfo);
    WriteLog(separator, LogInfo);
    for (const TLockMessage& m : lock) WriteLog(m.Text, m.Level);
    if (FindCmdLineSwitch("debug")) {
        WriteLog("Включаем отладочные сообщения", LogInfo);
        LogMode.store(0x3E);
    }
    std::string previous = PreviousExecutable();
    if (FileExists(previous)) {
        RemoveFile(previous);
        RegisterServer();
    }
    RestoreHookDll();
    LogTrustAtStart();
    return ReportStartPending();
}

// Replaces the program file by a newer version of itself from the store.
// Runs at the end of every stop, so nothing here may raise, and the program
// is never left without its file: a move that fails takes the running one
// back to its name. With pinned publishers the new program is checked on a
// handle that keeps it locked until it has its place; one that fails is
// deleted and the running program stays.
void ReplaceSelf() {
    try {
        TLocalFile stored;
        TVersion own = 0;
        if (!GetNewestInstaller(OwnModuleName(), "", stored) || !GetFileVersion(GetProgramPath(), own) ||
            !VersionGreater(stored.Version, own))
            return;
        TryWriteLog("Выполняем обновление службы", LogInfo);
        TLockedFile program(stored.FileName, true);
        std::string problem = TrustedProgramProblem(program);
        if (!problem.empty()) {
            bool opened = program.IsOpen();
            program.Close();
            if (opened) RemoveFile(stored.FileName);
            TryWriteLog(Format("Не удалось обновить службу: подпись программы %s не принята: %s",
                               {stored.FileName, problem}),
                        LogError);
            return;
        }
        std::string self = GetProgramPath();
        std::string previous = PreviousExecutable();
        if (FileExists(previous)) RemoveFile(previous);
        DWORD error = ERROR_SUCCESS;
        if (!MoveFileA(self.c_str(), previous.c_str())) {
            error = GetLastError();
        } else if (program.IsOpen() ? !program.MoveTo(self) : !MoveFileA(stored.FileName.c_str(), self.c_str())) {
            error = GetLastError();
            if (!MoveFileA(previous.c_str(), self.c_str())) CopyFileA(previous.c_str(), self.c_str(), FALSE);
        }
        if (error != ERROR_SUCCESS)
            TryWriteLog(Format("Не удалось обновить службу: %s", {SysErrorMessage(error)}), LogError);
    } catch (const std::exception& e) {
        TryWriteLog(Format("Не удалось обновить службу: %s", {e.what()}), LogError);
    }
}

void RunComServer() {
    WriteLog("Инициализируем COM, создаем фабрику классов", LogTrace);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // A failure leaves COM with the machine's defaults, which may shut out
    // the clients of other accounts.
    HRESULT security = InitializeCallSecurity();
    if (FAILED(security))
        WriteLogFmt("Не удалось настроить безопасность вызовов COM: %s (0x%x)",
                    {SysErrorMessage(static_cast<DWORD>(security)), static_cast<unsigned>(security)}, LogError);

    TVersion own = 0;
    if (GetFileVersion(GetProgramPath(), own))
        RegisterModuleJob(nullptr, UpperCase(OwnModuleName()), VersionToStr(own));

    TSingletonFactory* factory = nullptr;
    TryFinally(
        [&] {
            factory = CreateSingletonFactory();
            TryFinally(
                [&] {
                    WriteLog("Регистрируем фабрику класов", LogTrace);
                    RegisterClassObject(factory);
                    WriteLog("Создаем COM-объект и регистрируем его в ROT", LogTrace);
                    IUnknown* object = CreateComObject(factory);
                    KeepServerInterfaces(object);
                    TryFinally(
                        [&] {
                            Microsoft::WRL::ComPtr<IMoniker> moniker;
                            Microsoft::WRL::ComPtr<IRunningObjectTable> rot;
                            if (FAILED(CreateItemMoniker(L"!", MonikerItem, moniker.GetAddressOf())))
                                throw Exception("Ошибка при создании моникера");
                            if (FAILED(GetRunningObjectTable(0, rot.GetAddressOf())))
                                throw Exception("Не удалось получить интерфейс ROT");
                            DWORD rotCookie = 0;
                            bool registered = false;
                            TryFinally(
                                [&] {
                                    if (FAILED(rot->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE |
                                                                 ROTFLAGS_ALLOWANYCLIENT,
                                                             object, moniker.Get(), &rotCookie)))
                                        throw Exception("Не удалось зарегистрировать объект в ROT");
                                    registered = true;
                                    StartDownloader(StopEvent, DownloaderDoneEvent);
                                    DownloaderStarted = true;
                                    WaitForSingleObject(StopEvent, INFINITE);
                                },
                                [&] {
                                    TryWriteLog("Ждем завершения потока загрузки", LogTrace);
                                    if (WaitForSingleObject(DownloaderDoneEvent, 1000) == WAIT_TIMEOUT) {
                                        // A scheduler still at work keeps its events: they are
                                        // left to the end of the process.
                                        TryWriteLog("Поток загрузки не отвечает", LogTrace);
                                    } else {
                                        CloseHandle(DownloaderDoneEvent);
                                        CloseHandle(StopEvent);
                                        DownloaderDoneEvent = nullptr;
                                        StopEvent = nullptr;
                                    }
                                    if (registered) rot->Revoke(rotCookie);
                                });
                        },
                        [&] {
                            TryWriteLog("Отключаем всех клиентов", LogTrace);
                            // Letting the clients' objects go may wait on a client
                            // that does not answer: the stop goes on after a while.
                            TClientCalls calls;
                            calls.Start([object] {
                                CoDisconnectObject(object, 0);
                                object->Release();
                            });
                            calls.Wait(DisconnectWaitMs);
                        });
                },
                [&] {
                    TryWriteLog("Удаляем фабрику", LogTrace);
                    DestroySingletonFactory(factory);
                });
        },
        [&] {
            // Tasks given to the workers before the stop (late calls into
            // clients, job settings) may still be under way: a short wait
            // lets most of them end, so that the process objects can go.
            if (!ShutDownWorkers(WorkersShutDownMs)) TryWriteLog("Рабочие потоки службы ещё заняты", LogTrace);
            ReplaceSelf();
            ReleaseKeptInterfaces();
            TryWriteLog("CoUninitialize", LogTrace);
            CoUninitialize();
        });
}

}  // namespace

bool IsDownloaderRunning() {
    return DownloaderStarted && DownloaderDoneEvent && WaitForSingleObject(DownloaderDoneEvent, 0) == WAIT_TIMEOUT;
}

void CreateProcessObjects() {
    InitLog();
    SetUpdateServerNotifyFinder(FindRunningServerNotify);
    AddQueue = new TInfoQueue;
    RemoveQueue = new TInfoQueue;
    ProxySettings = new TProxySettings;
}

void DestroyProcessObjects() {
    delete ProxySettings;
    ProxySettings = nullptr;
    delete RemoveQueue;
    RemoveQueue = nullptr;
    delete AddQueue;
    AddQueue = nullptr;
    SetUpdateServerNotifyFinder(nullptr);
    DoneLog();
}

void InstallService() {
    TryWriteLog(Format("Установка службы обновления ЗЕЛ %s", {GetSelfVersion()}), LogInfo);
    LockForInstallation();
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) RaiseLastOSError();
    std::string image = "\"" + GetProgramPath() + "\" /Service";
    ServiceHandle service(CreateServiceA(manager.Get(), ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) {
        SERVICE_DESCRIPTIONA description;
        description.lpDescription = const_cast<char*>(ServiceDescription);
        ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description);
        RegisterServer();
        return;
    }
    DWORD code = GetLastError();
    if (code != ERROR_SERVICE_EXISTS) RaiseLastOSError(code);
}

void UninstallService() {
    TryWriteLog(Format("Удаление службы обновления ЗЕЛ %s", {GetSelfVersion()}), LogInfo);
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) RaiseLastOSError();
    ServiceHandle service(OpenServiceA(manager.Get(), ServiceName, DELETE));
    if (!service) RaiseLastOSError();
    DeleteService(service.Get());
    UnregisterServer();
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // A log that cannot be written must not keep the service from stopping.
        TryWriteLog("Работа службы остановлена", LogTrace);
        ReportStopPending();
        // An installation may go on; its window on the user's desktop goes.
        CloseLiveMonitors();
        if (StopEvent) SetEvent(StopEvent);
        break;
    case SERVICE_CONTROL_INTERROGATE:
        ReportRunning();
        break;
    default:
        break;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    StatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceCtrlHandler);
    if (!StatusHandle) return;
    // The events exist before the first report, so a stop request that comes
    // early is never lost.
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DownloaderDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Whatever fails, the manager hears of it: the service never stays
    // "start pending".
    DWORD exitCode = ExitStartUpFailed;
    try {
        if (!ServiceStartUp() || !ReportRunning()) return;  // no report reaches the manager
        exitCode = ExitServerFailed;
        RunComServer();
        exitCode = 0;
    } catch (const std::exception& e) {
        TryWriteLog(Format("Ошибка: %s", {e.what()}), LogError);
    } catch (...) {
        TryWriteLog("Ошибка: неизвестная ошибка", LogError);
    }
    TryWriteLog("Работа службы завершена", LogDebug);
    ReportStopped(exitCode);
}

int RunProgram() {
    if (FindCmdLineSwitch("install")) return RunRegistrationRole(InstallService);
    if (FindCmdLineSwitch("uninstall")) return RunRegistrationRole(UninstallService);
    if (FindCmdLineSwitch("service")) {
        char name[] = "ZELUpdate";
        SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        StartServiceCtrlDispatcherA(table);
        return 0;
    }
    if (FindCmdLineSwitch("monitor")) {
        RunMonitor();
        return 0;
    }
    return 0;  // "run", or no switch: nothing to do
}

}  // namespace zel
