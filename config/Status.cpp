#include "Status.h"

#include <windows.h>

#include <mutex>
#include <set>

#include "Proxy.h"
#include "base/ModuleName.h"
#include "base/RegKey.h"
#include "base/Text.h"

namespace zel {

const char* const StatusKey = "Software\\Quillon\\ZELUpdate\\Status";
const char* const StatusSettings[] = {"UpdateServer", "CheckPeriod", "UpdatesDisabled", "Proxy",
                                      "UpdateKeys",   "Publishers",  "Method",          "LogLevel"};
const size_t StatusSettingCount = sizeof StatusSettings / sizeof StatusSettings[0];

namespace {

// Writers of the key: the scheduler, the BITS callback.
std::mutex StatusLock;
std::vector<TSettingStatus> LastSettings;

bool OpenStatus(const std::string& subkey, TRegKey& key) {
    std::string path = subkey.empty() ? std::string(StatusKey) : std::string(StatusKey) + "\\" + subkey;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | ServiceKeyView,
                           nullptr, key.Out(), nullptr) == ERROR_SUCCESS;
}

void SetText(HKEY key, const std::string& name, const std::string& value) {
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

}  // namespace

std::string JobStateText(int state) {
    static const char* const names[] = {"QUEUED",          "CONNECTING",  "TRANSFERRING",
                                        "SUSPENDED",       "ERROR",       "TRANSIENT_ERROR",
                                        "TRANSFERRED",     "ACKNOWLEDGED", "CANCELLED"};
    return state >= 0 && state < 9 ? names[state] : "UNKNOWN";
}

std::string StatusTimeNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return Format("%.4d-%.2d-%.2dT%.2d:%.2d:%.2dZ", {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond});
}

void WriteCheckStatus(const std::string& result, const std::string& error, const std::string& server,
                      const std::vector<TModuleStatus>& modules) {
    std::lock_guard<std::mutex> lock(StatusLock);
    TRegKey status;
    if (!OpenStatus("", status)) return;
    SetText(status.Get(), "LastCheckTime", StatusTimeNow());
    SetText(status.Get(), "LastCheckResult", result);
    SetText(status.Get(), "LastCheckError", error);
    SetText(status.Get(), "LastCheckServer", server);
    std::set<std::string> present;
    for (const TModuleStatus& m : modules) {
        if (!IsValidModuleName(m.Name)) continue;
        present.insert(ModuleNameKey(m.Name));
        TRegKey key;
        if (!OpenStatus("Modules\\" + m.Name, key)) continue;
        SetText(key.Get(), "InstalledVersion", m.InstalledVersion);
        SetText(key.Get(), "StoreVersion", m.StoreVersion);
        SetText(key.Get(), "JobState", m.JobState);
    }
    TRegKey list;
    if (!OpenStatus("Modules", list)) return;
    // The names are all read before any key goes: deleting shifts the
    // indexes of the enumeration.
    for (const std::string& name : SubkeyNames(list.Get()))
        if (!present.count(ModuleNameKey(name))) RegDeleteKeyA(list.Get(), name.c_str());
}

void WriteModuleError(const std::string& module, const std::string& error) {
    if (!IsValidModuleName(module)) return;
    std::lock_guard<std::mutex> lock(StatusLock);
    TRegKey key;
    if (!OpenStatus("Modules\\" + module, key)) return;
    SetText(key.Get(), "LastError", error);
    SetText(key.Get(), "LastErrorTime", StatusTimeNow());
}

void WriteSettingsStatus(const std::vector<TSettingStatus>& settings) {
    std::lock_guard<std::mutex> lock(StatusLock);
    bool same = settings.size() == LastSettings.size();
    for (size_t i = 0; same && i < settings.size(); ++i)
        same = settings[i].Name == LastSettings[i].Name && settings[i].Value == LastSettings[i].Value &&
               settings[i].Source == LastSettings[i].Source;
    if (same) return;
    TRegKey key;
    if (!OpenStatus("Settings", key)) return;
    for (const TSettingStatus& s : settings) {
        SetText(key.Get(), s.Name, s.Value);
        SetText(key.Get(), s.Name + ".Source", s.Source);
    }
    LastSettings = settings;
}

}  // namespace zel
