// Questions about other processes: parent, executable name, command line
// and current directory. Shared by the service and the hook DLL, so it
// depends on nothing but the platform.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace zel {

constexpr DWORD NoProcessId = 0xFFFFFFFF;

// Parent of the process; NoProcessId when it is not listed or no snapshot
// can be taken.
DWORD GetParentProcessId(DWORD pid);
// Executable file name (without directory) as listed; empty when not found.
std::string GetProcessExeName(DWORD pid);
// When the process was created (a FILETIME as one number); 0 when it cannot
// be read. A process id names another process once this time differs.
uint64_t ProcessCreationTime(HANDLE process);
// Is the parent of the current process named so (letter case ignored)?
bool IsParentProcessName(const std::string& name);
// Reads the command line and the current directory from the process's
// parameters block. False (outputs untouched) when pid is 0 or the block
// cannot be read; a text that cannot be read leaves its output untouched.
bool GetProcessCommandLine(DWORD pid, std::string& commandLine, std::string& currentDir);
// The same for a process already open (query information, read memory).
bool ReadProcessCommandLine(HANDLE process, std::string& commandLine, std::string& currentDir);

// Longest text taken from another process, in UTF-16 characters.
constexpr size_t MaxRemoteTextChars = 32 * 1024;

}  // namespace zel
