// The update server object TUpdateServer and its singleton class factory.
#include "Server.h"

#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BStr.h"
#include "ClientCalls.h"
#include "ConnectionPoint.h"
#include "UpdateServerNotify.h"
#include "ZELUpdate_TLB.h"
#include "download/Downloader.h"
#include "download/InfoQueue.h"
#include "install/Installer.h"
#include "service/Log.h"
#include "service/Proxy.h"
#include "service/Lock.h"
#include "service/Text.h"
#include "store/ModuleList.h"
#include "store/ModuleName.h"
#include "store/Versions.h"
#include "transfer/BITS.h"

namespace zel {

namespace {

// ---------------------------------------------------------------- helpers

// Guards the links between the factories and the object they created.
struct InstanceLock {
    CRITICAL_SECTION cs;
    InstanceLock() { InitializeCriticalSection(&cs); }
    ~InstanceLock() { DeleteCriticalSection(&cs); }
};
InstanceLock& GetInstanceLock() {
    static InstanceLock lock;
    return lock;
}

template <class T>
void ReleaseNull(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

// A client's BSTR as a system code page text (null reads as empty).
std::string Ansi(BSTR text) {
    if (!text) return std::string();
    return ToAnsi(std::wstring(text, SysStringLen(text)));
}

// A client's text for a log line: it cannot forge or flood lines.
std::string Shown(BSTR text) { return LogSafeText(Ansi(text)); }

// A new reference to a client's object, released with the last copy.
std::shared_ptr<IUnknown> Shared(IUnknown* object) {
    object->AddRef();
    return std::shared_ptr<IUnknown>(object, [](IUnknown* p) { p->Release(); });
}

// A client's BSTR copied for a call that may outlive the caller's.
std::shared_ptr<BStr> CopyBStr(BSTR text) {
    return std::make_shared<BStr>(text ? std::wstring(text, SysStringLen(text)) : std::wstring());
}

// A module name from a client, in the form used for paths and jobs.
enum class NameCheck { Usable, Empty, Refused };
NameCheck CheckModuleName(BSTR text, std::string& name) {
    name = Ansi(text);
    if (name.empty()) return NameCheck::Empty;
    if (IsValidModuleName(name)) return NameCheck::Usable;
    LogRefusedModuleName(name);
    return NameCheck::Refused;
}

// Client strings are compared on the BSTRs themselves: exactly, whole text.
bool SameBStr(BSTR a, BSTR b) {
    UINT la = a ? SysStringLen(a) : 0;
    UINT lb = b ? SysStringLen(b) : 0;
    return la == lb && (la == 0 || wmemcmp(a, b, la) == 0);
}

// Replaces an in/out BSTR: the value that came in belongs to the callee now.
void SetBStr(BSTR* target, const std::string& text) {
    SysFreeString(*target);
    *target = SysAllocString(ToWide(text).c_str());
}

void PostToDownloader(UINT message, WPARAM wParam) { PostDownloaderMessage(message, wParam); }

void LogSafe(const std::string& text, uint8_t level) {
    try {
        WriteLog(text, level);
    } catch (...) {
    }
}

// The outermost frame of a COM method: nothing crosses the COM boundary.
template <class Body>
HRESULT Guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        LogSafe("Недостаточно памяти", LogError);
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        LogSafe(e.what(), LogError);
        return E_UNEXPECTED;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A call into a client that failed because the client is gone.
bool IsDisconnected(HRESULT hr) {
    switch (static_cast<unsigned long>(hr)) {
    case static_cast<unsigned long>(RPC_E_DISCONNECTED):
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
    case static_cast<unsigned long>(CO_E_OBJNOTCONNECTED):
    case static_cast<unsigned long>(RPC_E_SERVER_DIED):
    case static_cast<unsigned long>(RPC_E_SERVER_DIED_DNE):
        return true;
    default:
        return false;
    }
}

class EClientGone : public Exception {
public:
    explicit EClientGone(HRESULT hr) : Exception(Format("Клиент недоступен (0x%x)", {static_cast<unsigned>(hr)})) {}
};

// Raises when a call into the client's objects failed because the client is gone.
HRESULT Checked(HRESULT hr) {
    if (IsDisconnected(hr)) throw EClientGone(hr);
    return hr;
}

// Enumerators from clients are read to their end, but a runaway one cannot
// hold a server thread forever.
constexpr int MaxEnumeratedModules = 65536;

// Walks a client's IEnumModules until Next answers anything but S_OK, also
// a failure (a client that died meanwhile); returns that last answer.
template <class Visit>
HRESULT ForEachModule(IEnumModules* modules, Visit visit) {
    for (int n = 0; n < MaxEnumeratedModules; ++n) {
        BSTR name = nullptr;
        BSTR version = nullptr;
        HRESULT hr = modules->Next(&name, &version);
        if (hr != S_OK) {
            SysFreeString(name);
            SysFreeString(version);
            return hr;
        }
        try {
            visit(name, version);
        } catch (...) {
            SysFreeString(name);
            SysFreeString(version);
            throw;
        }
        SysFreeString(name);
        SysFreeString(version);
    }
    return S_OK;
}

// The program's own type library (resource TYPELIB 1), loaded once.
ITypeLib* OwnTypeLib() {
    static ITypeLib* lib = [] {
        ITypeLib* l = nullptr;
        if (FAILED(LoadTypeLibEx(ToWide(GetProgramPath()).c_str(), REGKIND_NONE, &l))) l = nullptr;
        return l;
    }();
    return lib;
}

ITypeInfo* DispatchTypeInfo() {
    static ITypeInfo* info = [] {
        ITypeInfo* i = nullptr;
        ITypeLib* lib = OwnTypeLib();
        if (!lib || FAILED(lib->GetTypeInfoOfGuid(IID_IZELUpdate, &i))) i = nullptr;
        return i;
    }();
    return info;
}

class TUpdateServer;

}  // namespace

// ---------------------------------------------------------------- TSingletonFactory

class TSingletonFactory : public IClassFactory {
public:
    TSingletonFactory();
    virtual ~TSingletonFactory();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount_; }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = --refCount_;
        if (count == 0) delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

    // The one object with one new reference; raises when it cannot be made.
    IUnknown* CreateComObject(IUnknown* outer);
    void Register();
    void Revoke();
    // Called by the object when its last reference goes.
    void InstanceDestroyed(TUpdateServer* object);

private:
    std::atomic<LONG> refCount_{1};
    TUpdateServer* instance_ = nullptr;  // not counted
    DWORD registration_ = 0;
};

namespace {

// ---------------------------------------------------------------- TUpdateServer

class TUpdateServer : public IZELUpdate,
                      public IZELAppList,
                      public IZELServiceSetup,
                      public IZELServiceVersion,
                      public IZELService,
                      public IZELJobManager,
                      public IZELJSONRequest,
                      public ISupportErrorInfo,
                      public IUpdateServerNotify {
public:
    explicit TUpdateServer(TSingletonFactory* factory);
    virtual ~TUpdateServer();

    // Adds a reference unless the object is already on its way out.
    bool TryAddRef() {
        LONG count = refCount_.load();
        while (count > 0)
            if (refCount_.compare_exchange_weak(count, count + 1)) return true;
        return false;
    }
    void ForgetFactory() { factory_ = nullptr; }
    IUnknown* Unknown() { return static_cast<IZELUpdate*>(this); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount_; }
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, shared by every IDispatch-based interface
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IZELUpdate
    HRESULT STDMETHODCALLTYPE Install(IEnumModules* Modules, ULONG ProcessID, HRESULT Restart) override;
    HRESULT STDMETHODCALLTYPE GetUpdatePath(BSTR ModuleName, BSTR* UpdateFile) override;
    HRESULT STDMETHODCALLTYPE CheckUpdates(LONG Cookie) override;
    HRESULT STDMETHODCALLTYPE CheckModule(BSTR ModuleName, BSTR* ModuleVersion) override;

    // IZELAppList
    HRESULT STDMETHODCALLTYPE Add(BSTR ModuleName, BSTR ModuleVersion) override;
    HRESULT STDMETHODCALLTYPE Remove(BSTR ModuleName) override;
    HRESULT STDMETHODCALLTYPE Exists(BSTR ModuleName) override;

    // IZELServiceSetup
    HRESULT STDMETHODCALLTYPE SetProxy(BSTR Address, LONG Port, BSTR UserName, BSTR Password) override;
    HRESULT STDMETHODCALLTYPE GetProxy(BSTR* Address, LONG* Port, BSTR* UserName, BSTR* Password) override;

    // IZELServiceVersion
    HRESULT STDMETHODCALLTYPE GetVersion(BSTR* Version) override;
    HRESULT STDMETHODCALLTYPE CheckVersion(BSTR Version) override;

    // IZELService
    HRESULT STDMETHODCALLTYPE GetClientCount(BSTR wsAppName, ULONG* dwCount) override;

    // IZELJobManager
    HRESULT STDMETHODCALLTYPE Resume(BSTR wsModuleName) override;
    HRESULT STDMETHODCALLTYPE Cancel(BSTR wsModuleName) override;
    HRESULT STDMETHODCALLTYPE Suspend(BSTR wsModuleName) override;
    HRESULT STDMETHODCALLTYPE GetState(BSTR wsModuleName, LONG* dwState) override;
    HRESULT STDMETHODCALLTYPE GetProgress(BSTR wsModuleName, LONG* dwProgress) override;
    HRESULT STDMETHODCALLTYPE GetError(BSTR wsModuleName, BSTR* wsContext, BSTR* wsError) override;

    // IZELJSONRequest
    HRESULT STDMETHODCALLTYPE JSONExecute(BSTR wsRequest, BSTR* wsResult, ULONG dwReserved) override;

    // IUpdateServerNotify
    void STDMETHODCALLTYPE EnableEvents() override;
    void STDMETHODCALLTYPE DisableEvents() override;
    void STDMETHODCALLTYPE FireStart(BSTR ModuleName, BSTR ModuleVersion) override;
    bool STDMETHODCALLTYPE FireStartTo(BSTR ModuleName, BSTR ModuleVersion, DWORD Cookie) override;
    void STDMETHODCALLTYPE FireProcess(BSTR ModuleName, LONG Process) override;
    void STDMETHODCALLTYPE FireDownload(BSTR ModuleName, BSTR ModuleVersion) override;
    void STDMETHODCALLTYPE Reserved1(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE Reserved2(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE FireNoUpdates(DWORD Cookie) override;
    void STDMETHODCALLTYPE FireException(BSTR Name, BSTR Context, BSTR Text, DWORD Cookie) override;

private:
    // How one Fire operation picks its connections.
    struct Delivery {
        const char* errorMessage;
        bool holdMutex;
        bool targeted;        // only the connection with `cookie`
        DWORD cookie;         // 0 with targeted = every connection (FireException)
        bool allWhenZero;     // cookie 0 serves all
        ULONG maskBits;
        bool bySubscription;  // only connections that subscribe to `module`
        std::shared_ptr<BStr> module;
    };
    // The event call; it owns its arguments, since a call to a client that
    // hangs outlives the Fire operation.
    using EventCall = std::function<HRESULT(IZELUpdateEvents2*)>;
    int Deliver(const Delivery& d, const EventCall& call);
    // Log line and unadvise for a connection whose client did not answer.
    void DropHungClient(const TConnection& connection);

    void OnClientConnect(IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial);
    template <class Action>
    HRESULT WithModuleJob(const char* method, BSTR name, Action action);

    std::atomic<LONG> refCount_{1};
    TSingletonFactory* factory_;
    std::atomic<bool> eventsEnabled_{true};
    TConnectionPoints* connectionPoints_ = nullptr;
    TConnectionPoint* eventConnectionPoint_ = nullptr;
    HANDLE eventMutex_ = nullptr;
};

TUpdateServer::TUpdateServer(TSingletonFactory* factory) : factory_(factory) {
    connectionPoints_ = new TConnectionPoints(Unknown());
    eventConnectionPoint_ = connectionPoints_->CreateConnectionPoint(
        IID_IZELUpdateEvents, ConnectionKind::Multiple,
        [this](IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial) {
            OnClientConnect(sink, connecting, cookie, serial);
        });
    // Any account can create the name first and hold the mutex: the
    // broadcasts then keep to a lock of their own.
    HANDLE named = CreateMutexA(nullptr, FALSE, "UpdateServiceMutex");
    if (named && GetLastError() != ERROR_ALREADY_EXISTS) {
        eventMutex_ = named;
    } else {
        if (named) CloseHandle(named);
        eventMutex_ = CreateMutexA(nullptr, FALSE, nullptr);
        LogSafe("Мьютекс UpdateServiceMutex создан другим процессом или недоступен, "
                "события рассылаются под собственной блокировкой",
                LogWarning);
    }
}

TUpdateServer::~TUpdateServer() {
    LogSafe("Уничтожаем COM-объект", LogTrace);
    if (eventMutex_) CloseHandle(eventMutex_);
    eventConnectionPoint_ = nullptr;
    delete connectionPoints_;
}

ULONG STDMETHODCALLTYPE TUpdateServer::Release() {
    LONG count = --refCount_;
    if (count == 0) {
        {
            Lock lock(GetInstanceLock().cs);
            if (factory_) factory_->InstanceDestroyed(this);
        }
        delete this;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE TUpdateServer::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    void* p = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IZELUpdate))
        p = static_cast<IZELUpdate*>(this);
    else if (IsEqualIID(riid, IID_ISupportErrorInfo))
        p = static_cast<ISupportErrorInfo*>(this);
    else if (IsEqualIID(riid, IID_IZELAppList))
        p = static_cast<IZELAppList*>(this);
    else if (IsEqualIID(riid, IID_IZELServiceSetup))
        p = static_cast<IZELServiceSetup*>(this);
    else if (IsEqualIID(riid, IID_IZELServiceVersion))
        p = static_cast<IZELServiceVersion*>(this);
    else if (IsEqualIID(riid, IID_IZELService))
        p = static_cast<IZELService*>(this);
    else if (IsEqualIID(riid, IID_IZELJobManager))
        p = static_cast<IZELJobManager*>(this);
    else if (IsEqualIID(riid, IID_IZELJSONRequest))
        p = static_cast<IZELJSONRequest*>(this);
    else if (IsEqualIID(riid, IID_IUpdateServerNotify))
        p = static_cast<IUpdateServerNotify*>(this);
    else if (IsEqualIID(riid, IID_IConnectionPointContainer) && connectionPoints_)
        p = static_cast<IConnectionPointContainer*>(connectionPoints_);
    if (!p) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *ppv = p;
    return S_OK;
}

// ---- IDispatch: driven by the type information of IZELUpdate

HRESULT STDMETHODCALLTYPE TUpdateServer::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    ITypeInfo* info = DispatchTypeInfo();
    if (!info) return TYPE_E_CANTLOADLIBRARY;
    info->AddRef();
    *ppTInfo = info;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                                       DISPID* rgDispId) {
    ITypeInfo* info = DispatchTypeInfo();
    if (!info) return TYPE_E_CANTLOADLIBRARY;
    return DispGetIDsOfNames(info, rgszNames, cNames, rgDispId);
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                                DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                                EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = DispatchTypeInfo();
    if (!info) return TYPE_E_CANTLOADLIBRARY;
    return info->Invoke(static_cast<IZELUpdate*>(this), dispIdMember, wFlags, pDispParams, pVarResult,
                        pExcepInfo, puArgErr);
}

HRESULT STDMETHODCALLTYPE TUpdateServer::InterfaceSupportsErrorInfo(REFIID riid) {
    static const IID* const supported[] = {
        &IID_IUnknown,           &IID_ISupportErrorInfo, &IID_IDispatch,       &IID_IZELUpdate,
        &IID_IZELAppList,        &IID_IZELServiceSetup,  &IID_IZELServiceVersion, &IID_IZELService,
        &IID_IZELJobManager,     &IID_IZELJSONRequest,   &IID_IUpdateServerNotify,
        &IID_IConnectionPointContainer};
    for (const IID* iid : supported)
        if (IsEqualIID(riid, *iid)) return S_OK;
    return S_FALSE;
}

// ---- connections

void TUpdateServer::OnClientConnect(IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial) {
    try {
        if (!connecting) {
            WriteLog("Отключился клиент", LogDebug);
            WriteLogFmt("dwCoockie: %d", {cookie}, LogTrace);
            return;
        }
        IZELClientInfo* info = nullptr;
        BSTR name = nullptr;
        bool named = SUCCEEDED(sink->QueryInterface(IID_IZELClientInfo, reinterpret_cast<void**>(&info))) && info;
        if (named) {
            info->GetName(&name);
            info->Release();
        }
        if (named && name) {
            WriteLogFmt("Подключился клиент %s", {Shown(name)}, LogDebug);
            if (eventConnectionPoint_) eventConnectionPoint_->SetLabel(cookie, serial, Ansi(name));
        } else
            WriteLog("Подключился неопознанный клиент", LogDebug);
        SysFreeString(name);
        WriteLogFmt("dwCoockie: %d", {cookie}, LogTrace);

        IZELUpdateClient* client = nullptr;
        if (FAILED(sink->QueryInterface(IID_IZELUpdateClient, reinterpret_cast<void**>(&client))) || !client) {
            WriteLog("Интерфейс IZELUpdateEvents2 не поддерживается", LogError);
            return;
        }
        IEnumModules* modules = nullptr;
        HRESULT hr = client->GetModules(&modules);
        client->Release();
        if (hr != S_OK || !modules) {
            ReleaseNull(modules);
            return;
        }
        try {
            WriteLog("Подписался на следующие обновления:", LogDebug);
            ForEachModule(modules, [](BSTR module, BSTR version) {
                std::string m;
                if (CheckModuleName(module, m) == NameCheck::Refused) return;
                std::string v = Ansi(version);
                WriteLogFmt("   %s (%s)", {m, LogSafeText(v)}, LogDebug);
                if (!m.empty() && AddQueue) AddQueue->Add(m, v);
            });
        } catch (...) {
            modules->Release();
            throw;
        }
        modules->Release();
        EnableEvents();
        PostToDownloader(WM_MODULESCHANGED, cookie);
    } catch (const std::exception& e) {
        // The connection itself stands; only its set-up is incomplete.
        LogSafe(e.what(), LogError);
    }
}

// ---- IZELUpdate

HRESULT STDMETHODCALLTYPE TUpdateServer::Install(IEnumModules* Modules, ULONG ProcessID, HRESULT Restart) {
    return Guarded([&] {
        WriteLog("TUpdateServer.Install", LogDebug);
        if (!Modules) return S_OK;
        std::vector<std::string> lines;
        ForEachModule(Modules, [&](BSTR module, BSTR version) {
            std::string name;
            if (CheckModuleName(module, name) == NameCheck::Refused) return;
            std::string text = Ansi(version);
            WriteLogFmt("Module: %s, Version: %s", {name, LogSafeText(text)}, LogDebug);
            if (name.empty()) return;
            TVersion installed = StrToVersion(text);
            TLocalFile newest;
            if (!GetNewestInstaller(name, UpdateTypeFilter(installed), newest)) return;
            WriteLogFmt("MaxVersionFile: %s (%s)", {VersionToStr(newest.Version), newest.FileName}, LogDebug);
            if (!VersionGreater(newest.Version, installed)) return;
            WriteLogFmt("Add To List: %s (%s)", {name, LogSafeText(text)}, LogDebug);
            lines.push_back(Format("%s=%s", {name, text}));
        });
        RunInstaller(lines, ProcessID, Restart == S_OK);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetUpdatePath(BSTR, BSTR*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE TUpdateServer::CheckUpdates(LONG Cookie) {
    return Guarded([&] {
        EnableEvents();
        PostToDownloader(WM_CHECKUPDATES, static_cast<WPARAM>(Cookie));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::CheckModule(BSTR ModuleName, BSTR* ModuleVersion) {
    if (!ModuleVersion) return E_POINTER;
    return Guarded([&] {
        std::string name;
        if (CheckModuleName(ModuleName, name) == NameCheck::Refused) return E_INVALIDARG;
        std::string version = Ansi(*ModuleVersion);
        WriteLogFmt("CheckModule: %s (%s)", {name, LogSafeText(version)}, LogDebug);
        HRESULT result = S_FALSE;
        TVersion installed = StrToVersion(version);
        TLocalFile newest;
        if (name.empty() || !GetNewestInstaller(name, UpdateTypeFilter(installed), newest)) {
            result = E_INVALIDARG;
        } else if (VersionGreater(newest.Version, installed)) {
            SetBStr(ModuleVersion, VersionToStr(newest.Version));
            result = S_OK;
        } else {
            std::string target;
            BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
            if (!GetModuleJobState(nullptr, name, target, state))
                result = E_UNEXPECTED;
            else if (state == BG_JOB_STATE_CONNECTING || state == BG_JOB_STATE_TRANSFERRING ||
                     state == BG_JOB_STATE_TRANSIENT_ERROR)
                result = S_INPROCESS;
            else if (state == BG_JOB_STATE_ERROR)
                result = E_FAIL;
        }
        switch (result) {
        case S_OK:
            WriteLogFmt("Загружена версия %s", {Shown(*ModuleVersion)}, LogDebug);
            break;
        case S_FALSE:
            WriteLog("Нет свежей версии", LogDebug);
            break;
        case S_INPROCESS:
            WriteLog("Загружается", LogDebug);
            break;
        case E_FAIL:
            WriteLog("Ошибка при загрузке", LogDebug);
            break;
        case E_UNEXPECTED:
            WriteLogFmt("%s не входит в состав обновляемых модулей", {name}, LogDebug);
            break;
        default:
            WriteLogFmt("Файлы для модуля %s не обнаружены", {name}, LogDebug);
            break;
        }
        return result;
    });
}

// ---- IZELAppList

HRESULT STDMETHODCALLTYPE TUpdateServer::Add(BSTR ModuleName, BSTR ModuleVersion) {
    return Guarded([&] {
        std::string name;
        if (CheckModuleName(ModuleName, name) == NameCheck::Refused) return E_INVALIDARG;
        std::string version = Ansi(ModuleVersion);
        WriteLogFmt("Добавляем модуль %s (%s) в список загрузки", {name, LogSafeText(version)}, LogTrace);
        // A module without a name would become a job for no module.
        if (name.empty()) return S_OK;
        if (AddQueue) AddQueue->Add(name, version);
        PostToDownloader(WM_MODULESCHANGED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Remove(BSTR ModuleName) {
    return Guarded([&] {
        std::string name;
        if (CheckModuleName(ModuleName, name) == NameCheck::Refused) return E_INVALIDARG;
        WriteLogFmt("Удаляем модуль %s из списка загрузки", {name}, LogTrace);
        if (name.empty()) return S_OK;
        if (RemoveQueue) RemoveQueue->Add(name, "");
        PostToDownloader(WM_MODULESCHANGED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Exists(BSTR) { return E_NOTIMPL; }

// ---- IZELServiceSetup

namespace {

void SetRegString(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

std::string GetRegString(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::string();
    std::string data(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
        return std::string();
    data.resize(size);
    while (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
}

}  // namespace

HRESULT STDMETHODCALLTYPE TUpdateServer::SetProxy(BSTR Address, LONG Port, BSTR UserName, BSTR Password) {
    return Guarded([&] {
        std::string address = Ansi(Address);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            SetRegString(key, "Address", address);
            DWORD port = static_cast<DWORD>(Port);
            RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
            SetRegString(key, "UserName", Ansi(UserName));
            SetRegString(key, "Password", Ansi(Password));
            SetRegString(key, "Proxy", address.empty() ? std::string() : Format("http=%s:%d", {address, Port}));
            RegCloseKey(key);
        }
        PostToDownloader(WM_PROXYCHANGED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetProxy(BSTR* Address, LONG* Port, BSTR* UserName, BSTR* Password) {
    if (!Address || !Port || !UserName || !Password) return E_POINTER;
    return Guarded([&] {
        std::string address, user, password;
        DWORD port = 0;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            address = GetRegString(key, "Address");
            DWORD type = 0;
            DWORD value = 0;
            DWORD size = sizeof value;
            // A missing or malformed port reads as 0.
            if (RegQueryValueExA(key, "Port", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD && size == sizeof value)
                port = value;
            user = GetRegString(key, "UserName");
            password = GetRegString(key, "Password");
            RegCloseKey(key);
        }
        SetBStr(Address, address);
        *Port = static_cast<LONG>(port);
        SetBStr(UserName, user);
        SetBStr(Password, password);
        return S_OK;
    });
}

// ---- IZELServiceVersion

HRESULT STDMETHODCALLTYPE TUpdateServer::GetVersion(BSTR* Version) {
    if (!Version) return E_POINTER;
    return Guarded([&] {
        SetBStr(Version, GetSelfVersion());
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::CheckVersion(BSTR Version) {
    return Guarded([&] { return VersionStrGreater(Ansi(Version), GetSelfVersion()) ? S_FALSE : S_OK; });
}

// ---- IZELService

HRESULT STDMETHODCALLTYPE TUpdateServer::GetClientCount(BSTR wsAppName, ULONG* dwCount) {
    if (!dwCount) return E_POINTER;
    *dwCount = 0;
    return Guarded([&] {
        WriteLogFmt("Клиент запрашивает количество соединений: %s", {Shown(wsAppName)}, LogTrace);
        if (!eventConnectionPoint_) return E_FAIL;
        struct Answer {
            std::atomic<bool> same{false}, failed{false};
        };
        std::vector<TConnection> connections = eventConnectionPoint_->Connections();
        std::vector<std::shared_ptr<Answer>> answers;
        std::shared_ptr<BStr> wanted = CopyBStr(wsAppName);
        TClientCalls calls;
        for (const TConnection& c : connections) {
            auto answer = std::make_shared<Answer>();
            answers.push_back(answer);
            std::shared_ptr<IUnknown> sink = Shared(c.sink);
            calls.Start([sink, answer, wanted] {
                try {
                    IZELClientInfo* info = nullptr;
                    if (SUCCEEDED(Checked(sink->QueryInterface(IID_IZELClientInfo, reinterpret_cast<void**>(&info)))) &&
                        info) {
                        BSTR name = nullptr;
                        HRESULT hr = info->GetName(&name);
                        info->Release();
                        answer->same = hr == S_OK && SameBStr(name, *wanted);
                        SysFreeString(name);
                        Checked(hr);
                    }
                } catch (...) {
                    answer->failed = true;
                }
            });
        }
        std::vector<CallState> states = calls.Wait();
        ULONG count = 0;
        for (size_t i = 0; i < connections.size(); ++i) {
            if (states[i] == CallState::TimedOut)
                DropHungClient(connections[i]);
            else if (states[i] == CallState::Done && answers[i]->failed)
                eventConnectionPoint_->UnadviseConnection(connections[i].cookie, connections[i].serial);
            else if (states[i] == CallState::Done && answers[i]->same)
                ++count;
            connections[i].sink->Release();
        }
        *dwCount = count;
        WriteLogFmt("Результат: %d", {count}, LogTrace);
        return S_OK;
    });
}

// ---- IZELJobManager

template <class Action>
HRESULT TUpdateServer::WithModuleJob(const char* method, BSTR name, Action action) {
    return Guarded([&] {
        std::string module;
        if (CheckModuleName(name, module) == NameCheck::Refused) return E_INVALIDARG;
        WriteLogFmt("Вызов метода IZELJobManager.%s(%s)", {method, module}, LogTrace);
        if (module.empty()) return S_FALSE;
        IBackgroundCopyJob* job = nullptr;
        if (!FindModuleJob(nullptr, module, &job) || !job) return S_FALSE;
        HRESULT hr;
        try {
            hr = action(job);
        } catch (...) {
            job->Release();
            throw;
        }
        job->Release();
        return hr;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Resume(BSTR wsModuleName) {
    return WithModuleJob("Resume", wsModuleName, [](IBackgroundCopyJob* job) { return job->Resume(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Cancel(BSTR wsModuleName) {
    return WithModuleJob("Cancel", wsModuleName, [](IBackgroundCopyJob* job) { return job->Cancel(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Suspend(BSTR wsModuleName) {
    return WithModuleJob("Suspend", wsModuleName, [](IBackgroundCopyJob* job) { return job->Suspend(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetState(BSTR wsModuleName, LONG* dwState) {
    if (!dwState) return E_POINTER;
    return WithModuleJob("GetState", wsModuleName, [&](IBackgroundCopyJob* job) {
        BG_JOB_STATE state;
        if (FAILED(job->GetState(&state))) return S_FALSE;
        *dwState = static_cast<LONG>(state);
        return S_OK;
    });
}

// Percentage of a job's bytes; 0 while the total is not known yet.
LONG ProgressPercent(const BG_JOB_PROGRESS& progress) {
    auto total = static_cast<int64_t>(progress.BytesTotal);
    auto done = static_cast<int64_t>(progress.BytesTransferred);
    if (progress.BytesTotal == BG_SIZE_UNKNOWN || total <= 0 || done < 0) return 0;
    return static_cast<LONG>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetProgress(BSTR wsModuleName, LONG* dwProgress) {
    if (!dwProgress) return E_POINTER;
    return WithModuleJob("GetProgress", wsModuleName, [&](IBackgroundCopyJob* job) {
        BG_JOB_PROGRESS progress;
        if (FAILED(job->GetProgress(&progress))) return S_FALSE;
        *dwProgress = ProgressPercent(progress);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetError(BSTR wsModuleName, BSTR*, BSTR*) {
    Guarded([&] {
        WriteLogFmt("Вызов метода IZELJobManager.GetError(%s)", {Shown(wsModuleName)}, LogTrace);
        return S_OK;
    });
    return E_NOTIMPL;
}

// ---- IZELJSONRequest

HRESULT STDMETHODCALLTYPE TUpdateServer::JSONExecute(BSTR, BSTR* wsResult, ULONG) {
    if (wsResult) *wsResult = nullptr;
    return E_NOTIMPL;
}

// ---- IUpdateServerNotify

void STDMETHODCALLTYPE TUpdateServer::EnableEvents() {
    LogSafe("Включаем оповещение о событиях", LogDebug);
    eventsEnabled_ = true;
}

void STDMETHODCALLTYPE TUpdateServer::DisableEvents() {
    LogSafe("Выключаем оповещение о событиях", LogDebug);
    eventsEnabled_ = false;
}

void TUpdateServer::DropHungClient(const TConnection& connection) {
    LogSafe(Format("Клиент %s (dwCoockie: %d) не ответил за %d с, отключаем клиента со стороны сервера",
                   {connection.label.empty() ? std::string("без имени") : LogSafeText(connection.label),
                    connection.cookie, ClientCallTimeoutMs / 1000}),
            LogError);
    if (eventConnectionPoint_) eventConnectionPoint_->UnadviseConnection(connection.cookie, connection.serial);
}

// Delivers one event to the chosen connections; returns the number of
// event calls made. The clients are called at the same time, each on a
// worker of its own, and waited for at most ClientCallTimeoutMs; a client
// whose call failed or did not return is unadvised (that very connection).
int TUpdateServer::Deliver(const Delivery& d, const EventCall& call) {
    struct Outcome {
        std::atomic<int> delivered{0};
        std::atomic<bool> failed{false};
    };
    int delivered = 0;
    bool locked = false;
    if (d.holdMutex && eventMutex_) {
        DWORD wait = WaitForSingleObject(eventMutex_, INFINITE);
        locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    try {
        if (eventsEnabled_ && eventConnectionPoint_) {
            std::vector<TConnection> targets;
            for (TConnection& c : eventConnectionPoint_->Connections()) {
                if (d.targeted && !(d.allWhenZero && d.cookie == 0) && c.cookie != d.cookie)
                    c.sink->Release();
                else
                    targets.push_back(c);
            }
            std::vector<std::shared_ptr<Outcome>> outcomes;
            TClientCalls calls;
            const ULONG maskBits = d.maskBits;
            const bool bySubscription = d.bySubscription;
            const std::shared_ptr<BStr> module = d.module;
            for (const TConnection& c : targets) {
                auto outcome = std::make_shared<Outcome>();
                outcomes.push_back(outcome);
                std::shared_ptr<IUnknown> sink = Shared(c.sink);
                calls.Start([sink, outcome, call, maskBits, bySubscription, module] {
                    IZELUpdateEvents2* events = nullptr;
                    IZELUpdateClient* client = nullptr;
                    IEnumModules* modules = nullptr;
                    try {
                        if (SUCCEEDED(Checked(sink->QueryInterface(IID_IZELUpdateEvents2,
                                                                   reinterpret_cast<void**>(&events)))) &&
                            events &&
                            (!bySubscription ||
                             (SUCCEEDED(Checked(sink->QueryInterface(IID_IZELUpdateClient,
                                                                     reinterpret_cast<void**>(&client)))) &&
                              client))) {
                            ULONG mask = 0;
                            if (FAILED(Checked(events->GetEventTypes(&mask)))) mask = 0;
                            if (mask & maskBits) {
                                if (bySubscription) {
                                    if (Checked(client->GetModules(&modules)) == S_OK && modules)
                                        Checked(ForEachModule(modules, [&](BSTR name, BSTR) {
                                            if (SameBStr(name, *module)) {
                                                Checked(call(events));
                                                ++outcome->delivered;
                                            }
                                        }));
                                } else {
                                    Checked(call(events));
                                    ++outcome->delivered;
                                }
                            }
                        }
                    } catch (...) {
                        outcome->failed = true;
                    }
                    ReleaseNull(modules);
                    ReleaseNull(client);
                    ReleaseNull(events);
                });
            }
            std::vector<CallState> states = calls.Wait();
            for (size_t i = 0; i < targets.size(); ++i) {
                if (states[i] == CallState::TimedOut) {
                    DropHungClient(targets[i]);
                } else if (states[i] == CallState::Done) {
                    delivered += outcomes[i]->delivered;
                    if (outcomes[i]->failed) {
                        LogSafe(d.errorMessage, LogError);
                        eventConnectionPoint_->UnadviseConnection(targets[i].cookie, targets[i].serial);
                    }
                }
                targets[i].sink->Release();
            }
        }
    } catch (...) {
    }
    if (locked) ReleaseMutex(eventMutex_);
    return delivered;
}

void STDMETHODCALLTYPE TUpdateServer::FireStart(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver({"Ошибка при вызове события OnStart, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_START, true, name},
            [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); });
}

bool STDMETHODCALLTYPE TUpdateServer::FireStartTo(BSTR ModuleName, BSTR ModuleVersion, DWORD Cookie) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    return Deliver({"Ошибка при вызове событий, отключаем клиента со стороны сервера", false, true, Cookie, false,
                    EVT_START | EVT_NOUPDATES, false, nullptr},
                   [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); }) > 0;
}

void STDMETHODCALLTYPE TUpdateServer::FireProcess(BSTR ModuleName, LONG Process) {
    auto name = CopyBStr(ModuleName);
    Deliver({"Ошибка при вызове события OnProcess, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_PROCESS, true, name},
            [name, Process](IZELUpdateEvents2* e) { return e->OnProcess(*name, Process); });
}

void STDMETHODCALLTYPE TUpdateServer::FireDownload(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver({"Ошибка при вызове события OnDownload, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_DOWNLOAD, true, name},
            [name, version](IZELUpdateEvents2* e) { return e->OnDownload(*name, *version); });
}

void STDMETHODCALLTYPE TUpdateServer::FireNoUpdates(DWORD Cookie) {
    Deliver({"Ошибка при вызове события OnNoUpdates, отключаем клиента со стороны сервера", false, true, Cookie,
             false, EVT_NOUPDATES, false, nullptr},
            [](IZELUpdateEvents2* e) { return e->OnNoUpdates(); });
}

void STDMETHODCALLTYPE TUpdateServer::FireException(BSTR Name, BSTR Context, BSTR Text, DWORD Cookie) {
    auto name = CopyBStr(Name), context = CopyBStr(Context), text = CopyBStr(Text);
    Deliver({"Ошибка при вызове события OnException, отключаем клиента со стороны сервера", true, true, Cookie,
             true, EVT_EXCEPTION, false, nullptr},
            [name, context, text](IZELUpdateEvents2* e) { return e->OnException(*name, *context, *text); });
}

}  // namespace

// ---------------------------------------------------------------- TSingletonFactory

TSingletonFactory::TSingletonFactory() {
    // The coclass's type information comes from the program's own library.
    if (!OwnTypeLib()) throw Exception("Не удалось загрузить библиотеку типов");
}

TSingletonFactory::~TSingletonFactory() {
    Lock lock(GetInstanceLock().cs);
    if (instance_) instance_->ForgetFactory();
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

IUnknown* TSingletonFactory::CreateComObject(IUnknown*) {
    // Under the lock: a client's first CreateInstance racing with the
    // service's own creation still yields one object.
    Lock lock(GetInstanceLock().cs);
    if (instance_ && instance_->TryAddRef()) return instance_->Unknown();
    if (instance_) instance_->ForgetFactory();  // on its way out
    instance_ = new TUpdateServer(this);
    return instance_->Unknown();
}

void TSingletonFactory::InstanceDestroyed(TUpdateServer* object) {
    // The caller holds the instance lock.
    if (instance_ == object) instance_ = nullptr;
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    IUnknown* object = nullptr;
    try {
        object = CreateComObject(outer);
    } catch (...) {
        return E_UNEXPECTED;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();  // an object made by this very call goes when the query failed
    return hr;
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::LockServer(BOOL fLock) {
    return CoLockObjectExternal(static_cast<IClassFactory*>(this), fLock, TRUE);
}

void TSingletonFactory::Register() {
    HRESULT hr = CoRegisterClassObject(CLSID_ZELUpdateServer, static_cast<IClassFactory*>(this),
                                       CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration_);
    if (FAILED(hr)) {
        registration_ = 0;
        throw Exception(Format("Не удалось зарегистрировать фабрику классов: %s (0x%x)",
                               {SysErrorMessage(static_cast<DWORD>(hr)), static_cast<unsigned>(hr)}));
    }
}

void TSingletonFactory::Revoke() {
    if (registration_) {
        CoRevokeClassObject(registration_);
        registration_ = 0;
    }
}

// ---------------------------------------------------------------- API

TSingletonFactory* CreateSingletonFactory() { return new TSingletonFactory; }

void RegisterClassObject(TSingletonFactory* factory) { factory->Register(); }

IUnknown* CreateComObject(TSingletonFactory* factory) { return factory->CreateComObject(nullptr); }

void DestroySingletonFactory(TSingletonFactory* factory) {
    if (!factory) return;
    factory->Revoke();
    factory->Release();
}

}  // namespace zel
