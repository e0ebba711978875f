// Stand-in for the few parts of <windows.h> that the text units use, so that
// they compile unchanged on the build host. The types have the sizes they
// have on the target (DWORD and LONG 32 bits); wchar_t is wider here but
// carries UTF-16 code units exactly as on Windows.
//
// What the functions do (StandIn.cpp, CodePages.cpp):
// - the code-page conversions are real, table-driven, for 1251 (the ANSI
//   code page of the target machines), 866 (its OEM code page) and UTF-8;
// - critical sections are real (a recursive mutex), and so are threads,
//   events and waits on them (Threads.cpp, on the C++ run-time's threads);
// - SIDs in "S-1-..." form and GUIDs in braces are converted for real;
// - every file, module, version-resource, network and crypto call fails as
//   it would for a missing file or an unavailable service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <mutex>

#define WINAPI
#define STDMETHODCALLTYPE
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using CHAR = char;
using UCHAR = unsigned char;
using PUCHAR = unsigned char*;
using WCHAR = wchar_t;
using SIZE_T = size_t;
using HRESULT = int32_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPBOOL = BOOL*;
using PBOOL = BOOL*;
using HANDLE = void*;
using HMODULE = void*;
using HLOCAL = void*;
using PSID = void*;
using DWORD_PTR = uintptr_t;
using ULONGLONG = uint64_t;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using CLSID = GUID;
using IID = GUID;
using LPCLSID = GUID*;

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005)
#define E_POINTER ((HRESULT)0x80004003)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// ---------------------------------------------------------------- errors

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_NOT_SUPPORTED 50
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813

DWORD GetLastError();
void SetLastError(DWORD code);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
// No message texts here: 0, as for a code the system does not know.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);
HLOCAL LocalFree(HLOCAL memory);

// ---------------------------------------------------------------- code pages

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define MB_ERR_INVALID_CHARS 0x00000008

// CP_ACP is 1251 and CP_OEMCP is 866, as on the target machines.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide, int wideSize);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int size, LPSTR text, int textSize,
                        LPCSTR defaultChar, LPBOOL usedDefault);

// ---------------------------------------------------------------- locks

struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// ---------------------------------------------------------------- threads, events, waits

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

// The stack size is the run-time's; CREATE_SUSPENDED is not supported.
HANDLE CreateThread(void* security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                    LPDWORD id);
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Events and threads (signalled when the thread has ended).
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
DWORD GetCurrentThreadId();
void Sleep(DWORD ms);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// ---------------------------------------------------------------- modules, files, times

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow;
};
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002

DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size);
HMODULE GetModuleHandleA(LPCSTR name);
DWORD GetFileAttributesA(LPCSTR path);
BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data);
BOOL CreateDirectoryA(LPCSTR path, void* security);
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, void* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void* overlapped);
BOOL CloseHandle(HANDLE handle);
// For the owners of base/Owners.h; nothing here opens what they close.
BOOL FindClose(HANDLE find);
using SC_HANDLE = void*;
BOOL CloseServiceHandle(SC_HANDLE service);
using HKEY = struct HKEY__*;
LONG RegCloseKey(HKEY key);
BOOL FileTimeToLocalFileTime(const FILETIME* time, FILETIME* local);
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* system);
LPWSTR GetCommandLineW();

// ---------------------------------------------------------------- version resources

struct VS_FIXEDFILEINFO {
    DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS, dwProductVersionLS,
        dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype, dwFileDateMS, dwFileDateLS;
};
DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* size);

// ---------------------------------------------------------------- security identifiers, COM memory

DWORD GetLengthSid(PSID sid);
BOOL CopySid(DWORD size, PSID to, PSID from);
LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID memory);
