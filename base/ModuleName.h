// The one rule for module names. A module name becomes a directory of the
// store and the Name of a BITS job, and it comes from clients of any
// account: only a plain file-name component is usable.
#pragma once

#include <string>

#include "base/Text.h"

namespace zel {

constexpr size_t MaxModuleNameLength = 128;

// True for one plain file-name component of at most MaxModuleNameLength
// characters: not empty, not "." or "..", none of \ / : * ? " < > | =, no
// character below 32, no trailing dot or blank, no reserved device name
// (CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9, CONIN$, CONOUT$, with or
// without an extension), no "~" followed by a digit (a short name).
bool IsValidModuleName(const std::string& name);

// Module names compare without letter case, as the file system compares
// the store's folders: the key of a name is its upper-case form (Latin and
// Cyrillic letters of the service's code page).
std::string ModuleNameKey(const std::string& name);
bool SameModuleName(const std::string& a, const std::string& b);

// Writes the warning that names a refused module name.
void LogRefusedModuleName(const std::string& name);

// A module name that must not become a path or a job.
class EInvalidModuleName : public Exception {
public:
    explicit EInvalidModuleName(const std::string& name);
};

}  // namespace zel
