// Registry entries of the COM server: the class, its ProgID, the type
// library and the AppID through which COM starts the Windows service.
#include "COMUtils.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "ZELUpdate_TLB.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"

namespace zel {

namespace {

const char* const AppIdText = "{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}";
const char* const AppIdDescription = "ZELUpdate service";
const char* const LocalServiceName = "ZELUpdate";
const char* const ClassDescription = "ZELUpdate COM Object";  // help string of the coclass
const char* const ProgId = "ZELUpdate.ZELUpdateServer";       // library name "." class name

std::string GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return ToAnsi(text);
}

// Initialises COM for the duration of a registration step.
class ComScope {
public:
    ComScope() : hr_(CoInitialize(nullptr)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT hr_;
};

// The program's own type library.
Microsoft::WRL::ComPtr<ITypeLib> LoadOwnTypeLib() {
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(ToWide(GetProgramPath()).c_str(), REGKIND_NONE, lib.GetAddressOf());
    if (FAILED(hr) || !lib)
        throw EOSError(static_cast<DWORD>(hr), Format("Не удалось загрузить библиотеку типов: %s", {SysErrorMessage(hr)}));
    return lib;
}

// Writes one value under HKEY_CLASSES_ROOT\key (null name: the default value).
void WriteClassesValue(const std::string& key, const char* name, const std::string& value) {
    UniqueRegKey h;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, h.Out(), nullptr);
    if (rc != ERROR_SUCCESS) RaiseLastOSError(static_cast<DWORD>(rc));
    rc = RegSetValueExA(h.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
    if (rc != ERROR_SUCCESS) RaiseLastOSError(static_cast<DWORD>(rc));
}

// Deletes a key under HKEY_CLASSES_ROOT; a key that is not there is fine.
void DeleteClassesKey(const std::string& key, bool withSubkeys = false) {
    LONG rc = withSubkeys ? RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str())
                          : RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) RaiseLastOSError(static_cast<DWORD>(rc));
    if (withSubkeys && rc == ERROR_SUCCESS) RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
}

// The program path for LocalServer32: the short form when it has a blank.
std::string ServerPath() {
    std::string path = GetProgramPath();
    if (path.find(' ') == std::string::npos) return path;
    char shortPath[MAX_PATH] = {};
    DWORD n = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(shortPath, n) : path;
}

// HKEY_CLASSES_ROOT\TypeLib\{libid}\<major>.<minor>\0
std::string NeutralTypeLibKey(const TLIBATTR& attr) {
    return Format("TypeLib\\%s\\%x.%x\\0", {GuidText(attr.guid), attr.wMajorVerNum, attr.wMinorVerNum});
}

std::string ClassKey() { return "CLSID\\" + GuidText(CLSID_ZELUpdateServer); }

void RegisterAppID(const std::string& appId, const std::string& clsid, const std::string& description,
                   bool doRegister) {
    std::string exeName = ExtractFileName(GetProgramPath());
    if (doRegister) {
        WriteClassesValue("AppID\\" + appId, nullptr, description);
        WriteClassesValue("CLSID\\" + clsid, "AppID", appId);
        WriteClassesValue("AppID\\" + exeName, "AppID", appId);
    } else {
        DeleteClassesKey("AppID\\" + appId, true);
        DeleteClassesKey("AppID\\" + exeName, true);
    }
}

void SetAppIDLocalService(const std::string& serviceName, const std::string& appId) {
    WriteClassesValue("AppID\\" + appId, "LocalService", serviceName);
}

}  // namespace

void RegisterServer() {
    WriteLog("Регистрируем библиотеку типов", LogDebug);
    ComScope com;
    const Microsoft::WRL::ComPtr<ITypeLib> lib = LoadOwnTypeLib();

    std::wstring path = ToWide(GetProgramPath());
    HRESULT hr = RegisterTypeLib(lib.Get(), &path[0], nullptr);
    if (FAILED(hr))
        throw EOSError(static_cast<DWORD>(hr),
                       Format("Не удалось зарегистрировать библиотеку типов: %s", {SysErrorMessage(hr)}));

    TLIBATTR* attr = nullptr;
    std::string version = "1.0";
    if (SUCCEEDED(lib->GetLibAttr(&attr)) && attr) {
        version = Format("%d.%d", {attr->wMajorVerNum, attr->wMinorVerNum});
        // The type-library marshaller looks the library up for the neutral
        // locale; a library of a specific locale is found there too.
        if (attr->lcid != 0) WriteClassesValue(NeutralTypeLibKey(*attr) + "\\win32", nullptr, GetProgramPath());
        lib->ReleaseTLibAttr(attr);
    }

    std::string key = ClassKey();
    WriteClassesValue(key, nullptr, ClassDescription);
    WriteClassesValue(key + "\\LocalServer32", nullptr, ServerPath());
    WriteClassesValue(key + "\\ProgID", nullptr, ProgId);
    WriteClassesValue(ProgId, nullptr, ClassDescription);
    WriteClassesValue(std::string(ProgId) + "\\Clsid", nullptr, GuidText(CLSID_ZELUpdateServer));
    WriteClassesValue(key + "\\Version", nullptr, version);
    WriteClassesValue(key + "\\TypeLib", nullptr, GuidText(LIBID_ZELUpdate));

    RegisterAppID(AppIdText, GuidText(CLSID_ZELUpdateServer), AppIdDescription, true);
    SetAppIDLocalService(LocalServiceName, AppIdText);
}

void UnregisterServer() {
    WriteLog("Удаляем регистрационные данные библиотеки типов", LogDebug);
    ComScope com;
    const Microsoft::WRL::ComPtr<ITypeLib> lib = LoadOwnTypeLib();

    std::string key = ClassKey();
    DeleteClassesKey(key + "\\TypeLib");
    DeleteClassesKey(key + "\\Version");
    DeleteClassesKey(key + "\\ProgID");
    DeleteClassesKey(std::string(ProgId) + "\\Clsid");
    DeleteClassesKey(ProgId, true);
    DeleteClassesKey(key + "\\LocalServer32");
    DeleteClassesKey(key, true);

    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (SUCCEEDED(hr) && attr) {
        if (attr->lcid != 0) DeleteClassesKey(NeutralTypeLibKey(*attr), true);
        hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        lib->ReleaseTLibAttr(attr);
        // A library that is not registered any more is what was asked for.
        if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED &&
            hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
            throw EOSError(static_cast<DWORD>(hr), Format("Не удалось удалить регистрацию библиотеки типов: %s",
                                                          {SysErrorMessage(hr)}));
    }

    RegisterAppID(AppIdText, GuidText(CLSID_ZELUpdateServer), AppIdDescription, false);
}

}  // namespace zel
