// zelctl status [--json]: the status the service keeps in the registry and
// the group policy of the modules, read without the COM server.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "Zelctl.h"
#include "base/ModuleName.h"
#include "base/RegKey.h"
#include "base/Text.h"
#include "config/Policy.h"
#include "config/Status.h"

namespace zelctl {

namespace {

using zel::TRegKey;

std::wstring ReadText(HKEY key, const char* name) {
    DWORD type = 0, size = 0;
    if (!key || RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    std::string data(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
        return std::wstring();
    data.resize(data.find('\0') == std::string::npos ? size : data.find('\0'));
    return zel::ToWide(data);
}

bool Open(HKEY parent, const std::string& path, TRegKey& key) {
    return RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ | zel::ServiceKeyView, key.Out()) == ERROR_SUCCESS;
}

struct Field {
    std::wstring name, value, source;
};

struct ModuleRow {
    std::wstring name;
    std::vector<Field> fields;  // status values, then the policy's with their source
};

const char* const ModuleValues[] = {"InstalledVersion", "StoreVersion", "JobState", "LastError", "LastErrorTime"};

std::vector<ModuleRow> ReadModules(HKEY status, const zel::TPolicy& policy) {
    std::map<std::string, ModuleRow> rows;  // by the module's key
    TRegKey list;
    if (status && Open(status, "Modules", list)) {
        for (const std::string& name : zel::SubkeyNames(list.Get())) {
            TRegKey key;
            Open(list.Get(), name, key);
            ModuleRow& row = rows[zel::ModuleNameKey(name)];
            row.name = zel::ToWide(name);
            for (const char* v : ModuleValues) row.fields.push_back({zel::ToWide(v), ReadText(key.Get(), v), L""});
        }
    }
    for (const auto& m : policy.Modules) {
        ModuleRow& row = rows[m.first];
        if (row.name.empty()) {
            row.name = zel::ToWide(m.first);
            for (const char* v : ModuleValues) row.fields.push_back({zel::ToWide(v), L"", L""});
        }
    }
    std::vector<ModuleRow> result;
    for (auto& r : rows) {
        const zel::TPolicyValues* values = policy.Module(zel::ToAnsi(r.second.name));
        for (size_t i = 0; i < zel::PolicyValueCount; ++i) {
            const zel::TPolicyValueDef& def = zel::PolicyValues[i];
            if (def.Scope != zel::TPolicyScope::Module) continue;
            bool set = values && values->Has(def.Name);
            std::wstring value;
            if (def.Type == zel::TPolicyType::Dword) {
                uint32_t fallback = std::string(def.Name) == "UpdateMode" ? zel::UpdateModeFull : 0;
                value = std::to_wstring(values ? values->Number(def.Name, fallback) : fallback);
            } else if (set) {
                value = zel::ToWide(values->Text(def.Name));
            }
            r.second.fields.push_back({zel::ToWide(def.Name), value, set ? L"policy" : L"default"});
        }
        result.push_back(r.second);
    }
    return result;
}

std::wstring Json(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c < 32) {
            wchar_t buf[8];
            swprintf(buf, 8, L"\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

std::wstring Pad(const std::wstring& text, size_t width) {
    return text.size() >= width ? text + L" " : text + std::wstring(width - text.size(), L' ');
}

}  // namespace

int Status(const Args& args) {
    bool json = args.size() == 2 && args[1] == L"--json";
    if (args.size() > 2 || (args.size() == 2 && !json)) return Usage(L"usage: zelctl status [--json]");
    TRegKey status;
    Open(HKEY_LOCAL_MACHINE, zel::StatusKey, status);
    TRegKey settingsKey;
    if (status) Open(status.Get(), "Settings", settingsKey);
    const zel::TPolicy policy = zel::ReadPolicy();

    std::vector<Field> check;
    for (const char* v : {"LastCheckTime", "LastCheckResult", "LastCheckError", "LastCheckServer"})
        check.push_back({zel::ToWide(v), ReadText(status.Get(), v), L""});
    std::vector<Field> settings;
    for (size_t i = 0; i < zel::StatusSettingCount; ++i) {
        const std::string name = zel::StatusSettings[i];
        settings.push_back({zel::ToWide(name), ReadText(settingsKey.Get(), name.c_str()),
                            ReadText(settingsKey.Get(), (name + ".Source").c_str())});
    }
    std::vector<ModuleRow> modules = ReadModules(status.Get(), policy);

    if (json) {
        std::wstring out = L"{\"lastCheck\":{";
        for (size_t i = 0; i < check.size(); ++i)
            out += (i ? L"," : L"") + Json(check[i].name.substr(9)) + L":" + Json(check[i].value);
        out += L"},\"settings\":[";
        for (size_t i = 0; i < settings.size(); ++i)
            out += std::wstring(i ? L"," : L"") + L"{\"name\":" + Json(settings[i].name) + L",\"value\":" +
                   Json(settings[i].value) + L",\"source\":" + Json(settings[i].source) + L"}";
        out += L"],\"modules\":[";
        for (size_t i = 0; i < modules.size(); ++i) {
            out += std::wstring(i ? L"," : L"") + L"{\"name\":" + Json(modules[i].name);
            for (const Field& f : modules[i].fields) {
                out += L"," + Json(f.name) + L":";
                out += f.source.empty() ? Json(f.value)
                                        : L"{\"value\":" + Json(f.value) + L",\"source\":" + Json(f.source) + L"}";
            }
            out += L"}";
        }
        Out(out + L"]}");
        return ExitOk;
    }
    if (!status) Out(L"No status yet: the service has not checked for updates.");
    for (const Field& f : check) Out(Pad(f.name.substr(9) + L":", 10) + f.value);
    Out(L"");
    Out(Pad(L"Setting", 17) + Pad(L"Source", 10) + L"Value");
    for (const Field& f : settings) Out(Pad(f.name, 17) + Pad(f.source, 10) + f.value);
    Out(L"");
    Out(Pad(L"Module", 20) + Pad(L"Installed", 12) + Pad(L"In store", 12) + Pad(L"Job", 14) +
        Pad(L"UpdateMode", 18) + Pad(L"TargetVersionPrefix", 22) + Pad(L"RollbackToTarget", 20) + L"Last error");
    for (const ModuleRow& m : modules) {
        auto value = [&](const wchar_t* name) {
            for (const Field& f : m.fields)
                if (f.name == name) return f.source.empty() ? f.value : f.value + L" (" + f.source + L")";
            return std::wstring();
        };
        std::wstring error = value(L"LastError");
        if (!error.empty()) error = value(L"LastErrorTime") + L" " + error;
        Out(Pad(m.name, 20) + Pad(value(L"InstalledVersion"), 12) + Pad(value(L"StoreVersion"), 12) +
            Pad(value(L"JobState"), 14) + Pad(value(L"UpdateMode"), 18) + Pad(value(L"TargetVersionPrefix"), 22) +
            Pad(value(L"RollbackToTarget"), 20) + error);
    }
    return ExitOk;
}

}  // namespace zelctl
