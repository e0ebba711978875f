#include "ModuleList.h"
#include "service/Text.h"
namespace zel {
std::string UpdateTypeFilter(TVersion installed) { return installed == 0 ? "F" : ""; }
std::string GetFilesDir() { return GetProgramDir() + "Files"; }
std::string GetModuleDir(const std::string& module) { return GetFilesDir() + "\\" + module; }
bool ListModuleDirs(std::vector<std::string>& names) { names.clear(); return false; }
bool FindModuleFiles(const std::string&, TFileList& list, const std::string&, const std::string&) { list.clear(); return false; }
bool GetNewestInstaller(const std::string&, const std::string&, TLocalFile&) { return false; }
TVersion GetNewestInstallerVersion(const std::string&, const std::string&) { return 0; }
int64_t GetFileSize64(const std::string&) { return 0; }
bool IsFileDownloaded(const std::string&, const std::string&, int64_t) { return false; }
bool ListVersionedDirs(const std::string&, TFileList& list) { list.clear(); return false; }
bool IsModuleDirEmpty(const std::string&) { return true; }
int AddLocalFile(TFileList& list, const std::string& path, TVersion v) { list.push_back({ShortString(path), v}); return static_cast<int>(list.size()) - 1; }
int AddVersionedFile(TFileList&, const std::string&) { return 0; }
}  // namespace zel
