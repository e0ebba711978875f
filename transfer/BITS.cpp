#include "BITS.h"
namespace zel {
const wchar_t* const UpdateJobName = L"ZEL Update Job";
BITSException::BITSException(HRESULT hr) : Exception("Служба фоновой интеллектуальной передачи файлов"), hr_(hr) {}
bool ConnectBITS(IBackgroundCopyManager** m) { *m = nullptr; return false; }
bool CreateModuleJob(IBackgroundCopyManager*, const std::string&, const std::string&) { return false; }
bool RegisterModuleJob(IBackgroundCopyManager*, const std::string&, const std::string&) { return false; }
bool CancelModuleJob(IBackgroundCopyManager*, const std::string&) { return false; }
bool GetModuleJobState(IBackgroundCopyManager*, const std::string&, std::string&, BG_JOB_STATE&) { return false; }
bool FindModuleJob(IBackgroundCopyManager*, const std::string&, IBackgroundCopyJob** job) { *job = nullptr; return false; }
void AttachNotifier(IBackgroundCopyManager*) {}
bool ReadJobInfo(IBackgroundCopyJob*, TJobInfo&) { return false; }
bool ParseJobDescription(IBackgroundCopyJob*, TJobInfo&) { return false; }
bool WriteJobDescription(IBackgroundCopyJob*, const std::string&, const std::string&, const std::string&) { return false; }
bool ConfigureJob(IBackgroundCopyJob*, IBackgroundCopyCallback*) { return true; }
bool SetJobPriority(IBackgroundCopyJob*) { return false; }
bool SetJobHeaders(IBackgroundCopyJob*) { return false; }
void SetJobProxy(IBackgroundCopyJob*, const std::string&, const std::string&, const std::string&) {}
void SetJobCredentials(IBackgroundCopyJob*, BG_AUTH_TARGET, const std::string&, const std::string&) {}
bool SetJobSecurityFlags(IBackgroundCopyJob*, DWORD) { return false; }
bool AddJobFile(IBackgroundCopyJob*, const std::string&, const std::string&) { return false; }
int GetJobProgress(IBackgroundCopyJob*) { return 0; }
bool GetJobErrorTexts(IBackgroundCopyJob*, std::string&, std::string&) { return false; }
bool GetBITSErrorText(IBackgroundCopyManager*, HRESULT, std::string&) { return false; }
IBackgroundCopyCallback* CreateNotifier() { return nullptr; }
}  // namespace zel
