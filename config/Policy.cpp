#include "Policy.h"

#include <windows.h>

#include <cctype>
#include <mutex>
#include <set>

#include "TrustText.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/RegKey.h"
#include "base/Text.h"

namespace zel {

const char* const PolicyKey = "Software\\Policies\\Quillon\\ZELUpdate";
const char* const PolicyModulesKey = "Modules";

namespace {

// A policy text is a setting, never a document: anything longer is not one.
constexpr DWORD MaxPolicyText = 4096;

bool HasControl(const std::string& text) {
    for (unsigned char c : text)
        if (c < 32 || c == 127) return true;
    return false;
}

bool ValidServer(const std::string& text) {
    if (HasControl(text) || text.find(' ') != std::string::npos) return false;
    for (const char* scheme : {"http://", "https://"}) {
        size_t n = std::string(scheme).size();
        if (text.size() > n && SameText(text.substr(0, n), scheme)) return true;
    }
    return false;
}

// A host name or address: letters, digits, ".", "-", "_", and for IPv6 ":"
// and brackets; no scheme, no port, no blanks.
bool ValidProxyHost(const std::string& text) {
    if (text.empty() || text.size() > 255) return false;
    for (unsigned char c : text)
        if (!(isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']')) return false;
    return true;
}

bool ValidKeys(const std::string& text) {
    TTrustList list = ParseUpdateKeys(text);
    return list.Given && list.Invalid.empty();
}

bool ValidPublishers(const std::string& text) {
    TTrustList list = ParsePublishers(text);
    return list.Given && list.Invalid.empty();
}

}  // namespace

const TPolicyValueDef PolicyValues[] = {
    {"UpdateServer", TPolicyScope::Machine, TPolicyType::String, 0, 0, ValidServer},
    {"CheckPeriodMinutes", TPolicyScope::Machine, TPolicyType::Dword, 1, 10080, nullptr},
    {"UpdatesDisabled", TPolicyScope::Machine, TPolicyType::Dword, 0, 1, nullptr},
    {"ProxyServer", TPolicyScope::Machine, TPolicyType::String, 0, 0, ValidProxyHost},
    {"ProxyPort", TPolicyScope::Machine, TPolicyType::Dword, 1, 65535, nullptr},
    {"UpdateKeys", TPolicyScope::Machine, TPolicyType::String, 0, 0, ValidKeys},
    {"Publishers", TPolicyScope::Machine, TPolicyType::String, 0, 0, ValidPublishers},
    {"UpdateMode", TPolicyScope::Module, TPolicyType::Dword, 0, 2, nullptr},
    {"TargetVersionPrefix", TPolicyScope::Module, TPolicyType::String, 0, 0, IsVersionPrefix},
    {"RollbackToTarget", TPolicyScope::Module, TPolicyType::Dword, 0, 1, nullptr},
};
const size_t PolicyValueCount = sizeof PolicyValues / sizeof PolicyValues[0];

uint32_t TPolicyValues::Number(const std::string& name, uint32_t def) const {
    auto it = Numbers.find(name);
    return it == Numbers.end() ? def : it->second;
}

std::string TPolicyValues::Text(const std::string& name) const {
    auto it = Texts.find(name);
    return it == Texts.end() ? std::string() : it->second;
}

const TPolicyValues* TPolicy::Module(const std::string& name) const {
    auto it = Modules.find(ModuleNameKey(name));
    return it == Modules.end() ? nullptr : &it->second;
}

uint32_t TPolicy::UpdateMode(const std::string& module) const {
    const TPolicyValues* values = Module(module);
    return values ? values->Number("UpdateMode", UpdateModeFull) : UpdateModeFull;
}

namespace {

// One value of the table from an open key into `into`; a value that is
// there but unusable adds its reason to `rejected`.
void ReadValue(HKEY key, const TPolicyValueDef& def, const std::string& shownName, TPolicyValues& into,
               std::vector<std::string>& rejected) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, def.Name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return;
    auto reject = [&](const char* reason) { rejected.push_back(shownName + ": " + reason); };
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return reject("не читается");
    if (def.Type == TPolicyType::Dword) {
        if (type != REG_DWORD || size != sizeof(DWORD)) return reject("неверный тип");
        DWORD value = 0;
        DWORD got = sizeof value;
        if (RegQueryValueExA(key, def.Name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &got) !=
                ERROR_SUCCESS ||
            type != REG_DWORD || got != sizeof value)
            return reject("не читается");
        if (value < def.Min || value > def.Max) return reject("вне допустимых пределов");
        into.Numbers[def.Name] = value;
        return;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return reject("неверный тип");
    if (size > MaxPolicyText) return reject("неверный формат");
    std::string data(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, def.Name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got) != ERROR_SUCCESS)
        return reject("не читается");
    data.resize(got < data.size() ? got : data.size());
    size_t end = data.find('\0');
    if (end != std::string::npos) data.resize(end);
    if (!def.Valid || !def.Valid(data)) return reject("неверный формат");
    into.Texts[def.Name] = data;
}

void ReadScope(HKEY key, TPolicyScope scope, const std::string& prefix, TPolicyValues& into,
               std::vector<std::string>& rejected) {
    for (size_t i = 0; i < PolicyValueCount; ++i)
        if (PolicyValues[i].Scope == scope)
            ReadValue(key, PolicyValues[i], prefix + PolicyValues[i].Name, into, rejected);
}

void ReadModules(HKEY policy, TPolicy& result, std::vector<std::string>& rejected) {
    TRegKey modules;
    if (RegOpenKeyExA(policy, PolicyModulesKey, 0, KEY_READ | ServiceKeyView, modules.Out()) != ERROR_SUCCESS)
        return;
    for (const std::string& module : SubkeyNames(modules.Get())) {
        std::string shown = std::string(PolicyModulesKey) + "\\" + LogSafeText(module) + "\\";
        if (!IsValidModuleName(module)) {
            rejected.push_back(shown + ": неверное имя модуля");
            continue;
        }
        TRegKey key;
        if (RegOpenKeyExA(modules.Get(), module.c_str(), 0, KEY_READ | ServiceKeyView, key.Out()) != ERROR_SUCCESS) continue;
        TPolicyValues values;
        ReadScope(key.Get(), TPolicyScope::Module, shown, values, rejected);
        if (!values.Numbers.empty() || !values.Texts.empty()) result.Modules[ModuleNameKey(module)] = values;
    }
}

std::mutex PolicyLock;
TPolicy Current;
bool Loaded = false;
std::set<std::string> Reported;  // the rejections logged, until they go

}  // namespace

TPolicy ReadPolicy(std::vector<std::string>* rejected) {
    std::vector<std::string> reasons;
    TPolicy result;
    TRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PolicyKey, 0, KEY_READ | ServiceKeyView, key.Out()) == ERROR_SUCCESS) {
        ReadScope(key.Get(), TPolicyScope::Machine, std::string(), result.Machine, reasons);
        ReadModules(key.Get(), result, reasons);
    }
    if (rejected) *rejected = reasons;
    return result;
}

TPolicy ReloadPolicy() {
    std::vector<std::string> rejected;
    TPolicy policy = ReadPolicy(&rejected);
    std::vector<std::string> fresh;
    {
        std::lock_guard<std::mutex> lock(PolicyLock);
        Current = policy;
        Loaded = true;
        std::set<std::string> now(rejected.begin(), rejected.end());
        for (const std::string& text : now)
            if (!Reported.count(text)) fresh.push_back(text);
        Reported = now;
    }
    for (const std::string& text : fresh)
        TryWriteLogFmt("Значение групповой политики не применяется: %s", {text}, LogWarning);
    return policy;
}

TPolicy CurrentPolicy() {
    {
        std::lock_guard<std::mutex> lock(PolicyLock);
        if (Loaded) return Current;
    }
    return ReloadPolicy();
}

bool IsVersionPrefix(const std::string& text) {
    if (text.empty()) return false;
    int parts = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 5) return false;
        for (char c : part)
            if (c < '0' || c > '9') return false;
        if (std::stoul(part) > 65535) return false;
        if (++parts > 4) return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool VersionInPrefix(TVersion version, const std::string& prefix) {
    if (!IsVersionPrefix(prefix)) return false;
    uint64_t v = static_cast<uint64_t>(version);
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = prefix.find('.', start);
        size_t length = dot == std::string::npos ? std::string::npos : dot - start;
        unsigned long wanted = std::stoul(prefix.substr(start, length));
        if (((v >> (48 - 16 * i)) & 0xFFFF) != wanted) return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
    return true;
}

TVersionVerdict JudgeVersion(const TPolicy& policy, const std::string& module, TVersion installed,
                             TVersion candidate) {
    const TPolicyValues* values = policy.Module(module);
    if (values && values->Number("UpdateMode", UpdateModeFull) == UpdateModeNever)
        return TVersionVerdict::NeverUpdated;
    std::string prefix = values ? values->Text("TargetVersionPrefix") : std::string();
    if (!prefix.empty() && !VersionInPrefix(candidate, prefix)) return TVersionVerdict::OutsidePrefix;
    // A rollback: the installed version lies above the prefix and the
    // candidate within it (checked above).
    if (installed != 0 && VersionGreater(installed, candidate)) {
        bool rollback = values && values->Number("RollbackToTarget", 0) == 1 && !prefix.empty() &&
                        !VersionInPrefix(installed, prefix);
        if (!rollback) return TVersionVerdict::Lower;
    }
    return TVersionVerdict::Allowed;
}

bool HasVersionPolicy(const TPolicy& policy, const std::string& module) {
    const TPolicyValues* values = policy.Module(module);
    return values && (values->Has("TargetVersionPrefix") || values->Has("RollbackToTarget"));
}

bool MayInstall(const TPolicy& policy, const std::string& module, TVersion installed, TVersion candidate) {
    if (candidate == installed) return false;
    if (!HasVersionPolicy(policy, module)) return VersionGreater(candidate, installed);
    return JudgeVersion(policy, module, installed, candidate) == TVersionVerdict::Allowed;
}

std::string VersionVerdictText(TVersionVerdict verdict) {
    switch (verdict) {
    case TVersionVerdict::NeverUpdated:
        return "обновление модуля запрещено групповой политикой (UpdateMode)";
    case TVersionVerdict::OutsidePrefix:
        return "версия вне заданной групповой политикой (TargetVersionPrefix)";
    case TVersionVerdict::Lower:
        return "версия ниже установленной";
    default:
        return std::string();
    }
}

}  // namespace zel
