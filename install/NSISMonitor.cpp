#include "NSISMonitor.h"

#include <bcrypt.h>
#include <commctrl.h>
#include <shellapi.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "base/Access.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "install/zel_processes.h"

namespace zel {

const char* const MonitorEventName = "Global\\{0A328AAF-9068-412D-A03A-83C3C67BE031}";

namespace {

constexpr size_t EventSuffixDigits = 16;

std::atomic<HWND> MonitorWindow{nullptr};
HMODULE HookLibrary = nullptr;
// The shared block this monitor made; held until the DLL is gone.
HANDLE HookBlock = nullptr;

typedef BOOLEAN(WINAPI* SetHookFn)(BOOLEAN install, HWND window, DWORD reserved);

// The process that started this monitor (the service), to wait for: a
// monitor whose service has ended, however it ended, closes. Null when it
// cannot be opened, or when its id now names a process newer than this one.
UniqueHandle OpenStarter() {
    DWORD parent = GetParentProcessId(GetCurrentProcessId());
    if (parent == NoProcessId || parent == 0) return UniqueHandle();
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent));
    if (!process) return UniqueHandle();
    const uint64_t created = ProcessCreationTime(process.Get());
    if (created == 0 || created > ProcessCreationTime(GetCurrentProcess())) return UniqueHandle();
    return process;
}

// Waits for the monitor event, or for the end of the service, and closes
// the window. Started once the dialog exists, so that an event signalled
// early is not posted to no window.
class TNotifier {
public:
    static void Start() {
        HANDLE thread = CreateThread(nullptr, 0, &TNotifier::ThreadProc, nullptr, 0, nullptr);
        if (thread) CloseHandle(thread);
    }

private:
    static DWORD WINAPI ThreadProc(LPVOID) {
        Execute();
        return 0;
    }
    static void Execute() {
        std::string name = MonitorEventFromCommandLine();
        if (name.empty()) return;
        // Gone already: the run that made it has ended (the service may have
        // stopped while this monitor came up), and nothing would close the
        // window any more.
        UniqueHandle event(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()));
        if (!event) {
            PostMessageA(MonitorWindow.load(), WM_MONITOR_CLOSE, 0, 0);
            return;
        }
        UniqueHandle starter = OpenStarter();
        HANDLE handles[2] = {event.Get(), starter.Get()};
        DWORD count = starter ? 2 : 1;
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result < WAIT_OBJECT_0 + count) PostMessageA(MonitorWindow.load(), WM_MONITOR_CLOSE, 0, 0);
    }
};

// The text of a report: up to its first zero byte, at most 261 characters
// and never beyond the block.
std::string ReportText(const COPYDATASTRUCT* data) {
    if (!data || !data->lpData) return std::string();
    size_t limit = data->cbData < ReportBlockSize ? data->cbData : ReportBlockSize;
    const char* text = static_cast<const char*>(data->lpData);
    return std::string(text, strnlen(text, limit));
}

void PlaceDialog(HWND dialog) {
    RECT r;
    if (!GetWindowRect(dialog, &r)) return;
    int x = (GetSystemMetrics(SM_CXSCREEN) - r.right) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - r.bottom) / 4;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

SetHookFn FindSetHook() {
    return HookLibrary ? reinterpret_cast<SetHookFn>(reinterpret_cast<void*>(GetProcAddress(HookLibrary, "SetHook")))
                       : nullptr;
}

// The unit's finalization: the hook goes with the process.
struct HookRelease {
    ~HookRelease() { UnloadHookDll(); }
} hookRelease;

}  // namespace

INT_PTR CALLBACK MonitorDlgProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        MonitorWindow.store(dialog);
        TNotifier::Start();
        try {
            LoadHookDll(dialog);
        } catch (...) {
            // The window then runs without installer reports.
        }
        PlaceDialog(dialog);
        SendDlgItemMessageA(dialog, MonitorProgress, PBM_SETMARQUEE, TRUE, 40);
        SetDlgItemTextA(dialog, MonitorLine1, "Подготовка к установке ПО...");
        SetDlgItemTextA(dialog, MonitorLine2, "");
        ForceForegroundWindow(dialog);
        break;
    case WM_COPYDATA: {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!data) break;
        if (data->dwData == MONITOR_TEXT1)
            SetDlgItemTextA(dialog, MonitorLine1, ReportText(data).c_str());
        else if (data->dwData == MONITOR_TEXT2)
            SetDlgItemTextA(dialog, MonitorLine2, ReportText(data).c_str());
        break;
    }
    case WM_MONITOR_CLOSE:
        EndDialog(dialog, 0);
        break;
    }
    return 0;
}

void RunMonitor() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    DialogBoxParamA(GetModuleHandleA(nullptr), "PROJECTDIALOG", nullptr, MonitorDlgProc, 0);
}

std::string NewMonitorEventSuffix() {
    unsigned char bytes[EventSuffixDigits / 2];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        throw Exception("Не удалось получить случайное число для имени события монитора");
    static const char digits[] = "0123456789ABCDEF";
    std::string suffix;
    for (unsigned char b : bytes) {
        suffix += digits[b >> 4];
        suffix += digits[b & 15];
    }
    return suffix;
}

bool IsMonitorEventSuffix(const std::string& suffix) {
    if (suffix.size() != EventSuffixDigits) return false;
    for (char c : suffix)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

std::string MonitorEventNameFor(const std::string& suffix) { return std::string(MonitorEventName) + "-" + suffix; }

std::string MonitorEventFromCommandLine() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return std::string();
    std::string name;
    for (int i = 1; i < argc && name.empty(); ++i) {
        std::string arg = ToAnsi(argv[i]);
        if (arg.size() > 7 && (arg[0] == '/' || arg[0] == '-') && SameText(arg.substr(1, 6), "event=") &&
            IsMonitorEventSuffix(arg.substr(7)))
            name = MonitorEventNameFor(arg.substr(7));
    }
    LocalFree(argv);
    return name;
}

HANDLE CreateHookBlock() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Out())) return nullptr;
    std::vector<BYTE> user = TokenUserSid(token.Get());
    if (user.empty()) return nullptr;
    TSecurityDescriptor descriptor = HookBlockDescriptor(user.data());
    if (!descriptor.IsValid()) return nullptr;
    HANDLE block = CreateFileMappingA(INVALID_HANDLE_VALUE, descriptor.Attributes(), PAGE_READWRITE, 0,
                                      sizeof(THookBlock),
                                      HookBlockName);
    // One that exists was made by someone else: its reports and its hook
    // handle could be anybody's.
    if (block && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(block);
        return nullptr;
    }
    return block;
}

std::string GetHookDllPath() { return GetProgramDir() + "Service.dll"; }

void ExtractHookDll(const std::string& path) {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(self, "HOOK_DLL", "DLL");
    if (!info) RaiseLastOSError();
    HGLOBAL loaded = LoadResource(self, info);
    DWORD size = SizeofResource(self, info);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) RaiseLastOSError();
    // A new file gets Service.dll's own list at once (one written over keeps
    // the list it has; the service's lock sets it).
    TSecurityDescriptor descriptor = FileDescriptor(TFolderKind::Program, TEntryForm::File);
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0,
                                  descriptor.IsValid() ? descriptor.Attributes() : nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw EStreamError(Format("Cannot create file \"%s\". %s", {path, SysErrorMessage(GetLastError())}));
    DWORD written = 0;
    BOOL ok = WriteFile(file.Get(), bytes, size, &written, nullptr);
    DWORD error = GetLastError();
    file.Reset();
    if (!ok || written != size) {
        RemoveFile(path);
        throw EStreamError(Format("Stream write error. %s", {SysErrorMessage(ok ? ERROR_WRITE_FAULT : error)}));
    }
}

bool LoadHookDll(HWND window) {
    std::string path = GetHookDllPath();
    if (!FileExists(path)) ExtractHookDll(path);
    HookBlock = CreateHookBlock();
    if (!HookBlock) return false;
    HookLibrary = LoadLibraryA(path.c_str());
    if (!HookLibrary) {
        CloseHandle(HookBlock);
        HookBlock = nullptr;
        return false;
    }
    SetHookFn setHook = FindSetHook();
    if (!setHook) return false;
    return setHook(TRUE, window, 0) != FALSE;
}

bool UnloadHookDll() {
    if (!HookLibrary) return false;
    SetHookFn setHook = FindSetHook();
    bool result = setHook ? setHook(FALSE, nullptr, 0) != FALSE : false;
    FreeLibrary(HookLibrary);
    HookLibrary = nullptr;
    if (HookBlock) CloseHandle(HookBlock);
    HookBlock = nullptr;
    return result;
}

bool ForceForegroundWindow(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    if (GetForegroundWindow() == window) return true;
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    bool modern = (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 4) ||
                  (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
                   (version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && version.dwMinorVersion >= 10)));
    if (modern) {
        DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        DWORD ownThread = GetWindowThreadProcessId(window, nullptr);
        AttachThreadInput(ownThread, foregroundThread, TRUE);
        BringWindowToTop(window);
        SetForegroundWindow(window);
        AttachThreadInput(ownThread, foregroundThread, FALSE);
        if (GetForegroundWindow() != window) {
            DWORD timeout = 0;
            SystemParametersInfoA(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &timeout, 0);
            SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, SPIF_SENDCHANGE);
            BringWindowToTop(window);
            SetForegroundWindow(window);
            SystemParametersInfoA(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(timeout)), SPIF_SENDCHANGE);
        }
    } else {
        BringWindowToTop(window);
        SetForegroundWindow(window);
    }
    return GetForegroundWindow() == window;
}

}  // namespace zel
