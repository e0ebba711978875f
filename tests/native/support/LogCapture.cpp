// Stands in for service/Log.cpp, whose file writing needs Windows. Filter
// and formatting are the log's own: the level test against LogMode, and
// the pattern formatted (and refused) before it.
#include "LogCapture.h"

#include <mutex>

#include "base/Log.h"

namespace zel {

std::atomic<uint8_t> LogMode{LogDefaultMode};

void InitLog() {}
void DoneLog() {}

}  // namespace zel

namespace {
std::mutex LinesLock;
std::vector<std::string> Lines;
}  // namespace

namespace zeltest {

std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> lock(LinesLock);
    return Lines;
}

void ClearLog() {
    std::lock_guard<std::mutex> lock(LinesLock);
    Lines.clear();
}

}  // namespace zeltest

namespace zel {

void WriteLog(const std::string& message, uint8_t level) {
    if (!(level & LogMode.load())) return;
    std::lock_guard<std::mutex> lock(LinesLock);
    Lines.push_back(message);
}

void WriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level) {
    WriteLog(Format(pattern, args), level);
}

bool TryWriteLog(const std::string& message, uint8_t level) {
    WriteLog(message, level);
    return true;
}

bool TryWriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level) {
    try {
        WriteLogFmt(pattern, args, level);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void SetLogMode(uint8_t mask) { LogMode = mask ? mask : LogDefaultMode; }

std::string GetLogDir() { return "Logs\\"; }

std::string GetLogFileName(const SYSTEMTIME& date) {
    return Format("US%.4d%.2d%.2d.txt", {date.wYear, date.wMonth, date.wDay});
}

}  // namespace zel
