#include "zel_processes.h"

#include <tlhelp32.h>

#include <vector>

#include "base/Owners.h"

namespace zel {

namespace {

// Walks the process list until visit returns true.
template <class Visit>
bool WalkProcesses(Visit visit) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32 entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (Process32First(snapshot.Get(), &entry)) {
        do {
            if (visit(entry)) break;
        } while (Process32Next(snapshot.Get(), &entry));
    }
    return true;
}

// The layout of the records read from another process of the program's own
// kind: addresses are as wide as the program's pointers.
struct BasicInformation {
    LONG ExitStatus;
    ULONG_PTR PebBaseAddress;
    ULONG_PTR AffinityMask;
    LONG BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
};
#ifdef _WIN64
static_assert(sizeof(BasicInformation) == 48, "basic information record");
constexpr size_t PebSize = 0x28;
constexpr size_t PebParametersOffset = 0x20;
constexpr size_t CurrentDirLengthOffset = 0x38;
constexpr size_t CurrentDirTextOffset = 0x40;
constexpr size_t CommandLineLengthOffset = 0x70;
constexpr size_t CommandLineTextOffset = 0x78;
constexpr size_t ParametersSize = 0x80;
#else
static_assert(sizeof(BasicInformation) == 24, "basic information record");
constexpr size_t PebSize = 472;
constexpr size_t PebParametersOffset = 16;
constexpr size_t ParametersSize = 656;
constexpr size_t CurrentDirLengthOffset = 36;
constexpr size_t CurrentDirTextOffset = 40;
constexpr size_t CommandLineLengthOffset = 64;
constexpr size_t CommandLineTextOffset = 68;
#endif

typedef LONG(NTAPI* QueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// Reads exactly size bytes or fails.
bool ReadExactly(HANDLE process, ULONG_PTR address, void* buffer, size_t size) {
    if (address == 0) return false;
    SIZE_T done = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &done)) return false;
    return done == size;
}

// A counted UTF-16 text of the other process; its length and address come
// from that process and are not trusted beyond the cap.
bool ReadRemoteText(HANDLE process, const unsigned char* params, size_t lengthOffset, size_t textOffset,
                    std::string& out) {
    USHORT bytes = 0;
    ULONG_PTR address = 0;
    memcpy(&bytes, params + lengthOffset, sizeof(bytes));
    memcpy(&address, params + textOffset, sizeof(address));
    size_t chars = bytes / 2;
    if (chars > MaxRemoteTextChars) chars = MaxRemoteTextChars;
    if (chars == 0) {
        out.clear();
        return true;
    }
    std::vector<wchar_t> text(chars);
    if (!ReadExactly(process, address, text.data(), chars * sizeof(wchar_t))) return false;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
    std::string ansi(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(chars), &ansi[0], n, nullptr, nullptr);
    out = ansi;
    return true;
}

}  // namespace

DWORD GetParentProcessId(DWORD pid) {
    DWORD parent = NoProcessId;
    WalkProcesses([&](const PROCESSENTRY32& e) {
        if (e.th32ProcessID != pid) return false;
        parent = e.th32ParentProcessID;
        return true;
    });
    return parent;
}

std::string GetProcessExeName(DWORD pid) {
    std::string name;
    WalkProcesses([&](const PROCESSENTRY32& e) {
        if (e.th32ProcessID != pid) return false;
        name.assign(e.szExeFile, strnlen(e.szExeFile, sizeof(e.szExeFile)));
        return true;
    });
    return name;
}

uint64_t ProcessCreationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool IsParentProcessName(const std::string& name) {
    DWORD parent = GetParentProcessId(GetCurrentProcessId());
    if (parent == NoProcessId) return false;
    std::string parentName = GetProcessExeName(parent);
    if (parentName.empty()) return false;
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, parentName.c_str(),
                          static_cast<int>(parentName.size()), name.c_str(),
                          static_cast<int>(name.size())) == CSTR_EQUAL;
}

bool GetProcessCommandLine(DWORD pid, std::string& commandLine, std::string& currentDir) {
    if (pid == 0) return false;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    return process && ReadProcessCommandLine(process.Get(), commandLine, currentDir);
}

bool ReadProcessCommandLine(HANDLE process, std::string& commandLine, std::string& currentDir) {
    static QueryInformationProcessFn query = reinterpret_cast<QueryInformationProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    if (!query || !process) return false;
    bool ok = false;
    BasicInformation info;
    ZeroMemory(&info, sizeof(info));
    ULONG got = 0;
    if (query(process, 0, &info, sizeof(info), &got) == 0) {
        std::vector<unsigned char> peb(PebSize);
        std::vector<unsigned char> params(ParametersSize);
        if (ReadExactly(process, info.PebBaseAddress, peb.data(), peb.size())) {
            ULONG_PTR paramsAddress = 0;
            memcpy(&paramsAddress, peb.data() + PebParametersOffset, sizeof(paramsAddress));
            if (ReadExactly(process, paramsAddress, params.data(), params.size())) {
                ok = true;
                ReadRemoteText(process, params.data(), CommandLineLengthOffset, CommandLineTextOffset,
                               commandLine);
                ReadRemoteText(process, params.data(), CurrentDirLengthOffset, CurrentDirTextOffset, currentDir);
            }
        }
    }
    return ok;
}

}  // namespace zel
