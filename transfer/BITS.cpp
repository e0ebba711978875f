#include "BITS.h"

#include <objbase.h>
#include <bits1_5.h>
#include <bits2_0.h>
#include <bits2_5.h>
#include <wrl/client.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <vector>

#include "JobIndex.h"
#include "JobMap.h"
#include "JobSetup.h"
#include "base/BStr.h"
#include "base/TaskString.h"
#include "base/ComCalls.h"
#include "base/InFlight.h"
#include "base/KeptInterfaces.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Versions.h"
#include "store/ModuleLimit.h"
#include "store/ModuleList.h"
#include "store/UpdateEvents.h"

using Microsoft::WRL::ComPtr;

namespace zel {

const wchar_t* const UpdateJobName = L"ZEL Update Job";

namespace {

// {4991D34B-80A1-4291-83B6-3328366B9097}
const CLSID CLSID_CopyManager = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};
// {5CE34C0D-0DC9-4C1F-897C-DAA1B78CEE7C}
const IID IID_CopyManager = {0x5CE34C0D, 0x0DC9, 0x4C1F, {0x89, 0x7C, 0xDA, 0xA1, 0xB7, 0x8C, 0xEE, 0x7C}};
// {54B50739-686F-45EB-9DFF-D6A9A0FAA9AF}
const IID IID_CopyJob2 = {0x54B50739, 0x686F, 0x45EB, {0x9D, 0xFF, 0xD6, 0xA9, 0xA0, 0xFA, 0xA9, 0xAF}};
// {F1BD1079-9F01-4BDC-8036-F09B70095066}
const IID IID_HttpOptions = {0xF1BD1079, 0x9F01, 0x4BDC, {0x80, 0x36, 0xF0, 0x9B, 0x70, 0x09, 0x50, 0x66}};
// {97EA99C7-0186-4AD4-8DF9-C5B4E0ED6B22}
const IID IID_CopyCallback = {0x97EA99C7, 0x0186, 0x4AD4, {0x8D, 0xF9, 0xC5, 0xB4, 0xE0, 0xED, 0x6B, 0x22}};

constexpr ULONG RetryDelaySeconds = 10;
constexpr ULONG NoProgressTimeoutSeconds = 3600;
constexpr DWORD NotifyFlags = BG_NOTIFY_JOB_TRANSFERRED | BG_NOTIFY_JOB_ERROR | BG_NOTIFY_JOB_MODIFICATION;
// The header ends in LF CR: the update servers expect it so.
const wchar_t* const JobHeaders = L"User-Agent: ZEL Update Service\n\r";


std::string WithoutLineBreaks(const std::string& text) { return StringReplace(text, "\r\n", ""); }

// The manager given, or a fresh connection that is released on leaving.
class ManagerRef {
public:
    explicit ManagerRef(IBackgroundCopyManager* given) : ptr_(given) {
        if (!ptr_ && ConnectBITS(&own_)) ptr_ = own_;
    }
    ~ManagerRef() {
        if (own_) own_->Release();
    }
    ManagerRef(const ManagerRef&) = delete;
    ManagerRef& operator=(const ManagerRef&) = delete;
    explicit operator bool() const { return ptr_ != nullptr; }
    IBackgroundCopyManager* operator->() const { return ptr_; }
    IBackgroundCopyManager* Get() const { return ptr_; }

private:
    IBackgroundCopyManager* ptr_ = nullptr;
    IBackgroundCopyManager* own_ = nullptr;
};

// A cancelled or completed job is only a record of the past: some BITS
// versions keep listing it for a while, but it is no module's job any more.
bool IsFinished(IBackgroundCopyJob* job) {
    BG_JOB_STATE state;
    return SUCCEEDED(job->GetState(&state)) &&
           (state == BG_JOB_STATE_CANCELLED || state == BG_JOB_STATE_ACKNOWLEDGED);
}

bool IsServiceJob(IBackgroundCopyJob* job) {
    TaskString display;
    return job && SUCCEEDED(job->GetDisplayName(&display)) && wcscmp(display.Get(), UpdateJobName) == 0;
}

// A directory with all missing parents; false also when a file stands in
// its place.
bool MakeDirectory(const std::string& dir) { return ForceDirectories(dir) && DirectoryExists(dir); }

// The first live job of the service with this Name; none for a name that is
// no usable module name.
bool FindJob(IBackgroundCopyManager* manager, const std::string& name, ComPtr<IBackgroundCopyJob>& found,
             TJobInfo& foundInfo) {
    bool matched = false;
    if (!IsValidModuleName(name)) return false;
    ForEachJob(manager, [&](IBackgroundCopyJob* job) {
        // The description first: only a job with this Name needs its display
        // name read, which spares a call into BITS for every other job.
        TJobInfo info;
        if (ParseJobDescription(job, info) && SameModuleName(info.Name, name) && IsServiceJob(job) &&
            !IsFinished(job)) {
            found = job;
            foundInfo = info;
            matched = true;
        }
        return !matched;
    });
    return matched;
}

// A known module's job takes the installed version it is registered with,
// and the owner the registration leaves it with; true when its description
// was rewritten.
bool Reversion(IBackgroundCopyJob* job, const TJobInfo& info, const std::string& version, const std::string& owner) {
    if (info.Version == version && info.Owner == owner) return false;
    // Bytes that are moving belong to the version they were asked for.
    BG_JOB_STATE state;
    return SUCCEEDED(job->GetState(&state)) && state != BG_JOB_STATE_CONNECTING &&
           state != BG_JOB_STATE_TRANSFERRING && WriteJobDescription(job, info.Name, version, std::string(), owner);
}

bool CancelJob(IBackgroundCopyJob* job, const std::string& name) {
    WriteLogFmt("Удаляем задание %s из очереди", {name}, LogDebug);
    if (FAILED(job->Cancel())) return false;
    UnindexJob(job);
    return true;
}

// The module's job as the index knows it, or else as one walk finds it,
// which the index then keeps; with `state`, the job's state is read too.
bool LocateJob(IBackgroundCopyManager* given, const std::string& name, ComPtr<IBackgroundCopyJob>& job,
               TJobInfo& info, BG_JOB_STATE* state) {
    BG_JOB_STATE read = BG_JOB_STATE_QUEUED;
    if (IsValidModuleName(name) && IndexedJob(name, job, info, read)) {
        if (state) *state = read;
        return true;
    }
    ManagerRef manager(given);
    if (!manager) return false;
    bool found = FindJob(manager.Get(), name, job, info);
    IndexFound(name, found ? job.Get() : nullptr, info);
    return found && (!state || SUCCEEDED(job->GetState(state)));
}

// ---------------------------------------------------------------- events

// The running server object's event interface, looked up once per callback
// and only when an event is to be sent; events are dropped without it.
class ClientEvents {
public:
    ~ClientEvents() {
        if (notify_) notify_->Release();
    }
    IUpdateServerNotify* Get() {
        if (!looked_) {
            looked_ = true;
            if (!GetUpdateServerNotify(&notify_)) notify_ = nullptr;
        }
        return notify_;
    }
    void Process(const std::string& name, int percent) {
        if (IUpdateServerNotify* n = Get()) n->FireProcess(BStr(name), percent);
    }
    void Failure(const std::string& name, const std::string& context, const std::string& text) {
        if (IUpdateServerNotify* n = Get()) n->FireException(BStr(name), BStr(context), BStr(text), 0);
    }

private:
    bool looked_ = false;
    IUpdateServerNotify* notify_ = nullptr;
};

// Writes an error that reached the outermost frame of a callback; the log
// itself may fail, and nothing may leave the callback.
void LogCallbackError(const char* text) {
    try {
        WriteLog(text, LogError);
    } catch (...) {
    }
}

std::atomic<bool> NotifierBusy{false};

// The job callback that BITS calls on its own threads.
class TNotifier final : public IBackgroundCopyCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_CopyCallback)) {
            *out = static_cast<IBackgroundCopyCallback*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE JobTransferred(IBackgroundCopyJob* job) override {
        TInFlight inFlight;
        try {
            Transferred(job);
        } catch (const std::exception& e) {
            LogCallbackError(e.what());
        } catch (...) {
            LogCallbackError("Ошибка при обработке завершённого задания BITS");
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE JobError(IBackgroundCopyJob* job, IBackgroundCopyError* error) override {
        TInFlight inFlight;
        try {
            Failed(job, error);
        } catch (const std::exception& e) {
            LogCallbackError(e.what());
        } catch (...) {
            LogCallbackError("Ошибка при обработке ошибки задания BITS");
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE JobModification(IBackgroundCopyJob* job, DWORD) override {
        // Progress notifications that overlap one being handled are dropped.
        if (NotifierBusy.exchange(true)) return S_OK;
        TInFlight inFlight;
        try {
            Modified(job);
        } catch (const std::exception& e) {
            LogCallbackError(e.what());
        } catch (...) {
            LogCallbackError("Ошибка при обработке изменения задания BITS");
        }
        NotifierBusy = false;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};

    static void Transferred(IBackgroundCopyJob* job) {
        if (!job) return;
        TJobInfo info;
        if (!ReadJobInfo(job, info)) return;
        // Whoever completes the job second fails here, and only the first
        // one creates the replacement job.
        ClientEvents events;
        if (!CompleteTransferredJob(job, info.Name, events.Get())) return;
        // The module gets a fresh idle job that still carries the installed
        // version.
        try {
            CreateModuleJob(nullptr, info.Name, info.Version, nullptr, nullptr, info.Owner);
        } catch (const BITSException& e) {
            WriteLog("Ошибка службы BITS:", LogError);
            WriteLog(e.what(), LogError);
            std::string text;
            ManagerRef manager(nullptr);
            if (manager && GetBITSErrorText(manager.Get(), e.ErrorCode(), text)) WriteLog(text, LogError);
        } catch (const std::exception& e) {
            WriteLog(e.what(), LogError);
        }
    }

    static void Failed(IBackgroundCopyJob* job, IBackgroundCopyError* error) {
        if (!job || !error) return;
        BG_JOB_STATE state;
        if (FAILED(job->GetState(&state)) || state != BG_JOB_STATE_ERROR) return;
        TaskString context, description;
        if (FAILED(error->GetErrorContextDescription(0, &context)) ||
            FAILED(error->GetErrorDescription(0, &description)))
            return;
        std::string contextText = WithoutLineBreaks(context.Ansi());
        std::string errorText = WithoutLineBreaks(description.Ansi());
        WriteLog(contextText, LogError);
        WriteLog(errorText, LogError);
        TJobInfo info;
        if (ReadJobInfo(job, info)) {
            ClientEvents events;
            events.Failure(info.Name, contextText, errorText);
        }
    }

    static void Modified(IBackgroundCopyJob* job) {
        if (!job) return;
        BG_JOB_STATE state;
        if (FAILED(job->GetState(&state)) || state != BG_JOB_STATE_TRANSFERRING) return;
        TJobInfo info;
        if (!ReadJobInfo(job, info)) return;
        ClientEvents events;
        events.Process(info.Name, GetJobProgress(job));
    }
};


}  // namespace

BITSException::BITSException(HRESULT hr) : Exception("Служба фоновой интеллектуальной передачи файлов"), hr_(hr) {}

// ---------------------------------------------------------------- manager level

bool ConnectBITS(IBackgroundCopyManager** manager) {
    *manager = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CopyManager, nullptr, CLSCTX_LOCAL_SERVER, IID_CopyManager,
                                  reinterpret_cast<void**>(manager));
    if (FAILED(hr) || !*manager) {
        *manager = nullptr;
        WriteLog("Не удалось подключиться к службе BITS", LogError);
        WriteLog("Убедитесь в том, что \"Фоновая интеллектуальная служба передачи (BITS)\" запущена", LogTrace);
        return false;
    }
    return true;
}

bool ManagerAnswers(IBackgroundCopyManager* manager) {
    // The cheapest call that reaches BITS: a job that cannot exist.
    IBackgroundCopyJob* job = nullptr;
    HRESULT hr = manager->GetJob(GUID_NULL, &job);
    if (job) job->Release();
    return !IsDisconnected(hr);
}

bool CreateModuleJob(IBackgroundCopyManager* given, const std::string& name, const std::string& version,
                     TJobMap* jobs, TJobSetup* setup, const std::string& owner) {
    std::string dir = GetModuleDir(name);
    if (!MakeDirectory(dir)) throw Exception(Format("Не удалось получить доступ к %s", {dir}));
    ManagerRef manager(given);
    if (!manager) return false;
    GUID id;
    ComPtr<IBackgroundCopyJob> job;
    HRESULT hr = manager->CreateJob(UpdateJobName, BG_JOB_TYPE_DOWNLOAD, &id, &job);
    if (FAILED(hr) || !job) throw BITSException(FAILED(hr) ? hr : E_POINTER);
    if (jobs && setup) {
        setup->Add(job.Get(), name, version, owner);
        return true;
    }
    if (SetUpModuleJob(job.Get(), name, version, owner) && jobs)
        jobs->Added(job.Get(), JobDescription(name, version, std::string(), owner));
    return true;
}

bool SetUpModuleJob(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
                    const std::string& owner) {
    SetJobPriority(job);
    SetJobHeaders(job);
    bool described = WriteJobDescription(job, name, version, std::string(), owner);
    ConfigureJob(job, ProcessNotifier());
    return described;
}

bool RegisterModuleJob(IBackgroundCopyManager* given, const std::string& name, const std::string& version) {
    if (!IsValidModuleName(name)) throw EInvalidModuleName(name);
    ManagerRef manager(given);
    if (!manager) return false;
    ComPtr<IBackgroundCopyJob> job;
    TJobInfo info;
    if (!FindJob(manager.Get(), name, job, info)) return CreateModuleJob(manager.Get(), name, version);
    Reversion(job.Get(), info, version, info.Owner);
    return false;
}

bool RegisterModuleJob(TJobMap& jobs, IBackgroundCopyManager* manager, const std::string& name,
                       const std::string& version, TJobSetup* setup, const TRegistrant* registrant) {
    if (!IsValidModuleName(name)) throw EInvalidModuleName(name);
    // A job of this pass that is still being set up is left to its worker
    // until it is done.
    if (setup && setup->Pending(name)) setup->Finish();
    TJobMap::Entry* entry = jobs.Find(manager, name);
    if (registrant) {
        // The rule is asked here too, where the change is made: the
        // module may have been registered since the client's call was let in.
        ModuleChange change = IsOwnModule(name) ? ModuleChange::OwnModule : ModuleChange::Allowed;
        if (change == ModuleChange::Allowed && entry && entry->Info.Version != version)
            change = MayChangeModule(name, entry->Info.Owner, *registrant);
        if (change != ModuleChange::Allowed) {
            LogModuleRefusal("Add", name, change, registrant->Text());
            return false;
        }
    }
    if (!entry) {
        const std::string owner = registrant ? registrant->Sid : "";
        if (!ModuleFitsLimits(name, owner, jobs.Modules())) return false;
        return CreateModuleJob(manager, name, version, &jobs, setup, owner);
    }
    std::string owner = registrant ? OwnerAfter(entry->Info.Owner, *registrant) : entry->Info.Owner;
    if (Reversion(entry->Job.Get(), entry->Info, version, owner))
        jobs.Described(*entry, JobDescription(entry->Info.Name, version, std::string(), owner));
    return false;
}

bool CancelModuleJob(IBackgroundCopyManager* given, const std::string& name) {
    ManagerRef manager(given);
    if (!manager) return false;
    ComPtr<IBackgroundCopyJob> job;
    TJobInfo info;
    if (!FindJob(manager.Get(), name, job, info)) return false;
    return CancelJob(job.Get(), name);
}

bool CancelModuleJob(TJobMap& jobs, IBackgroundCopyManager* manager, const std::string& name,
                     const TRegistrant* registrant) {
    TJobMap::Entry* entry = jobs.Find(manager, name);
    if (!entry) return false;
    ModuleChange change = registrant ? MayChangeModule(name, entry->Info.Owner, *registrant) : ModuleChange::Allowed;
    if (change != ModuleChange::Allowed) {
        LogModuleRefusal("Remove", name, change, registrant->Text());
        return false;
    }
    entry->Finished = CancelJob(entry->Job.Get(), name);
    return entry->Finished;
}

bool GetModuleJobState(IBackgroundCopyManager* given, const std::string& name, std::string& target,
                       BG_JOB_STATE& state) {
    ComPtr<IBackgroundCopyJob> job;
    TJobInfo info;
    BG_JOB_STATE read;
    if (!LocateJob(given, name, job, info, &read)) return false;
    target = info.Target;
    state = read;
    return true;
}

bool FindModuleJob(IBackgroundCopyManager* given, const std::string& name, IBackgroundCopyJob** out,
                   TJobInfo* found, BG_JOB_STATE* state) {
    *out = nullptr;
    ComPtr<IBackgroundCopyJob> job;
    TJobInfo info;
    if (!LocateJob(given, name, job, info, state)) return false;
    if (found) *found = info;
    *out = job.Detach();
    return true;
}

void AttachNotifier(IBackgroundCopyManager* given) {
    ManagerRef manager(given);
    if (!manager) return;
    HRESULT hr = S_OK;
    ForEachJob(
        manager.Get(),
        [](IBackgroundCopyJob* job) {
            TJobInfo info;
            if (ReadJobInfo(job, info)) ConfigureJob(job, ProcessNotifier());
            return true;
        },
        &hr);
    if (FAILED(hr)) throw BITSException(hr);
}

// ---------------------------------------------------------------- one job

JobOwner ReadJobOwner(IBackgroundCopyJob* job, TJobInfo& info) {
    if (!IsServiceJob(job)) return JobOwner::Other;
    // A job whose Name is no usable module name is no module's job: its
    // name would lead out of the store.
    return ParseJobDescription(job, info) && IsValidModuleName(info.Name) ? JobOwner::Module : JobOwner::Unusable;
}

bool ReadJobInfo(IBackgroundCopyJob* job, TJobInfo& info) { return ReadJobOwner(job, info) == JobOwner::Module; }

bool ParseJobDescription(IBackgroundCopyJob* job, TJobInfo& info) {
    TaskString description;
    if (!job || FAILED(job->GetDescription(&description))) return false;
    ParseDescriptionText(description.Ansi(), info);
    return true;
}

bool WriteJobDescription(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
                         const std::string& target, const std::string& owner) {
    std::string text = JobDescription(name, version, target, owner);
    if (FAILED(job->SetDescription(ToWide(text).c_str()))) return false;
    NoteJobDescription(job, text);
    return true;
}

bool ConfigureJob(IBackgroundCopyJob* job, IBackgroundCopyCallback* callback) {
    // Giving BITS the callback marshals it: one thread at a time does, since
    // Wine's COM failed an assertion in its stub manager after several
    // threads had marshalled the one callback object at the same time.
    static std::mutex handOver;
    if (FAILED(job->SetMinimumRetryDelay(RetryDelaySeconds)))
        WriteLog("Не удалось настроить параметр MinimumRetryDelay", LogDebug);
    if (FAILED(job->SetNoProgressTimeout(NoProgressTimeoutSeconds)))
        WriteLog("Не удалось настроить параметр NoProgressTimeout", LogDebug);
    HRESULT given;
    {
        std::lock_guard<std::mutex> lock(handOver);
        given = job->SetNotifyInterface(callback);
    }
    if (FAILED(given)) WriteLog("Не удалось настроить интерфейс обратного вызова", LogDebug);
    if (FAILED(job->SetNotifyFlags(NotifyFlags))) WriteLog("Не удалось настроить флаги обратного вызова", LogDebug);
    return true;
}

bool SetJobPriority(IBackgroundCopyJob* job) { return SUCCEEDED(job->SetPriority(BG_JOB_PRIORITY_FOREGROUND)); }

bool SetJobHeaders(IBackgroundCopyJob* job) {
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    if (FAILED(job->QueryInterface(IID_HttpOptions, reinterpret_cast<void**>(options.GetAddressOf()))) || !options)
        return false;
    return SUCCEEDED(options->SetCustomHeaders(JobHeaders));
}

void SetJobProxy(IBackgroundCopyJob* job, const std::string& proxyList, const std::string& userName,
                 const std::string& password) {
    if (proxyList.empty()) {
        if (FAILED(job->SetProxySettings(BG_JOB_PROXY_USAGE_NO_PROXY, nullptr, nullptr)))
            WriteLog("Ошибка при настройке параметров proxy-сервера", LogError);
        return;
    }
    std::wstring list = ToWide(proxyList);
    if (FAILED(job->SetProxySettings(BG_JOB_PROXY_USAGE_OVERRIDE, list.c_str(), nullptr)))
        WriteLog("Ошибка при настройке параметров proxy-сервера", LogError);
    SetJobCredentials(job, BG_AUTH_TARGET_PROXY, userName, password);
}

void SetJobCredentials(IBackgroundCopyJob* job, BG_AUTH_TARGET target, const std::string& userName,
                       const std::string& password) {
    if (userName.empty()) return;
    ComPtr<IBackgroundCopyJob2> job2;
    if (FAILED(job->QueryInterface(IID_CopyJob2, reinterpret_cast<void**>(job2.GetAddressOf()))) || !job2) {
        WriteLog("Интерфейс IBackgroundCopyJob2 не поддерживается", LogError);
        return;
    }
    job2->RemoveCredentials(target, BG_AUTH_SCHEME_BASIC);
    std::wstring user = ToWide(userName);
    std::wstring pass = ToWide(password);
    BG_AUTH_CREDENTIALS credentials;
    credentials.Target = target;
    credentials.Scheme = BG_AUTH_SCHEME_BASIC;
    credentials.Credentials.Basic.UserName = const_cast<LPWSTR>(user.c_str());
    credentials.Credentials.Basic.Password = const_cast<LPWSTR>(pass.c_str());
    HRESULT hr = job2->SetCredentials(&credentials);
    SecureZeroMemory(&pass[0], pass.size() * sizeof(wchar_t));
    if (FAILED(hr)) {
        WriteLog("Ошибка при настройке параметров авторизации", LogError);
        WriteLogFmt("  Имя пользователя: %s", {LogSafeText(userName)}, LogDebug);
        WriteLogFmt("  Пароль:           %s", {std::string(password.size(), '*')}, LogDebug);
    }
}

bool SetJobSecurityFlags(IBackgroundCopyJob* job, DWORD flags) {
    if (flags == 0) return false;
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    if (FAILED(job->QueryInterface(IID_HttpOptions, reinterpret_cast<void**>(options.GetAddressOf()))) || !options)
        return false;
    ULONG current = 0;
    if (FAILED(options->GetSecurityFlags(&current))) return false;
    WriteLogFmt("Выполняем настройку параметров HTTP (SetSecurityFlags: %x)", {flags}, LogTrace);
    return SUCCEEDED(options->SetSecurityFlags(flags | current));
}

bool AddJobFile(IBackgroundCopyJob* job, const std::string& remote, const std::string& local) {
    if (!MakeDirectory(ExtractFileDir(local))) return false;
    return SUCCEEDED(job->AddFile(ToWide(remote).c_str(), ToWide(local).c_str()));
}

int GetJobProgress(IBackgroundCopyJob* job) {
    BG_JOB_PROGRESS progress;
    if (!job || FAILED(job->GetProgress(&progress))) return 0;
    int64_t transferred = static_cast<int64_t>(progress.BytesTransferred);
    // The total stays unknown until the sizes of all files are known.
    if (transferred <= 0 || progress.BytesTotal == BG_SIZE_UNKNOWN || progress.BytesTotal == 0) return 0;
    if (progress.BytesTransferred >= progress.BytesTotal) return 100;
    int percent = static_cast<int>(static_cast<double>(progress.BytesTransferred) /
                                   static_cast<double>(progress.BytesTotal) * 100.0);
    return percent < 0 ? 0 : (percent > 100 ? 100 : percent);
}

bool GetJobErrorTexts(IBackgroundCopyJob* job, std::string& context, std::string& error) {
    ComPtr<IBackgroundCopyError> err;
    if (!job || FAILED(job->GetError(&err)) || !err) return false;
    TaskString contextText, errorText;
    if (FAILED(err->GetErrorContextDescription(0, &contextText))) return false;
    if (FAILED(err->GetErrorDescription(0, &errorText))) return false;
    context = WithoutLineBreaks(contextText.Ansi());
    error = WithoutLineBreaks(errorText.Ansi());
    return true;
}

bool GetBITSErrorText(IBackgroundCopyManager* manager, HRESULT hr, std::string& text) {
    if (hr == 0 || !manager) return false;
    TaskString description;
    if (FAILED(manager->GetErrorDescription(hr, 0, &description))) return false;
    text = WithoutLineBreaks(description.Ansi());
    return true;
}

IBackgroundCopyCallback* CreateNotifier() { return new TNotifier(); }

IBackgroundCopyCallback* ProcessNotifier() {
    // Kept for the life of the process: BITS holds it for the jobs, and its
    // interface stays registered (see base/KeptInterfaces.h).
    static IBackgroundCopyCallback* const notifier = [] {
        IBackgroundCopyCallback* made = CreateNotifier();
        KeepInterfaceRegistered(made, IID_CopyCallback);
        return made;
    }();
    return notifier;
}

}  // namespace zel
