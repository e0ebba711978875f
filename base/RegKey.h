// The owner of one open registry key: closed when the owner goes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Owners.h"

namespace zel {

using TRegKey = UniqueRegKey;

// The names of the key's subkeys, in the registry's order; a name longer
// than 255 characters (no module name is) is left out.
inline std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        LONG rc = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

}  // namespace zel
