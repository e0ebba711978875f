// The one rule for who may change a module's registration: its installed
// version, its download job, its removal. A module belongs to the account
// that registered it; administrators may change any; the service's own
// module is changed by the service alone, never by a client.
//
// The registrant is kept with the registration itself, in the description
// of the module's job ("|Owner=<SID>"), so that it lasts exactly as long as
// the registration does. A registration made by an older version (or by
// the service) has no owner: the next client that registers the module
// becomes its owner.
#pragma once

#include <string>

namespace zel {

// The account that asks for a change.
struct TRegistrant {
    std::string Sid;     // "S-1-5-...", empty when not known
    bool Admin = false;  // acts as a member of the local Administrators
    std::string Text() const;  // for log lines: "пользователь S-1-5-..."
};

enum class ModuleChange { Allowed, OwnModule, Unidentified, OtherUser };

// "_TEST" when a file ".test" lies beside the program.
std::string GetTestSuffix();
// "ZELUpdate" + GetTestSuffix(), as the own module is named in the store.
std::string OwnModuleName();

// The service's own module (ZELUPDATE, and the name it has in a test
// installation), letter case ignored as the store's directories do.
bool IsOwnModule(const std::string& module);

// May `who` change the registration of `module`, whose recorded owner is
// `owner` (empty when none is recorded)? An account that cannot be told
// changes nothing.
ModuleChange MayChangeModule(const std::string& module, const std::string& owner, const TRegistrant& who);

// The owner a registration has once `who` has made it.
std::string OwnerAfter(const std::string& owner, const TRegistrant& who);

// Writes the warning of a refused change: the method, the module, why, and
// who asked (`caller`, a text for the log).
void LogModuleRefusal(const char* method, const std::string& module, ModuleChange refusal,
                      const std::string& caller);

}  // namespace zel
