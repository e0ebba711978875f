// bitsjobs: lists the BITS jobs of the current account, one per line,
// tab-separated and UTF-8:
//   job <TAB> display name <TAB> description <TAB> state name <TAB> state
//       <TAB> bytes transferred <TAB> bytes total ("unknown") <TAB> files
// With --files each job line is followed by its files:
//   file <TAB> remote name <TAB> local name <TAB> bytes transferred
//       <TAB> bytes total <TAB> 1 when complete, else 0
// --cancel-all cancels the jobs of the update service ("ZEL Update Job")
// and prints one "cancelled" line per job.
#include <windows.h>
#include <objbase.h>
#include <bits.h>
#include <wrl/client.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "base/Text.h"
#include "transfer/BITS.h"
#include "transfer/JobMap.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID CLSID_CopyManager = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};
const IID IID_CopyManager = {0x5CE34C0D, 0x0DC9, 0x4C1F, {0x89, 0x7C, 0xDA, 0xA1, 0xB7, 0x8C, 0xEE, 0x7C}};

const char* StateName(BG_JOB_STATE state) {
    static const char* const names[] = {"QUEUED",        "CONNECTING",      "TRANSFERRING",
                                        "SUSPENDED",     "ERROR",           "TRANSIENT_ERROR",
                                        "TRANSFERRED",   "ACKNOWLEDGED",    "CANCELLED"};
    return static_cast<unsigned>(state) < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

// Tabs and line breaks inside a field would break the columns.
std::string Field(const wchar_t* text) {
    std::string out = zel::WideToUtf8(text ? text : L"");
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return out;
}

std::string Size(UINT64 size) {
    return size == BG_SIZE_UNKNOWN ? std::string("unknown") : std::to_string(static_cast<unsigned long long>(size));
}

std::string Take(HRESULT hr, LPWSTR text) {
    std::string out = SUCCEEDED(hr) ? Field(text) : std::string();
    CoTaskMemFree(text);
    return out;
}

void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void ListFiles(IBackgroundCopyJob* job) {
    ComPtr<IEnumBackgroundCopyFiles> files;
    if (FAILED(job->EnumFiles(&files)) || !files) return;
    for (;;) {
        ComPtr<IBackgroundCopyFile> file;
        if (files->Next(1, &file, nullptr) != S_OK || !file) break;
        LPWSTR remote = nullptr, local = nullptr;
        HRESULT hrRemote = file->GetRemoteName(&remote);
        HRESULT hrLocal = file->GetLocalName(&local);
        BG_FILE_PROGRESS progress = {};
        file->GetProgress(&progress);
        Print("file\t" + Take(hrRemote, remote) + "\t" + Take(hrLocal, local) + "\t" +
              Size(progress.BytesTransferred) + "\t" + Size(progress.BytesTotal) + "\t" +
              (progress.Completed ? "1" : "0"));
    }
}

int Run(bool withFiles, bool cancelAll) {
    ComPtr<IBackgroundCopyManager> manager;
    HRESULT hr = CoCreateInstance(CLSID_CopyManager, nullptr, CLSCTX_LOCAL_SERVER, IID_CopyManager,
                                  reinterpret_cast<void**>(manager.GetAddressOf()));
    if (FAILED(hr)) {
        std::fprintf(stderr, "bitsjobs: cannot connect to BITS (0x%08lX)\n", static_cast<unsigned long>(hr));
        return 2;
    }
    int failures = 0;
    // Jobs in blocks, as the service takes them.
    bool listed = zel::ForEachJob(manager.Get(), [&](IBackgroundCopyJob* job) {
        LPWSTR display = nullptr, description = nullptr;
        HRESULT hrDisplay = job->GetDisplayName(&display);
        HRESULT hrDescription = job->GetDescription(&description);
        bool ours = SUCCEEDED(hrDisplay) && display && wcscmp(display, zel::UpdateJobName) == 0;
        std::string displayText = Take(hrDisplay, display);
        std::string descriptionText = Take(hrDescription, description);
        BG_JOB_STATE state = BG_JOB_STATE_ERROR;
        bool stateRead = SUCCEEDED(job->GetState(&state));
        if (cancelAll) {
            // Cancelled and completed jobs may still be listed; they are done.
            if (!ours || (stateRead && (state == BG_JOB_STATE_CANCELLED || state == BG_JOB_STATE_ACKNOWLEDGED)))
                return true;
            if (SUCCEEDED(job->Cancel())) {
                Print("cancelled\t" + displayText + "\t" + descriptionText);
            } else {
                Print("failed\t" + displayText + "\t" + descriptionText);
                ++failures;
            }
            return true;
        }
        BG_JOB_PROGRESS progress = {};
        job->GetProgress(&progress);
        Print("job\t" + displayText + "\t" + descriptionText + "\t" + (stateRead ? StateName(state) : "UNKNOWN") +
              "\t" + (stateRead ? std::to_string(static_cast<int>(state)) : std::string("-1")) + "\t" +
              Size(progress.BytesTransferred) + "\t" + Size(progress.BytesTotal) + "\t" +
              std::to_string(progress.FilesTotal));
        if (withFiles) ListFiles(job);
        return true;
    }, &hr);
    if (!listed) {
        std::fprintf(stderr, "bitsjobs: cannot list the jobs (0x%08lX)\n", static_cast<unsigned long>(hr));
        return 3;
    }
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool withFiles = false, cancelAll = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0) {
            withFiles = true;
        } else if (std::strcmp(argv[i], "--cancel-all") == 0) {
            cancelAll = true;
        } else {
            std::fprintf(stderr, "usage: bitsjobs [--files] [--cancel-all]\n");
            return 64;
        }
    }
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    int code = Run(withFiles, cancelAll);
    std::fflush(stdout);
    CoUninitialize();
    return code;
}
