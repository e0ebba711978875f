// Driving the installed service "ZELUpdate" through the service control
// manager, and reading what it wrote.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zel::test {

// The installed service "ZELUpdate", wherever its program lies.
DWORD ZelServiceState();                       // 0 when there is no such service
bool StartZelService(DWORD timeoutMs = 30000);  // true when running
bool StopZelService(DWORD timeoutMs = 30000);   // true when stopped or missing

// The service program copied into a directory of the test's own.
class InstalledService {
public:
    // Copies the program from `source` into `dir` (created anew).
    InstalledService(const std::string& dir, const std::string& source);
    ~InstalledService();

    const std::string& Dir() const { return dir_; }
    const std::string& Exe() const { return exe_; }

    bool Install();
    void Uninstall();
    bool Start(DWORD timeoutMs = 30000);  // true when running
    // Asks for a start without waiting for the running state; the result of
    // the request (0, or the error of a start that failed).
    DWORD RequestStart();
    bool Stop(DWORD timeoutMs = 30000);   // true when stopped
    DWORD State();                        // 0 when it cannot be queried
    // The exit code and the service-specific one of the last report.
    bool ExitCodes(DWORD& win32, DWORD& specific);
    bool WaitState(DWORD state, DWORD timeoutMs);
    bool SetImageArguments(const std::string& args);  // image path "exe" + args

    std::string Log() const;
    // Messages of today's log (the text after "hh:nn:ss : ").
    std::vector<std::string> LogMessages() const;
    // Waits until a message equal to (or, with prefix, starting with) text appears.
    bool WaitForLog(const std::string& text, DWORD timeoutMs, bool prefix = false) const;
    void WriteConfig(const std::string& text) const;

private:
    std::string dir_;
    std::string exe_;
};

// The directory of the service program copied last (for a report of a
// test that hung).
std::string LastServiceDir();

// Index of the first message equal to text at or after `from`; -1 if none.
int FindMessage(const std::vector<std::string>& messages, const std::string& text, int from = 0);
int FindMessagePrefix(const std::vector<std::string>& messages, const std::string& prefix, int from = 0);

// The BITS jobs of the account with the service's display name.
struct JobView {
    std::string description;
    int state = -1;
    int files = 0;
};
std::vector<JobView> ServiceJobs();
// The fixed settings of every job of the service that Wine's BITS keeps,
// one line per job: "priority=%d flags=%d callback=%d headers=%s" (it
// answers fixed values for the retry delay and the no-progress timeout).
std::vector<std::string> ServiceJobSettings();
void CancelServiceJobs();
// Creates an idle job of the service with the description, as the service
// leaves one behind when it stops.
bool AddServiceJob(const std::string& description);
// The description of a module's job that a client of this test's account
// registered: the service records the registrant after the older form.
std::string ClientJob(const std::string& description);

}  // namespace zel::test
