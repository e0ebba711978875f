#include "Log.h"

#include "Access.h"
#include "FileTree.h"
#include "Owners.h"

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

// Writers of all processes take a lock on one byte far beyond any data while
// they append: systems whose appending is not atomic (Wine) stay in order too.
class AppendLock {
public:
    explicit AppendLock(HANDLE file) : file_(file) {
        overlapped_.OffsetHigh = 0x40000000;
        locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped_) != FALSE;
    }
    ~AppendLock() {
        if (locked_) UnlockFileEx(file_, 0, 1, 0, &overlapped_);
    }

private:
    HANDLE file_;
    OVERLAPPED overlapped_ = {};
    bool locked_ = false;
};

[[noreturn]] void StreamError(const char* pattern, const std::string& path, DWORD code) {
    throw EStreamError(Format(pattern, {path, SysErrorMessage(code)}));
}

// The log's folder, made with its own access list when it is missing (and
// its parents as they come). False when it cannot be made.
bool MakeLogDir(const std::string& dir) {
    if (DirectoryExists(dir)) return true;
    std::string folder = ExtractFileDir(dir);
    if (!ForceDirectories(ExtractFileDir(folder))) return false;
    return CreateLockedFolder(ToWide(folder), TFolderKind::Logs) || DirectoryExists(dir);
}

// Opened for appending only: every write goes to the end of the file as one
// piece, also when another process appends to the same file at that moment.
// (Reading rights only for the lock below.) A link in place of the day's
// file is opened as the link itself, so that it can be refused unwritten.
HANDLE OpenLogFile(const std::string& path) {
    // A program that holds the day's file without sharing it (a viewer, a
    // backup) may let go of it in a moment.
    for (int attempt = 0;; ++attempt) {
        HANDLE h = CreateFileA(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        DWORD code = GetLastError();
        bool transient = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
        if (!transient || attempt >= 40) StreamError("Не удается открыть файл \"%s\". %s", path, code);
        Sleep(5);
    }
}

// A day's file that leads elsewhere: a link, or a file that has a second
// name (a hard link), which may lie anywhere.
bool LeadsElsewhere(HANDLE file) {
    if (IsLinkHandle(file)) return true;
    BY_HANDLE_FILE_INFORMATION info = {};
    return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1;
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
    if (!MakeLogDir(dir)) return;
    // Nothing is written through a link: the line is dropped and the caller
    // told, as of a file that cannot be opened.
    if (IsLink(dir)) throw EStreamError(Format("Папка журнала \"%s\" является ссылкой: запись отклонена", {dir}));
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string path = dir + GetLogFileName(now);
    UniqueHandle file(OpenLogFile(path));
    if (LeadsElsewhere(file.Get()))
        throw EStreamError(Format("Файл журнала \"%s\" является ссылкой: запись отклонена", {path}));
    AppendLock append(file.Get());
    GetLocalTime(&now);
    std::string line =
        Format("%s : %s", {Format("%.2d:%.2d:%.2d", {now.wHour, now.wMinute, now.wSecond}), message}) +
        "\r\n";
    DWORD written = 0;
    if (!WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        StreamError("Ошибка записи в файл \"%s\". %s", path, GetLastError());
}

void WriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level) {
    WriteLog(Format(pattern, args), level);
}

bool TryWriteLog(const std::string& message, uint8_t level) {
    try {
        WriteLog(message, level);
        return true;
    } catch (...) {
        return false;
    }
}

bool TryWriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level) {
    try {
        WriteLogFmt(pattern, args, level);
        return true;
    } catch (...) {
        return false;
    }
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
