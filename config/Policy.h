// Group policy of the machine: HKLM\Software\Policies\Quillon\ZELUpdate
// (the 32-bit view, as every key of the program) and its subkeys
// Modules\<module name>. A value that is set and valid overrides ".config"
// and what clients set through COM; a value that is not set leaves today's
// source in force. A value of the wrong type, out of its range or malformed
// counts as not set and is reported once (LogWarning) until it changes.
//
// PolicyValues is the one list of the values the service reads: the reader,
// `zelctl status` and the check of the administrative template all use it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/Versions.h"

namespace zel {

extern const char* const PolicyKey;         // "Software\\Policies\\Quillon\\ZELUpdate"
extern const char* const PolicyModulesKey;  // "Modules", beneath PolicyKey

enum class TPolicyScope { Machine, Module };
enum class TPolicyType { Dword, String };

struct TPolicyValueDef {
    const char* Name;
    TPolicyScope Scope;
    TPolicyType Type;
    uint32_t Min;  // numbers only
    uint32_t Max;
    // Texts only: true when the text is of the value's form.
    bool (*Valid)(const std::string& text);
};

extern const TPolicyValueDef PolicyValues[];
extern const size_t PolicyValueCount;

// The valid values of one key, by the table's names.
struct TPolicyValues {
    std::map<std::string, uint32_t> Numbers;
    std::map<std::string, std::string> Texts;
    bool Has(const std::string& name) const { return Numbers.count(name) || Texts.count(name); }
    uint32_t Number(const std::string& name, uint32_t def) const;
    std::string Text(const std::string& name) const;  // empty when not set
    bool operator==(const TPolicyValues& o) const { return Numbers == o.Numbers && Texts == o.Texts; }
};

// Update modes of a module (Modules\<module>\UpdateMode).
constexpr uint32_t UpdateModeNever = 0;     // nothing is downloaded
constexpr uint32_t UpdateModeDownload = 1;  // downloaded and announced, never installed
constexpr uint32_t UpdateModeFull = 2;      // the default

struct TPolicy {
    TPolicyValues Machine;
    std::map<std::string, TPolicyValues> Modules;  // by ModuleNameKey
    // The module's values; nullptr when it has no subkey with a valid value.
    const TPolicyValues* Module(const std::string& name) const;
    uint32_t UpdateMode(const std::string& module) const;
    bool UpdatesDisabled() const { return Machine.Number("UpdatesDisabled", 0) == 1; }
    // The policy's proxy is in force when ProxyServer is set; ProxyPort
    // defaults to DefaultPolicyProxyPort.
    bool ProxySet() const { return Machine.Has("ProxyServer"); }
    bool operator==(const TPolicy& o) const { return Machine == o.Machine && Modules == o.Modules; }
};
constexpr uint32_t DefaultPolicyProxyPort = 8080;

// Reads the key afresh. Every value left out for its type, range or form
// adds one text "<value name>: <reason>" to `rejected`.
TPolicy ReadPolicy(std::vector<std::string>* rejected = nullptr);

// Reads the key and puts it in force (the scheduler, at start and every 30
// seconds): each rejected value is logged once until its text changes.
TPolicy ReloadPolicy();
// The policy in force; the first call reads it when the scheduler has not
// done so yet. Safe on any thread.
TPolicy CurrentPolicy();

// A version prefix: one to four numbers of 0..65535 separated by dots.
bool IsVersionPrefix(const std::string& text);
// The version's first parts are those of the prefix (3.1 holds 3.1.5.0).
bool VersionInPrefix(TVersion version, const std::string& prefix);

// What the policy of a module says of a candidate version for the
// installed one, to download it or to install it.
enum class TVersionVerdict {
    Allowed,
    NeverUpdated,   // UpdateMode 0
    OutsidePrefix,  // TargetVersionPrefix does not hold it
    Lower,          // below the installed version, and no rollback to it
};
TVersionVerdict JudgeVersion(const TPolicy& policy, const std::string& module, TVersion installed,
                             TVersion candidate);
// The module has a TargetVersionPrefix or a RollbackToTarget.
bool HasVersionPolicy(const TPolicy& policy, const std::string& module);
// A stored installer of the candidate version may be installed over the
// installed version: without a version policy when it is newer (as always),
// with one when it is not the installed version and JudgeVersion allows it.
bool MayInstall(const TPolicy& policy, const std::string& module, TVersion installed, TVersion candidate);
// The log text of a verdict other than Allowed.
std::string VersionVerdictText(TVersionVerdict verdict);

}  // namespace zel
