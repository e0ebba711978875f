#include "SetupSupport.h"

#include <bits.h>
#include <msiquery.h>

#include "base/FileTree.h"
#include "base/Owners.h"
#include "base/RegKey.h"
#include "base/Text.h"
#include "config/Proxy.h"

namespace zel::setup {

namespace {

const wchar_t* const ServiceName = L"ZELUpdate";
const wchar_t* const CompanyKey = L"Software\\Quillon";
const wchar_t* const MarkKey = L"Software\\Quillon\\ZELUpdateSetup";
const wchar_t* const MarkValue = L"Upgrading";

const wchar_t* const ServiceJobName = L"ZEL Update Job";  // the display name of the service's BITS jobs
const CLSID ClsidBits = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};

const DWORD ProgramTimeoutMs = 120000;
const DWORD ServiceTimeoutMs = 60000;

SC_HANDLE OpenZelService(const ServiceHandle& manager, DWORD access) {
    return manager ? OpenServiceW(manager.Get(), ServiceName, access) : nullptr;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) != FALSE;
}

}  // namespace

// ---------------------------------------------------------------- session

std::wstring Session::Property(const wchar_t* name) const {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    UINT rc = MsiGetPropertyW(install_, name, empty, &size);
    if (rc != ERROR_MORE_DATA) return std::wstring();
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install_, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
    value.resize(size);
    return value;
}

void Session::SetProperty(const wchar_t* name, const std::wstring& value) {
    if (MsiSetPropertyW(install_, name, value.c_str()) != ERROR_SUCCESS)
        throw SetupError(std::wstring(L"The property ") + name + L" cannot be set.");
}

void Session::Message(INSTALLMESSAGE type, const std::wstring& text) {
    // The text is the record's field 1: formatting leaves it as it is.
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install_, type, record);
}

void Session::Log(const std::wstring& text) { Message(INSTALLMESSAGE_INFO, L"ZELUpdate: " + text); }

void Session::Step(const std::wstring& step) {
    step_ = step;
    Log(L"step: " + step);
}

void Session::Error(const std::wstring& text) {
    std::wstring report = step_.empty() ? L"ZELUpdate: " + text
                                        : L"ZELUpdate: the step \"" + step_ + L"\" failed: " + text;
    Message(static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), report);
}

// ---------------------------------------------------------------- fields

std::wstring JoinFields(const std::vector<std::wstring>& fields) {
    std::wstring data;
    for (const auto& f : fields) data += std::to_wstring(f.size()) + L":" + f;
    return data;
}

std::vector<std::wstring> SplitFields(const std::wstring& data) {
    std::vector<std::wstring> fields;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t colon = data.find(L':', pos);
        if (colon == std::wstring::npos || colon == pos) throw SetupError(L"The custom action data are damaged.");
        size_t length = 0;
        for (size_t i = pos; i < colon; ++i) {
            if (data[i] < L'0' || data[i] > L'9' || length > data.size())
                throw SetupError(L"The custom action data are damaged.");
            length = length * 10 + (data[i] - L'0');
        }
        if (length > data.size() - colon - 1) throw SetupError(L"The custom action data are damaged.");
        fields.push_back(data.substr(colon + 1, length));
        pos = colon + 1 + length;
    }
    return fields;
}

// ---------------------------------------------------------------- files

std::wstring IncludeTrailingSlash(const std::wstring& dir) {
    return dir.empty() || dir.back() == L'\\' ? dir : dir + L"\\";
}

std::wstring LastErrorText(DWORD code) { return ToWide(SysErrorMessage(code)) + L" (" + std::to_wstring(code) + L")"; }

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool ReadWholeFile(const std::wstring& path, std::string& data) {
    data.clear();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& data) {
    std::wstring temporary = path + L".new";
    {
        UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
            written != data.size()) {
            DWORD code = GetLastError();
            file.Reset();
            DeleteFileW(temporary.c_str());
            SetLastError(code);
            return false;
        }
    }
    if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    DWORD code = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(code);
    return false;
}

void RemovePath(Session& s, const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    s.Log(L"removing " + path);
    // Never through a link: a link goes as a link, what it names stays.
    RemoveTree(path, [&](const std::wstring& entry, DWORD error, bool link) {
        if (link) {
            s.Log(L"  the link " + entry + L" cannot be removed (" + LastErrorText(error) +
                  L"): it stays, and what it leads to is left untouched");
            return;
        }
        s.Log(L"  " + entry + L" cannot be removed now (" + LastErrorText(error) + L"): removed at the next restart");
        MoveFileExW(entry.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    });
}

// ---------------------------------------------------------------- programs

int RunProgram(Session& s, const std::wstring& commandLine, Output encoding) {
    s.Log(L"running " + commandLine);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -2;
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    UniqueHandle input(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input ? input.Get() : nullptr;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        s.Log(L"  cannot start: " + LastErrorText());
        return -2;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writer.Reset();
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    if (WaitForSingleObject(process.Get(), ProgramTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        s.Log(L"  did not end within " + std::to_wstring(ProgramTimeoutMs / 1000) + L" s");
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    std::string text = Trim(output);
    if (!text.empty()) s.Log(L"  output: " + (encoding == Output::Oem ? OemToWide(text) : ToWide(text)));
    s.Log(L"  exit code " + std::to_wstring(static_cast<int>(code)));
    return static_cast<int>(code);
}

void CheckExitCode(int code) {
    if (code == -2) throw SetupError(L"The program could not be started.");
    if (code == -1) throw SetupError(L"The program did not end in time.");
    if (code != 0) throw SetupError(L"The program ended with exit code " + std::to_wstring(code) + L".");
}

// ---------------------------------------------------------------- service

bool QueryZelServiceImage(std::wstring& image) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenZelService(manager, SERVICE_QUERY_CONFIG));
    if (!service) return false;
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed) &&
        config->lpBinaryPathName)
        image = config->lpBinaryPathName;
    return true;
}

void StartZelService(Session& s) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenZelService(manager, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) throw SetupError(L"The service cannot be opened: " + LastErrorText());
    if (!StartServiceW(service.Get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        throw SetupError(L"The service does not start: " + LastErrorText());
    DWORD start = GetTickCount();
    SERVICE_STATUS_PROCESS status = {};
    while (QueryStatus(service.Get(), status)) {
        if (status.dwCurrentState == SERVICE_RUNNING) {
            s.Log(L"the service runs (process " + std::to_wstring(status.dwProcessId) + L")");
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            throw SetupError(L"The service stopped at once (exit code " + std::to_wstring(status.dwWin32ExitCode) +
                             L"); its log in Logs\\ tells why.");
        if (GetTickCount() - start > ServiceTimeoutMs) break;
        Sleep(200);
    }
    throw SetupError(L"The service did not report that it runs within " + std::to_wstring(ServiceTimeoutMs / 1000) +
                     L" s.");
}

bool StopZelService(Session& s, std::wstring& error) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenZelService(manager, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        error = L"The service cannot be opened: " + LastErrorText();
        return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    UniqueHandle process;
    bool stopSent = false;
    DWORD start = GetTickCount();
    while (QueryStatus(service.Get(), status)) {
        if (status.dwProcessId != 0 && !process)
            process.Reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
        if (status.dwCurrentState == SERVICE_STOPPED) {
            // The files of the program can go only once its process has ended.
            if (process && WaitForSingleObject(process.Get(), ServiceTimeoutMs) != WAIT_OBJECT_0) {
                error = L"The process of the service did not end after it stopped.";
                return false;
            }
            if (stopSent) s.Log(L"the service has stopped");
            return true;
        }
        if (!stopSent && status.dwCurrentState == SERVICE_RUNNING) {
            SERVICE_STATUS plain;
            stopSent = ControlService(service.Get(), SERVICE_CONTROL_STOP, &plain) != FALSE;
        }
        if (GetTickCount() - start > ServiceTimeoutMs) break;
        Sleep(200);
    }
    error = L"The service did not stop within " + std::to_wstring(ServiceTimeoutMs / 1000) + L" s.";
    return false;
}

// ---------------------------------------------------------------- downloads

void CancelServiceJobs(Session& s) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IBackgroundCopyManager* manager = nullptr;
    HRESULT hr = CoCreateInstance(ClsidBits, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IBackgroundCopyManager),
                                  reinterpret_cast<void**>(&manager));
    IEnumBackgroundCopyJobs* jobs = nullptr;
    if (SUCCEEDED(hr)) hr = manager->EnumJobs(0, &jobs);
    int cancelled = 0;
    if (SUCCEEDED(hr)) {
        IBackgroundCopyJob* job = nullptr;
        ULONG got = 0;
        while (jobs->Next(1, &job, &got) == S_OK && got == 1) {
            LPWSTR name = nullptr;
            if (SUCCEEDED(job->GetDisplayName(&name)) && name) {
                if (wcscmp(name, ServiceJobName) == 0 && SUCCEEDED(job->Cancel())) ++cancelled;
                CoTaskMemFree(name);
            }
            job->Release();
        }
        jobs->Release();
    }
    if (manager) manager->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    if (FAILED(hr))
        s.Log(L"the download jobs cannot be listed: " + ToWide(SysErrorMessage(static_cast<DWORD>(hr))));
    else
        s.Log(L"cancelled " + std::to_wstring(cancelled) + L" download job(s) of the service");
}

// ---------------------------------------------------------------- registry

void RemoveProxySettings(Session& s) {
    if (RemoveSettingsKey()) s.Log(L"removed the proxy settings HKLM\\" + ToWide(SettingsKey));
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, CompanyKey, ServiceKeyView, 0);  // only when nothing else is in it
}

std::wstring InstalledVersion(const std::wstring& productCode) {
    wchar_t version[64] = L"";
    DWORD size = 64;
    if (MsiGetProductInfoW(productCode.c_str(), L"VersionString", version, &size) != ERROR_SUCCESS)
        return productCode;
    return version;
}

void SetUpgradeMark(Session& s, bool set) {
    if (!set) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, MarkKey, ServiceKeyView, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, CompanyKey, ServiceKeyView, 0);
        return;
    }
    UniqueRegKey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, MarkKey, 0, nullptr, 0, KEY_SET_VALUE | ServiceKeyView, nullptr,
                              key.Out(), nullptr);
    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key.Get(), MarkValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(pid.c_str()),
                            static_cast<DWORD>((pid.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        throw SetupError(L"The upgrade cannot be marked in HKLM\\" + std::wstring(MarkKey) + L": " +
                         LastErrorText(static_cast<DWORD>(rc)));
    s.Log(L"the removal of the older version keeps the settings, the store and the logs");
}

bool UpgradeMarked(Session& s) {
    wchar_t text[32] = L"";
    DWORD size = sizeof text - sizeof(wchar_t);
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MarkKey, 0, KEY_QUERY_VALUE | ServiceKeyView, key.Out()) != ERROR_SUCCESS ||
        RegGetValueW(key.Get(), nullptr, MarkValue, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return false;
    // The mark counts only while the installation that set it still runs.
    DWORD pid = wcstoul(text, nullptr, 10);
    UniqueHandle process(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
    if (process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
        s.Log(L"this removal is part of an upgrade (marked by process " + std::wstring(text) + L")");
        return true;
    }
    s.Log(L"an upgrade mark of an installation that has ended is ignored");
    SetUpgradeMark(s, false);
    return false;
}

}  // namespace zel::setup
