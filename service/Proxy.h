// Proxy settings of the machine, kept in HKLM\Software\Quillon\ZELUpdate.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

extern const char* const SettingsKey;  // "Software\\Quillon\\ZELUpdate"

class TProxySettings {
public:
    std::string Address;
    int32_t Port = 0;
    std::string UserName;
    std::string Password;

    // Loads the four values; false when the key is missing or a value is bad.
    bool Load();
    // "http=%s:%d" when Address is not empty, else empty.
    std::string ProxyText() const;
    // Writes the proxy (password as stars) at the level; nothing without one.
    void LogProxy(uint8_t level) const;
};

// Created empty at process start, destroyed at its end.
extern TProxySettings* ProxySettings;

}  // namespace zel
