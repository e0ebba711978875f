// The BITS download jobs of the modules: one job per module, recognised by
// its display name, described by "Name=%s|Version=%s|Target=%s".
#pragma once

#include <windows.h>
#include <bits.h>

#include <string>
#include <vector>

#include "JobText.h"
#include "base/Text.h"
#include "store/ModuleOwner.h"
#include "store/UpdateEvents.h"

namespace zel {

extern const wchar_t* const UpdateJobName;  // L"ZEL Update Job"

// A failed BITS call; the message is always the same, the HRESULT tells.
class BITSException : public Exception {
public:
    explicit BITSException(HRESULT hr);
    HRESULT ErrorCode() const { return hr_; }

private:
    HRESULT hr_;
};

class TJobMap;
class TJobSetup;

// Manager-level operations take a manager that may be null: they connect
// themselves then and return false when BITS cannot be reached.
bool ConnectBITS(IBackgroundCopyManager** manager);
// False when the connection's BITS is gone (one call into BITS).
bool ManagerAnswers(IBackgroundCopyManager* manager);
// With a job map, the map learns the new job; with that map's setup, the
// job's settings are made there.
// The owner (a SID, or empty) goes into the new job's description.
bool CreateModuleJob(IBackgroundCopyManager* manager, const std::string& name, const std::string& version,
                     TJobMap* jobs = nullptr, TJobSetup* setup = nullptr, const std::string& owner = std::string());
// The settings of a new module job: priority, headers, description and the
// callback; true when BITS took the description.
bool SetUpModuleJob(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
                    const std::string& owner = std::string());
bool RegisterModuleJob(IBackgroundCopyManager* manager, const std::string& name, const std::string& version);
bool CancelModuleJob(IBackgroundCopyManager* manager, const std::string& name);
// The same on the jobs of one walk (a manager is needed), which the map then
// follows: many modules cost one walk instead of one walk each. With a
// registrant, the registration or removal is a client's: a change that the
// module's owner rule refuses (store/ModuleOwner.h) is logged and not made,
// and a new registration records the registrant as the owner.
bool RegisterModuleJob(TJobMap& jobs, IBackgroundCopyManager* manager, const std::string& name,
                       const std::string& version, TJobSetup* setup = nullptr,
                       const TRegistrant* registrant = nullptr);
bool CancelModuleJob(TJobMap& jobs, IBackgroundCopyManager* manager, const std::string& name,
                     const TRegistrant* registrant = nullptr);
bool GetModuleJobState(IBackgroundCopyManager* manager, const std::string& name, std::string& target,
                       BG_JOB_STATE& state);
// Finds the first job of the service whose Name equals the name (new
// reference), and the fields of its description when info is given. With
// state, the job's state too: a job the index knows has it read already,
// so that it costs one call into BITS; false when it cannot be read.
bool FindModuleJob(IBackgroundCopyManager* manager, const std::string& name, IBackgroundCopyJob** job,
                   TJobInfo* info = nullptr, BG_JOB_STATE* state = nullptr);
void AttachNotifier(IBackgroundCopyManager* manager);

bool ReadJobInfo(IBackgroundCopyJob* job, TJobInfo& info);
// Whose a job is: another program's, a module's (info read), or the
// service's without a usable description (none yet, or a bad Name).
enum class JobOwner { Other, Module, Unusable };
JobOwner ReadJobOwner(IBackgroundCopyJob* job, TJobInfo& info);
bool ParseJobDescription(IBackgroundCopyJob* job, TJobInfo& info);
bool WriteJobDescription(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
                         const std::string& target, const std::string& owner = std::string());
bool ConfigureJob(IBackgroundCopyJob* job, IBackgroundCopyCallback* callback);
bool SetJobPriority(IBackgroundCopyJob* job);
bool SetJobHeaders(IBackgroundCopyJob* job);
void SetJobProxy(IBackgroundCopyJob* job, const std::string& proxyList, const std::string& userName,
                 const std::string& password);
void SetJobCredentials(IBackgroundCopyJob* job, BG_AUTH_TARGET target, const std::string& userName,
                       const std::string& password);
// Adds the flags to the job's HTTP security flags. Flags 0 ask for nothing:
// the job is not touched and the result is false.
bool SetJobSecurityFlags(IBackgroundCopyJob* job, DWORD flags);
bool AddJobFile(IBackgroundCopyJob* job, const std::string& remote, const std::string& local);
// Percentage (0..100, truncated) of the bytes transferred; 0 while nothing
// has arrived, while the total is still unknown or when it cannot be read.
int GetJobProgress(IBackgroundCopyJob* job);
bool GetJobErrorTexts(IBackgroundCopyJob* job, std::string& context, std::string& error);
bool GetBITSErrorText(IBackgroundCopyManager* manager, HRESULT hr, std::string& text);
// BITS's texts end in a line break; the log takes them on one line.
std::string WithoutLineBreaks(const std::string& text);

// The files of a completed job as they settle in the store: a file that
// came with an expected digest takes its own name only when it matches;
// one that does not is deleted, logged and reported to every client.
struct TCompletedFiles {
    bool Listed = false;             // the job's files could be enumerated
    bool Rejected = false;           // some file did not pass
    std::vector<std::string> Paths;  // the files now in the store
};
TCompletedFiles SettleJobFiles(IBackgroundCopyJob* job, const std::string& module, IUpdateServerNotify* notify);

// Completes a transferred job: its files settle in the store, their
// versions are logged and the newest one is announced to every client
// unless a file was rejected. False when the job could not be completed,
// e.g. because the callback or the update check completed it first.
bool CompleteTransferredJob(IBackgroundCopyJob* job, const std::string& module, IUpdateServerNotify* notify);

// The job callback object (a new one with one reference).
IBackgroundCopyCallback* CreateNotifier();
// The one callback object that every job of the process reports to: it
// holds no state, and one object spares BITS a new connection per job.
IBackgroundCopyCallback* ProcessNotifier();

}  // namespace zel
