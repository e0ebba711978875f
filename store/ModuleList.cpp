#include "ModuleList.h"

#include <windows.h>

#include <algorithm>

#include "Digest.h"
#include "StoredVersions.h"
#include "base/FileTree.h"
#include "base/ModuleName.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "config/Policy.h"

namespace zel {

namespace {

// Newest first; entries of equal version keep no particular order.
void SortNewestFirst(TFileList& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const TLocalFile& a, const TLocalFile& b) { return VersionGreater(a.Version, b.Version); });
}

// Calls fn for every entry of a folder of the store that the pattern finds
// (any attribute), but for links: a link in the store is nobody's module,
// folder or installer, and nothing is listed through one. True when the
// search found anything, a folder's own "." included.
template <class Fn>
bool ForEachStoreEntry(const std::string& dir, const std::string& pattern, Fn fn) {
    return ForEachEntry(dir, pattern,
                        [&](const TTreeEntryA& entry) {
                            if (!entry.IsLink()) fn(entry);
                        },
                        GetFilesDir());
}

}  // namespace

std::string UpdateTypeFilter(TVersion installed) { return installed == 0 ? "F" : ""; }

std::string GetFilesDir() { return GetProgramDir() + "Files"; }

std::string GetModuleDir(const std::string& module) {
    // A name that is no plain component would lead out of the store.
    if (!IsValidModuleName(module)) throw EInvalidModuleName(module);
    return Format("%s\\%s", {GetFilesDir(), module});
}

bool ListModuleDirs(std::vector<std::string>& names) {
    names.clear();
    ForEachStoreEntry(GetFilesDir(), "*.*", [&](const TTreeEntryA& entry) {
        if (entry.IsFolder()) names.push_back(entry.Name);
    });
    return !names.empty();
}

bool FindModuleFiles(const std::string& module, TFileList& list, const std::string& filter,
                     const std::string& mask) {
    list.clear();
    if (!IsValidModuleName(module)) return false;
    std::string dir = IncludeTrailingBackslash(GetModuleDir(module));
    if (!DirectoryExists(dir)) return false;
    bool found = ForEachStoreEntry(dir, mask, [&](const TTreeEntryA& entry) {
        // A file whose resource cannot be read, or that has no version, is
        // no installer; an UpdateType that lacks the filter's letter is not
        // one of this kind.
        TFileVersionFields fields;
        if (!StoredFileVersion(entry, filter.empty() ? std::string() : "UpdateType", fields)) return;
        if (!filter.empty() && !fields.Text.empty() && fields.Text.find(filter) == std::string::npos) return;
        if (fields.HasVersion) AddLocalFile(list, entry.Path, fields.Version);
    });
    if (found) SortNewestFirst(list);
    return !list.empty();
}

bool GetNewestInstaller(const std::string& module, const std::string& filter, TLocalFile& file) {
    TFileList list;
    if (!FindModuleFiles(module, list, filter, "*.exe")) return false;
    file = list.front();
    return true;
}

bool GetInstallableInstaller(const std::string& module, const std::string& filter, TVersion installed,
                             TLocalFile& file) {
    TPolicy policy = CurrentPolicy();
    if (!HasVersionPolicy(policy, module)) return GetNewestInstaller(module, filter, file);
    TFileList list;
    if (!FindModuleFiles(module, list, filter, "*.exe")) return false;
    for (const TLocalFile& candidate : list)
        if (MayInstall(policy, module, installed, candidate.Version)) {
            file = candidate;
            return true;
        }
    return false;
}

TVersion GetNewestInstallerVersion(const std::string& module, const std::string& filter) {
    TLocalFile file;
    return GetNewestInstaller(module, filter, file) ? file.Version : 0;
}

int64_t GetFileSize64(const std::string& path) {
    WIN32_FIND_DATAA data;
    if (!FindHandle(FindFirstFileA(path.c_str(), &data))) return 0;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool IsFileDownloaded(const std::string& module, const std::string& fileName, int64_t size,
                      const std::string& digest) {
    if (!IsValidModuleName(module)) return false;
    std::string path = Format("%s\\%s", {GetModuleDir(module), fileName});
    if (!FileExists(path) || GetFileSize64(path) != size) return false;
    std::string actual;
    return digest.empty() || (FileSha256(path, actual) && actual == digest);
}

bool ListVersionedDirs(const std::string& name, TFileList& list) {
    list.clear();
    if (!IsValidModuleName(name)) return false;
    std::string root = GetFilesDir();
    if (!DirectoryExists(root)) return false;
    bool found = ForEachStoreEntry(root, name + "@*.*", [&](const TTreeEntryA& entry) {
        if (!entry.IsFolder()) return;
        const std::string& dirName = entry.Name;
        TVersion version = StrToVersion(dirName.substr(dirName.find('@') + 1));
        AddLocalFile(list, root + "\\" + dirName, version);
    });
    if (found) SortNewestFirst(list);
    return !list.empty();
}

bool IsModuleDirEmpty(const std::string& module) {
    if (!IsValidModuleName(module)) return true;
    std::string dir = GetModuleDir(module);
    if (!DirectoryExists(dir)) return true;
    return !ForEachStoreEntry(dir, "*.*", [](const TTreeEntryA&) {});
}

bool IsStoredFile(const std::string& module, const std::string& path) {
    if (!IsValidModuleName(module)) return false;
    // Both sides in their full form, so that ".." and "." steps count.
    auto full = [](const std::string& p) {
        char buf[MAX_PATH * 2];
        DWORD n = GetFullPathNameA(p.c_str(), sizeof buf, buf, nullptr);
        return n == 0 || n >= sizeof buf ? std::string() : std::string(buf, n);
    };
    std::string dir = IncludeTrailingBackslash(full(GetModuleDir(module)));
    std::string file = full(path);
    return dir.size() > 1 && file.size() > dir.size() && SameText(file.substr(0, dir.size()), dir) &&
           file.find_first_of("\\/", dir.size()) == std::string::npos;
}

int AddLocalFile(TFileList& list, const std::string& path, TVersion version) {
    TLocalFile file;
    file.FileName = ShortString(path);
    file.Version = version;
    list.push_back(file);
    return static_cast<int>(list.size()) - 1;
}

int AddVersionedFile(TFileList& list, const std::string& path) {
    TVersion version = 0;
    if (!GetFileVersion(path, version)) return 0;
    return AddLocalFile(list, path, version);
}

}  // namespace zel
