// The program an install request waits for and may start again, and the
// rules for what the service takes from it. The process is held from the
// moment the request is accepted: its handle, so that its id is never taken
// for a process that gets the id later, and a duplicate of its primary
// token, with which it is started again (in its own session, as its own
// user, never elevated beyond what it was).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/Owners.h"

namespace zel {

class TCallerProcess {
public:
    // Opens the process and duplicates its token; null (the system's error
    // in `error`) when either cannot be had.
    static std::unique_ptr<TCallerProcess> Open(DWORD pid, DWORD& error);

    DWORD Pid() const { return pid_; }
    // Waitable and readable (query information, read memory).
    HANDLE Process() const { return process_.Get(); }
    // A primary token of the process's own.
    HANDLE Token() const { return token_.Get(); }
    // FILETIME of the process's creation, 0 when it could not be read.
    uint64_t Created() const { return created_; }

private:
    TCallerProcess() = default;
    DWORD pid_ = 0;
    UniqueHandle process_;
    UniqueHandle token_;
    uint64_t created_ = 0;
};

// The process a caller may name in an install request: itself, or its
// parent (a client that starts a helper to ask for the update), of the
// caller's account and session. The accepted process is opened and held;
// null, with the reason for the log in `why`, for any other.
std::unique_ptr<TCallerProcess> AcceptInstallTarget(DWORD pid, DWORD callerPid, uint64_t callerCreated,
                                                    const std::string& callerSid, std::string& why);

// A path on a local fixed disk ("C:\..." or "\\?\C:\..."): the only place
// the service (LocalSystem) opens or starts a caller's program from. A
// share, a device, a mapped or removable drive, a relative path are none.
bool IsLocalFixedPath(const std::string& path);

// One plain word of letters, digits, ".", "_" and "-": the only kind of
// text from a caller's program that goes onto an installer's command line.
bool IsPlainWord(const std::string& text);

// The platform answers that Wine gives one way only (one account, one
// session): the account (SID) and the session of a process. A test may
// replace the entry.
struct CallerProcessPlatform {
    bool (*ProcessAccount)(HANDLE process, std::string* sid, DWORD* session);
};
CallerProcessPlatform& CallerProcessSeam();
CallerProcessPlatform DefaultCallerProcessPlatform();

}  // namespace zel
