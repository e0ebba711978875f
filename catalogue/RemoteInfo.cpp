#include "RemoteInfo.h"

#include "HTTP.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "base/Text.h"
#include "store/Digest.h"

namespace zel {

TRemoteModuleInfo& TRemoteModuleInfoList::Add() {
    items_.push_back(std::make_unique<TRemoteModuleInfo>());
    return *items_.back();
}

namespace {

// Names that the file system takes for devices, with any extension.
bool IsDeviceName(const std::string& name) {
    std::string base = UpperCase(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : devices)
        if (base == device) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of("<>\"|?*") != std::string::npos) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    return !IsDeviceName(name) && !IsStoreWorkName(name);
}

}  // namespace

bool AddFileSpec(TRemoteModuleInfo& info, const std::string& spec) {
    TRemoteFile file;
    std::string name = spec;
    std::string rest;
    std::string third;
    size_t sep = spec.find(';');
    if (sep != std::string::npos) {
        name = spec.substr(0, sep);
        rest = spec.substr(sep + 1);
        sep = rest.find(';');
        if (sep != std::string::npos) {
            third = rest.substr(sep + 1);
            rest.resize(sep);
            // Fields after the third are left to later versions.
            sep = third.find(';');
            if (sep != std::string::npos) third.resize(sep);
        }
    }
    file.FileName = ShortString(name);
    file.Size = StrToInt64Def(rest, 0);
    bool valid = true;
    third = Trim(third);
    if (!third.empty()) {
        const std::string key = "sha256=";
        valid = SameText(third.substr(0, key.size()), key) && ParseSha256(third.substr(key.size()), file.Sha256);
        if (!valid) file.Sha256.clear();
    }
    info.Files.push_back(file);
    return valid;
}

std::string FileAddressProblem(const std::string& address) {
    const std::string shown = LogSafeText(address);
    size_t colon = address.find(':');
    std::string scheme = colon == std::string::npos ? std::string() : address.substr(0, colon);
    if (!(SameText(scheme, "http") || SameText(scheme, "https")) || address.compare(colon + 1, 2, "//") != 0)
        return Format("адрес %s не является адресом http или https", {shown});
    for (unsigned char c : address)
        if (c < 0x20 || c == 0x7F || c == '\\') return Format("адрес %s содержит недопустимые символы", {shown});
    size_t start = colon + 3;
    size_t end = address.find_first_of("/?#", start);
    std::string host = address.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = host.rfind('@');
    if (at != std::string::npos) host.erase(0, at + 1);
    std::string port;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return Format("в адресе %s не указан сервер", {shown});
        port = host.substr(close + 1);
        host = close > 1 ? host.substr(0, close + 1) : std::string();
    } else {
        size_t portColon = host.find(':');
        if (portColon != std::string::npos) {
            port = host.substr(portColon);
            host.resize(portColon);
        }
    }
    if (host.empty()) return Format("в адресе %s не указан сервер", {shown});
    if (!port.empty() && (port[0] != ':' || port.find_first_not_of("0123456789", 1) != std::string::npos))
        return Format("в адресе %s неверно указан порт", {shown});
    if (end == std::string::npos || address[end] != '/' || !IsPlainFileName(UrlFileName(address)))
        return Format("адрес %s не оканчивается допустимым именем файла", {shown});
    return std::string();
}

void RefuseModuleInfo(TRemoteModuleInfo& info, const std::string& reason) {
    info.Files.clear();
    info.Refusal = reason;
    WriteLogFmt("Сведения о модуле %s отклонены: %s", {LogSafeText(ToAnsi(info.ModuleName)), reason}, LogError);
}

TRemoteModuleInfo* TRemoteModuleInfoList::Find(const std::wstring& name) {
    if (indexed_ > items_.size()) {
        index_.clear();
        indexed_ = 0;
    }
    for (; indexed_ < items_.size(); ++indexed_)
        index_.emplace(ModuleNameKey(ToAnsi(items_[indexed_]->ModuleName)), indexed_);
    auto found = index_.find(ModuleNameKey(ToAnsi(name)));
    return found == index_.end() ? nullptr : items_[found->second].get();
}

TRemoteModuleInfo* FindModuleInfo(TRemoteModuleInfoList& list, const std::wstring& name) { return list.Find(name); }

void LogModuleInfo(const TRemoteModuleInfo& info) {
    const struct {
        const char* label;
        const std::wstring& value;
        uint8_t level;
    } fields[] = {
        {"ModuleName", info.ModuleName, LogDebug},   {"ModuleVersion", info.ModuleVersion, LogDebug},
        {"Comment", info.Comment, LogTrace},         {"ExeName", info.ExeName, LogDebug},
        {"RequiredVersion", info.RequiredVersion, LogTrace}, {"UpdateType", info.UpdateType, LogTrace},
        {"Error", info.Error, LogTrace},
    };
    for (const auto& field : fields)
        if (!field.value.empty())
            WriteLogFmt("  %-16s : %s", {field.label, LogSafeText(ToAnsi(field.value))}, field.level);
    if (info.Files.empty()) return;
    WriteLog("  Files:", LogDebug);
    for (const auto& file : info.Files) {
        if (file.Sha256.empty())
            WriteLogFmt("    %s (Size: %d)", {LogSafeText(file.FileName), file.Size}, LogDebug);
        else
            WriteLogFmt("    %s (Size: %d, SHA-256: %s)", {LogSafeText(file.FileName), file.Size, file.Sha256}, LogDebug);
    }
    WriteLog("", LogDebug);
}

void LogModuleInfoList(const TRemoteModuleInfoList& list) {
    if (list.Count() == 0) return;
    WriteLog("Полученные сведения: ", LogDebug);
    for (size_t i = 0; i < list.Count(); ++i) LogModuleInfo(list.Items(i));
}

}  // namespace zel
