// The owner of one open registry key: closed when the owner goes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Owners.h"

namespace zel {

using TRegKey = UniqueRegKey;

// The service's keys under HKEY_LOCAL_MACHINE\Software lie where a 32-bit
// program finds them, where the package writes them; a 64-bit build (a test
// tree on a machine that runs no 32-bit programs) asks for the same view.
constexpr REGSAM ServiceKeyView = KEY_WOW64_32KEY;

// Opens a key of the machine in that view; `create` makes it when it is
// missing. On failure the owner holds nothing.
inline bool OpenMachineKey(TRegKey& key, const char* path, REGSAM access, bool create = false) {
    access |= ServiceKeyView;
    LONG rc = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, key.Out(), nullptr)
                     : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key.Out());
    if (rc == ERROR_SUCCESS) return true;
    *key.Out() = nullptr;
    return false;
}

// Removes a key of the machine, in that view, with all it holds.
inline LONG DeleteMachineKeyTree(const char* path) {
    {
        TRegKey key;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | ServiceKeyView, key.Out());
        if (rc == ERROR_SUCCESS) rc = RegDeleteTreeA(key.Get(), nullptr);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, ServiceKeyView, 0);
}

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
