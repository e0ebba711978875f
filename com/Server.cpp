// The update server object TUpdateServer and its singleton class factory.
#include "Server.h"

#include <oleauto.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Caller.h"
#include "ClientCalls.h"
#include "ConnectionPoint.h"
#include "ServerObject.h"
#include "UpdateServerNotify.h"
#include "ZELUpdate_TLB.h"
#include "base/BStr.h"
#include "base/KeptInterfaces.h"
#include "base/Lock.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "config/Policy.h"
#include "config/Proxy.h"
#include "download/Downloader.h"
#include "download/InfoQueue.h"
#include "install/Installer.h"
#include "store/ModuleLimit.h"
#include "store/ModuleList.h"
#include "transfer/BITS.h"

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

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

void PostToDownloader(UINT message, WPARAM wParam) { PostDownloaderMessage(message, wParam); }

// The description of the module's job, when it has one.
bool FindRegistration(const std::string& module, TJobInfo& info) {
    IBackgroundCopyJob* job = nullptr;
    bool found = FindModuleJob(nullptr, module, &job, &info) && job;
    if (job) job->Release();
    return found;
}

}  // namespace

using namespace server;

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

namespace server {

// ---------------------------------------------------------------- TUpdateServer


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
    for (const IID* iid : ServerInterfaces())
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
        // Inside the client's Advise, before any call back into the client.
        const TCaller caller = CurrentCaller();
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
            // The subscription registers its modules in the name of the
            // client's account; the service's own module is its events'
            // filter only, and an account that cannot be told registers none.
            const TRegistrant who = RegistrantOf(caller);
            if (!caller.Known())
                WriteLogFmt("Модули подписки не регистрируются: вызывающий не опознан (%s)", {caller.Text()},
                            LogWarning);
            ForEachModule(modules, [&](BSTR module, BSTR version) {
                std::string m;
                if (CheckModuleName(module, m) == NameCheck::Refused) return;
                std::string v = Ansi(version);
                WriteLogFmt("   %s (%s)", {m, LogSafeText(v)}, LogDebug);
                if (!m.empty() && AddQueue && caller.Known() && !IsOwnModule(m) && SUCCEEDED(ReserveModule(m, who.Sid)))
                    AddQueue->Add(m, v, "", &who);
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
        // The process to wait for and to start again is the caller's own or
        // its parent's, of its account and session; it is opened and held
        // from here on. Process id 0 names none.
        std::unique_ptr<TCallerProcess> target;
        if (ProcessID != 0) {
            const TCaller caller = CurrentCaller();
            std::string why;
            target = AcceptInstallTarget(ProcessID, caller.Process.Pid, caller.Process.Created, caller.Sid, why);
            if (!target) {
                WriteLogFmt("Отказано в установке с ожиданием процесса %d: %s (%s)",
                            {static_cast<unsigned>(ProcessID), why, caller.Text()}, LogWarning);
                return E_ACCESSDENIED;
            }
        }
        std::vector<std::string> lines;
        ForEachModule(Modules, [&](BSTR module, BSTR version) {
            std::string name;
            if (CheckModuleName(module, name) == NameCheck::Refused) return;
            std::string text = Ansi(version);
            WriteLogFmt("Module: %s, Version: %s", {name, LogSafeText(text)}, LogDebug);
            if (name.empty()) return;
            const TPolicy policy = CurrentPolicy();
            uint32_t mode = policy.UpdateMode(name);
            if (mode != UpdateModeFull) {
                WriteLogFmt("Установка модуля %s запрещена групповой политикой (UpdateMode=%d)",
                            {name, static_cast<unsigned>(mode)}, LogWarning);
                return;
            }
            TVersion installed = StrToVersion(text);
            TLocalFile newest;
            if (!GetInstallableInstaller(name, UpdateTypeFilter(installed), installed, newest)) return;
            WriteLogFmt("MaxVersionFile: %s (%s)", {VersionToStr(newest.Version), newest.FileName}, LogDebug);
            if (!MayInstall(policy, name, installed, newest.Version)) return;
            WriteLogFmt("Add To List: %s (%s)", {name, LogSafeText(text)}, LogDebug);
            lines.push_back(Format("%s=%s", {name, text}));
        });
        return RunInstaller(lines, std::move(target), Restart == S_OK);
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetUpdatePath(BSTR, BSTR*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE TUpdateServer::CheckUpdates(LONG Cookie) {
    return Guarded([&] {
        // The answer to a check goes to the connection of the cookie: only
        // to one of the caller's own.
        if (Cookie != 0) {
            const TProcessKey caller = CallerProcess();
            CookieOwner owner = CookieOwner::None;
            if (eventConnectionPoint_) owner = eventConnectionPoint_->OwnerOf(static_cast<DWORD>(Cookie), caller);
            if (owner != CookieOwner::Caller) {
                WriteLogFmt("Отказано в проверке обновлений для клиента (dwCoockie: %d): процесс %d",
                            {static_cast<unsigned>(Cookie), caller.Pid}, LogWarning);
                return owner == CookieOwner::None ? CONNECT_E_NOCONNECTION : E_ACCESSDENIED;
            }
        }
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
        if (name.empty() || !GetInstallableInstaller(name, UpdateTypeFilter(installed), installed, newest)) {
            result = E_INVALIDARG;
        } else if (MayInstall(CurrentPolicy(), name, installed, newest.Version)) {
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
        // Registering a module anew or with the version it has changes
        // nothing; another version is its owner's change.
        const TCaller caller = CurrentCaller();
        TJobInfo registered;
        bool changes = !IsOwnModule(name) && caller.Known() && FindRegistration(name, registered) &&
                       registered.Version != version;
        if (!MayChange("Add", name, caller, changes ? &registered.Owner : nullptr)) return E_ACCESSDENIED;
        const TRegistrant who = RegistrantOf(caller);
        const HRESULT room = ReserveModule(name, who.Sid);
        if (FAILED(room)) return room;
        if (AddQueue) AddQueue->Add(name, version, "", &who);
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
        const TCaller caller = CurrentCaller();
        TJobInfo registered;
        bool found = !IsOwnModule(name) && caller.Known() && FindRegistration(name, registered);
        if (!MayChange("Remove", name, caller, found ? &registered.Owner : nullptr)) return E_ACCESSDENIED;
        const TRegistrant who = RegistrantOf(caller);
        if (RemoveQueue) RemoveQueue->Add(name, "", "", &who);
        PostToDownloader(WM_MODULESCHANGED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Exists(BSTR) { return E_NOTIMPL; }

// ---- IZELServiceSetup

// The proxy is the machine's: administrators set it and read its password.
HRESULT STDMETHODCALLTYPE TUpdateServer::SetProxy(BSTR Address, LONG Port, BSTR UserName, BSTR Password) {
    return Guarded([&] {
        // A proxy set by group policy is the machine's administrators' word.
        if (CurrentPolicy().ProxySet()) {
            WriteLog("Отказано в изменении настроек прокси-сервера: прокси-сервер задан групповой политикой",
                     LogWarning);
            return E_ACCESSDENIED;
        }
        TCaller caller = CurrentCaller();
        if (!caller.Admin) {
            WriteLogFmt("Отказано в изменении настроек прокси-сервера: %s", {caller.Text()}, LogWarning);
            return E_ACCESSDENIED;
        }
        TProxySettings settings;
        settings.Address = Ansi(Address);
        settings.Port = Port;
        settings.UserName = Ansi(UserName);
        settings.Password = Ansi(Password);
        if (!settings.Store()) WriteLog("Не удалось сохранить настройки прокси-сервера", LogError);
        PostToDownloader(WM_PROXYCHANGED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetProxy(BSTR* Address, LONG* Port, BSTR* UserName, BSTR* Password) {
    if (!Address || !Port || !UserName || !Password) return E_POINTER;
    return Guarded([&] {
        TProxySettings settings;
        settings.ReadStored();
        if (!settings.Password.empty() && !CurrentCaller().Admin) settings.Password.clear();
        SetBStr(Address, settings.Address);
        *Port = static_cast<LONG>(settings.Port);
        SetBStr(UserName, settings.UserName);
        SetBStr(Password, settings.Password);
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
            }, c.owner);
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

}  // namespace server

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
    KeepInterfaceRegistered(static_cast<IClassFactory*>(this), IID_IClassFactory);
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

const std::vector<const IID*>& ServerInterfaces() {
    static const std::vector<const IID*> interfaces = {
        &IID_IUnknown,       &IID_ISupportErrorInfo, &IID_IDispatch,           &IID_IZELUpdate,
        &IID_IZELAppList,    &IID_IZELServiceSetup,  &IID_IZELServiceVersion,  &IID_IZELService,
        &IID_IZELJobManager, &IID_IZELJSONRequest,   &IID_IUpdateServerNotify, &IID_IConnectionPointContainer};
    return interfaces;
}

TSingletonFactory* CreateSingletonFactory() { return new TSingletonFactory; }

void RegisterClassObject(TSingletonFactory* factory) { factory->Register(); }

void KeepServerInterfaces(IUnknown* object) {
    for (const IID* iid : ServerInterfaces()) KeepInterfaceRegistered(object, *iid);

    ComPtr<IConnectionPointContainer> container;
    ComPtr<IEnumConnectionPoints> points;
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&container))) || FAILED(container->EnumConnectionPoints(&points)) ||
        !points)
        return;
    KeepInterfaceRegistered(points.Get(), IID_IEnumConnectionPoints);
    bool first = true;
    for (ComPtr<IConnectionPoint> point; points->Next(1, point.ReleaseAndGetAddressOf(), nullptr) == S_OK && point;
         first = false) {
        KeepInterfaceRegistered(point.Get(), IID_IConnectionPoint);
        // One enumerator of connections serves every point.
        ComPtr<IEnumConnections> connections;
        if (first && SUCCEEDED(point->EnumConnections(&connections)) && connections)
            KeepInterfaceRegistered(connections.Get(), IID_IEnumConnections);
    }
}

IUnknown* CreateComObject(TSingletonFactory* factory) { return factory->CreateComObject(nullptr); }

void DestroySingletonFactory(TSingletonFactory* factory) {
    if (!factory) return;
    factory->Revoke();
    factory->Release();
}

}  // namespace zel
