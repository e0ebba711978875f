#include "Downloader.h"

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <utility>
#include <vector>

#include "InfoQueue.h"
#include "base/BStr.h"
#include "base/Log.h"
#include "base/TryFinally.h"
#include "base/Versions.h"
#include "catalogue/HTTP.h"
#include "catalogue/Requests.h"
#include "config/ExtConfig.h"
#include "config/Policy.h"
#include "config/Proxy.h"
#include "config/Status.h"
#include "config/Tools.h"
#include "install/Maintenance.h"
#include "store/Digest.h"
#include "store/ModuleLimit.h"
#include "store/ModuleList.h"
#include "transfer/BITS.h"
#include "transfer/JobIndex.h"
#include "transfer/JobMap.h"
#include "transfer/JobSetup.h"

using Microsoft::WRL::ComPtr;

namespace zel {

std::atomic<DWORD> DownloaderThreadId{0};

namespace {

// The events of the scheduler's run, given by whoever starts it (the
// program's service run, a test): the stop it waits on and the one it sets
// when it is gone. The stop is forgotten when the scheduler ends, so that a
// job walked afterwards never waits on a handle its owner has closed.
std::atomic<HANDLE> RunStop{nullptr};
std::atomic<HANDLE> RunDone{nullptr};

bool StopRequested() {
    HANDLE stop = RunStop.load();
    return stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

constexpr ULONGLONG ChangeDelayMs = 5000;  // from a change of modules to its check
constexpr int64_t ThirtySeconds = -300000000LL;
constexpr int64_t FifteenMinutes = -9000000000LL;
constexpr int64_t FourHours = -144000000000LL;

void Arm(HANDLE timer, int64_t due) {
    LARGE_INTEGER li;
    li.QuadPart = due;
    if (!SetWaitableTimer(timer, &li, 0, nullptr, nullptr, FALSE)) RaiseLastOSError();
}

// The poll period in milliseconds (PollPeriod is negative, in 100 ns).
ULONGLONG PollPeriodMs() { return static_cast<ULONGLONG>(-PollPeriod.load()) / 10000; }

HANDLE NewTimer() {
    HANDLE h = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (!h) RaiseLastOSError();
    return h;
}

void LogPassError(const std::exception& e) {
    if (auto os = dynamic_cast<const EOSError*>(&e))
        TryWriteLog(Format("Error: %d", {os->ErrorCode()}), LogError);
    else
        TryWriteLog(e.what(), LogError);
}

// Messages for the scheduler. They go to its thread once its message queue
// exists; until then (and after it has ended) they are kept, so that nothing
// a client asks for while the scheduler starts is lost.
struct SchedulerMailbox {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::pair<UINT, WPARAM>> kept;
};
SchedulerMailbox Mailbox;
constexpr size_t MaxKeptMessages = 10000;

class MailboxLock {
public:
    MailboxLock() { AcquireSRWLockExclusive(&Mailbox.lock); }
    ~MailboxLock() { ReleaseSRWLockExclusive(&Mailbox.lock); }
};

// On the scheduler thread, once its queue exists: the thread becomes the
// target of the posts, and what was kept is delivered first, in order.
void OpenMailbox() {
    MailboxLock lock;
    DWORD self = GetCurrentThreadId();
    for (const auto& m : Mailbox.kept) PostThreadMessageA(self, m.first, m.second, 0);
    Mailbox.kept.clear();
    DownloaderThreadId = self;
}

void CloseMailbox() {
    MailboxLock lock;
    DownloaderThreadId = 0;
}

}  // namespace

void PostDownloaderMessage(UINT message, WPARAM wParam) {
    MailboxLock lock;
    DWORD id = DownloaderThreadId.load();
    if (id != 0)
        PostThreadMessageA(id, message, wParam, 0);
    else if (Mailbox.kept.size() < MaxKeptMessages)
        Mailbox.kept.emplace_back(message, wParam);
}

// ---------------------------------------------------------------- BITS

namespace {

// The scheduler thread keeps one connection to BITS for its whole run: a
// connection per pass costs an activation each time, and Wine's BITS was
// seen to stop answering for good in the middle of one. Only that thread
// touches these.
IBackgroundCopyManager* SchedulerManager = nullptr;
std::atomic<DWORD> SchedulerThread{0};

// A connection to BITS: the scheduler's own (made again when its BITS has
// gone), a new one on any other thread.
bool ConnectScheduler(ComPtr<IBackgroundCopyManager>& manager) {
    manager.Reset();
    if (SchedulerThread == 0 || GetCurrentThreadId() != SchedulerThread)
        return ConnectBITS(manager.GetAddressOf());
    if (SchedulerManager && !ManagerAnswers(SchedulerManager)) {
        SchedulerManager->Release();
        SchedulerManager = nullptr;
    }
    if (!SchedulerManager && !ConnectBITS(&SchedulerManager)) return false;
    manager = SchedulerManager;
    return true;
}

// The passes (registrations, removals, checks) publish what the job map
// holds to the module limit and use the scheduler's own connection: while a
// scheduler runs, only its thread makes them. A pass from another thread
// is a fault of its caller, said in the log (and seen by every test that
// expects a log without errors); it is made all the same, as before.
void ExpectSchedulerThread(const char* pass) {
    DWORD scheduler = SchedulerThread;
    if (scheduler != 0 && GetCurrentThreadId() != scheduler)
        TryWriteLogFmt("Ошибка: %s вызван не в потоке загрузки", {std::string(pass)}, LogError);
}

}  // namespace

// ---------------------------------------------------------------- the thread

TDownloader::TDownloader() {
    TryWriteLog("Создан поток загрузки", LogTrace);
    queueReady_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &id);
    if (!thread_) RaiseLastOSError();
    // Nothing here may keep the thread from running.
    try {
        ProxySettings->Load();
        ProxySettings->LogProxy(LogMode.load());
    } catch (const std::exception& e) {
        LogPassError(e);
    }
    IBackgroundCopyManager* manager = nullptr;
    try {
        if (ConnectBITS(&manager)) AttachNotifier(manager);
    } catch (const BITSException& e) {
        TryWriteLog(e.what(), LogError);
        std::string text;
        if (GetBITSErrorText(manager, e.ErrorCode(), text)) TryWriteLog(text, LogError);
    } catch (const std::exception& e) {
        LogPassError(e);
    }
    if (manager) manager->Release();
    // The thread body begins only now. Its id is published by the thread
    // itself once its message queue exists; posts made before wait for it.
    // From the resume on, a thread that finds the stop already set may end
    // and free this object at any moment: nothing of it is read any more,
    // and the ready event is this constructor's to close (once signalled,
    // the thread is done with it).
    HANDLE ready = queueReady_;
    ResumeThread(thread_);
    if (ready && WaitForSingleObject(ready, 10000) == WAIT_OBJECT_0) CloseHandle(ready);
}

TDownloader::~TDownloader() {
    TryWriteLog("Уничтожен поток загрузки", LogTrace);
    if (thread_) CloseHandle(thread_);
    RunStop.store(nullptr);
    if (HANDLE done = RunDone.exchange(nullptr)) SetEvent(done);
}

DWORD WINAPI TDownloader::ThreadProc(void* self) {
    auto* downloader = static_cast<TDownloader*>(self);
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    OpenMailbox();
    SetEvent(downloader->queueReady_);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SchedulerThread = GetCurrentThreadId();
    OpenJobIndex();
    try {
        downloader->Execute();
    } catch (const std::exception& e) {
        TryWriteLog(e.what(), LogError);
    }
    // The index's job references go while this thread is still in COM.
    CloseJobIndex();
    if (SchedulerManager) SchedulerManager->Release();
    SchedulerManager = nullptr;
    SchedulerThread = 0;
    CloseMailbox();
    CoUninitialize();
    delete downloader;
    return 0;
}

void TDownloader::Execute() {
    ReadConfig();
    TryWriteLog(Format("Стартует поток загрузки (период опроса: %s)", {FormatDuration(PollPeriod.load())}),
                LogTrace);
    HANDLE timers[3] = {NewTimer(), NewTimer(), NewTimer()};
    pollTimer_ = timers[0];
    HANDLE configTimer = timers[1], housekeepingTimer = timers[2];
    pollDue_ = GetTickCount64() + PollPeriodMs();
    ArmPollTimer();
    Arm(configTimer, ThirtySeconds);
    Arm(housekeepingTimer, FifteenMinutes);
    HANDLE waitSet[4] = {pollTimer_, configTimer, RunStop.load(), housekeepingTimer};
    bool terminated = false;
    while (!terminated) {
        // Input that was already queued when the last pass ended wakes the
        // wait too. Every pass re-arms its timer, also when it raised: a
        // failed pass must not end the rhythm for the rest of the run.
        DWORD r = MsgWaitForMultipleObjectsEx(4, waitSet, INFINITE, QS_ALLEVENTS, MWMO_INPUTAVAILABLE);
        try {
            switch (r) {
            case WAIT_OBJECT_0: {
                DWORD cookie = pendingCookie_;
                pendingCookie_ = 0;
                TryFinally([&] { RunCheck(cookie); }, [&] { CheckDone(); });
                break;
            }
            case WAIT_OBJECT_0 + 1: {
                int64_t before = PollPeriod.load();
                TryFinally([] { ReadConfig(); },
                              [&] {
                                  if (PollPeriod.load() != before) {
                                      pollDue_ = GetTickCount64() + PollPeriodMs();
                                      ArmPollTimer();
                                  }
                                  Arm(configTimer, ThirtySeconds);
                              });
                break;
            }
            case WAIT_OBJECT_0 + 2:
                for (HANDLE& t : timers) {
                    CloseHandle(t);
                    t = nullptr;
                }
                terminated = true;
                break;
            case WAIT_OBJECT_0 + 3:
                TryFinally(
                    [] {
                        RemovePatchDirs();
                        RemoveOldInstallers();
                        CleanLogs();
                    },
                    [&] { Arm(housekeepingTimer, FourHours); });
                break;
            case WAIT_OBJECT_0 + 4: {
                // One message that fails does not hold up those behind it.
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    try {
                        HandleMessage(msg);
                    } catch (const std::exception& e) {
                        LogPassError(e);
                    }
                }
                break;
            }
            default:
                Sleep(100);  // a wait that failed: not a busy loop
                break;
            }
        } catch (const std::exception& e) {
            LogPassError(e);
        }
    }
}

// A check that is due comes at its time whatever clients do: a change of
// modules brings the next check forward to 5 s after the first change since
// the last check and never moves it to later, so clients that come and go
// all the time cannot keep the checks from coming.
void TDownloader::ArmPollTimer() {
    ULONGLONG due = pollDue_;
    if (changeDue_ != 0 && changeDue_ < due) due = changeDue_;
    ULONGLONG now = GetTickCount64();
    Arm(pollTimer_, due > now ? -static_cast<int64_t>(due - now) * 10000 : -1);
}

void TDownloader::CheckDone() {
    pollDue_ = GetTickCount64() + PollPeriodMs();
    changeDue_ = 0;
    ArmPollTimer();
}

void TDownloader::HandleMessage(const MSG& msg) {
    switch (msg.message) {
    case WM_CHECKUPDATES:
        TryFinally([&] { RunCheck(static_cast<DWORD>(msg.wParam)); }, [&] { CheckDone(); });
        break;
    case WM_PROXYCHANGED:
        ProxySettings->Load();
        ProxySettings->LogProxy(LogDebug);
        break;
    case WM_MODULESCHANGED:
        pendingCookie_ = static_cast<DWORD>(msg.wParam);
        TryFinally(
            [] {
                ProcessAddQueue();
                ProcessRemoveQueue();
            },
            [&] {
                if (changeDue_ == 0) changeDue_ = GetTickCount64() + ChangeDelayMs;
                ArmPollTimer();
            });
        break;
    default:
        break;
    }
}

void StartDownloader(HANDLE stopEvent, HANDLE doneEvent) {
    RunStop.store(stopEvent);
    RunDone.store(doneEvent);
    new TDownloader();
}

// ---------------------------------------------------------------- the queues

void ProcessAddQueue() {
    ExpectSchedulerThread("ProcessAddQueue");
    ComPtr<IBackgroundCopyManager> manager;
    if (!ConnectScheduler(manager)) return;
    // One walk of the jobs serves the whole queue; the map follows the jobs
    // that the registrations create, and their settings are made on workers
    // while the next ones are created.
    TJobMap jobs;
    TJobSetup setup(jobs);
    TInfoEntry entry;
    while (AddQueue->Pop(entry)) {
        try {
            if (!jobs.Loaded()) jobs.Load(manager.Get());
            RegisterModuleJob(jobs, manager.Get(), entry.Key, entry.Value1, &setup,
                              entry.FromClient ? &entry.Who : nullptr);
        } catch (const std::exception& e) {
            WriteLog(e.what(), LogError);
            return;
        }
    }
    if (jobs.Loaded()) PublishRegisteredModules(jobs.Modules());
}

void ProcessRemoveQueue() {
    ExpectSchedulerThread("ProcessRemoveQueue");
    ComPtr<IBackgroundCopyManager> manager;
    if (!ConnectScheduler(manager)) return;
    TJobMap jobs;
    TInfoEntry entry;
    while (RemoveQueue->Pop(entry)) {
        try {
            if (!jobs.Loaded()) jobs.Load(manager.Get());
            CancelModuleJob(jobs, manager.Get(), entry.Key, entry.FromClient ? &entry.Who : nullptr);
        } catch (const std::exception& e) {
            WriteLog(e.what(), LogError);
            return;
        }
    }
    if (jobs.Loaded()) PublishRegisteredModules(jobs.Modules());
}

// ---------------------------------------------------------------- the check

void RaiseModuleError(const std::string& moduleName, const std::string& error) {
    if (error.find("invalid module_name") != std::string::npos) throw EInvalidModule(moduleName);
    throw EModuleException(moduleName, LogSafeText(error));
}

bool QueryServer(IBackgroundCopyManager* manager, TRemoteModuleInfoList& list) {
    TJobMap jobs;
    jobs.Load(manager);
    return QueryServer(jobs, list);
}

bool QueryServer(TJobMap& jobs, TRemoteModuleInfoList& list) {
    TInfoQueue request;
    for (const TJobMap::Entry& job : jobs.Entries()) {
        const TJobInfo& info = job.Info;
        TVersion installed = StrToVersion(info.Version);
        TVersion stored = GetNewestInstallerVersion(info.Name, UpdateTypeFilter(installed));
        request.Add(info.Name, VersionToStr(MaxVersion(installed, stored)), info.Version);
    }
    if (request.IsEmpty()) return false;
    return RequestModuleInfo(request.TakeRequests(), list);
}

namespace {

// The job's work while it waits suspended: the missing files of a newer
// version are added and the download begins.
bool StartDownload(IBackgroundCopyJob* job, IUpdateServerNotify* notify, TRemoteModuleInfoList& remote,
                   const TJobInfo& info) {
    if (!DirectoryExists(GetModuleDir(info.Name))) {
        WriteLogFmt("Удаляем задание %s из очереди", {info.Name}, LogDebug);
        job->Cancel();
        return false;
    }
    TRemoteModuleInfo* module = FindModuleInfo(remote, ToWide(info.Name));
    if (!module) throw Exception(Format("Не удалось получить сведения о модуле %s", {info.Name}));
    // A refused answer was logged when it was read; the job waits as it is.
    if (!module->Refusal.empty()) return false;
    if (module->ModuleVersion == L"CURRENT") return false;
    if (!module->Error.empty()) RaiseModuleError(info.Name, ToAnsi(module->Error));
    std::string offered = ToAnsi(module->ModuleVersion);
    TVersionVerdict verdict =
        JudgeVersion(CurrentPolicy(), info.Name, StrToVersion(info.Version), StrToVersion(offered));
    if (verdict != TVersionVerdict::Allowed) {
        WriteLogFmt("Версия %s модуля %s не загружается: %s",
                    {LogSafeText(offered), info.Name, VersionVerdictText(verdict)}, LogDebug);
        return false;
    }
    for (size_t i = module->Files.size(); i-- > 0;) {
        const TRemoteFile& file = module->Files[i];
        std::string local = UrlFileName(file.FileName);
        if (IsFileDownloaded(info.Name, local, file.Size, file.Sha256)) {
            WriteLogFmt("Файл %s уже загружен", {local}, 0x3C);
            module->Files.erase(module->Files.begin() + i);
        }
    }
    if (module->Files.empty()) return false;
    // A file with a digest downloads under a holding name beside its
    // record, and takes its own name only once it matches.
    std::vector<std::string> targets;
    for (const TRemoteFile& file : module->Files) {
        std::string local = Format("%s\\%s", {GetModuleDir(info.Name), UrlFileName(file.FileName)});
        targets.push_back(PrepareDownload(local, file.Sha256));
        if (targets.back().empty()) {
            WriteLogFmt("Не удалось сохранить контрольную сумму файла %s", {local}, LogError);
            return false;
        }
    }
    WriteLogFmt("Начинаем загрузку модуля %s (%s)", {info.Name, LogSafeText(offered)}, LogInfo);
    const TProxySettings proxy = EffectiveProxy();
    SetJobProxy(job, proxy.ProxyText(), proxy.UserName, proxy.Password);
    SetJobSecurityFlags(job, static_cast<DWORD>(ReadConfigInt("SecFlags", 12)));
    bool added = false;
    for (size_t i = 0; i < module->Files.size(); ++i)
        if (AddJobFile(job, module->Files[i].FileName, targets[i])) added = true;
    if (!added) return false;
    WriteJobDescription(job, info.Name, info.Version, offered, info.Owner);
    job->Resume();
    if (notify) notify->FireStart(BStr(info.Name), BStr(offered));
    return true;
}

// A fresh idle job for the module, carrying its installed version. A BITS
// failure goes on to the job's BITS error handling (the client is told).
void RecreateJob(IBackgroundCopyManager* manager, const TJobInfo& info) {
    bool created = false;
    try {
        created = CreateModuleJob(manager, info.Name, info.Version, nullptr, nullptr, info.Owner);
    } catch (const BITSException&) {
        throw;
    } catch (const std::exception&) {
        created = false;
    }
    if (!created) WriteLog("Не удалось восстановить задание для загрузки", LogError);
}

}  // namespace

bool ProcessJob(IBackgroundCopyManager* manager, IBackgroundCopyJob* job, IUpdateServerNotify* notify,
                TRemoteModuleInfoList& remote, DWORD cookie) {
    TJobInfo info;
    BG_JOB_STATE state;
    if (StopRequested() || !ReadJobInfo(job, info) || FAILED(job->GetState(&state))) return false;
    return ProcessJob(manager, job, notify, remote, cookie, info, state);
}

bool ProcessJob(IBackgroundCopyManager* manager, IBackgroundCopyJob* job, IUpdateServerNotify* notify,
                TRemoteModuleInfoList& remote, DWORD cookie, const TJobInfo& info, BG_JOB_STATE state) {
    if (StopRequested()) return false;
    bool result = false;
    try {
        switch (state) {
        case BG_JOB_STATE_CONNECTING:
        case BG_JOB_STATE_TRANSFERRING:
            if (cookie != 0 && notify) {
                notify->FireProcess(BStr(info.Name), GetJobProgress(job));
                if (notify->FireStartTo(BStr(info.Name), BStr(info.Target), cookie)) return true;
            }
            return false;
        case BG_JOB_STATE_SUSPENDED:
            return StartDownload(job, notify, remote, info);
        case BG_JOB_STATE_ERROR: {
            WriteLogFmt("Обнаружено задание со статусом BG_JOB_STATE_ERROR (%s)", {info.Name}, LogDebug);
            std::string context, error;
            if (GetJobErrorTexts(job, context, error)) {
                WriteLog(context, LogDebug);
                WriteLog(error, LogDebug);
                WriteModuleError(info.Name, error);
            }
            if (SUCCEEDED(job->Cancel()) && DirectoryExists(GetModuleDir(info.Name))) RecreateJob(manager, info);
            return false;
        }
        case BG_JOB_STATE_TRANSFERRED: {
            WriteLogFmt("Загрузка модуля (%s) завершена", {info.Name}, LogDebug);
            if (!CompleteTransferredJob(job, info.Name, notify))
                WriteLogFmt("Не удалось завершить задание %s", {info.Name}, LogError);
            else
                RecreateJob(manager, info);
            return false;
        }
        default:
            return false;
        }
    } catch (const BITSException& e) {
        WriteLog("Ошибка службы BITS:", LogError);
        WriteLog(e.what(), LogError);
        WriteModuleError(info.Name, e.what());
        std::string text;
        if (GetBITSErrorText(manager, e.ErrorCode(), text)) {
            WriteLog(text, LogError);
            if (notify) {
                notify->FireException(BStr(info.Name), BStr(std::string(e.what())), BStr(text), cookie);
                notify->DisableEvents();
            }
            result = true;
        }
    } catch (const EInvalidModule& e) {
        WriteLogFmt("Модуль: %s. Ошибка: \"%s\"", {e.ModuleName(), e.Message()}, LogError);
        WriteModuleError(e.ModuleName(), e.Message());
        if (SUCCEEDED(job->Cancel()))
            WriteLog("Задание остановлено", LogDebug);
        else
            WriteLog("Не удалось установить задание", LogError);
    } catch (const EModuleException& e) {
        WriteLogFmt("Модуль: %s. Ошибка: \"%s\"", {e.ModuleName(), e.Message()}, LogError);
        WriteModuleError(e.ModuleName(), e.Message());
    } catch (const std::exception& e) {
        WriteLog(e.what(), LogError);
    }
    return result;
}

bool RunCheck(DWORD cookie) {
    ExpectSchedulerThread("RunCheck");
    bool result = false;
    ComPtr<IUpdateServerNotify> notify;
    // Checks switched off by policy ask nothing; the client that asked is
    // told at once that there is nothing.
    if (CurrentPolicy().UpdatesDisabled()) {
        if (cookie != 0 && GetUpdateServerNotify(notify.GetAddressOf()) && notify)
            notify->FireNoUpdates(cookie);
        return false;
    }
    WriteLog("Проверка обновлений", LogDebug);
    std::string error;
    bool offered = false;
    TJobMap jobs;
    ComPtr<IBackgroundCopyManager> manager;
    try {
        GetUpdateServerNotify(notify.GetAddressOf());
        if (!ConnectScheduler(manager)) return false;
        TRemoteModuleInfoList remote;
        if (jobs.Load(manager.Get())) PublishRegisteredModules(jobs.Modules());
        QueryServer(jobs, remote);
        LogModuleInfoList(remote);
        for (size_t i = 0; i < remote.Count(); ++i) {
            const TRemoteModuleInfo& m = remote.Items(i);
            if (m.ModuleVersion != L"CURRENT" && m.Error.empty() && m.Refusal.empty()) offered = true;
        }
        // The jobs as they are after the exchange; what the first walk read
        // of a job serves again.
        if (jobs.Refresh(manager.Get())) {
            // Each job's state is read when its turn comes: the events for
            // the jobs before it may take up to the clients' time limit
            // each, and meanwhile the job callback may have completed it
            // (a completed job gets no OnProcess or OnStart after its
            // OnDownload).
            for (TJobMap::Entry& job : jobs.Entries()) {
                job.StateRead = SUCCEEDED(job.Job->GetState(&job.State));
                if (job.StateRead &&
                    ProcessJob(manager.Get(), job.Job.Get(), notify.Get(), remote, cookie, job.Info, job.State))
                    result = true;
            }
        }
    } catch (const std::exception& e) {
        // A failed exchange (no connection, an HTTP error, an answer that is
        // too large, not JSON or of the wrong shape) ends the check before
        // the jobs are walked.
        WriteLog(e.what(), LogError);
        error = e.what();
    }
    // The client that asked is told whenever the check brought it nothing.
    if (!result && cookie != 0 && notify) notify->FireNoUpdates(cookie);
    // The status comes after the answer to the client: it never delays one.
    try {
        std::vector<TModuleStatus> modules;
        for (TJobMap::Entry& job : jobs.Entries()) {
            BG_JOB_STATE state;
            if (job.Finished || !job.Job || FAILED(job.Job->GetState(&state))) continue;
            modules.push_back({job.Info.Name, job.Info.Version,
                               VersionToStr(GetNewestInstallerVersion(job.Info.Name, std::string())),
                               JobStateText(state)});
        }
        WriteCheckStatus(!error.empty() ? "error" : offered ? "updates" : "none", error, ServerURL, modules);
    } catch (const std::exception& e) {
        LogPassError(e);
    }
    return result;
}

}  // namespace zel
