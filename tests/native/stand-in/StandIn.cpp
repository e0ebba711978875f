// The functions of the stand-in headers that are not code-page conversions
// (CodePages.cpp). What has no meaning without Windows fails the way a
// missing file, module or service does.
#include <windows.h>

#include <bcrypt.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <winhttp.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "StandInControl.h"

namespace standin {
bool FailSidConversion = false;
}

namespace {
thread_local DWORD LastError = 0;
}

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD code) { LastError = code; }

DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD, void*) {
    (void)buffer;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
}

HLOCAL LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}

// ---------------------------------------------------------------- locks

void InitializeCriticalSection(CRITICAL_SECTION*) {}
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION*, DWORD) { return TRUE; }
void DeleteCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* cs) { cs->mutex.unlock(); }

// ---------------------------------------------------------------- modules, files, times

DWORD GetModuleFileNameA(HMODULE, LPSTR name, DWORD size) {
    if (name && size) name[0] = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

HMODULE GetModuleHandleA(LPCSTR) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

DWORD GetFileAttributesA(LPCSTR) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

BOOL GetFileAttributesExA(LPCSTR, GET_FILEEX_INFO_LEVELS, LPVOID) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL CreateDirectoryA(LPCSTR, void*) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL DeleteFileA(LPCSTR) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL MoveFileExA(LPCSTR, LPCSTR, DWORD) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD got, void*) {
    if (got) *got = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, void*) {
    if (written) *written = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// CloseHandle is in Threads.cpp: the handles that are real here are kernel
// objects.
BOOL FindClose(HANDLE) { return TRUE; }
BOOL CloseServiceHandle(SC_HANDLE) { return TRUE; }
LONG RegCloseKey(HKEY) { return 0; }

BOOL FileTimeToLocalFileTime(const FILETIME* time, FILETIME* local) {
    *local = *time;
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME*, SYSTEMTIME* system) {
    *system = SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0};
    return TRUE;
}

LPWSTR GetCommandLineW() {
    static wchar_t line[] = L"ZELService.exe";
    return line;
}

LPWSTR* CommandLineToArgvW(LPCWSTR, int* count) {
    if (count) *count = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

// ---------------------------------------------------------------- version resources

DWORD GetFileVersionInfoSizeA(LPCSTR, LPDWORD handle) {
    if (handle) *handle = 0;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
}

BOOL GetFileVersionInfoA(LPCSTR, DWORD, DWORD, LPVOID) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL VerQueryValueA(LPCVOID, LPCSTR, LPVOID* buffer, UINT* size) {
    if (buffer) *buffer = nullptr;
    if (size) *size = 0;
    return FALSE;
}

// ---------------------------------------------------------------- security identifiers

namespace {

// The binary layout of a SID: revision, count, 48-bit authority (big
// endian), then the 32-bit sub-authorities.
struct SidHeader {
    BYTE Revision;
    BYTE SubAuthorityCount;
    BYTE IdentifierAuthority[6];
};
constexpr int MaxSubAuthorities = 15;

bool ReadNumber(const char*& p, uint64_t limit, uint64_t& value) {
    if (*p < '0' || *p > '9') return false;
    value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<unsigned>(*p++ - '0');
        if (value > limit) return false;
    }
    return true;
}

}  // namespace

BOOL ConvertStringSidToSidA(LPCSTR text, PSID* sid) {
    if (!text || !sid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sid = nullptr;
    const char* p = text;
    uint64_t revision = 0, authority = 0;
    std::vector<uint32_t> subs;
    bool ok = !standin::FailSidConversion && (p[0] == 'S' || p[0] == 's') && p[1] == '-';
    if (ok) {
        p += 2;
        ok = ReadNumber(p, 255, revision) && revision == 1 && *p++ == '-' && ReadNumber(p, 0xFFFFFFFFFFFFull, authority);
    }
    while (ok && *p == '-') {
        ++p;
        uint64_t sub = 0;
        ok = ReadNumber(p, 0xFFFFFFFFull, sub) && subs.size() < MaxSubAuthorities;
        subs.push_back(static_cast<uint32_t>(sub));
    }
    if (!ok || *p != 0 || subs.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t size = sizeof(SidHeader) + 4 * subs.size();
    auto* bytes = static_cast<BYTE*>(malloc(size));
    auto* header = reinterpret_cast<SidHeader*>(bytes);
    header->Revision = 1;
    header->SubAuthorityCount = static_cast<BYTE>(subs.size());
    for (int i = 0; i < 6; ++i) header->IdentifierAuthority[i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    memcpy(bytes + sizeof(SidHeader), subs.data(), 4 * subs.size());
    *sid = bytes;
    return TRUE;
}

DWORD GetLengthSid(PSID sid) {
    return static_cast<DWORD>(sizeof(SidHeader) + 4 * static_cast<SidHeader*>(sid)->SubAuthorityCount);
}

BOOL CopySid(DWORD size, PSID to, PSID from) {
    DWORD need = GetLengthSid(from);
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(to, from, need);
    return TRUE;
}

// ---------------------------------------------------------------- COM

LPVOID CoTaskMemAlloc(SIZE_T size) { return malloc(size ? size : 1); }
void CoTaskMemFree(LPVOID memory) { free(memory); }

HRESULT CLSIDFromString(LPCWSTR text, LPCLSID clsid) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    static const char form[] = "{........-....-....-....-............}";
    if (!text || !clsid || wcslen(text) != sizeof form - 1) return CO_E_CLASSSTRING;
    uint8_t bytes[16];
    int nibbles = 0;
    for (size_t i = 0; i < sizeof form - 1; ++i) {
        wchar_t c = text[i];
        if (form[i] != '.') {
            if (c != static_cast<wchar_t>(form[i])) return CO_E_CLASSSTRING;
            continue;
        }
        int v = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                     : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
        if (v < 0) return CO_E_CLASSSTRING;
        if (nibbles % 2 == 0) bytes[nibbles / 2] = static_cast<uint8_t>(v << 4);
        else bytes[nibbles / 2] |= static_cast<uint8_t>(v);
        ++nibbles;
    }
    clsid->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    clsid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    clsid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    memcpy(clsid->Data4, bytes + 8, 8);
    return S_OK;
}

// ---------------------------------------------------------------- crypto

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR, LPCWSTR, ULONG) {
    if (algorithm) *algorithm = nullptr;
    return static_cast<NTSTATUS>(0xC00000BB);  // STATUS_NOT_SUPPORTED
}
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE, ULONG) { return 0; }
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE* hash, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
    if (hash) *hash = nullptr;
    return static_cast<NTSTATUS>(0xC0000008);  // STATUS_INVALID_HANDLE
}
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE) { return 0; }
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE) { return 0; }
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) { return static_cast<NTSTATUS>(0xC0000008); }
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) { return static_cast<NTSTATUS>(0xC0000008); }

// ---------------------------------------------------------------- network

BOOL WinHttpCrackUrl(LPCWSTR, DWORD, DWORD, URL_COMPONENTS*) {
    SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return FALSE;
}
HINTERNET WinHttpOpen(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
HINTERNET WinHttpConnect(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
HINTERNET WinHttpOpenRequest(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
BOOL WinHttpSendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WinHttpReceiveResponse(HINTERNET, LPVOID) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WinHttpQueryHeaders(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WinHttpSetCredentials(HINTERNET, DWORD, DWORD, LPCWSTR, LPCWSTR, LPVOID) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WinHttpReadData(HINTERNET, LPVOID, DWORD, LPDWORD got) {
    if (got) *got = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
BOOL WinHttpCloseHandle(HINTERNET) { return TRUE; }
