// The installer thread of one install request.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Text.h"
#include "install/CallerProcess.h"

namespace zel {

// Install requests that may wait for the installation lock or hold it at
// one time: each may hold it for minutes, and each is a thread.
constexpr LONG MaxQueuedInstalls = 8;

// Lines "name=version"; starts the thread and returns at once. The thread
// takes the caller (null: no caller, nothing waited for or started again),
// which the request has accepted and opened (install/CallerProcess.h).
// E_OUTOFMEMORY, with one LogWarning line and nothing started, when
// MaxQueuedInstalls requests are waiting or running.
HRESULT RunInstaller(const std::vector<std::string>& modules, std::unique_ptr<TCallerProcess> caller,
                     bool restartCaller);

// The same, returning a handle of the thread (signalled when it has ended
// and freed itself); the caller closes it. Null past the limit.
HANDLE StartInstaller(const std::vector<std::string>& modules, std::unique_ptr<TCallerProcess> caller,
                      bool restartCaller);
// For a process id that its own caller vouches for (a driver of the
// installer thread): the process is opened here; one that cannot be opened
// is a caller of that id with nothing to wait for or start again.
HANDLE StartInstaller(const std::vector<std::string>& modules, DWORD callerPid, bool restartCaller);

// A failed system call around the monitor event. The error code is taken
// when it is raised, so that the log shows the call's own error.
class SysException : public Exception {
public:
    explicit SysException(const std::string& message) : Exception(message), code_(GetLastError()) {}
    DWORD ErrorCode() const { return code_; }

private:
    DWORD code_;
};

// The session and token calls of the installer thread. The product uses
// the platform's functions; a test may replace single entries.
struct InstallerPlatform {
    BOOL(WINAPI* ProcessIdToSessionId)(DWORD pid, DWORD* session);
    DWORD(WINAPI* WTSGetActiveConsoleSessionId)();
    BOOL(WINAPI* WTSQueryUserToken)(ULONG session, PHANDLE token);
    BOOL(WINAPI* GetTokenInformation)(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                      PDWORD needed);
    BOOL(WINAPI* CreateEnvironmentBlock)(LPVOID* environment, HANDLE token, BOOL inherit);
    DWORD (*MajorVersion)();
    BOOL(WINAPI* CreateProcessAsUserA)(HANDLE token, LPCSTR application, LPSTR commandLine,
                                       LPSECURITY_ATTRIBUTES processAttributes,
                                       LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                                       LPVOID environment, LPCSTR currentDir, LPSTARTUPINFOA startup,
                                       LPPROCESS_INFORMATION info);
    // The suffix of a run's own monitor event (random; a test may fix it).
    std::string (*MonitorEventSuffix)();
};
InstallerPlatform& InstallerSeam();
InstallerPlatform DefaultInstallerPlatform();

// At the stop: every installer thread's monitor is told to close (the
// installers themselves run on).
void CloseLiveMonitors();

}  // namespace zel
