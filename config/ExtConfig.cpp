#include "ExtConfig.h"

#include <windows.h>

#include <vector>

#include "ConfigText.h"
#include "Policy.h"
#include "Proxy.h"
#include "Status.h"
#include "Tools.h"
#include "Trust.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "config/ServerAddress.h"

namespace zel {

namespace {

const char* const ConfigReadError = "Ошибка при чтении файла настроек .config";

// A settings file is a few lines; anything far larger is not ours and is
// refused rather than read into memory every 30 seconds.
constexpr DWORD MaxConfigSize = 4 * 1024 * 1024;

// The whole file; raises EStreamError when it cannot be opened or read.
std::string LoadConfigFile(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw EStreamError(Format("Не удалось открыть файл %s: %s", {path, SysErrorMessage(GetLastError())}));
    std::string data;
    DWORD high = 0;
    DWORD size = GetFileSize(file.Get(), &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        throw EStreamError(Format("Не удалось прочитать файл %s: %s", {path, SysErrorMessage(GetLastError())}));
    if (high != 0 || size > MaxConfigSize) throw EStreamError(Format("Файл %s слишком велик", {path}));
    data.resize(size);
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), &data[done], size - done, &got, nullptr)) {
            DWORD code = GetLastError();
            throw EStreamError(Format("Не удалось прочитать файл %s: %s", {path, SysErrorMessage(code)}));
        }
        if (got == 0) break;
        done += got;
    }
    data.resize(done);
    return data;
}

void LogConfigError() {
    try {
        WriteLog(ConfigReadError, LogError);
    } catch (const Exception&) {
    }
}

}  // namespace

std::string GetConfigPath() { return GetProgramDir() + ".config"; }

namespace {

// The group policy's value where it sets one, otherwise the file's.
std::string Chosen(const TPolicy& policy, const char* name, const std::vector<std::string>& lines,
                   const char* key) {
    return policy.Machine.Has(name) ? policy.Machine.Text(name) : ConfigValue(lines, key);
}

int64_t ChosenPeriod(const TPolicy& policy, const std::vector<std::string>& lines) {
    if (policy.Machine.Has("CheckPeriodMinutes"))
        return -static_cast<int64_t>(policy.Machine.Number("CheckPeriodMinutes", 20)) * 600000000LL;
    return StrToInt64Def(ConfigValue(lines, "Period"), 0);
}

// The settings of the policy that have no setter of their own: the switch
// of the checks and the proxy, each reported when it changes.
void ApplyPolicyState(const TPolicy& policy) {
    static bool disabled = false;
    static std::string proxy;
    if (policy.UpdatesDisabled() != disabled) {
        disabled = policy.UpdatesDisabled();
        WriteLog(disabled ? "Проверка обновлений отключена групповой политикой (UpdatesDisabled)"
                          : "Проверка обновлений снова разрешена групповой политикой",
                 disabled ? LogWarning : LogInfo);
    }
    std::string now = policy.ProxySet() ? EffectiveProxy().ProxyText() : std::string();
    if (now != proxy) {
        proxy = now;
        if (!now.empty()) WriteLogFmt("Прокси-сервер задан групповой политикой: %s", {now}, LogInfo);
        else WriteLog("Прокси-сервер больше не задан групповой политикой", LogInfo);
    }
}

// The settings in force with where each comes from, for the status key.
void ReportSettings(const TPolicy& policy, const std::vector<std::string>& lines) {
    auto source = [&](const char* policyName, const char* key, bool fileValid) -> std::string {
        if (policyName && policy.Machine.Has(policyName)) return "policy";
        if (key && fileValid) return ".config";
        return "default";
    };
    auto given = [&](const char* key) { return !ConfigValue(lines, key).empty(); };
    std::string method = ConfigValue(lines, "Method");
    const TProxySettings proxy = EffectiveProxy();
    std::string proxySource = policy.ProxySet() ? "policy" : proxy.ProxyText().empty() ? "default" : "registry";
    WriteSettingsStatus({
        {"UpdateServer", ServerURL, source("UpdateServer", "URL", given("URL"))},
        {"CheckPeriod", FormatDuration(PollPeriod.load()),
         source("CheckPeriodMinutes", "Period", StrToInt64Def(ConfigValue(lines, "Period"), 0) != 0)},
        {"UpdatesDisabled", policy.UpdatesDisabled() ? "1" : "0", source("UpdatesDisabled", nullptr, false)},
        {"Proxy", proxy.ProxyText(), proxySource},
        {"UpdateKeys", Chosen(policy, "UpdateKeys", lines, "UpdateKeys"),
         source("UpdateKeys", "UpdateKeys", given("UpdateKeys"))},
        {"Publishers", Chosen(policy, "Publishers", lines, "Publishers"),
         source("Publishers", "Publishers", given("Publishers"))},
        {"Method", RequestMethod, source(nullptr, "Method", method == "GET" || method == "POST")},
        {"LogLevel", Format("%x", {static_cast<unsigned>(LogMode.load())}),
         source(nullptr, "LogLevel", (StrToIntDef(ConfigValue(lines, "LogLevel"), 0) & 0xFF) != 0)},
    });
}

}  // namespace

void ReadConfig() {
    TPolicy policy = ReloadPolicy();
    try {
        ApplyPolicyState(policy);
        std::string path = GetConfigPath();
        std::vector<std::string> lines;
        bool exists = FileExists(path);
        if (exists) lines = SplitConfigLines(LoadConfigFile(path));
        SetServerURL(Chosen(policy, "UpdateServer", lines, "URL"));
        SetRequestMethod(ConfigValue(lines, "Method"));
        SetLogMode(static_cast<uint8_t>(StrToIntDef(ConfigValue(lines, "LogLevel"), 0) & 0xFF));
        SetPollPeriod(ChosenPeriod(policy, lines));
        SetTrustConfig(Chosen(policy, "UpdateKeys", lines, "UpdateKeys"),
                       Chosen(policy, "Publishers", lines, "Publishers"));
        ReportSettings(policy, lines);
    } catch (const Exception&) {
        LogConfigError();
    }
}

bool ReadTrustConfig() {
    TPolicy policy = CurrentPolicy();
    try {
        std::string path = GetConfigPath();
        std::vector<std::string> lines;
        if (FileExists(path)) lines = SplitConfigLines(LoadConfigFile(path));
        SetTrustConfig(Chosen(policy, "UpdateKeys", lines, "UpdateKeys"),
                       Chosen(policy, "Publishers", lines, "Publishers"));
        return true;
    } catch (const Exception&) {
        LogConfigError();
        return false;
    }
}

int32_t ReadConfigInt(const std::string& name, int32_t def) {
    try {
        std::string path = GetConfigPath();
        if (!FileExists(path)) return def;
        return StrToIntDef(ConfigValue(SplitConfigLines(LoadConfigFile(path)), name), def);
    } catch (const Exception&) {
        LogConfigError();
        return def;
    }
}

}  // namespace zel
