#include "ModuleOwner.h"

#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Text.h"

namespace zel {

std::string TRegistrant::Text() const {
    return Format("пользователь %s", {Sid.empty() ? std::string("неизвестен") : Sid});
}

std::string GetTestSuffix() { return FileExists(GetProgramDir() + ".test") ? "_TEST" : ""; }

std::string OwnModuleName() { return std::string("ZELUpdate") + GetTestSuffix(); }

bool IsOwnModule(const std::string& module) {
    return SameText(module, "ZELUpdate") || SameText(module, OwnModuleName());
}

ModuleChange MayChangeModule(const std::string& module, const std::string& owner, const TRegistrant& who) {
    if (IsOwnModule(module)) return ModuleChange::OwnModule;
    if (who.Sid.empty()) return ModuleChange::Unidentified;
    if (who.Admin || owner.empty()) return ModuleChange::Allowed;
    return who.Sid == owner ? ModuleChange::Allowed : ModuleChange::OtherUser;
}

std::string OwnerAfter(const std::string& owner, const TRegistrant& who) { return owner.empty() ? who.Sid : owner; }

void LogModuleRefusal(const char* method, const std::string& module, ModuleChange refusal,
                      const std::string& caller) {
    const char* why = refusal == ModuleChange::OwnModule      ? "собственный модуль службы"
                      : refusal == ModuleChange::Unidentified ? "вызывающий не опознан"
                                                              : "модуль зарегистрирован другим пользователем";
    TryWriteLogFmt("Модуль %s: отказано в вызове %s (%s; %s)", {LogSafeText(module), method, why, caller},
                   LogWarning);
}

}  // namespace zel
