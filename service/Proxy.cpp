#include "Proxy.h"

#include <windows.h>

#include "Log.h"
#include "Text.h"

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

}  // namespace

bool TProxySettings::Load() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool ok = true;
    try {
        Address = ReadRegString(key, "Address");
        Port = ReadRegInteger(key, "Port");
        UserName = ReadRegString(key, "UserName");
        Password = ReadRegString(key, "Password");
    } catch (const Exception&) {
        ok = false;
    }
    RegCloseKey(key);
    if (!ok) {
        try {
            WriteLog("Ошибка при чтении настроек из реестра", LogError);
        } catch (const Exception&) {
        }
    }
    return ok;
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
