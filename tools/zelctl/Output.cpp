// zelctl's output: lines in UTF-8 (UTF-16 to a console), result codes with
// their names and meanings, the command-line number parsers.
#include <windows.h>
#include <olectl.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>

#include "Zelctl.h"
#include "base/Text.h"

namespace zelctl {

using zel::WideToUtf8;

CRITICAL_SECTION OutputLock;

// watch --log: a file that gets a copy of every line, in UTF-8 (a client
// started again by the installer has no console to print to).
std::wstring CopyLogPath;

void AppendToCopyLog(const std::wstring& text) {
    if (CopyLogPath.empty()) return;
    HANDLE f = CreateFileW(CopyLogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

// One line to stdout or stderr: UTF-16 to a console, UTF-8 otherwise;
// flushed at once so that a reader of a pipe sees every event as it comes.
void WriteLine(DWORD which, const std::wstring& line) {
    EnterCriticalSection(&OutputLock);
    AppendToCopyLog(line + L"\n");
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    std::wstring text = line + L"\n";
    if (h != INVALID_HANDLE_VALUE && h != nullptr) {
        if (GetConsoleMode(h, &mode)) {
            WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        } else {
            std::string bytes = WideToUtf8(text);
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            FlushFileBuffers(h);
        }
    }
    LeaveCriticalSection(&OutputLock);
}

// watch --timestamps: output lines begin with the performance counter in ms.
bool Timestamps = false;

void Out(const std::wstring& line) {
    if (!Timestamps) return WriteLine(STD_OUTPUT_HANDLE, line);
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%.1f ", static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart));
    WriteLine(STD_OUTPUT_HANDLE, stamp + line);
}

// A timestamped step of watch, printed only with --timestamps.
void Step(const wchar_t* line) {
    if (Timestamps) Out(line);
}
void Err(const std::wstring& line) { WriteLine(STD_ERROR_HANDLE, L"zelctl: " + line); }

// A server string on one line.
std::wstring Text(BSTR s) {
    std::wstring out = s ? std::wstring(s, SysStringLen(s)) : std::wstring();
    for (wchar_t& c : out)
        if (c == L'\r' || c == L'\n' || c == L'\0') c = L' ';
    return out;
}

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08X", static_cast<unsigned>(hr));
    return buf;
}

std::wstring CodeName(HRESULT hr) {
    static const struct {
        HRESULT code;
        const wchar_t* name;
    } names[] = {
        {S_OK, L"S_OK"},
        {S_FALSE, L"S_FALSE"},
        {S_INPROCESS, L"S_INPROCESS"},
        {E_FAIL, L"E_FAIL"},
        {E_UNEXPECTED, L"E_UNEXPECTED"},
        {E_INVALIDARG, L"E_INVALIDARG"},
        {E_POINTER, L"E_POINTER"},
        {E_NOTIMPL, L"E_NOTIMPL"},
        {E_NOINTERFACE, L"E_NOINTERFACE"},
        {E_OUTOFMEMORY, L"E_OUTOFMEMORY"},
        {E_ACCESSDENIED, L"E_ACCESSDENIED"},
        {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG"},
        {CO_E_SERVER_EXEC_FAILURE, L"CO_E_SERVER_EXEC_FAILURE"},
        {CONNECT_E_NOCONNECTION, L"CONNECT_E_NOCONNECTION"},
        {CONNECT_E_ADVISELIMIT, L"CONNECT_E_ADVISELIMIT"},
        {RPC_E_DISCONNECTED, L"RPC_E_DISCONNECTED"},
        {RPC_E_SERVERFAULT, L"RPC_E_SERVERFAULT"},
        {static_cast<HRESULT>(0x800706BA), L"RPC_S_SERVER_UNAVAILABLE"},
        {static_cast<HRESULT>(0x800706BE), L"RPC_S_CALL_FAILED"},
        {CO_E_OBJNOTCONNECTED, L"CO_E_OBJNOTCONNECTED"},
        {TYPE_E_CANTLOADLIBRARY, L"TYPE_E_CANTLOADLIBRARY"},
    };
    for (const auto& n : names)
        if (n.code == hr) return n.name;
    return SUCCEEDED(hr) ? L"success" : L"error";
}

std::wstring Code(HRESULT hr) { return CodeName(hr) + L" (" + Hex(hr) + L")"; }

std::wstring SystemMessage(HRESULT hr) {
    wchar_t* buf = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring text;
    if (n && buf) text.assign(buf, n);
    if (buf) LocalFree(buf);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    return text;
}

// What the service means by its refusals; the system's text says less.
std::wstring Meaning(HRESULT hr) {
    if (hr == E_ACCESSDENIED)
        return L"refused by the service: this caller may not do that (an administrator's right, a module "
               L"registered by another user or the service's own, a process other than the caller or its "
               L"parent; the service log names the caller)";
    if (hr == CONNECT_E_NOCONNECTION) return L"no connection of this process has that cookie";
    return SystemMessage(hr);
}

// A failed call: message to stderr, exit code 1.
int Failed(const std::wstring& what, HRESULT hr) {
    std::wstring message = Meaning(hr);
    Err(what + L" failed: " + Code(hr) + (message.empty() ? L"" : L": " + message));
    return ExitFailed;
}

// The outcome of an action: "<Method>: <code>"; success codes end with 0.
int Outcome(const wchar_t* method, HRESULT hr) {
    if (FAILED(hr)) return Failed(method, hr);
    Out(std::wstring(method) + L": " + Code(hr));
    return ExitOk;
}

int Usage(const std::wstring& message) {
    Err(message + L" (zelctl --help lists the commands)");
    return ExitUsage;
}

bool ToLong(const std::wstring& text, long& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    long v = wcstol(text.c_str(), &end, 0);
    if (errno || !end || *end) return false;
    value = v;
    return true;
}

bool ToULong(const std::wstring& text, unsigned long& value) {
    if (text.empty() || text[0] == L'-') return false;
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long v = wcstoul(text.c_str(), &end, 0);
    if (errno || !end || *end) return false;
    value = v;
    return true;
}

}  // namespace zelctl
