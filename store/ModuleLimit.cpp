#include "ModuleLimit.h"

#include <unordered_map>

#include "ModuleOwner.h"
#include "base/Lock.h"
#include "base/Log.h"
#include "base/ModuleName.h"

namespace zel {

namespace {

struct Limits {
    size_t all = MaxModules;
    size_t perUser = MaxModulesPerUser;
};

// Name key -> owner, of the registered and of the reserved modules.
struct Registry {
    CRITICAL_SECTION lock;
    Limits limits;
    std::unordered_map<std::string, std::string> registered, reserved;
    Registry() { InitializeCriticalSection(&lock); }
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // lives to the end of the process
    return *registry;
}

size_t OwnedBy(const std::unordered_map<std::string, std::string>& modules, const std::string& owner) {
    size_t n = 0;
    for (const auto& m : modules)
        if (m.second == owner) ++n;
    return n;
}

// Whether one more module fits beside `registered` in all and `owned` of
// its owner (an owner not known is bound by the limit in all only).
bool Fits(const Limits& limits, const std::string& owner, size_t registered, size_t owned) {
    return registered < limits.all && (owner.empty() || owned < limits.perUser);
}

// The refusal's log line (written outside the registry's lock).
void LogRefusal(const Limits& limits, const std::string& module, const std::string& owner, size_t registered,
                size_t owned) {
    if (registered >= limits.all)
        TryWriteLogFmt("Отказано в регистрации модуля %s: зарегистрировано модулей: %d, больше нельзя",
                       {module, static_cast<unsigned>(registered)}, LogWarning);
    else
        TryWriteLogFmt("Отказано в регистрации модуля %s: пользователь %s зарегистрировал модулей: %d, больше нельзя",
                       {module, owner, static_cast<unsigned>(owned)}, LogWarning);
}

}  // namespace

void PublishRegisteredModules(const std::vector<std::pair<std::string, std::string>>& modules) {
    std::unordered_map<std::string, std::string> now;
    for (const auto& m : modules)
        if (!IsOwnModule(m.first)) now.emplace(ModuleNameKey(m.first), m.second);
    Registry& r = TheRegistry();
    Lock lock(r.lock);
    r.registered.swap(now);
    r.reserved.clear();
}

HRESULT ReserveModule(const std::string& module, const std::string& owner) {
    if (IsOwnModule(module)) return S_OK;
    const std::string key = ModuleNameKey(module);
    Registry& r = TheRegistry();
    Limits limits;
    size_t all = 0, owned = 0;
    {
        Lock lock(r.lock);
        if (r.registered.count(key) || r.reserved.count(key)) return S_OK;
        limits = r.limits;
        all = r.registered.size() + r.reserved.size();
        owned = OwnedBy(r.registered, owner) + OwnedBy(r.reserved, owner);
        if (Fits(limits, owner, all, owned)) {
            r.reserved.emplace(key, owner);
            return S_OK;
        }
    }
    LogRefusal(limits, module, owner, all, owned);
    return E_OUTOFMEMORY;
}

bool ModuleFitsLimits(const std::string& module, const std::string& owner,
                      const std::vector<std::pair<std::string, std::string>>& registered) {
    if (IsOwnModule(module)) return true;
    size_t all = 0, owned = 0;
    for (const auto& m : registered)
        if (!IsOwnModule(m.first)) {
            ++all;
            if (m.second == owner) ++owned;
        }
    Limits limits;
    {
        Registry& r = TheRegistry();
        Lock lock(r.lock);
        limits = r.limits;
    }
    if (Fits(limits, owner, all, owned)) return true;
    LogRefusal(limits, module, owner, all, owned);
    return false;
}

void SetModuleLimitsForTest(size_t all, size_t perUser) {
    Registry& r = TheRegistry();
    Lock lock(r.lock);
    r.limits.all = all ? all : MaxModules;
    r.limits.perUser = perUser ? perUser : MaxModulesPerUser;
    r.registered.clear();
    r.reserved.clear();
}

}  // namespace zel
