#include "Log.h"

namespace zel {

std::atomic<uint8_t> LogMode{LogDefaultMode};

namespace {

CRITICAL_SECTION LogLock;
bool LogLockReady = false;

class LockGuard {
public:
    LockGuard() {
        if (LogLockReady) EnterCriticalSection(&LogLock);
    }
    ~LockGuard() {
        if (LogLockReady) LeaveCriticalSection(&LogLock);
    }
};

class FileGuard {
public:
    explicit FileGuard(HANDLE h) : h_(h) {}
    ~FileGuard() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

[[noreturn]] void StreamError(const char* pattern, const std::string& path, DWORD code) {
    throw EStreamError(Format(pattern, {path, SysErrorMessage(code)}));
}

HANDLE OpenLogFile(const std::string& path) {
    // Another process may create or hold the day's file at the same moment:
    // a few short retries keep its line and ours.
    for (int attempt = 0;; ++attempt) {
        HANDLE h;
        if (FileExists(path)) {
            h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE) return h;
        } else {
            h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
            if (h != INVALID_HANDLE_VALUE) return h;
        }
        DWORD code = GetLastError();
        bool transient = code == ERROR_SHARING_VIOLATION || code == ERROR_FILE_EXISTS ||
                         code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_NOT_FOUND ||
                         code == ERROR_LOCK_VIOLATION;
        if (!transient || attempt >= 40) StreamError("Не удается открыть файл \"%s\". %s", path, code);
        Sleep(5);
    }
}

}  // namespace

void InitLog() {
    if (!LogLockReady) {
        InitializeCriticalSectionAndSpinCount(&LogLock, 128);
        LogLockReady = true;
    }
}

void DoneLog() {
    if (LogLockReady) {
        LogLockReady = false;
        DeleteCriticalSection(&LogLock);
    }
}

std::string GetLogDir() { return GetProgramDir() + "Logs\\"; }

std::string GetLogFileName(const SYSTEMTIME& date) {
    return Format("US%s.txt", {Format("%.4d%.2d%.2d", {date.wYear, date.wMonth, date.wDay})});
}

void WriteLog(const std::string& message, uint8_t level) {
    if ((level & LogMode.load()) == 0) return;
    LockGuard lock;
    std::string dir = GetLogDir();
    if (!ForceDirectories(dir)) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string path = dir + GetLogFileName(now);
    FileGuard file(OpenLogFile(path));
    if (SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        StreamError("Ошибка записи в файл \"%s\". %s", path, GetLastError());
    GetLocalTime(&now);
    std::string line =
        Format("%s : %s", {Format("%.2d:%.2d:%.2d", {now.wHour, now.wMinute, now.wSecond}), message}) +
        "\r\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        StreamError("Ошибка записи в файл \"%s\". %s", path, GetLastError());
}

void WriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level) {
    WriteLog(Format(pattern, args), level);
}

void SetLogMode(uint8_t mask) {
    if (mask == 0) mask = LogDefaultMode;
    uint8_t old = LogMode.load();
    if (mask == old) return;
    auto yes = [mask](uint8_t bit) { return std::string((mask & bit) ? "Да" : "Нет"); };
    WriteLogFmt("Изменился режим логирования: %x", {static_cast<unsigned>(mask)}, old);
    WriteLogFmt("  Fatal Errors: %s", {yes(LogFatal)}, old);
    WriteLogFmt("  Errors:       %s", {yes(LogError)}, old);
    WriteLogFmt("  Warnings:     %s", {yes(LogWarning)}, old);
    WriteLogFmt("  Information   %s", {yes(LogInfo)}, old);
    WriteLogFmt("  Debugging     %s", {yes(LogDebug)}, old);
    WriteLogFmt("  Trace         %s", {yes(LogTrace)}, old);
    LogMode.store(mask);
}

}  // namespace zel
