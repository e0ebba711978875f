// The access rights of everything the service keeps or shares: its folders
// and files, its registry key and the named objects of the installer
// monitor. Every access list the service sets is built here.
//
// Folders and files: SYSTEM and the Administrators full control, the Users
// read and execute (the logs: no access for the Users, since at trace level
// they hold other programs' command lines). The folders' own lists are
// protected (nothing is inherited from above) and inheritable; what lies
// beneath them carries the same entries as inherited ones, as Windows would
// give them. The owner is the Administrators group.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace zel {

enum class TFolderKind {
    Program,  // the program folder, Files\ and everything else beside the program
    Logs      // Logs\ and the log files
};

enum class TEntryForm {
    Folder,           // a folder's own protected list, inherited by what it holds
    File,             // a file's own protected list (Service.dll)
    InheritedFolder,  // a folder beneath a locked one
    InheritedFile     // a file beneath a locked folder
};

// An absolute security descriptor with its owner and its DACL; owns both.
class TSecurityDescriptor {
public:
    TSecurityDescriptor();
    ~TSecurityDescriptor();
    TSecurityDescriptor(TSecurityDescriptor&&) noexcept;
    TSecurityDescriptor& operator=(TSecurityDescriptor&&) noexcept;
    TSecurityDescriptor(const TSecurityDescriptor&) = delete;
    TSecurityDescriptor& operator=(const TSecurityDescriptor&) = delete;

    // False when it could not be built (GetLastError tells why).
    bool IsValid() const;
    PSECURITY_DESCRIPTOR Get() const;
    // For creating an object with it; valid while the descriptor lives.
    SECURITY_ATTRIBUTES* Attributes();

    // Building blocks (used by the builders below).
    bool AddAllowed(PSID sid, DWORD mask, BYTE flags);
    bool Finish(PSID owner, SECURITY_DESCRIPTOR_CONTROL control);

private:
    struct Data;
    std::unique_ptr<Data> data_;
};

// Masks of the entries.
constexpr DWORD FileFullControl = FILE_ALL_ACCESS;                            // 0x1F01FF
constexpr DWORD FileReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;  // 0x1200A9

TSecurityDescriptor FileDescriptor(TFolderKind kind, TEntryForm form);
// HKLM\Software\Quillon\ZELUpdate: the same entries in the key's terms
// (full control, read), inherited by subkeys, protected.
TSecurityDescriptor KeyDescriptor();
// The monitor's event: SYSTEM all access, the session's user only waiting.
TSecurityDescriptor MonitorEventDescriptor(PSID user);
// The hook DLL's shared block: the monitor's own user maps it.
TSecurityDescriptor HookBlockDescriptor(PSID user);

// The user of a token; empty when it cannot be read (GetLastError).
std::vector<BYTE> TokenUserSid(HANDLE token);
// The same as "S-1-5-..."; empty when it cannot be read.
std::string TokenSid(HANDLE token);

// Creates one folder (its parent must exist) with the folder's own list.
bool CreateLockedFolder(const std::wstring& path, TFolderKind kind);

}  // namespace zel
