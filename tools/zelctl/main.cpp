// zelctl: command-line client of the update service's COM server
// ZELUpdate.ZELUpdateServer. Every command creates the server object (COM
// starts the service when it is stopped), makes one or a few calls and
// prints the outcome in UTF-8, one line per item; `watch` advises an event
// sink and prints the events as they arrive. Run `zelctl --help`.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "ZELUpdate_TLB.h"
#include "com/BStr.h"
#include "com/VtableDispatch.h"
#include "service/Text.h"

namespace {

using zel::BStr;
using zel::WideToUtf8;

// Exit codes.
constexpr int ExitOk = 0;          // the call succeeded (S_OK, S_FALSE, ...)
constexpr int ExitFailed = 1;      // a call failed, or watch missed its event
constexpr int ExitUsage = 2;       // bad command line
constexpr int ExitNoServer = 3;    // the server object could not be created

const wchar_t* const HelpText =
    L"zelctl - client of the update service ZELUpdate (COM server ZELUpdate.ZELUpdateServer)\n"
    L"\n"
    L"Usage: zelctl <command> [arguments]\n"
    L"\n"
    L"Commands:\n"
    L"  add <module> <version>          register a module with its installed version\n"
    L"  remove <module>                 unregister a module\n"
    L"  check [cookie]                  ask for an update check now\n"
    L"  checkmodule <module> <version>  ask for a downloaded version newer than <version>;\n"
    L"                                  prints the result code and the version\n"
    L"  install <pid> <restart> <module>=<version>...\n"
    L"                                  install the downloaded updates once process <pid>\n"
    L"                                  has ended; restart 0 starts it again, 1 does not\n"
    L"  getproxy                        print the proxy settings\n"
    L"  setproxy <addr> <port> <user> <password>\n"
    L"                                  store the proxy settings (empty address: no proxy)\n"
    L"  version                         print the service's version\n"
    L"  checkversion <version>          S_OK when the service is at least <version>,\n"
    L"                                  S_FALSE when <version> is newer\n"
    L"  jobstate <module>               state of the module's download job\n"
    L"  jobprogress <module>            progress of the module's download job, percent\n"
    L"  resume|suspend|cancel <module>  control the module's download job\n"
    L"  clients <appname>               number of connected clients named <appname>\n"
    L"  watch [options]                 advise an event sink and print every event\n"
    L"\n"
    L"Options of watch:\n"
    L"  --name N               client name given to the service (default zelctl)\n"
    L"  --mask M               event mask, decimal or 0x hex (default 0x1F: all);\n"
    L"                         1 start, 2 no updates, 4 exception, 8 download, 16 process\n"
    L"  --modules m=v,...      modules subscribed to, with their installed versions\n"
    L"  --modules-file FILE    more modules, one m=v per line (UTF-8)\n"
    L"  --seconds S            end after S seconds (default: run until stopped)\n"
    L"  --exit-on EVENT        end after the first EVENT (OnDownload, OnStart, OnProcess,\n"
    L"                         OnNoUpdates, OnException, OnUpdate, OnError)\n"
    L"  --hang-on EVENT        never return from the first EVENT (a frozen client)\n"
    L"  --check                call CheckUpdates with the sink's cookie once advised\n"
    L"  --install-on-download  on OnDownload call Install(own pid, restart, module=installed\n"
    L"                         version from --modules) and end\n"
    L"  --restart R            restart flag for --install-on-download (default 0: restart)\n"
    L"  --log FILE             append a copy of every line to FILE, beginning with\n"
    L"                         \"Started: <command line> | <current directory>\"\n"
    L"  --timestamps           begin every output line with the time in ms (the system's\n"
    L"                         performance counter, one clock for all processes) and\n"
    L"                         add the lines Connecting, Connected, Advising, Checking\n"
    L"\n"
    L"watch prints \"Advised <cookie>\" once advised, then one line per event:\n"
    L"  OnStart <module> <version>, OnProcess <module> <percent>, OnDownload <module> <version>,\n"
    L"  OnNoUpdates, OnException <name> | <context> | <text>, OnUpdate <module> <code>,\n"
    L"  OnError <module>\n"
    L"\n"
    L"Output is UTF-8. Exit codes: 0 success, 1 a call failed or the awaited event did not\n"
    L"come, 2 bad command line, 3 the server could not be reached.\n";

// ---- output

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

// A failed call: message to stderr, exit code 1.
int Failed(const std::wstring& what, HRESULT hr) {
    std::wstring message = SystemMessage(hr);
    Err(what + L" failed: " + Code(hr) + (message.empty() ? L"" : L": " + message));
    return ExitFailed;
}

// The outcome of an action: "<Method>: <code>"; success codes end with 0.
int Outcome(const wchar_t* method, HRESULT hr) {
    if (FAILED(hr)) return Failed(method, hr);
    Out(std::wstring(method) + L": " + Code(hr));
    return ExitOk;
}

// ---- small COM helpers

template <class T>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() { Reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

// Replaces the value of an in/out string parameter.
void Assign(BSTR* target, const std::wstring& value) {
    if (!target) return;
    SysFreeString(*target);
    *target = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
}

using ModulePairs = std::vector<std::pair<std::wstring, std::wstring>>;

// "module=version"; false when there is no "=" or no module name.
bool ParsePair(const std::wstring& text, std::pair<std::wstring, std::wstring>& pair) {
    size_t eq = text.find(L'=');
    if (eq == std::wstring::npos || eq == 0) return false;
    pair = {text.substr(0, eq), text.substr(eq + 1)};
    return true;
}

// The client's module enumerator, handed to Install and returned by GetModules.
class ModuleEnum final : public IEnumModules {
public:
    explicit ModuleEnum(ModulePairs pairs) : pairs_(std::move(pairs)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IEnumModules)) {
            *ppv = static_cast<IEnumModules*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&ref_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return n;
    }
    ZEL_VTABLE_ONLY_DISPATCH
    HRESULT STDMETHODCALLTYPE Next(BSTR* name, BSTR* version) override {
        if (!name || !version) return E_POINTER;
        LONG i = InterlockedIncrement(&next_) - 1;
        if (i < 0 || static_cast<size_t>(i) >= pairs_.size()) return S_FALSE;
        Assign(name, pairs_[i].first);
        Assign(version, pairs_[i].second);
        return S_OK;
    }

private:
    LONG ref_ = 1;
    LONG next_ = 0;
    ModulePairs pairs_;
};

// Install with the given modules in an enumerator of the client's own.
HRESULT Install(IZELUpdate* update, ModulePairs pairs, DWORD pid, HRESULT restart) {
    ModuleEnum* modules = new ModuleEnum(std::move(pairs));
    HRESULT hr = update->Install(modules, pid, restart);
    modules->Release();
    return hr;
}

// Appends the module=version lines of a UTF-8 file; false when it cannot be
// read or a line is no pair.
bool ReadModulesFile(const std::wstring& path, ModulePairs& pairs, std::wstring& bad) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        bad = path;
        return false;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(f, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(f);
    std::wstring text = zel::Utf8ToWide(bytes);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty()) continue;
        std::pair<std::wstring, std::wstring> pair;
        if (!ParsePair(line, pair)) {
            bad = line;
            return false;
        }
        pairs.push_back(pair);
    }
    return true;
}

// ---- the event sink of watch

struct WatchOptions {
    std::wstring name = L"zelctl";
    ULONG mask = EVT_START | EVT_NOUPDATES | EVT_EXCEPTION | EVT_DOWNLOAD | EVT_PROCESS;
    ModulePairs modules;
    DWORD seconds = 0;  // 0: until stopped
    std::wstring exitOn;
    std::wstring hangOn;
    bool check = false;
    bool installOnDownload = false;
    HRESULT restart = S_OK;
};

HANDLE StopWatch = nullptr;  // set on --exit-on, on Ctrl+C, after a download to install

class Sink final : public IZELUpdateEvents2, public IZELUpdateClient, public IZELClientInfo {
public:
    explicit Sink(const WatchOptions& options) : options_(options) {}

    // The download that --install-on-download acts on.
    bool TakeDownload(std::wstring& module) {
        EnterCriticalSection(&OutputLock);
        bool got = downloaded_;
        module = downloadedModule_;
        LeaveCriticalSection(&OutputLock);
        return got;
    }

    // IUnknown: one identity for the three interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IZELUpdateEvents) || IsEqualIID(riid, IID_IZELUpdateEvents2))
            *ppv = static_cast<IZELUpdateEvents2*>(this);
        else if (IsEqualIID(riid, IID_IZELUpdateClient))
            *ppv = static_cast<IZELUpdateClient*>(this);
        else if (IsEqualIID(riid, IID_IZELClientInfo))
            *ppv = static_cast<IZELClientInfo*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&ref_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return n;
    }

    ZEL_VTABLE_ONLY_DISPATCH

    // IZELUpdateEvents
    HRESULT STDMETHODCALLTYPE OnDownload(BSTR module, BSTR version) override {
        if (options_.installOnDownload) {
            EnterCriticalSection(&OutputLock);
            if (!downloaded_) {
                downloaded_ = true;
                downloadedModule_ = Text(module);
            }
            LeaveCriticalSection(&OutputLock);
        }
        Event(L"OnDownload", L"OnDownload " + Text(module) + L" " + Text(version));
        if (options_.installOnDownload) SetEvent(StopWatch);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUpdate(BSTR module, LONG code) override {
        return Event(L"OnUpdate", L"OnUpdate " + Text(module) + L" " + std::to_wstring(code));
    }
    HRESULT STDMETHODCALLTYPE OnStart(BSTR module, BSTR version) override {
        return Event(L"OnStart", L"OnStart " + Text(module) + L" " + Text(version));
    }
    HRESULT STDMETHODCALLTYPE OnProcess(BSTR module, LONG percent) override {
        return Event(L"OnProcess", L"OnProcess " + Text(module) + L" " + std::to_wstring(percent));
    }
    HRESULT STDMETHODCALLTYPE OnError(BSTR module) override {
        return Event(L"OnError", L"OnError " + Text(module));
    }
    HRESULT STDMETHODCALLTYPE OnNoUpdates() override { return Event(L"OnNoUpdates", L"OnNoUpdates"); }

    // IZELUpdateEvents2
    HRESULT STDMETHODCALLTYPE OnException(BSTR name, BSTR context, BSTR text) override {
        return Event(L"OnException", L"OnException " + Text(name) + L" | " + Text(context) + L" | " + Text(text));
    }
    HRESULT STDMETHODCALLTYPE GetEventTypes(ULONG* events) override {
        if (!events) return E_POINTER;
        *events = options_.mask;
        return S_OK;
    }

    // IZELUpdateClient
    HRESULT STDMETHODCALLTYPE GetModules(IEnumModules** modules) override {
        if (!modules) return E_POINTER;
        if (*modules) (*modules)->Release();
        *modules = new ModuleEnum(options_.modules);
        return S_OK;
    }

    // IZELClientInfo
    HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
        if (!name) return E_POINTER;
        Assign(name, options_.name);
        return S_OK;
    }

private:
    HRESULT Event(const wchar_t* event, const std::wstring& line) {
        Out(line);
        if (!options_.exitOn.empty() && options_.exitOn == event) {
            SetEvent(StopWatch);
        }
        if (options_.hangOn == event) {
            Out(L"Hanging in " + options_.hangOn);
            Sleep(INFINITE);
        }
        return S_OK;
    }

    LONG ref_ = 1;
    const WatchOptions options_;
    bool downloaded_ = false;
    std::wstring downloadedModule_;
};

BOOL WINAPI OnConsoleControl(DWORD) {
    if (StopWatch) SetEvent(StopWatch);
    return TRUE;
}

// ---- the commands

using Args = std::vector<std::wstring>;

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

// The server object, asked for the interface the command needs.
template <class T>
HRESULT Connect(REFIID iid, Ptr<T>& out) {
    Ptr<IUnknown> unk;
    HRESULT hr = CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, unk.OutVoid());
    if (FAILED(hr)) {
        Failed(L"Creating ZELUpdate.ZELUpdateServer", hr);
        return hr;
    }
    hr = unk->QueryInterface(iid, out.OutVoid());
    if (FAILED(hr)) Failed(L"QueryInterface", hr);
    return hr;
}

const wchar_t* JobStateName(LONG state) {
    static const wchar_t* const names[] = {L"QUEUED",          L"CONNECTING",  L"TRANSFERRING",
                                           L"SUSPENDED",       L"ERROR",       L"TRANSIENT_ERROR",
                                           L"TRANSFERRED",     L"ACKNOWLEDGED", L"CANCELLED"};
    return state >= 0 && state < 9 ? names[state] : L"UNKNOWN";
}

int Watch(const Args& args);

int Run(const Args& args) {
    const std::wstring& cmd = args[0];
    size_t n = args.size() - 1;
    auto need = [&](size_t count, const wchar_t* usage) {
        if (n == count) return true;
        Usage(std::wstring(L"usage: zelctl ") + usage);
        return false;
    };

    if (cmd == L"add") {
        if (!need(2, L"add <module> <version>")) return ExitUsage;
        Ptr<IZELAppList> list;
        if (FAILED(Connect(IID_IZELAppList, list))) return ExitNoServer;
        return Outcome(L"Add", list->Add(BStr(args[1]), BStr(args[2])));
    }
    if (cmd == L"remove") {
        if (!need(1, L"remove <module>")) return ExitUsage;
        Ptr<IZELAppList> list;
        if (FAILED(Connect(IID_IZELAppList, list))) return ExitNoServer;
        return Outcome(L"Remove", list->Remove(BStr(args[1])));
    }
    if (cmd == L"check") {
        long cookie = 0;
        if (n > 1 || (n == 1 && !ToLong(args[1], cookie))) return Usage(L"usage: zelctl check [cookie]");
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        return Outcome(L"CheckUpdates", update->CheckUpdates(cookie));
    }
    if (cmd == L"checkmodule") {
        if (!need(2, L"checkmodule <module> <version>")) return ExitUsage;
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        BStr version(args[2]);
        HRESULT hr = update->CheckModule(BStr(args[1]), version.Out());
        Out(L"CheckModule: " + Code(hr) + L" " + Text(version));
        return FAILED(hr) ? ExitFailed : ExitOk;
    }
    if (cmd == L"install") {
        unsigned long pid = 0;
        long restart = 0;
        if (n < 2 || !ToULong(args[1], pid) || !ToLong(args[2], restart))
            return Usage(L"usage: zelctl install <pid> <restart 0|1> <module>=<version>...");
        ModulePairs pairs;
        for (size_t i = 3; i < args.size(); ++i) {
            std::pair<std::wstring, std::wstring> pair;
            if (!ParsePair(args[i], pair)) return Usage(L"not a <module>=<version> pair: " + args[i]);
            pairs.push_back(pair);
        }
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        return Outcome(L"Install", Install(update.Get(), std::move(pairs), pid, static_cast<HRESULT>(restart)));
    }
    if (cmd == L"getproxy") {
        if (!need(0, L"getproxy")) return ExitUsage;
        Ptr<IZELServiceSetup> setup;
        if (FAILED(Connect(IID_IZELServiceSetup, setup))) return ExitNoServer;
        BStr address, user, password;
        LONG port = 0;
        HRESULT hr = setup->GetProxy(address.Out(), &port, user.Out(), password.Out());
        if (FAILED(hr)) return Failed(L"GetProxy", hr);
        Out(L"Address=" + Text(address));
        Out(L"Port=" + std::to_wstring(port));
        Out(L"UserName=" + Text(user));
        Out(L"Password=" + Text(password));
        return ExitOk;
    }
    if (cmd == L"setproxy") {
        long port = 0;
        if (n != 4 || !ToLong(args[2], port))
            return Usage(L"usage: zelctl setproxy <addr> <port> <user> <password>");
        Ptr<IZELServiceSetup> setup;
        if (FAILED(Connect(IID_IZELServiceSetup, setup))) return ExitNoServer;
        return Outcome(L"SetProxy", setup->SetProxy(BStr(args[1]), port, BStr(args[3]), BStr(args[4])));
    }
    if (cmd == L"version") {
        if (!need(0, L"version")) return ExitUsage;
        Ptr<IZELServiceVersion> version;
        if (FAILED(Connect(IID_IZELServiceVersion, version))) return ExitNoServer;
        BStr text;
        HRESULT hr = version->GetVersion(text.Out());
        if (FAILED(hr)) return Failed(L"GetVersion", hr);
        Out(Text(text));
        return ExitOk;
    }
    if (cmd == L"checkversion") {
        if (!need(1, L"checkversion <version>")) return ExitUsage;
        Ptr<IZELServiceVersion> version;
        if (FAILED(Connect(IID_IZELServiceVersion, version))) return ExitNoServer;
        return Outcome(L"CheckVersion", version->CheckVersion(BStr(args[1])));
    }
    if (cmd == L"jobstate" || cmd == L"jobprogress" || cmd == L"resume" || cmd == L"suspend" ||
        cmd == L"cancel") {
        if (!need(1, (cmd + L" <module>").c_str())) return ExitUsage;
        Ptr<IZELJobManager> jobs;
        if (FAILED(Connect(IID_IZELJobManager, jobs))) return ExitNoServer;
        BStr module(args[1]);
        if (cmd == L"resume") return Outcome(L"Resume", jobs->Resume(module));
        if (cmd == L"suspend") return Outcome(L"Suspend", jobs->Suspend(module));
        if (cmd == L"cancel") return Outcome(L"Cancel", jobs->Cancel(module));
        LONG value = -1;
        bool state = cmd == L"jobstate";
        HRESULT hr = state ? jobs->GetState(module, &value) : jobs->GetProgress(module, &value);
        if (hr == S_OK)
            Out(state ? std::to_wstring(value) + L" " + JobStateName(value) : std::to_wstring(value));
        else
            return Outcome(state ? L"GetState" : L"GetProgress", hr);
        return ExitOk;
    }
    if (cmd == L"clients") {
        if (!need(1, L"clients <appname>")) return ExitUsage;
        Ptr<IZELService> service;
        if (FAILED(Connect(IID_IZELService, service))) return ExitNoServer;
        ULONG count = 0;
        HRESULT hr = service->GetClientCount(BStr(args[1]), &count);
        if (FAILED(hr)) return Failed(L"GetClientCount", hr);
        Out(std::to_wstring(count));
        return ExitOk;
    }
    if (cmd == L"watch") return Watch(args);
    return Usage(L"unknown command " + cmd);
}

int Watch(const Args& args) {
    WatchOptions options;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == L"--check") {
            options.check = true;
        } else if (a == L"--timestamps") {
            Timestamps = true;
        } else if (a == L"--install-on-download") {
            options.installOnDownload = true;
        } else if (!hasValue) {
            return Usage(L"unknown or incomplete watch option " + a);
        } else if (a == L"--name") {
            options.name = args[++i];
        } else if (a == L"--log") {
            CopyLogPath = args[++i];
            wchar_t dir[MAX_PATH] = {};
            GetCurrentDirectoryW(MAX_PATH, dir);
            Out(L"Started: " + std::wstring(GetCommandLineW()) + L" | " + dir);
        } else if (a == L"--mask") {
            unsigned long mask = 0;
            if (!ToULong(args[++i], mask)) return Usage(L"bad --mask " + args[i]);
            options.mask = mask;
        } else if (a == L"--seconds") {
            unsigned long seconds = 0;
            if (!ToULong(args[++i], seconds) || seconds > 86400 * 365) return Usage(L"bad --seconds " + args[i]);
            options.seconds = seconds;
        } else if (a == L"--restart") {
            long restart = 0;
            if (!ToLong(args[++i], restart)) return Usage(L"bad --restart " + args[i]);
            options.restart = static_cast<HRESULT>(restart);
        } else if (a == L"--exit-on" || a == L"--hang-on") {
            std::wstring& event = a == L"--exit-on" ? options.exitOn : options.hangOn;
            event = args[++i];
            static const wchar_t* const events[] = {L"OnDownload", L"OnStart",   L"OnProcess", L"OnNoUpdates",
                                                    L"OnException", L"OnUpdate", L"OnError"};
            bool known = false;
            for (const wchar_t* e : events) known = known || event == e;
            if (!known) return Usage(L"unknown event " + event);
        } else if (a == L"--modules-file") {
            std::wstring bad;
            if (!ReadModulesFile(args[++i], options.modules, bad)) return Usage(L"bad --modules-file: " + bad);
        } else if (a == L"--modules") {
            std::wstring list = args[++i];
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(L',', start);
                std::wstring item = list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
                if (!item.empty()) {
                    std::pair<std::wstring, std::wstring> pair;
                    if (!ParsePair(item, pair)) return Usage(L"not a <module>=<version> pair: " + item);
                    options.modules.push_back(pair);
                }
                if (comma == std::wstring::npos) break;
                start = comma + 1;
            }
        } else {
            return Usage(L"unknown watch option " + a);
        }
    }

    StopWatch = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    Ptr<IZELUpdate> update;
    Step(L"Connecting");
    if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
    Step(L"Connected");
    Ptr<IConnectionPointContainer> container;
    HRESULT hr = update->QueryInterface(IID_IConnectionPointContainer, container.OutVoid());
    if (FAILED(hr)) return Failed(L"QueryInterface(IConnectionPointContainer)", hr);
    Ptr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(IID_IZELUpdateEvents, point.Out());
    if (FAILED(hr)) return Failed(L"FindConnectionPoint", hr);
    Ptr<IZELServiceVersion> ping;
    update->QueryInterface(IID_IZELServiceVersion, ping.OutVoid());

    Sink* sink = new Sink(options);
    DWORD cookie = 0;
    Step(L"Advising");
    hr = point->Advise(static_cast<IZELUpdateEvents2*>(sink), &cookie);
    if (FAILED(hr)) {
        sink->Release();
        return Failed(L"Advise", hr);
    }
    Out(L"Advised " + std::to_wstring(cookie));
    if (options.check) {
        Step(L"Checking");
        hr = update->CheckUpdates(static_cast<LONG>(cookie));
        Out(L"CheckUpdates: " + Code(hr));
    }

    // Wait for the end, and every few seconds make sure the service is
    // still there: a stopped service drops its sinks without a word.
    int result = ExitOk;
    DWORD started = GetTickCount();
    DWORD lastPing = started;
    for (;;) {
        if (WaitForSingleObject(StopWatch, 250) == WAIT_OBJECT_0) break;
        DWORD now = GetTickCount();
        if (options.seconds && now - started >= options.seconds * 1000) {
            if (!options.exitOn.empty() || options.installOnDownload) {
                Err(L"timeout: no " + (options.exitOn.empty() ? std::wstring(L"OnDownload") : options.exitOn) +
                    L" within " + std::to_wstring(options.seconds) + L" s");
                result = ExitFailed;
            }
            break;
        }
        if (ping.Get() && now - lastPing >= 5000) {
            lastPing = now;
            BStr v;
            HRESULT alive = ping->GetVersion(v.Out());
            if (FAILED(alive)) {
                // The service is gone, and with it the connection.
                result = Failed(L"The service connection", alive);
                cookie = 0;
                break;
            }
        }
    }

    // No cookie any more: the service was lost and there is nobody to ask.
    std::wstring module;
    if (cookie && options.installOnDownload && sink->TakeDownload(module)) {
        // Install from the version that is installed now, so that the
        // service picks the installers newer than it.
        std::wstring installed;
        for (const auto& pair : options.modules)
            if (pair.first == module) {
                installed = pair.second;
                break;
            }
        point->Unadvise(cookie);
        cookie = 0;
        hr = Install(update.Get(), {{module, installed}}, GetCurrentProcessId(), options.restart);
        if (FAILED(hr)) {
            result = Failed(L"Install", hr);
        } else {
            Out(L"Install " + module + L"=" + installed + L": " + Code(hr));
            result = ExitOk;
        }
    }
    if (cookie) point->Unadvise(cookie);
    sink->Release();
    return result;
}

}  // namespace

int main() {
    InitializeCriticalSection(&OutputLock);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Args args;
    for (int i = 1; argv && i < argc; ++i) args.push_back(argv[i]);
    if (argv) LocalFree(argv);

    if (args.empty()) {
        Usage(L"no command");
        return ExitUsage;
    }
    if (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?" || args[0] == L"help") {
        std::wstring help = HelpText;
        help.pop_back();
        Out(help);
        return ExitOk;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return Failed(L"CoInitializeEx", hr);
    // The service calls the sink back: let it in whatever its account.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                         nullptr, EOAC_NONE, nullptr);
    int result = Run(args);
    CoUninitialize();
    return result;
}
