// What the update server object's units share: the object's class, and
// the handling of what comes from clients (texts, enumerators, calls into
// client objects) and of what goes back over the COM boundary.
#pragma once

#include <windows.h>
#include <bits.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "COMUtils.h"
#include "Caller.h"
#include "ClientCalls.h"
#include "ConnectionPoint.h"
#include "UpdateServerNotify.h"
#include "ZELUpdate_TLB.h"
#include "base/BStr.h"
#include "base/ComCalls.h"
#include "base/InFlight.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Text.h"
#include "store/ModuleOwner.h"

namespace zel {

class TSingletonFactory;

namespace server {

using Microsoft::WRL::ComPtr;

// A client's BSTR whole, embedded nulls included (null reads as empty).
inline std::wstring Wide(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// A client's BSTR as a system code page text (null reads as empty).
inline std::string Ansi(BSTR text) { return ToAnsi(Wide(text)); }

// A client's text for a log line: it cannot forge or flood lines.
inline std::string Shown(BSTR text) { return LogSafeText(Ansi(text)); }

// A client's BSTR copied for a call that may outlive the caller's.
inline std::shared_ptr<BStr> CopyBStr(BSTR text) {
    return std::make_shared<BStr>(Wide(text));
}

// A module name from a client, in the form used for paths and jobs.
enum class NameCheck { Usable, Empty, Refused };
inline NameCheck CheckModuleName(const std::string& text, std::string& name) {
    name = text;
    if (name.empty()) return NameCheck::Empty;
    if (IsValidModuleName(name)) return NameCheck::Usable;
    LogRefusedModuleName(name);
    return NameCheck::Refused;
}
inline NameCheck CheckModuleName(BSTR text, std::string& name) { return CheckModuleName(Ansi(text), name); }

// The account of a caller as the module rule knows it.
inline TRegistrant RegistrantOf(const TCaller& caller) { return TRegistrant{caller.Sid, caller.Admin}; }

// May the caller change the module's registration as `method` asks? The
// recorded owner when the module is registered, null when it is not (then
// only the service's own module and an unknown caller are refused). A
// refusal is logged.
inline bool MayChange(const char* method, const std::string& module, const TCaller& caller,
                      const std::string* owner) {
    ModuleChange change = IsOwnModule(module) ? ModuleChange::OwnModule
                          : !caller.Known()   ? ModuleChange::Unidentified
                          : owner             ? MayChangeModule(module, *owner, RegistrantOf(caller))
                                              : ModuleChange::Allowed;
    if (change != ModuleChange::Allowed) LogModuleRefusal(method, module, change, caller.Text());
    return change == ModuleChange::Allowed;
}

// Client strings are compared on the BSTRs themselves: exactly, whole text.
inline bool SameBStr(BSTR a, BSTR b) {
    UINT la = a ? SysStringLen(a) : 0;
    UINT lb = b ? SysStringLen(b) : 0;
    return la == lb && (la == 0 || wmemcmp(a, b, la) == 0);
}

// Replaces an in/out BSTR: the value that came in belongs to the callee now.
inline void SetBStr(BSTR* target, const std::string& text) {
    SysFreeString(*target);
    *target = SysAllocString(ToWide(text).c_str());
}

inline void LogSafe(const std::string& text, uint8_t level) {
    try {
        WriteLog(text, level);
    } catch (...) {
    }
}

// The outermost frame of a COM method: nothing crosses the COM boundary.
template <class Body>
HRESULT Guarded(Body body) {
    TInFlight inFlight;
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

class EClientGone : public Exception {
public:
    explicit EClientGone(HRESULT hr) : Exception(Format("Клиент недоступен (0x%x)", {static_cast<unsigned>(hr)})) {}
};

// Raises when a call into the client's objects failed because the client is gone.
inline HRESULT Checked(HRESULT hr) {
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
inline ITypeLib* OwnTypeLib() {
    static ITypeLib* lib = [] {
        ITypeLib* l = nullptr;
        if (FAILED(LoadTypeLibEx(ToWide(GetProgramPath()).c_str(), REGKIND_NONE, &l))) l = nullptr;
        return l;
    }();
    return lib;
}

inline ITypeInfo* DispatchTypeInfo() {
    static ITypeInfo* info = [] {
        ITypeInfo* i = nullptr;
        ITypeLib* lib = OwnTypeLib();
        if (!lib || FAILED(lib->GetTypeInfoOfGuid(IID_IZELUpdate, &i))) i = nullptr;
        return i;
    }();
    return info;
}

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
        // Under the event lock, to the connections that subscribe to the
        // module (in any letter case).
        static Delivery ToSubscribers(const char* errorMessage, ULONG maskBits, std::shared_ptr<BStr> module) {
            return {errorMessage, true, false, 0, false, maskBits, true, std::move(module)};
        }
        // To the connection with the cookie only.
        static Delivery ToConnection(const char* errorMessage, DWORD cookie, ULONG maskBits) {
            return {errorMessage, false, true, cookie, false, maskBits, false, nullptr};
        }
        // Under the event lock, to the connection with the cookie, or with
        // cookie 0 to every connection.
        static Delivery ToConnectionOrAll(const char* errorMessage, DWORD cookie, ULONG maskBits) {
            return {errorMessage, true, true, cookie, true, maskBits, false, nullptr};
        }

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

    // What one client's call gave: set by the work, on the work's thread.
    struct ClientOutcome {
        std::atomic<int> count{0};
        std::atomic<bool> failed{false};
    };
    struct ClientResult {
        CallState state;
        int count;
        bool failed;
    };
    // Work on one client's sink. It owns (holds references to) everything
    // it touches: a call to a client that hangs outlives CallClients.
    using ClientWork = std::function<void(IUnknown* sink, ClientOutcome& outcome)>;
    // Runs the work on every connection at the same time, each bounded in
    // time (TClientCalls). A client that did not answer in time is dropped
    // (DropHungClient); one whose work failed (threw, or set `failed`) is
    // unadvised, after `errorMessage` when one is given. The result of each
    // connection, in their order.
    std::vector<ClientResult> CallClients(const std::vector<TConnection>& connections, const ClientWork& work,
                                          const char* errorMessage);

    void OnClientConnect(IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial);
    // Runs the action on the module's job; `changes`: the action changes
    // the job, which only its owner, an administrator (store/ModuleOwner.h)
    // may have done. With `state`, the job's state is read as the job is
    // found, before the action.
    template <class Action>
    HRESULT WithModuleJob(const char* method, BSTR name, bool changes, Action action,
                          BG_JOB_STATE* state = nullptr);

    std::atomic<LONG> refCount_{1};
    TSingletonFactory* factory_;
    std::atomic<bool> eventsEnabled_{true};
    TConnectionPoints* connectionPoints_ = nullptr;
    TConnectionPoint* eventConnectionPoint_ = nullptr;
    HANDLE eventMutex_ = nullptr;
};

}  // namespace server
}  // namespace zel
