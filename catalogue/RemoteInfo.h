// One answer of the update server: per module the offered version and the
// files that make it up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zel {

struct TRemoteFile {
    std::string FileName;  // remote address as sent, at most 255 characters
    int64_t Size = 0;      // 0 when none or not a number
};

using TRemoteFileList = std::vector<TRemoteFile>;

struct TRemoteModuleInfo {
    std::wstring ModuleName;
    std::wstring ModuleVersion;  // "CURRENT" when nothing newer exists
    std::wstring Comment;
    std::wstring ExeName;
    std::wstring RequiredVersion;
    std::wstring UpdateType;
    std::wstring Error;
    TRemoteFileList Files;
};

class TRemoteModuleInfoList {
public:
    size_t Count() const { return items_.size(); }
    TRemoteModuleInfo& Items(size_t index) { return *items_.at(index); }
    const TRemoteModuleInfo& Items(size_t index) const { return *items_.at(index); }
    TRemoteModuleInfo& Add();  // appends an empty object
    void Clear() {
        items_.clear();
        index_.clear();
    }
    // The first item whose ModuleName equals the name exactly; null when
    // none. Names are indexed on the first look-up after items were added.
    TRemoteModuleInfo* Find(const std::wstring& name);

private:
    std::vector<std::unique_ptr<TRemoteModuleInfo>> items_;
    std::unordered_map<std::wstring, size_t> index_;
    size_t indexed_ = 0;  // items in the index
};

// Adds the file of an entry "address;size".
void AddFileSpec(TRemoteModuleInfo& info, const std::string& spec);
// The first item whose ModuleName equals the name exactly; null when none.
TRemoteModuleInfo* FindModuleInfo(TRemoteModuleInfoList& list, const std::wstring& name);
void LogModuleInfo(const TRemoteModuleInfo& info);
void LogModuleInfoList(const TRemoteModuleInfoList& list);

}  // namespace zel
