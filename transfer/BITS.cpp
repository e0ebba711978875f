// The module jobs: connecting to BITS, creating, registering, cancelling and
// finding a module's job, and reading its description back. The job's
// settings are in JobSettings.cpp, the callback in JobCallback.cpp.
#include "BITS.h"

#include <objbase.h>
#include <wrl/client.h>

#include <cwchar>

#include "JobIndex.h"
#include "JobMap.h"
#include "JobSetup.h"
#include "ManagerRef.h"
#include "base/TaskString.h"
#include "base/ComCalls.h"
#include "base/Log.h"
#include "base/ModuleName.h"
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

bool AddJobFile(IBackgroundCopyJob* job, const std::string& remote, const std::string& local) {
    if (!MakeDirectory(ExtractFileDir(local))) return false;
    return SUCCEEDED(job->AddFile(ToWide(remote).c_str(), ToWide(local).c_str()));
}

}  // namespace zel
