// The module file store: "Files" beside the program, one directory per
// module, versioned directories module@version.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Versions.h"

namespace zel {

struct TLocalFile {
    std::string FileName;  // full path, at most 255 characters
    TVersion Version = 0;
};

using TFileList = std::vector<TLocalFile>;

// Filter for choosing installers by the installed version: "F" when it is
// 0, empty (every installer) otherwise.
std::string UpdateTypeFilter(TVersion installed);

std::string GetFilesDir();                         // program directory + "Files"
// GetFilesDir() + "\" + module; raises EInvalidModuleName for a name that
// IsValidModuleName refuses. The other operations give empty results for
// such a name.
std::string GetModuleDir(const std::string& module);
bool ListModuleDirs(std::vector<std::string>& names);
bool FindModuleFiles(const std::string& module, TFileList& list, const std::string& filter,
                     const std::string& mask);
bool GetNewestInstaller(const std::string& module, const std::string& filter, TLocalFile& file);
// The newest installer that the group policy lets be installed over the
// installed version; without a version policy for the module, the newest
// one (GetNewestInstaller).
bool GetInstallableInstaller(const std::string& module, const std::string& filter, TVersion installed,
                             TLocalFile& file);
TVersion GetNewestInstallerVersion(const std::string& module, const std::string& filter);
int64_t GetFileSize64(const std::string& path);
// The file lies in the module's directory with exactly this size and, when
// a digest (lower-case hexadecimal SHA-256) is given, with that digest.
bool IsFileDownloaded(const std::string& module, const std::string& fileName, int64_t size,
                      const std::string& digest = std::string());
bool ListVersionedDirs(const std::string& name, TFileList& list);
bool IsModuleDirEmpty(const std::string& module);
// True when the path names an entry directly in the module's directory.
bool IsStoredFile(const std::string& module, const std::string& path);
int AddLocalFile(TFileList& list, const std::string& path, TVersion version);
int AddVersionedFile(TFileList& list, const std::string& path);

}  // namespace zel
