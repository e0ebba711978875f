// The status an administrator reads: HKLM\Software\Quillon\ZELUpdate\Status
// (the 32-bit view), written by the service only and readable by every
// account, as its parent key; nothing in it is secret.
//
//   Status               LastCheckTime, LastCheckResult ("updates", "none" or
//                        "error"), LastCheckError, LastCheckServer
//   Status\Settings      <setting> (the value in force) and <setting>.Source
//                        ("policy", ".config", "registry" or "default")
//   Status\Modules\<m>   InstalledVersion (as the clients reported it),
//                        StoreVersion (the newest in the store), JobState,
//                        LastError, LastErrorTime
#pragma once

#include <string>
#include <vector>

namespace zel {

extern const char* const StatusKey;  // "Software\\Quillon\\ZELUpdate\\Status"

// The names of the settings in Status\Settings, in the order they are shown.
extern const char* const StatusSettings[];
extern const size_t StatusSettingCount;

struct TModuleStatus {
    std::string Name;
    std::string InstalledVersion;
    std::string StoreVersion;
    std::string JobState;
};

// After a check: its result, the server asked and the modules of the
// service's jobs; subkeys of modules that have no job any more go.
void WriteCheckStatus(const std::string& result, const std::string& error, const std::string& server,
                      const std::vector<TModuleStatus>& modules);
// The last error of a module, with its time.
void WriteModuleError(const std::string& module, const std::string& error);

struct TSettingStatus {
    std::string Name;
    std::string Value;
    std::string Source;
};
// The settings in force, written when they differ from the last written.
void WriteSettingsStatus(const std::vector<TSettingStatus>& settings);

// The name of a BITS job state without its prefix ("TRANSFERRING").
std::string JobStateText(int state);

// "yyyy-mm-ddThh:nn:ssZ" of the present moment.
std::string StatusTimeNow();

}  // namespace zel
