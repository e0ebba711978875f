// The update server object TUpdateServer: its identity, IDispatch, and the
// calls on modules, installs, the proxy and versions (its clients, events,
// job manager and factory have units of their own).
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
#include "ConnectionPoint.h"
#include "ServerFactory.h"
#include "ServerObject.h"
#include "UpdateServerNotify.h"
#include "ZELUpdate_TLB.h"
#include "base/BStr.h"
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

void PostToDownloader(UINT message, WPARAM wParam) { PostDownloaderMessage(message, wParam); }

// The description of the module's job, when it has one.
bool FindRegistration(const std::string& module, TJobInfo& info) {
    ComPtr<IBackgroundCopyJob> job;
    return FindModuleJob(nullptr, module, job.GetAddressOf(), &info) && job;
}

}  // namespace

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
            Lock lock(InstanceLock());
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

}  // namespace server

}  // namespace zel
