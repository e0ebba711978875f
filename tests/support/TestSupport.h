// Helpers of the unit and integration tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zel::test {

// Directory of the test program (with trailing backslash).
std::string TestDir();
// The build tree's bin directory, where ZELService.exe lies.
std::string BinDir();

// The keys, certificates and signed programs that the trust fixture makes
// for the run (tests/support/trust-setup.sh), with trailing backslash, and
// one of its one-line values (a key's or a publisher's text).
std::string TrustDir();
std::string TrustValue(const std::string& name);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
void RemoveTree(const std::string& path);
bool CopyFileTo(const std::string& from, const std::string& to);

// Today's log file beside the test program, and its content.
std::string TodayLogPath(const std::string& programDir);
std::string ReadLog(const std::string& programDir);
// Messages of today's log (the text after "hh:nn:ss : ").
std::vector<std::string> LogMessages(const std::string& programDir);
// Lines of a text (CR LF separated, or by the given separator).
std::vector<std::string> SplitLines(const std::string& text, const std::string& separator = "\r\n");

// Starts a command line; returns the process handle (the caller closes it)
// or nullptr when it cannot start.
HANDLE StartProcess(const std::string& commandLine, const std::string& currentDir = std::string(),
                    DWORD* pid = nullptr, DWORD flags = 0);

// Runs a command line, waits at most timeoutMs; returns the exit code
// (or -1 on time-out, -2 when it cannot start). Output is discarded.
int RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000,
               const std::string& currentDir = std::string());

// The reference update server that tests/update/server.sh runs for a test
// program: its address, and the catalogue folder of one module version
// (created when missing) that it answers from.
std::string ReferenceServerURL();

// Runs a command line without a window, its standard output and error into
// `output`; the exit code as RunProcess. `environment`: a block for the
// child, or nullptr for this process's.
int RunProcessOutput(const std::string& commandLine, std::string& output, DWORD timeoutMs = 60000,
                     char* environment = nullptr, const std::string& currentDir = std::string());
std::string CatalogueDir(const std::string& module, const std::string& version);

// The group policy key of the service, written as administrators write it:
// with Wine's own "reg add" in the 32-bit view. `key` is empty for the key
// itself or a subkey ("Modules\\Demo"); type "REG_DWORD" or "REG_SZ".
bool SetPolicy(const std::string& key, const std::string& name, const std::string& type, const std::string& data);
bool RemovePolicyValue(const std::string& key, const std::string& name);
void RemovePolicies();  // the whole key

// Links as Wine can have them: a Unix symbolic link, made from the Linux
// side (a program under Wine may start Linux programs). Wine shows a link
// to a folder as a folder with the reparse-point attribute, but can neither
// make one (CreateSymbolicLink does nothing, FSCTL_SET_REPARSE_POINT is not
// supported) nor remove one. Both wait until the change is visible.
bool MakeFolderLink(const std::string& target, const std::string& link);
bool RemoveFolderLink(const std::string& link);

// An access list as read back: its entries, protected mark and owner.
struct AccessEntry {
    std::string sid;
    DWORD mask;
    BYTE flags;
    bool operator==(const AccessEntry& o) const { return sid == o.sid && mask == o.mask && flags == o.flags; }
};
struct AccessList {
    bool valid = false;
    bool isProtected = false;
    std::string owner;
    std::vector<AccessEntry> entries;  // allowed entries, in order
    std::vector<BYTE> deniedOrOther;   // types of any entries not allowed ones
};
AccessList DecodeAccess(PSECURITY_DESCRIPTOR descriptor);
std::string SidString(PSID sid);
// A key of HKLM (32-bit view) made anew with full control for Everyone, as a
// key left by somebody else may be.
bool CreateKeyOpenToEveryone(const std::string& key);

// The list Windows gives a file or folder (GetNamedSecurityInfo); under Wine
// one made from the Unix permission bits.
AccessList FileAccess(const std::string& path);

// The threads of the program running from dir (the system's count); -1
// when none runs.
int ThreadsOfProgramIn(const std::string& dir);
// Ends every running program whose file lies in dir (with trailing backslash).
void EndProgramsIn(const std::string& dir);
// How many running programs have their file in dir.
int ProgramsRunningIn(const std::string& dir);

// Waits until pred() holds or the time is up.
template <class Pred>
bool WaitFor(Pred pred, DWORD timeoutMs, DWORD stepMs = 100) {
    DWORD start = GetTickCount();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(stepMs);
    }
}

}  // namespace zel::test
