// The job manager and the JSON entry point of the update server object: a
// module's download job by name, controlled and watched.
#include "ServerObject.h"

#include <bits.h>

#include <cstdint>

#include "transfer/BITS.h"

namespace zel {
namespace server {

// ---- IZELJobManager

template <class Action>
HRESULT TUpdateServer::WithModuleJob(const char* method, BSTR name, bool changes, Action action,
                                     BG_JOB_STATE* state) {
    return Guarded([&] {
        std::string module;
        if (CheckModuleName(name, module) == NameCheck::Refused) return E_INVALIDARG;
        WriteLogFmt("Вызов метода IZELJobManager.%s(%s)", {method, module}, LogTrace);
        if (module.empty()) return S_FALSE;
        TCaller caller;
        if (changes) {
            caller = CurrentCaller();
            // The service's own job is refused whether it exists or not.
            if (!MayChange(method, module, caller, nullptr)) return E_ACCESSDENIED;
        }
        ComPtr<IBackgroundCopyJob> job;
        TJobInfo info;
        if (!FindModuleJob(nullptr, module, job.GetAddressOf(), &info, state) || !job) return S_FALSE;
        if (changes && !MayChange(method, module, caller, &info.Owner)) return E_ACCESSDENIED;
        return action(job.Get());
    });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Resume(BSTR wsModuleName) {
    return WithModuleJob("Resume", wsModuleName, true, [](IBackgroundCopyJob* job) { return job->Resume(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Cancel(BSTR wsModuleName) {
    return WithModuleJob("Cancel", wsModuleName, true, [](IBackgroundCopyJob* job) { return job->Cancel(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::Suspend(BSTR wsModuleName) {
    return WithModuleJob("Suspend", wsModuleName, true, [](IBackgroundCopyJob* job) { return job->Suspend(); });
}

HRESULT STDMETHODCALLTYPE TUpdateServer::GetState(BSTR wsModuleName, LONG* dwState) {
    if (!dwState) return E_POINTER;
    // The look-up reads the state anyway (a known job's tells that it is
    // still live): taken from there, it is one call into BITS. A state that
    // cannot be read counts as no job found: S_FALSE.
    BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
    return WithModuleJob(
        "GetState", wsModuleName, false,
        [&](IBackgroundCopyJob*) {
            *dwState = static_cast<LONG>(state);
            return S_OK;
        },
        &state);
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
    return WithModuleJob("GetProgress", wsModuleName, false, [&](IBackgroundCopyJob* job) {
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

}  // namespace server
}  // namespace zel
