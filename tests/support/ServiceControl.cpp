#include "ServiceControl.h"

#include <bits.h>
#include <bits2_5.h>
#include <wrl/client.h>

#include <mutex>

#include "TestSupport.h"
#include "base/Access.h"
#include "base/Text.h"
#include "com/Caller.h"
#include "transfer/JobMap.h"

using Microsoft::WRL::ComPtr;

namespace zel::test {

namespace {

class Sc {
public:
    explicit Sc(SC_HANDLE h) : h_(h) {}
    ~Sc() {
        if (h_) CloseServiceHandle(h_);
    }
    SC_HANDLE get() const { return h_; }

private:
    SC_HANDLE h_;
};

const CLSID ClsidBits = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};
const IID IidManager = {0x5CE34C0D, 0x0DC9, 0x4C1F, {0x89, 0x7C, 0xDA, 0xA1, 0xB7, 0x8C, 0xEE, 0x7C}};

// Runs f with the BITS manager, in a COM apartment of its own.
template <class F>
void WithManager(F f) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ComPtr<IBackgroundCopyManager> manager;
        if (SUCCEEDED(CoCreateInstance(ClsidBits, nullptr, CLSCTX_LOCAL_SERVER, IidManager,
                                       reinterpret_cast<void**>(manager.GetAddressOf()))))
            f(manager.Get());
    }
    CoUninitialize();
}

template <class F>
void ForEachServiceJob(F f) {
    WithManager([&](IBackgroundCopyManager* manager) {
        // In blocks: Wine's BITS was seen to stop answering after some
        // thousands of one-job Next calls.
        ForEachJob(manager, [&](IBackgroundCopyJob* job) {
            LPWSTR name = nullptr;
            if (SUCCEEDED(job->GetDisplayName(&name)) && name) {
                bool ours = wcscmp(name, L"ZEL Update Job") == 0;
                CoTaskMemFree(name);
                // Wine keeps finished jobs listed; they are no job of a module.
                BG_JOB_STATE state;
                bool live = SUCCEEDED(job->GetState(&state)) && state != BG_JOB_STATE_CANCELLED &&
                            state != BG_JOB_STATE_ACKNOWLEDGED;
                if (ours && live) f(job);
            }
            return true;
        });
    });
}

}  // namespace

DWORD ZelServiceState() {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_QUERY_STATUS));
    SERVICE_STATUS st;
    if (!s.get() || !QueryServiceStatus(s.get(), &st)) return 0;
    return st.dwCurrentState;
}

bool StartZelService(DWORD timeoutMs) {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_START | SERVICE_QUERY_STATUS));
    if (!s.get()) return false;
    if (ZelServiceState() != SERVICE_RUNNING) StartServiceA(s.get(), 0, nullptr);
    return WaitFor([] { return ZelServiceState() == SERVICE_RUNNING; }, timeoutMs);
}

bool StopZelService(DWORD timeoutMs) {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!s.get()) return true;
    DWORD state = ZelServiceState();
    if (state == SERVICE_STOPPED || state == 0) return true;
    SERVICE_STATUS st;
    ControlService(s.get(), SERVICE_CONTROL_STOP, &st);
    return WaitFor([] { return ZelServiceState() == SERVICE_STOPPED; }, timeoutMs);
}

namespace {
std::mutex lastDirLock;
std::string lastDir;
}  // namespace

std::string LastServiceDir() {
    std::lock_guard<std::mutex> lock(lastDirLock);
    return lastDir;
}

InstalledService::InstalledService(const std::string& dir, const std::string& source)
    : dir_(IncludeTrailingBackslash(dir)), exe_(dir_ + "ZELService.exe") {
    {
        std::lock_guard<std::mutex> lock(lastDirLock);
        lastDir = dir_;
    }
    Uninstall();
    RemoveTree(dir_);
    CopyFileTo(source, exe_);
}

InstalledService::~InstalledService() {
    Stop();
    Uninstall();
}

bool InstalledService::Install() { return RunProcess("\"" + exe_ + "\" /install") == 0; }

void InstalledService::Uninstall() {
    Stop();
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", DELETE));
    if (s.get()) {
        if (FileExists(exe_))
            RunProcess("\"" + exe_ + "\" /uninstall");
        else
            DeleteService(s.get());
    }
}

DWORD InstalledService::State() { return ZelServiceState(); }

bool InstalledService::ExitCodes(DWORD& win32, DWORD& specific) {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_QUERY_STATUS));
    SERVICE_STATUS st;
    if (!s.get() || !QueryServiceStatus(s.get(), &st)) return false;
    win32 = st.dwWin32ExitCode;
    specific = st.dwServiceSpecificExitCode;
    return true;
}

bool InstalledService::WaitState(DWORD state, DWORD timeoutMs) {
    return WaitFor([&] { return ZelServiceState() == state; }, timeoutMs);
}

bool InstalledService::Start(DWORD timeoutMs) { return StartZelService(timeoutMs); }

DWORD InstalledService::RequestStart() {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_START));
    if (!s.get()) return GetLastError();
    return StartServiceA(s.get(), 0, nullptr) ? 0 : GetLastError();
}

bool InstalledService::Stop(DWORD timeoutMs) { return StopZelService(timeoutMs); }

bool InstalledService::SetImageArguments(const std::string& args) {
    Sc m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Sc s(OpenServiceA(m.get(), "ZELUpdate", SERVICE_CHANGE_CONFIG));
    std::string image = "\"" + exe_ + "\" " + args;
    return s.get() && ChangeServiceConfigA(s.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::string InstalledService::Log() const { return ReadLog(dir_); }

std::vector<std::string> InstalledService::LogMessages() const { return zel::test::LogMessages(dir_); }

bool InstalledService::WaitForLog(const std::string& text, DWORD timeoutMs, bool prefix) const {
    return WaitFor(
        [&] {
            auto m = LogMessages();
            return (prefix ? FindMessagePrefix(m, text) : FindMessage(m, text)) >= 0;
        },
        timeoutMs, 200);
}

void InstalledService::WriteConfig(const std::string& text) const { WriteFileBytes(dir_ + ".config", text); }

int FindMessage(const std::vector<std::string>& messages, const std::string& text, int from) {
    for (int i = from; i < static_cast<int>(messages.size()); ++i)
        if (messages[i] == text) return i;
    return -1;
}

int FindMessagePrefix(const std::vector<std::string>& messages, const std::string& prefix, int from) {
    for (int i = from; i < static_cast<int>(messages.size()); ++i)
        if (messages[i].compare(0, prefix.size(), prefix) == 0) return i;
    return -1;
}

std::vector<JobView> ServiceJobs() {
    std::vector<JobView> out;
    ForEachServiceJob([&](IBackgroundCopyJob* job) {
        JobView v;
        LPWSTR d = nullptr;
        if (SUCCEEDED(job->GetDescription(&d)) && d) {
            v.description = ToAnsi(d);
            CoTaskMemFree(d);
        }
        BG_JOB_STATE s;
        if (SUCCEEDED(job->GetState(&s))) v.state = s;
        BG_JOB_PROGRESS p;
        if (SUCCEEDED(job->GetProgress(&p))) v.files = static_cast<int>(p.FilesTotal);
        out.push_back(v);
    });
    return out;
}

std::vector<std::string> ServiceJobSettings() {
    std::vector<std::string> out;
    ForEachServiceJob([&](IBackgroundCopyJob* job) {
        BG_JOB_PRIORITY priority = BG_JOB_PRIORITY_LOW;
        ULONG flags = 0;
        job->GetPriority(&priority);
        job->GetNotifyFlags(&flags);
        ComPtr<IUnknown> callback;
        job->GetNotifyInterface(&callback);
        std::string headers;
        ComPtr<IBackgroundCopyJobHttpOptions> options;
        LPWSTR text = nullptr;
        if (SUCCEEDED(job->QueryInterface(__uuidof(IBackgroundCopyJobHttpOptions),
                                          reinterpret_cast<void**>(options.GetAddressOf()))) &&
            SUCCEEDED(options->GetCustomHeaders(&text)) && text) {
            headers = ToAnsi(text);
            CoTaskMemFree(text);
        }
        out.push_back(Format("priority=%d flags=%d callback=%d headers=%s",
                             {static_cast<int>(priority), static_cast<int>(flags), callback ? 1 : 0, headers}));
    });
    return out;
}

void CancelServiceJobs() {
    ForEachServiceJob([](IBackgroundCopyJob* job) { job->Cancel(); });
}

bool AddServiceJob(const std::string& description) {
    bool added = false;
    WithManager([&](IBackgroundCopyManager* manager) {
        GUID id;
        ComPtr<IBackgroundCopyJob> job;
        added = SUCCEEDED(manager->CreateJob(L"ZEL Update Job", BG_JOB_TYPE_DOWNLOAD, &id, &job)) &&
                SUCCEEDED(job->SetDescription(ToWide(description).c_str()));
    });
    return added;
}

std::string ClientJob(const std::string& description) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::string sid = TokenSid(token);
    CloseHandle(token);
    return description + "|Owner=" + sid;
}

}  // namespace zel::test
