#include "Proxy.h"

#include <windows.h>
#include <wincrypt.h>

#include "Policy.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Owners.h"
#include "base/RegKey.h"
#include "base/Text.h"

namespace zel {

const char* const SettingsKey = "Software\\Quillon\\ZELUpdate";
TProxySettings* ProxySettings = nullptr;

namespace {

class ERegistryError : public Exception {
public:
    using Exception::Exception;
};

// A string value; a missing value reads as empty text, any other type than
// a string is an error.
std::string ReadRegString(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return std::string();
    if (rc != ERROR_SUCCESS) throw ERegistryError(Format("%s: %s", {name, SysErrorMessage(rc)}));
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryError(Format("Неверный тип значения %s", {name}));
    std::string data(size + 1, '\0');
    DWORD got = size;
    rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got);
    if (rc != ERROR_SUCCESS) throw ERegistryError(Format("%s: %s", {name, SysErrorMessage(rc)}));
    data.resize(got < data.size() ? got : data.size());
    size_t end = data.find('\0');
    if (end != std::string::npos) data.resize(end);
    return data;
}

// An integer value: it must exist and be a REG_DWORD.
int32_t ReadRegInteger(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_MORE_DATA) throw ERegistryError(Format("Неверный тип значения %s", {name}));
    if (rc != ERROR_SUCCESS) throw ERegistryError(Format("%s: %s", {name, SysErrorMessage(rc)}));
    if (type != REG_DWORD || size != sizeof value)
        throw ERegistryError(Format("Неверный тип значения %s", {name}));
    return static_cast<int32_t>(value);
}

void WriteRegString(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

const char* const PlainPasswordValue = "Password";
const char* const ProtectedPasswordValue = "ProtectedPassword";
// Binds the protected password to this use: a blob of the machine made for
// another purpose does not open here.
const char PasswordEntropy[] = "ZELUpdate proxy password";

// What the data protection calls return: wiped, then given back.
void ReleaseBlob(DATA_BLOB& blob) {
    SecureZeroMemory(blob.pbData, blob.cbData);
    LocalFree(blob.pbData);
}

// The password protected for the machine: the service (LocalSystem) and
// its later versions open it on this machine only. CRYPTPROTECT_LOCAL_MACHINE
// lets any process of the machine open a blob it can read; the blob only
// keeps the password out of plain sight of the registry and its exports.
bool ProtectPassword(const std::string& password, std::string& blob) {
    DATA_BLOB in{static_cast<DWORD>(password.size()), reinterpret_cast<BYTE*>(const_cast<char*>(password.data()))};
    DATA_BLOB entropy{sizeof PasswordEntropy - 1, reinterpret_cast<BYTE*>(const_cast<char*>(PasswordEntropy))};
    DATA_BLOB out{0, nullptr};
    if (!CryptProtectData(&in, L"ZELUpdate proxy", &entropy, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    ScopeExit release([&out] { ReleaseBlob(out); });
    blob.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    return true;
}

bool UnprotectPassword(const std::string& blob, std::string& password) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB entropy{sizeof PasswordEntropy - 1, reinterpret_cast<BYTE*>(const_cast<char*>(PasswordEntropy))};
    DATA_BLOB out{0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return false;
    ScopeExit release([&out] { ReleaseBlob(out); });
    password.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    return true;
}

// The protected password when there is one, else the plain text an older
// version wrote; a missing value reads as empty text, a protected value
// that cannot be opened is an error.
std::string ReadPassword(HKEY key) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, ProtectedPasswordValue, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return ReadRegString(key, PlainPasswordValue);
    if (rc != ERROR_SUCCESS) throw ERegistryError(Format("%s: %s", {ProtectedPasswordValue, SysErrorMessage(rc)}));
    if (type != REG_BINARY) throw ERegistryError(Format("Неверный тип значения %s", {ProtectedPasswordValue}));
    std::string blob(size, '\0');
    rc = RegQueryValueExA(key, ProtectedPasswordValue, nullptr, &type, reinterpret_cast<BYTE*>(&blob[0]), &size);
    if (rc != ERROR_SUCCESS) throw ERegistryError(Format("%s: %s", {ProtectedPasswordValue, SysErrorMessage(rc)}));
    blob.resize(size);
    std::string password;
    if (!UnprotectPassword(blob, password))
        throw ERegistryError(Format("%s: %s", {ProtectedPasswordValue, SysErrorMessage(GetLastError())}));
    return password;
}

}  // namespace

namespace {

// The one reader of the four values of the open key. Tolerant: a missing or
// malformed value reads as empty text or 0. Strict: the first value that
// cannot be read raises ERegistryError, the values read before it are kept.
void ReadProxyValues(HKEY key, bool tolerant, TProxySettings& proxy) {
    auto read = [&](auto get, auto& field) {
        if (!tolerant) {
            field = get();
            return;
        }
        try {
            field = get();
        } catch (const Exception&) {
            field = {};
        }
    };
    read([&] { return ReadRegString(key, "Address"); }, proxy.Address);
    read([&] { return ReadRegInteger(key, "Port"); }, proxy.Port);
    read([&] { return ReadRegString(key, "UserName"); }, proxy.UserName);
    read([&] { return ReadPassword(key); }, proxy.Password);
}

// The settings key of the machine; `create` makes it when it is missing.
bool OpenSettingsKey(TRegKey& key, REGSAM access, bool create) {
    return OpenMachineKey(key, SettingsKey, access, create);
}

}  // namespace

bool TProxySettings::Load() {
    TRegKey key;
    if (!OpenSettingsKey(key, KEY_READ, false)) return false;
    // The key also holds the service's Status: without Address and Port it
    // holds no proxy settings, as when it is missing.
    if (RegQueryValueExA(key.Get(), "Address", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND &&
        RegQueryValueExA(key.Get(), "Port", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND)
        return false;
    try {
        ReadProxyValues(key.Get(), false, *this);
    } catch (const Exception&) {
        try {
            WriteLog("Ошибка при чтении настроек из реестра", LogError);
        } catch (const Exception&) {
        }
        return false;
    }
    return true;
}

bool TProxySettings::ReadStored() {
    TRegKey key;
    if (!OpenSettingsKey(key, KEY_READ, true)) {
        *this = TProxySettings();
        return false;
    }
    ReadProxyValues(key.Get(), true, *this);
    return true;
}

bool TProxySettings::Store() const {
    TRegKey key;
    if (!OpenSettingsKey(key, KEY_WRITE, true)) return false;
    WriteRegString(key.Get(), "Address", Address);
    DWORD port = static_cast<DWORD>(Port);
    RegSetValueExA(key.Get(), "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
    WriteRegString(key.Get(), "UserName", UserName);
    bool stored = true;
    std::string blob;
    if (!Password.empty() && ProtectPassword(Password, blob)) {
        RegSetValueExA(key.Get(), ProtectedPasswordValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                       static_cast<DWORD>(blob.size()));
    } else {
        stored = Password.empty();
        RegDeleteValueA(key.Get(), ProtectedPasswordValue);
    }
    // The plain text of an older version goes in every case.
    RegDeleteValueA(key.Get(), PlainPasswordValue);
    WriteRegString(key.Get(), "Proxy", ProxyText());
    return stored;
}

bool RemoveSettingsKey() {
    return DeleteMachineKeyTree(SettingsKey) == ERROR_SUCCESS;
}

TProxySettings EffectiveProxy() {
    TPolicy policy = CurrentPolicy();
    if (!policy.ProxySet()) return ProxySettings ? *ProxySettings : TProxySettings();
    TProxySettings proxy;
    proxy.Address = policy.Machine.Text("ProxyServer");
    proxy.Port = static_cast<int32_t>(policy.Machine.Number("ProxyPort", DefaultPolicyProxyPort));
    return proxy;
}

std::string TProxySettings::ProxyText() const {
    if (Address.empty()) return std::string();
    return Format("http=%s:%d", {Address, Port});
}

void TProxySettings::LogProxy(uint8_t level) const {
    std::string proxy = ProxyText();
    if (proxy.empty()) return;
    WriteLog("Настройки Proxy-сервера:", level);
    WriteLogFmt("  Сервер:           %s", {LogSafeText(proxy)}, level);
    WriteLogFmt("  Имя пользователя: %s", {LogSafeText(UserName)}, level);
    WriteLogFmt("  Пароль:           %s", {std::string(Password.size(), '*')}, level);
}

}  // namespace zel
