// The hook DLL. The monitor installs a system-wide CBT hook through SetHook;
// the system then loads this DLL into every process of the desktop that
// handles windows. In an installer started by the service the DLL reports
// to the monitor window what is being installed and which files are being
// opened (CreateFileA/CreateFileW are patched with a jump to the reporting
// replacements). Nothing is logged and nothing leaves the DLL as an error.
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>

#include "HookVersion.h"
#include "MonitorMessages.h"
#include "zel_processes.h"

namespace {

using zel::MONITOR_TEXT1;
using zel::MONITOR_TEXT2;
using zel::ReportBlockSize;
using SharedBlock = zel::THookBlock;
const char* const SharedBlockName = zel::HookBlockName;
const char* const ServiceExeName = "ZELService.exe";
constexpr UINT ReportTimeoutMs = 1000;

// The jump written over an entry: a relative jmp (E9 rel32) in a 32-bit
// process; in a 64-bit one the replacement may lie further than 2 GB away,
// so there it is mov rax, imm64 / jmp rax (rax carries no argument).
#ifdef _WIN64
constexpr size_t JumpSize = 12;
#else
constexpr size_t JumpSize = 5;
#endif

struct PatchRecord {
    BYTE* Address;
    BYTE Saved[JumpSize];
};

HINSTANCE Instance = nullptr;
HANDLE MappingHandle = nullptr;
SharedBlock* Shared = nullptr;
bool IsTarget = false;
CRITICAL_SECTION PatchLock;
PatchRecord PatchA = {nullptr, {}};
PatchRecord PatchW = {nullptr, {}};
BYTE* EntryA = nullptr;  // kernel32 entries, kept for the replacements
BYTE* EntryW = nullptr;
bool PatchesActive = false;

typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef HANDLE(WINAPI* CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

void SendReport(ULONG_PTR code, const std::string& text) {
    HWND window = Shared ? reinterpret_cast<HWND>(static_cast<ULONG_PTR>(Shared->Window)) : nullptr;
    if (!window) return;
    char block[ReportBlockSize];
    memset(block, 0, sizeof(block));
    memcpy(block, text.data(), text.size() < ReportBlockSize - 1 ? text.size() : ReportBlockSize - 1);
    COPYDATASTRUCT data;
    data.dwData = code;
    data.cbData = sizeof(block);
    data.lpData = block;
    // Sent and awaited, but never longer than ReportTimeoutMs: a monitor that
    // does not answer must not hold up the installer's file operations.
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                        ReportTimeoutMs, &result);
}

std::string BareName(const char* path) {
    if (!path) return std::string();
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    return name;
}

void ReportFile(const char* path) { SendReport(MONITOR_TEXT2, std::string("Извлечение: ") + BareName(path)); }

// ---------------------------------------------------------------- patches

void MakeJump(BYTE (&jump)[JumpSize], const BYTE* address, const void* replacement) {
#ifdef _WIN64
    (void)address;
    ULONG_PTR target = reinterpret_cast<ULONG_PTR>(replacement);
    jump[0] = 0x48;
    jump[1] = 0xB8;
    memcpy(jump + 2, &target, 8);
    jump[10] = 0xFF;
    jump[11] = 0xE0;
#else
    DWORD displacement = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(replacement) -
                                            reinterpret_cast<ULONG_PTR>(address) - JumpSize);
    jump[0] = 0xE9;
    memcpy(jump + 1, &displacement, 4);
#endif
}

bool IsOurJump(const PatchRecord& record, const void* replacement) {
    if (!record.Address) return false;
    BYTE jump[JumpSize];
    MakeJump(jump, record.Address, replacement);
    return memcmp(record.Address, jump, JumpSize) == 0;
}

// Writes the jump. The original bytes are saved only while the entry is not
// patched, so a second install never records the jump as the original.
bool InstallPatch(PatchRecord& record, BYTE* address, const void* replacement) {
    if (!address) return false;
    DWORD old = 0;
    if (!VirtualProtect(address, JumpSize, PAGE_EXECUTE_READWRITE, &old)) return false;
    record.Address = address;
    if (!IsOurJump(record, replacement)) memcpy(record.Saved, address, JumpSize);
    BYTE jump[JumpSize];
    MakeJump(jump, address, replacement);
    memcpy(address, jump, JumpSize);
    DWORD ignored = 0;
    bool ok = VirtualProtect(address, JumpSize, old, &ignored) != 0;
    FlushInstructionCache(GetCurrentProcess(), address, JumpSize);
    return ok;
}

bool RemovePatch(PatchRecord& record) {
    if (!record.Address) return false;
    DWORD old = 0;
    if (!VirtualProtect(record.Address, JumpSize, PAGE_EXECUTE_READWRITE, &old)) return false;
    memcpy(record.Address, record.Saved, JumpSize);
    DWORD ignored = 0;
    bool ok = VirtualProtect(record.Address, JumpSize, old, &ignored) != 0;
    FlushInstructionCache(GetCurrentProcess(), record.Address, JumpSize);
    return ok;
}

BYTE* KernelEntry(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<BYTE*>(GetProcAddress(kernel, name)) : nullptr;
}

HANDLE WINAPI ReplacementCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile);
HANDLE WINAPI ReplacementCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile);

HANDLE WINAPI ReplacementCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile) {
    ReportFile(name);
    EnterCriticalSection(&PatchLock);
    bool active = PatchesActive;
    if (active) RemovePatch(PatchA);
    HANDLE result = reinterpret_cast<CreateFileAFn>(EntryA)(name, access, share, security, disposition, flags,
                                                          templateFile);
    DWORD error = GetLastError();
    if (active) InstallPatch(PatchA, EntryA, reinterpret_cast<const void*>(&ReplacementCreateFileA));
    LeaveCriticalSection(&PatchLock);
    SetLastError(error);
    return result;
}

HANDLE WINAPI ReplacementCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile) {
    std::string ansi;
    if (name) {
        int n = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
        if (n > 1) {
            ansi.resize(n);
            WideCharToMultiByte(CP_ACP, 0, name, -1, &ansi[0], n, nullptr, nullptr);
            ansi.resize(n - 1);
        }
    }
    ReportFile(ansi.c_str());
    EnterCriticalSection(&PatchLock);
    bool active = PatchesActive;
    if (active) RemovePatch(PatchW);
    HANDLE result = reinterpret_cast<CreateFileWFn>(EntryW)(name, access, share, security, disposition, flags,
                                                          templateFile);
    DWORD error = GetLastError();
    if (active) InstallPatch(PatchW, EntryW, reinterpret_cast<const void*>(&ReplacementCreateFileW));
    LeaveCriticalSection(&PatchLock);
    SetLastError(error);
    return result;
}

// ---------------------------------------------------------------- threads

// Threads suspended by SuspendOtherThreads; no heap use while they are
// suspended (one of them may hold the heap lock).
constexpr size_t MaxSuspended = 512;
DWORD Suspended[MaxSuspended];
size_t SuspendedCount = 0;

void SuspendOtherThreads() {
    SuspendedCount = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    DWORD pid = GetCurrentProcessId(), tid = GetCurrentThreadId();
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID != pid || entry.th32ThreadID == tid) continue;
            if (SuspendedCount == MaxSuspended) break;
            HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, entry.th32ThreadID);
            if (!thread) break;
            if (SuspendThread(thread) != static_cast<DWORD>(-1)) Suspended[SuspendedCount++] = entry.th32ThreadID;
            CloseHandle(thread);
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
}

// Resumes exactly the threads suspended above.
void ResumeOtherThreads() {
    for (size_t i = 0; i < SuspendedCount; ++i) {
        HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, Suspended[i]);
        if (!thread) continue;
        ResumeThread(thread);
        CloseHandle(thread);
    }
    SuspendedCount = 0;
}

void InstallPatches() {
    EntryA = KernelEntry("CreateFileA");
    EntryW = KernelEntry("CreateFileW");
    EnterCriticalSection(&PatchLock);
    SuspendOtherThreads();
    bool a = InstallPatch(PatchA, EntryA, reinterpret_cast<const void*>(&ReplacementCreateFileA));
    bool w = InstallPatch(PatchW, EntryW, reinterpret_cast<const void*>(&ReplacementCreateFileW));
    PatchesActive = a || w;
    ResumeOtherThreads();
    LeaveCriticalSection(&PatchLock);
}

void RemovePatches() {
    EnterCriticalSection(&PatchLock);
    SuspendOtherThreads();
    RemovePatch(PatchA);
    RemovePatch(PatchW);
    PatchesActive = false;
    ResumeOtherThreads();
    LeaveCriticalSection(&PatchLock);
}

// ---------------------------------------------------------------- process

// The monitor makes the block, for its own user only, before it loads this
// DLL; here it is only opened, never made: a block that nobody made means
// no monitor, and one made by someone else is refused by the monitor.
// Only the monitor (for SetHook) and the installers it reports on open it:
// the other processes of the desktop that the hook brings the DLL into
// leave it alone, so that none of them holds it beyond the monitor's end.
bool OpenSharedBlock() {
    if (Shared) return true;
    MappingHandle = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, SharedBlockName);
    if (!MappingHandle) return false;
    Shared = static_cast<SharedBlock*>(
        MapViewOfFile(MappingHandle, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedBlock)));
    return Shared != nullptr;
}

void CloseSharedBlock() {
    if (Shared) UnmapViewOfFile(Shared);
    Shared = nullptr;
    if (MappingHandle) CloseHandle(MappingHandle);
    MappingHandle = nullptr;
}

// An installer started by the service, but not the monitor (a copy of the
// service itself).
bool IsTargetProcess() {
    if (!zel::IsParentProcessName(ServiceExeName)) return false;
    return zel::GetProcessExeName(GetCurrentProcessId()) != ServiceExeName;
}

std::string OwnProgramPath() {
    char path[MAX_PATH + 1] = {0};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

// Patched entries jump into this DLL, and any thread of the installer may be
// inside a replacement: once patched, the DLL stays until the process ends,
// whatever becomes of the hook (the system unloads hook DLLs when the hook
// is removed, at the monitor's end or when it dies).
void PinSelf() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(Instance), &self);
}

void ProcessAttach() {
    InitializeCriticalSection(&PatchLock);
    IsTarget = IsTargetProcess() && OpenSharedBlock();
    if (!IsTarget) return;
    std::string program = OwnProgramPath();
    std::string description = zelhook::GetFileVersionString(program, "FileDescription");
    std::string version = zelhook::GetFileVersionString(program, "FileVersion");
    SendReport(MONITOR_TEXT1, "Устанавливаем \"" + description + "\" версии " + version);
    InstallPatches();
    if (PatchesActive) PinSelf();
}

// A patched installer detaches only at its end: its view of the shared block
// stays mapped to the last, for replacements that still report. Other
// processes give it back when the DLL is unloaded.
void ProcessDetach(bool processEnding) {
    if (IsTarget) {
        RemovePatches();
        SendReport(MONITOR_TEXT2, std::string());
    }
    if (!processEnding) CloseSharedBlock();
}

LRESULT CALLBACK HookProc(int code, WPARAM wParam, LPARAM lParam) { return CallNextHookEx(nullptr, code, wParam, lParam); }

}  // namespace

extern "C" __declspec(dllexport) BOOLEAN WINAPI SetHook(BOOLEAN install, HWND window, DWORD /*reserved*/) {
    try {
        if (!OpenSharedBlock()) return FALSE;
        if (install) {
            HHOOK hook = SetWindowsHookExA(WH_CBT, HookProc, Instance, 0);
            Shared->Hook = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(hook));
            Shared->Window = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
            return hook != nullptr;
        }
        BOOL removed = UnhookWindowsHookEx(reinterpret_cast<HHOOK>(static_cast<ULONG_PTR>(Shared->Hook)));
        Shared->Hook = 0;
        return removed != FALSE;
    } catch (...) {
        return FALSE;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            Instance = instance;
            ProcessAttach();
        } else if (reason == DLL_PROCESS_DETACH) {
            ProcessDetach(reserved != nullptr);
        }
    } catch (...) {
    }
    return TRUE;
}
