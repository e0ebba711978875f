#include "TestSupport.h"

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include "base/FileTree.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/RegKey.h"

namespace zel::test {

std::string TestDir() { return GetProgramDir(); }

std::string BinDir() { return TestDir() + "..\\..\\bin\\"; }

std::string TrustDir() { return TestDir() + "..\\trust\\"; }

std::string TrustValue(const std::string& name) {
    std::string text = ReadFileBytes(TrustDir() + name);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.pop_back();
    return text;
}

std::string ReadFileBytes(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string data;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) data.append(buf, got);
    CloseHandle(h);
    return data;
}

void WriteFileBytes(const std::string& path, const std::string& data) {
    ForceDirectories(ExtractFileDir(path));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
}

// The product's own removal: a link left by a test goes as a link, and
// what it leads to stays.
void RemoveTree(const std::string& path) { zel::RemoveTree(ToWide(path)); }

namespace {

// Wine's own name of a file on the Linux side.
std::string UnixName(const std::string& path) {
    typedef char*(CDECL * UnixNameFn)(LPCWSTR);
    auto fn = reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) return std::string();
    std::wstring wide = ToWide(path);
    while (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
    char* name = fn(wide.c_str());
    if (!name) return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// A Linux program under Wine: CreateProcess succeeds, but gives no process
// handle to wait for.
bool RunLinux(const std::string& commandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
    return true;
}

}  // namespace

bool MakeFolderLink(const std::string& target, const std::string& link) {
    std::string from = UnixName(target), to = UnixName(link);
    if (from.empty() || to.empty() || !RunLinux("Z:\\bin\\ln -s -n \"" + from + "\" \"" + to + "\"")) return false;
    return WaitFor([&] { return zel::IsLink(link); }, 10000, 20);
}

bool RemoveFolderLink(const std::string& link) {
    std::string name = UnixName(link);
    if (name.empty() || !RunLinux("Z:\\bin\\rm -f \"" + name + "\"")) return false;
    return WaitFor([&] { return GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES; }, 10000, 20);
}

std::string SidString(PSID sid) {
    LPSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return std::string();
    std::string result = text;
    LocalFree(text);
    return result;
}

AccessList DecodeAccess(PSECURITY_DESCRIPTOR descriptor) {
    AccessList list;
    if (!descriptor || !IsValidSecurityDescriptor(descriptor)) return list;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl)
        return list;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) list.owner = SidString(owner);
    list.valid = true;
    list.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&header))) break;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            list.deniedOrOther.push_back(header->AceType);
            continue;
        }
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        list.entries.push_back({SidString(&ace->SidStart), ace->Mask, header->AceFlags});
    }
    return list;
}

bool CreateKeyOpenToEveryone(const std::string& key) {
    DeleteMachineKeyTree(key.c_str());  // the program's keys may have subkeys (Status)
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;CI;KA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    // Set afterwards: Wine's RegCreateKeyEx does not take the descriptor
    // of its security attributes.
    HKEY created = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | ServiceKeyView,
                              nullptr, &created, nullptr);
    if (rc == ERROR_SUCCESS) rc = RegSetKeySecurity(created, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    if (created) RegCloseKey(created);
    return rc == ERROR_SUCCESS;
}

AccessList FileAccess(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    AccessList list;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) == ERROR_SUCCESS) {
        list = DecodeAccess(descriptor);
        LocalFree(descriptor);
    }
    return list;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
    ForceDirectories(ExtractFileDir(to));
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::string TodayLogPath(const std::string& programDir) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return IncludeTrailingBackslash(programDir) + "Logs\\" + GetLogFileName(now);
}

std::string ReadLog(const std::string& programDir) { return ReadFileBytes(TodayLogPath(programDir)); }

std::vector<std::string> LogMessages(const std::string& programDir) {
    std::vector<std::string> out;
    for (const auto& line : SplitLines(ReadLog(programDir))) out.push_back(line.size() >= 11 ? line.substr(11) : line);
    return out;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(separator, pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + separator.size();
    }
    return lines;
}

HANDLE StartProcess(const std::string& commandLine, const std::string& currentDir, DWORD* pid, DWORD flags) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string cmd = commandLine;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, flags, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

int RunProcess(const std::string& commandLine, DWORD timeoutMs, const std::string& currentDir) {
    HANDLE process = StartProcess(commandLine, currentDir, nullptr, CREATE_NO_WINDOW);
    if (!process) return -2;
    DWORD r = WaitForSingleObject(process, timeoutMs);
    DWORD code = static_cast<DWORD>(-1);
    if (r == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
    else TerminateProcess(process, 1);
    CloseHandle(process);
    return static_cast<int>(code);
}

int RunProcessOutput(const std::string& commandLine, std::string& output, DWORD timeoutMs, char* environment,
                     const std::string& currentDir) {
    output.clear();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return -2;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi = {};
    std::string cmd = commandLine;
    BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, environment,
                             currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi);
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!ok) {
        CloseHandle(readEnd);
        return -2;
    }
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got) output.append(buf, got);
    CloseHandle(readEnd);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

std::string ReferenceServerURL() {
    return "http://127.0.0.1:" + Trim(ReadFileBytes(TestDir() + "server.port")) + "/";
}

std::string CatalogueDir(const std::string& module, const std::string& version) {
    std::string dir = TestDir() + "catalogue\\" + module + "\\" + version + "\\";
    ForceDirectories(dir);
    return dir;
}

int ThreadsOfProgramIn(const std::string& dir) {
    int threads = -1;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return threads;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID);
        if (!p) continue;
        char path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameA(p, 0, path, &size) && SameText(ExtractFilePath(path), dir))
            threads = static_cast<int>(pe.cntThreads);
        CloseHandle(p);
    }
    CloseHandle(snap);
    return threads;
}

namespace {

// Calls f with each running process whose program file is in dir.
template <class F>
void ForEachProgramIn(const std::string& dir, F f) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                               pe.th32ProcessID);
        if (!p) continue;
        char path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameA(p, 0, path, &size) && SameText(ExtractFilePath(path), dir)) f(p);
        CloseHandle(p);
    }
    CloseHandle(snap);
}

}  // namespace

void EndProgramsIn(const std::string& dir) {
    ForEachProgramIn(dir, [](HANDLE p) {
        TerminateProcess(p, 1);
        WaitForSingleObject(p, 5000);
    });
}

int ProgramsRunningIn(const std::string& dir) {
    int n = 0;
    ForEachProgramIn(dir, [&n](HANDLE p) { n += WaitForSingleObject(p, 0) == WAIT_TIMEOUT; });
    return n;
}

namespace {

std::string PolicyPath(const std::string& key) {
    std::string path = "HKLM\\Software\\Policies\\Quillon\\ZELUpdate";
    return key.empty() ? path : path + "\\" + key;
}

}  // namespace

bool SetPolicy(const std::string& key, const std::string& name, const std::string& type, const std::string& data) {
    return RunProcess("reg add \"" + PolicyPath(key) + "\" /v " + name + " /t " + type + " /d \"" + data +
                          "\" /f /reg:32",
                      30000) == 0;
}

bool RemovePolicyValue(const std::string& key, const std::string& name) {
    return RunProcess("reg delete \"" + PolicyPath(key) + "\" /v " + name + " /f /reg:32", 30000) == 0;
}

void RemovePolicies() { RunProcess("reg delete \"" + PolicyPath("") + "\" /f /reg:32", 30000); }

}  // namespace zel::test
