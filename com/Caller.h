// Who is calling: inside a COM call of the server object, the process that
// made the call, its account and whether that account acts as an
// administrator. Every decision about what a client may do asks here.
//
// The process comes from the call's RPC binding (the local transport knows
// the client's process id); the account from the caller's token, seen
// through impersonation at the level the client allows (identification is
// enough to read it). Outside a COM call, and whenever either cannot be
// told, the caller is unknown, and an unknown caller is refused whatever
// needs an identity.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace zel {

// One process: its id and its creation time, so that an id the system has
// given to a later process is never taken for it.
struct TProcessKey {
    DWORD Pid = 0;
    uint64_t Created = 0;  // FILETIME of its creation; 0 when it could not be read
    bool Known() const { return Pid != 0; }
    bool operator==(const TProcessKey& other) const { return Pid == other.Pid && Created == other.Created; }
    bool operator!=(const TProcessKey& other) const { return !(*this == other); }
};

// The key of a running process; Pid 0 when it cannot be opened.
TProcessKey ProcessKeyOf(DWORD pid);

struct TCaller {
    TProcessKey Process;
    std::string Sid;     // the account as "S-1-5-...", empty when not known
    bool Admin = false;  // a member of the local Administrators with that token (elevated)
    bool Known() const { return Process.Known() && !Sid.empty(); }
    // For log lines: "процесс 1234, пользователь S-1-5-21-..."
    std::string Text() const;
};

// The process of the current COM call (no account asked).
TProcessKey CallerProcess();
// The whole caller of the current COM call.
TCaller CurrentCaller();

// The platform calls behind the answers. The product uses the RPC binding
// and COM impersonation; a test that calls the object inside its own
// process (where there is no COM call) or that must show a caller who is
// not an administrator (Wine has one account, always an administrator)
// replaces single entries.
struct CallerPlatform {
    // The process id of the current call's client; false outside a call.
    bool (*ClientPid)(DWORD* pid);
    // A token of the current call's client (identification or impersonation
    // level), which the caller closes; false when there is none.
    bool (*ClientToken)(HANDLE* token);
    BOOL(WINAPI* CheckTokenMembership)(HANDLE token, PSID sid, PBOOL member);
};
CallerPlatform& CallerSeam();
CallerPlatform DefaultCallerPlatform();

// Seam entries that make calls inside this process come from this process
// and its own account, for tests that drive the object directly.
bool ThisProcessAsClient(DWORD* pid);
bool ThisProcessTokenAsClient(HANDLE* token);

}  // namespace zel
