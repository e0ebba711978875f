#include "Maintenance.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "base/FileTree.h"
#include "base/Log.h"
#include "base/Versions.h"
#include "install/NSISMonitor.h"
#include "store/ModuleList.h"

namespace zel {

namespace {

constexpr size_t KeepPatchDirs = 3;
constexpr size_t KeepInstallers = 3;
constexpr size_t KeepLogFiles = 14;

// Writes an error line; a log that cannot be written must not end the caller.
void TryLog(const std::string& message, uint8_t level) {
    try {
        WriteLog(message, level);
    } catch (...) {
    }
}

bool TextLess(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                          static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

}  // namespace

bool RestoreHookDll() {
    try {
        std::string path = GetHookDllPath();
        if (FileExists(path)) {
            TVersion dll = 0, program = 0;
            if (GetFileVersion(path, dll) && GetFileVersion(GetProgramPath(), program) &&
                VersionsEqual(dll, program))
                return false;
            if (!DeleteFileA(path.c_str())) return false;
        }
        WriteLog("Восстанавливаем Service.dll", LogDebug);
        ExtractHookDll(path);
        return true;
    } catch (const std::exception& e) {
        TryLog("Ошибка при замене Service.dll", LogError);
        TryLog(e.what(), LogTrace);
        return false;
    }
}

void RemovePatchDirs() {
    try {
        WriteLog("Выполняем процедуру удаления патчей", LogDebug);
        std::vector<std::string> names;
        if (!ListModuleDirs(names)) return;
        while (!names.empty()) {
            const std::string name = names.front();
            size_t at = name.find('@');
            if (at == std::string::npos) {
                names.erase(names.begin());
                continue;
            }
            const std::string module = name.substr(0, at);
            TFileList dirs;
            ListVersionedDirs(module, dirs);
            if (!dirs.empty()) {
                // Empty directories go, except the newest; one still holding
                // anything stays.
                for (size_t i = dirs.size() - 1; i >= 1; --i) RemoveDirectoryA(dirs[i].FileName.c_str());
                while (dirs.size() > KeepPatchDirs) {
                    WriteLogFmt("Удалены файлы патча %s", {ExtractFileName(dirs.back().FileName)}, LogTrace);
                    RemoveDirectoryA(dirs.back().FileName.c_str());
                    dirs.pop_back();
                }
            }
            const std::string prefix = module + "@";
            names.erase(std::remove_if(names.begin(), names.end(),
                                       [&](const std::string& n) { return n.find(prefix) != std::string::npos; }),
                        names.end());
            // A name that holds "@" always contains its own prefix, so the
            // loop makes progress; this keeps it so for any input.
            if (!names.empty() && names.front() == name) names.erase(names.begin());
        }
    } catch (const std::exception& e) {
        TryLog(e.what(), LogError);
    }
}

void RemoveOldInstallers() {
    try {
        WriteLog("Проверяем наличие старых версий инсталяторов", LogDebug);
        std::vector<std::string> names;
        ListModuleDirs(names);
        for (const std::string& name : names) {
            TFileList installers;
            FindModuleFiles(name, installers, "", "*.exe");
            while (installers.size() > KeepInstallers) {
                const TLocalFile oldest = installers.back();
                // A sequential installer is needed by every newer one.
                if (GetFileVersionString(oldest.FileName, "Sequential", 0x0419, 0x04E3) == "1") break;
                DeleteFileA(oldest.FileName.c_str());
                WriteLogFmt("Удален файл %s", {oldest.FileName}, LogTrace);
                installers.pop_back();
            }
        }
    } catch (const std::exception& e) {
        TryLog(e.what(), LogError);
    }
}

void CleanLogs() {
    WriteLog("Выполняем очистку журналов", LogDebug);
    std::string dir = GetLogDir();
    std::vector<std::string> files;
    // A link in the log's folder (or in its place) is not a log: it is
    // neither counted nor deleted.
    ForEachEntry(dir, "*.txt",
                 [&](const TTreeEntryA& entry) {
                     if (!entry.IsLink()) files.push_back(entry.Path);
                 },
                 dir);
    std::sort(files.begin(), files.end(), TextLess);
    size_t remove = files.size() > KeepLogFiles ? files.size() - KeepLogFiles : 0;
    for (size_t i = 0; i < remove; ++i) DeleteFileA(files[i].c_str());
}

}  // namespace zel
