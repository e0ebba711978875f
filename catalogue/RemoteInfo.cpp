#include "RemoteInfo.h"

#include "service/Log.h"
#include "service/Text.h"

namespace zel {

TRemoteModuleInfo& TRemoteModuleInfoList::Add() {
    items_.push_back(std::make_unique<TRemoteModuleInfo>());
    return *items_.back();
}

void AddFileSpec(TRemoteModuleInfo& info, const std::string& spec) {
    TRemoteFile file;
    std::string name = spec;
    std::string rest;
    size_t sep = spec.find(';');
    if (sep != std::string::npos) {
        name = spec.substr(0, sep);
        rest = spec.substr(sep + 1);
        sep = rest.find(';');
        if (sep != std::string::npos) rest.resize(sep);
    }
    file.FileName = ShortString(name);
    file.Size = StrToInt64Def(rest, 0);
    info.Files.push_back(file);
}

TRemoteModuleInfo* TRemoteModuleInfoList::Find(const std::wstring& name) {
    if (indexed_ > items_.size()) {
        index_.clear();
        indexed_ = 0;
    }
    for (; indexed_ < items_.size(); ++indexed_) index_.emplace(items_[indexed_]->ModuleName, indexed_);
    auto found = index_.find(name);
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
        if (!field.value.empty()) WriteLogFmt("  %-16s : %s", {field.label, ToAnsi(field.value)}, field.level);
    if (info.Files.empty()) return;
    WriteLog("  Files:", LogDebug);
    for (const auto& file : info.Files) WriteLogFmt("    %s (Size: %d)", {file.FileName, file.Size}, LogDebug);
    WriteLog("", LogDebug);
}

void LogModuleInfoList(const TRemoteModuleInfoList& list) {
    if (list.Count() == 0) return;
    WriteLog("Полученные сведения: ", LogDebug);
    for (size_t i = 0; i < list.Count(); ++i) LogModuleInfo(list.Items(i));
}

}  // namespace zel
