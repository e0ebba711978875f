// The scheduler thread: poll, configuration reload and housekeeping timers,
// thread messages from the COM server, and the update check itself.
#pragma once

#include <windows.h>
#include <bits.h>

#include <atomic>
#include <string>

#include "base/Text.h"
#include "catalogue/RemoteInfo.h"
#include "store/UpdateEvents.h"
#include "transfer/BITS.h"

namespace zel {

constexpr UINT WM_CHECKUPDATES = WM_USER + 1;    // wParam: client cookie
constexpr UINT WM_PROXYCHANGED = WM_USER + 2;    // reload the proxy
constexpr UINT WM_MODULESCHANGED = WM_USER + 4;  // wParam: client cookie or 0

// The scheduler's thread, set by the thread itself once its message queue
// exists; 0 before and after.
extern std::atomic<DWORD> DownloaderThreadId;

// Posts a message to the scheduler (lParam 0). A message posted while the
// scheduler is not yet ready is kept and delivered as soon as it is.
void PostDownloaderMessage(UINT message, WPARAM wParam);

// A module-specific error of the update server; the message is its text.
class EModuleException : public Exception {
public:
    EModuleException(const std::string& moduleName, const std::string& message)
        : Exception(message), moduleName_(moduleName) {}
    const std::string& ModuleName() const { return moduleName_; }

private:
    std::string moduleName_;
};

// The update server does not know the module.
class EInvalidModule : public EModuleException {
public:
    explicit EInvalidModule(const std::string& moduleName)
        : EModuleException(moduleName, "Неизвестное имя модуля") {}
};

class TDownloader {
public:
    // Creates and starts the thread; the object frees itself when the thread
    // ends, and its destruction sets the done event of StartDownloader.
    TDownloader();
    ~TDownloader();
    TDownloader(const TDownloader&) = delete;
    TDownloader& operator=(const TDownloader&) = delete;

private:
    static DWORD WINAPI ThreadProc(void* self);
    void Execute();
    void HandleMessage(const MSG& msg);
    // The poll timer is armed for the sooner of pollDue_ and changeDue_.
    void ArmPollTimer();
    // After every check, whatever asked for it.
    void CheckDone();

    HANDLE thread_ = nullptr;
    HANDLE queueReady_ = nullptr;
    DWORD pendingCookie_ = 0;
    HANDLE pollTimer_ = nullptr;
    // When the next checks are due (GetTickCount64): the poll one period
    // after the last check; the one a change of modules asks for 5 s after
    // the first change since the last check, 0 when none is asked for.
    ULONGLONG pollDue_ = 0;
    ULONGLONG changeDue_ = 0;
};

// Creates the scheduler of the service run: it ends when stopEvent is set,
// and sets doneEvent when it has ended. Both manual-reset events belong to
// the caller and must outlive the scheduler.
void StartDownloader(HANDLE stopEvent, HANDLE doneEvent);

void ProcessAddQueue();
void ProcessRemoveQueue();

// One complete update check; true when some job had news for the client.
bool RunCheck(DWORD cookie);
bool QueryServer(IBackgroundCopyManager* manager, TRemoteModuleInfoList& list);
// The same from the service's jobs of one walk.
bool QueryServer(TJobMap& jobs, TRemoteModuleInfoList& list);
bool ProcessJob(IBackgroundCopyManager* manager, IBackgroundCopyJob* job, IUpdateServerNotify* notify,
                TRemoteModuleInfoList& remote, DWORD cookie);
// The same for a job of the service whose description fields and state
// were read.
bool ProcessJob(IBackgroundCopyManager* manager, IBackgroundCopyJob* job, IUpdateServerNotify* notify,
                TRemoteModuleInfoList& remote, DWORD cookie, const TJobInfo& info, BG_JOB_STATE state);
// EInvalidModule when the server's error text says the module is unknown,
// otherwise EModuleException with the text in its log form.
[[noreturn]] void RaiseModuleError(const std::string& moduleName, const std::string& error);

}  // namespace zel
