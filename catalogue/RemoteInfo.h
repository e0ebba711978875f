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
    std::string Sha256;    // expected digest, lower-case hexadecimal; empty when none
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
    // Why the module's answer is not to be used (already logged); its files
    // are dropped then. Empty for an answer that may be used.
    std::string Refusal;
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
        indexed_ = 0;
    }
    // The first item of the same module name (SameModuleName of the names
    // in the service's code page); null when none. Names are indexed on
    // the first look-up after items were added.
    TRemoteModuleInfo* Find(const std::wstring& name);

private:
    std::vector<std::unique_ptr<TRemoteModuleInfo>> items_;
    std::unordered_map<std::string, size_t> index_;  // by module name key
    size_t indexed_ = 0;  // items in the index
};

// Adds the file of an entry "address;size[;sha256=<64 hex digits>]"; false
// when a third field is there and is no such digest (the file is added
// without one then).
bool AddFileSpec(TRemoteModuleInfo& info, const std::string& spec);
// Why the service must not download from a file address of an answer;
// empty when it may: an http or https address with a host, free of control
// characters and backslashes, whose last component is a plain file name
// that the store does not keep for itself.
std::string FileAddressProblem(const std::string& address);
// Refuses the module's answer: logs the reason (whose texts of the server
// are already in their log form) and drops its files.
void RefuseModuleInfo(TRemoteModuleInfo& info, const std::string& reason);
// The first item of the same module name, as TRemoteModuleInfoList::Find.
TRemoteModuleInfo* FindModuleInfo(TRemoteModuleInfoList& list, const std::wstring& name);
void LogModuleInfo(const TRemoteModuleInfo& info);
void LogModuleInfoList(const TRemoteModuleInfoList& list);

}  // namespace zel
