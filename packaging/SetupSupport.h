// What the installer package's custom actions build on: the installer
// session, files, programs run with their output in the installer's log,
// and the Windows service "ZELUpdate".
#pragma once

#include <windows.h>
#include <msi.h>

#include <string>
#include <vector>

namespace zel::setup {

// A failed step; its text goes to the installer's log and error report.
class SetupError {
public:
    explicit SetupError(std::wstring text) : text_(std::move(text)) {}
    const std::wstring& Text() const { return text_; }

private:
    std::wstring text_;
};

// One custom action's view of the installer session.
class Session {
public:
    explicit Session(MSIHANDLE install) : install_(install) {}
    std::wstring Property(const wchar_t* name) const;
    void SetProperty(const wchar_t* name, const std::wstring& value);
    // A line "ZELUpdate: <text>" in the installer's log.
    void Log(const std::wstring& text);
    // Names the step that follows, in the log and in a failure report.
    void Step(const std::wstring& step);
    // Reports the failure of the current step as an installer error.
    void Error(const std::wstring& text);

private:
    void Message(INSTALLMESSAGE type, const std::wstring& text);
    MSIHANDLE install_;
    std::wstring step_;
};

// Fields of a custom action's data, each as "<length>:<text>", so that no
// value can break the frame whatever characters it holds.
std::wstring JoinFields(const std::vector<std::wstring>& fields);
std::vector<std::wstring> SplitFields(const std::wstring& data);  // throws SetupError when malformed

std::wstring IncludeTrailingSlash(const std::wstring& dir);
std::wstring LastErrorText(DWORD code = GetLastError());

bool PathExists(const std::wstring& path);
bool ReadWholeFile(const std::wstring& path, std::string& data);  // false when missing or unreadable
// Writes through a temporary file, so the old content stays on a failure.
bool WriteWholeFile(const std::wstring& path, const std::string& data);
// Deletes a file or a whole folder, entering no link (a link goes as a
// link); what cannot go now goes at the next restart.
void RemovePath(Session& s, const std::wstring& path);

// How a program writes to a pipe: the service program in the OEM code page,
// as console tools do, dcperm in the ANSI code page.
enum class Output { Oem, Ansi };

// Runs a command line without a window, its output into the log; returns
// the exit code, -1 when it did not end in time, -2 when it did not start.
int RunProgram(Session& s, const std::wstring& commandLine, Output output);
void CheckExitCode(int code);  // throws SetupError unless 0

// The service "ZELUpdate": false when there is none.
bool QueryZelServiceImage(std::wstring& image);
void StartZelService(Session& s);  // until it runs; throws SetupError
// Until it has stopped and its process has ended; true also when there is
// no such service.
bool StopZelService(Session& s, std::wstring& error);

// Cancels the service's BITS jobs (they belong to its account, which the
// deferred actions run as).
void CancelServiceJobs(Session& s);

// The proxy settings that clients stored for the service.
void RemoveProxySettings(Session& s);

// The version of an installed product, by product code.
std::wstring InstalledVersion(const std::wstring& productCode);

// The mark that a newer package sets while it removes the older one.
void SetUpgradeMark(Session& s, bool set);
bool UpgradeMarked(Session& s);

}  // namespace zel::setup
