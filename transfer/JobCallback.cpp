// The job callback that BITS calls on its own threads.
#include "BITS.h"

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>

#include "ManagerRef.h"
#include "base/BStr.h"
#include "base/InFlight.h"
#include "base/KeptInterfaces.h"
#include "base/Log.h"
#include "base/TaskString.h"
#include "store/UpdateEvents.h"

namespace zel {

namespace {

// {97EA99C7-0186-4AD4-8DF9-C5B4E0ED6B22}
const IID IID_CopyCallback = {0x97EA99C7, 0x0186, 0x4AD4, {0x8D, 0xF9, 0xC5, 0xB4, 0xE0, 0xED, 0x6B, 0x22}};

// The running server object's event interface, looked up once per callback
// and only when an event is to be sent; events are dropped without it.
class ClientEvents {
public:
    IUpdateServerNotify* Get() {
        if (!looked_) {
            looked_ = true;
            if (!GetUpdateServerNotify(notify_.GetAddressOf())) notify_.Reset();
        }
        return notify_.Get();
    }
    void Process(const std::string& name, int percent) {
        if (IUpdateServerNotify* n = Get()) n->FireProcess(BStr(name), percent);
    }
    void Failure(const std::string& name, const std::string& context, const std::string& text) {
        if (IUpdateServerNotify* n = Get()) n->FireException(BStr(name), BStr(context), BStr(text), 0);
    }

private:
    bool looked_ = false;
    Microsoft::WRL::ComPtr<IUpdateServerNotify> notify_;
};

// Writes an error that reached the outermost frame of a callback; the log
// itself may fail, and nothing may leave the callback.
void LogCallbackError(const char* text) {
    try {
        WriteLog(text, LogError);
    } catch (...) {
    }
}

// Runs the work of one callback, counted as work in flight; an error that
// reaches it is logged, with failure as its text when it has none.
template <class Work>
void RunCallback(const char* failure, Work work) {
    TInFlight inFlight;
    try {
        work();
    } catch (const std::exception& e) {
        LogCallbackError(e.what());
    } catch (...) {
        LogCallbackError(failure);
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
        RunCallback("Ошибка при обработке завершённого задания BITS", [&] { Transferred(job); });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE JobError(IBackgroundCopyJob* job, IBackgroundCopyError* error) override {
        RunCallback("Ошибка при обработке ошибки задания BITS", [&] { Failed(job, error); });
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE JobModification(IBackgroundCopyJob* job, DWORD) override {
        // Progress notifications that overlap one being handled are dropped.
        if (NotifierBusy.exchange(true)) return S_OK;
        RunCallback("Ошибка при обработке изменения задания BITS", [&] { Modified(job); });
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
