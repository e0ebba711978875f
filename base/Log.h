// The daily log: one line per message in Logs\USyyyymmdd.txt beside the
// program, Windows-1251 bytes, filtered by the process-wide level mask.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Text.h"

namespace zel {

constexpr uint8_t LogFatal = 0x20;
constexpr uint8_t LogError = 0x10;
constexpr uint8_t LogWarning = 0x08;
constexpr uint8_t LogInfo = 0x04;
constexpr uint8_t LogDebug = 0x02;
constexpr uint8_t LogTrace = 0x01;
constexpr uint8_t LogDefaultMode = 0x3C;

// Messages are written when their level shares a bit with it.
extern std::atomic<uint8_t> LogMode;

// Process-wide lock of the log; created first at process start and deleted
// last at its end.
void InitLog();
void DoneLog();

// Writes the message when level & LogMode is not 0. Raises EStreamError when
// the file cannot be opened or written; a directory that cannot be created
// makes it a silent no-op.
void WriteLog(const std::string& message, uint8_t level);
// Formats first (Format rules), then writes.
void WriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level);
// The same for paths that must go on whatever happens to the log: a line
// that cannot be written is skipped; false then.
bool TryWriteLog(const std::string& message, uint8_t level);
bool TryWriteLogFmt(const std::string& pattern, std::initializer_list<FmtArg> args, uint8_t level);

// Replaces LogMode and reports the change at the old mode (0 means 0x3C).
void SetLogMode(uint8_t mask);

// Program directory + "Logs\".
std::string GetLogDir();
// "US" + yyyymmdd + ".txt" of the date.
std::string GetLogFileName(const SYSTEMTIME& date);

}  // namespace zel
