// Proxy settings of the machine, kept in HKLM\Software\Quillon\ZELUpdate.
// The password is kept protected for the machine (DPAPI) in the binary
// value "ProtectedPassword"; a plain-text "Password" that an older version
// wrote is still read, and goes at the next Store.
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
    // The stored values as a client asks for them: the key is created when
    // missing, a missing or malformed value reads as empty text or 0.
    // False when the key cannot be opened (the fields are then empty).
    bool ReadStored();
    // Writes the four values and "Proxy" ("http=%s:%d", or empty without
    // an address); no plain text of the password is left. False when the
    // key cannot be opened or the password cannot be protected (the
    // password is then not stored at all).
    bool Store() const;
    // "http=%s:%d" when Address is not empty, else empty.
    std::string ProxyText() const;
    // Writes the proxy (password as stars) at the level; nothing without one.
    // Address and user name come from clients: they are shown as client
    // texts are, without control characters.
    void LogProxy(uint8_t level) const;
};

// Removes the settings key with all it holds (the package's removal of the
// product); false when there was none to remove.
bool RemoveSettingsKey();

// Created empty at process start, destroyed at its end.
extern TProxySettings* ProxySettings;

// The proxy in force: the group policy's (ProxyServer, ProxyPort, no
// credentials) when it sets one, otherwise the machine's settings above.
TProxySettings EffectiveProxy();

}  // namespace zel
