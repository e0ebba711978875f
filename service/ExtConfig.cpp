#include "ExtConfig.h"

#include <windows.h>

#include <vector>

#include "ConfigText.h"
#include "Log.h"
#include "Text.h"
#include "Tools.h"
#include "Trust.h"
#include "catalogue/Requests.h"

namespace zel {

namespace {

const char* const ConfigReadError = "Ошибка при чтении файла настроек .config";

// A settings file is a few lines; anything far larger is not ours and is
// refused rather than read into memory every 30 seconds.
constexpr DWORD MaxConfigSize = 4 * 1024 * 1024;

// The whole file; raises EStreamError when it cannot be opened or read.
std::string LoadConfigFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw EStreamError(Format("Не удалось открыть файл %s: %s", {path, SysErrorMessage(GetLastError())}));
    std::string data;
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        DWORD code = GetLastError();
        CloseHandle(file);
        throw EStreamError(Format("Не удалось прочитать файл %s: %s", {path, SysErrorMessage(code)}));
    }
    if (high != 0 || size > MaxConfigSize) {
        CloseHandle(file);
        throw EStreamError(Format("Файл %s слишком велик", {path}));
    }
    data.resize(size);
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(file, &data[done], size - done, &got, nullptr)) {
            DWORD code = GetLastError();
            CloseHandle(file);
            throw EStreamError(Format("Не удалось прочитать файл %s: %s", {path, SysErrorMessage(code)}));
        }
        if (got == 0) break;
        done += got;
    }
    data.resize(done);
    CloseHandle(file);
    return data;
}

void LogConfigError() {
    try {
        WriteLog(ConfigReadError, LogError);
    } catch (const Exception&) {
    }
}

}  // namespace

std::string GetConfigPath() { return GetProgramDir() + ".config"; }

void ReadConfig() {
    try {
        std::string path = GetConfigPath();
        if (!FileExists(path)) {
            SetServerURL(std::string());
            SetRequestMethod(std::string());
            SetLogMode(0);
            SetPollPeriod(0);
            SetTrustConfig(std::string(), std::string());
            return;
        }
        std::vector<std::string> lines = SplitConfigLines(LoadConfigFile(path));
        SetServerURL(ConfigValue(lines, "URL"));
        SetRequestMethod(ConfigValue(lines, "Method"));
        SetLogMode(static_cast<uint8_t>(StrToIntDef(ConfigValue(lines, "LogLevel"), 0) & 0xFF));
        SetPollPeriod(StrToInt64Def(ConfigValue(lines, "Period"), 0));
        SetTrustConfig(ConfigValue(lines, "UpdateKeys"), ConfigValue(lines, "Publishers"));
    } catch (const Exception&) {
        LogConfigError();
    }
}

bool ReadTrustConfig() {
    try {
        std::string path = GetConfigPath();
        if (!FileExists(path)) {
            SetTrustConfig(std::string(), std::string());
            return true;
        }
        std::vector<std::string> lines = SplitConfigLines(LoadConfigFile(path));
        SetTrustConfig(ConfigValue(lines, "UpdateKeys"), ConfigValue(lines, "Publishers"));
        return true;
    } catch (const Exception&) {
        LogConfigError();
        return false;
    }
}

int32_t ReadConfigInt(const std::string& name, int32_t def) {
    try {
        std::string path = GetConfigPath();
        if (!FileExists(path)) return def;
        return StrToIntDef(ConfigValue(SplitConfigLines(LoadConfigFile(path)), name), def);
    } catch (const Exception&) {
        LogConfigError();
        return def;
    }
}

}  // namespace zel
