// zelctl watch: an event sink advised to the service, printing every event.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Zelctl.h"
#include "base/BStr.h"
#include "base/KeptInterfaces.h"
#include "com/VtableDispatch.h"

namespace zelctl {

using zel::BStr;

namespace {

struct WatchOptions {
    std::wstring name = L"zelctl";
    ULONG mask = EVT_START | EVT_NOUPDATES | EVT_EXCEPTION | EVT_DOWNLOAD | EVT_PROCESS;
    ModulePairs modules;
    DWORD seconds = 0;  // 0: until stopped
    std::wstring exitOn;
    std::wstring hangOn;
    bool check = false;
    bool listConnections = false;
    unsigned long sinks = 1;  // connections advised, each with a sink of its own
    bool installOnDownload = false;
    HRESULT restart = S_OK;
};

HANDLE StopWatch = nullptr;  // set on --exit-on, on Ctrl+C, after a download to install
// Every connection is advised: from now on --hang-on GetName hangs (the
// service asks for the name inside Advise too).
volatile LONG AllAdvised = 0;

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
        if (options_.hangOn == L"GetModules") {
            Out(L"Hanging in GetModules");
            Sleep(INFINITE);
        }
        if (*modules) (*modules)->Release();
        *modules = NewModuleEnum(options_.modules);
        return S_OK;
    }

    // IZELClientInfo
    HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
        if (!name) return E_POINTER;
        if (options_.hangOn == L"GetName" && AllAdvised) {
            Out(L"Hanging in GetName");
            Sleep(INFINITE);
        }
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

}  // namespace

int ListConnections(IConnectionPoint* point) {
    // Wine's proxy of IEnumConnections::Next was seen to hand back a wrong
    // count, for the first call a success code other than S_OK, and now and
    // then a failure code that neither the service nor COM makes (0x8FAFB5D5,
    // 0x80060000) while the service's enumerator had answered. So the items
    // are taken one at a time, an item is there when its cookie is, and a
    // listing that fails is made again from a new enumerator (three times at
    // most); the lines are printed once a listing has come through whole.
    HRESULT failed = S_OK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Ptr<IEnumConnections> connections;
        HRESULT hr = point->EnumConnections(connections.Out());
        if (FAILED(hr)) return Failed(L"EnumConnections", hr);
        std::vector<DWORD> cookies;
        for (;;) {
            CONNECTDATA data = {};
            ULONG fetched = 0;
            failed = connections->Next(1, &data, &fetched);
            if (FAILED(failed)) break;
            if (data.pUnk) data.pUnk->Release();
            if (data.dwCookie == 0) break;
            cookies.push_back(data.dwCookie);
        }
        if (SUCCEEDED(failed)) {
            for (DWORD cookie : cookies) Out(L"Connection " + std::to_wstring(cookie));
            return ExitOk;
        }
        Err(L"IEnumConnections::Next failed: " + Code(failed) + L"; listing again");
    }
    return Failed(L"IEnumConnections::Next", failed);
}

int Watch(const Args& args) {
    WatchOptions options;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == L"--check") {
            options.check = true;
        } else if (a == L"--list-connections") {
            options.listConnections = true;
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
        } else if (a == L"--sinks") {
            unsigned long sinks = 0;
            if (!ToULong(args[++i], sinks) || sinks == 0 || sinks > 10000) return Usage(L"bad --sinks " + args[i]);
            options.sinks = sinks;
        } else if (a == L"--restart") {
            long restart = 0;
            if (!ToLong(args[++i], restart)) return Usage(L"bad --restart " + args[i]);
            options.restart = static_cast<HRESULT>(restart);
        } else if (a == L"--exit-on" || a == L"--hang-on") {
            std::wstring& event = a == L"--exit-on" ? options.exitOn : options.hangOn;
            event = args[++i];
            static const wchar_t* const events[] = {L"OnDownload", L"OnStart",   L"OnProcess", L"OnNoUpdates",
                                                    L"OnException", L"OnUpdate", L"OnError"};
            bool known = a == L"--hang-on" && (event == L"GetName" || event == L"GetModules");
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

    // When the last object of an interface in a process goes, Wine's COM
    // may leave the process's interface registration waiting for ever
    // (base/KeptInterfaces.h): the next enumerator handed out, inside the
    // next Advise, would never reach the service. The service lets go of
    // every subscription enumerator it is given, so one is kept registered
    // for the whole watch.
    IEnumModules* keptEnum = NewModuleEnum(ModulePairs());
    zel::KeepInterfaceRegistered(keptEnum, IID_IEnumModules);
    keptEnum->Release();

    Sink* sink = new Sink(options);
    DWORD cookie = 0;
    Step(L"Advising");
    hr = point->Advise(static_cast<IZELUpdateEvents2*>(sink), &cookie);
    if (FAILED(hr)) {
        sink->Release();
        return Failed(L"Advise", hr);
    }
    Out(L"Advised " + std::to_wstring(cookie));
    // More connections, each with a sink of its own, kept to the end.
    std::vector<Sink*> more;
    for (unsigned long n = 1; n < options.sinks; ++n) {
        Sink* extra = new Sink(options);
        DWORD extraCookie = 0;
        HRESULT advised = point->Advise(static_cast<IZELUpdateEvents2*>(extra), &extraCookie);
        if (FAILED(advised)) {
            Out(L"Advise refused: " + Code(advised));
            extra->Release();
            continue;
        }
        Out(L"Advised " + std::to_wstring(extraCookie));
        more.push_back(extra);
    }
    InterlockedExchange(&AllAdvised, 1);
    if (options.check) {
        Step(L"Checking");
        hr = update->CheckUpdates(static_cast<LONG>(cookie));
        Out(L"CheckUpdates: " + Code(hr));
    }
    if (options.listConnections) ListConnections(point.Get());

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
    // The further connections end with the process; their sinks are the
    // service's to let go.
    for (Sink* extra : more) extra->Release();
    return result;
}

}  // namespace zelctl
