// The one rule for module names. A module name becomes a directory of the
// store and the Name of a BITS job, and it comes from clients of any
// account: only a plain file-name component is usable.
#pragma once

#include <string>

#include "service/Text.h"

namespace zel {

constexpr size_t MaxModuleNameLength = 128;

// True for one plain file-name component of at most MaxModuleNameLength
// characters: not empty, not "." or "..", none of \ / : * ? " < > | =, no
// character below 32, no trailing dot or blank, no reserved device name
// (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an extension).
bool IsValidModuleName(const std::string& name);

// Writes the warning that names a refused module name.
void LogRefusedModuleName(const std::string& name);

// A module name that must not become a path or a job.
class EInvalidModuleName : public Exception {
public:
    explicit EInvalidModuleName(const std::string& name);
};

}  // namespace zel
