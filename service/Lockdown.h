// The installation's own access rights, set by every "install" run and
// again at every service start: the program folder, Files\, Logs\,
// Service.dll and the proxy key (when it exists) get the lists of the
// Access unit, with
// nothing inherited from above; the files beside the program and everything
// in Files\ and Logs\ inherit them. Links found in Files\ and Logs\ (and
// those folders themselves when they are links) are removed as links:
// nothing the service writes there may lead elsewhere. Subfolders of the
// program folder other than Files\ and Logs\ are left as they are.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zel {

struct TLockMessage {
    std::string Text;
    uint8_t Level;  // LogError: something stayed unlocked; LogWarning: a link was removed
};

// Never raises; the messages are for the caller to report.
std::vector<TLockMessage> LockInstallation();

// A drive's root, the Windows folder or a folder in it, or one of the
// folders the system shares between programs or users: a program there
// does not make the folder its own.
bool IsSharedFolder(const std::wstring& folder);

// The one call that sets the security of a file or folder, on a handle
// opened on the entry itself. Wine keeps no access lists of files: it turns
// them into Unix permission bits and reads back lists made from those. A
// test that has to see the lists themselves records them here.
struct TFileSecurityWriter {
    BOOL (*Write)(HANDLE entry, const std::wstring& path, SECURITY_INFORMATION what,
                  PSECURITY_DESCRIPTOR descriptor);
};
TFileSecurityWriter DefaultFileSecurityWriter();
TFileSecurityWriter& FileSecuritySeam();

}  // namespace zel
