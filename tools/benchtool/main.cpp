// benchtool: the bare programs that the benchmarks under bench/ compare the
// service with, and probes of BITS with many jobs. Every command prints one
// line "ok <key>=<value> ..." on success (times in ms), or an error to
// standard error and a non-zero exit code.
//
//   benchtool winhttp <url> <file>     download with WinHTTP alone
//   benchtool bits <url> <file>        download with one bare BITS job
//   benchtool jobs create <n> [--notify each|shared|none] [--name N]
//                                      create n suspended jobs named N
//                                      (default "ZEL Bench Job"); with a
//                                      notify interface the program stays
//                                      until its standard input closes
//   benchtool jobs walk [--block k]    enumerate every job of the account,
//                                      k per Next call, reading display
//                                      name, description and state
//   benchtool jobs churn <walks> [--block k]
//                                      walk that many times in one process
//   benchtool jobs cancel [--name N]   cancel the jobs named N
#include <windows.h>
#include <objbase.h>
#include <bits.h>
#include <winhttp.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

int WalkJobs(ULONG block);

const CLSID CLSID_CopyManager = {0x4991D34B, 0x80A1, 0x4291, {0x83, 0xB6, 0x33, 0x28, 0x36, 0x6B, 0x90, 0x97}};
const IID IID_CopyManager = {0x5CE34C0D, 0x0DC9, 0x4C1F, {0x89, 0x7C, 0xDA, 0xA1, 0xB7, 0x8C, 0xEE, 0x7C}};
const IID IID_CopyCallback = {0x97EA99C7, 0x0186, 0x4AD4, {0x8D, 0xF9, 0xC5, 0xB4, 0xE0, 0xED, 0x6B, 0x22}};

double NowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

std::wstring Wide(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
    return out;
}

int Fail(const char* what, DWORD code) {
    std::fprintf(stderr, "benchtool: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(code));
    return 1;
}

// ---------------------------------------------------------------- WinHTTP

int WinHttpDownload(const std::wstring& url, const std::wstring& path) {
    double start = NowMs();
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, object[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return Fail("WinHttpCrackUrl", GetLastError());
    HINTERNET session = WinHttpOpen(L"benchtool", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", object, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                   : nullptr;
    int code = 0;
    unsigned long long total = 0;
    if (!request || !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        code = Fail("WinHTTP request", GetLastError());
    } else {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            code = Fail("CreateFile", GetLastError());
        } else {
            std::vector<char> buffer(1 << 20);
            for (;;) {
                DWORD read = 0;
                if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
                    code = Fail("WinHttpReadData", GetLastError());
                    break;
                }
                if (read == 0) break;
                DWORD written = 0;
                WriteFile(file, buffer.data(), read, &written, nullptr);
                total += read;
            }
            CloseHandle(file);
        }
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    if (code) return code;
    std::printf("ok bytes=%llu ms=%.1f\n", total, NowMs() - start);
    return 0;
}

// ---------------------------------------------------------------- BITS

bool Connect(ComPtr<IBackgroundCopyManager>& manager) {
    HRESULT hr = CoCreateInstance(CLSID_CopyManager, nullptr, CLSCTX_LOCAL_SERVER, IID_CopyManager,
                                  reinterpret_cast<void**>(manager.GetAddressOf()));
    if (FAILED(hr)) {
        Fail("connecting to BITS", hr);
        return false;
    }
    return true;
}

// Polls the job; a bare download has no callback of its own.
int BitsDownload(const std::wstring& url, const std::wstring& path) {
    double start = NowMs();
    ComPtr<IBackgroundCopyManager> manager;
    if (!Connect(manager)) return 1;
    GUID id;
    ComPtr<IBackgroundCopyJob> job;
    HRESULT hr = manager->CreateJob(L"ZEL Bench Download", BG_JOB_TYPE_DOWNLOAD, &id, &job);
    if (FAILED(hr)) return Fail("CreateJob", hr);
    job->SetPriority(BG_JOB_PRIORITY_FOREGROUND);
    if (FAILED(hr = job->AddFile(url.c_str(), path.c_str())) || FAILED(hr = job->Resume())) {
        job->Cancel();
        return Fail("AddFile/Resume", hr);
    }
    BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
    for (;;) {
        if (FAILED(hr = job->GetState(&state))) break;
        if (state == BG_JOB_STATE_TRANSFERRED || state == BG_JOB_STATE_ERROR) break;
        Sleep(10);
    }
    BG_JOB_PROGRESS progress = {};
    job->GetProgress(&progress);
    if (state != BG_JOB_STATE_TRANSFERRED) {
        job->Cancel();
        return Fail("the BITS job", FAILED(hr) ? hr : static_cast<HRESULT>(state));
    }
    if (FAILED(hr = job->Complete())) return Fail("Complete", hr);
    std::printf("ok bytes=%llu ms=%.1f\n", static_cast<unsigned long long>(progress.BytesTransferred),
                NowMs() - start);
    return 0;
}

class Callback final : public IBackgroundCopyCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_CopyCallback)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE JobTransferred(IBackgroundCopyJob*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE JobError(IBackgroundCopyJob*, IBackgroundCopyError*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE JobModification(IBackgroundCopyJob*, DWORD) override { return S_OK; }

private:
    LONG refs_ = 1;
};

// A text that BITS allocated: read, then freed.
template <class Getter>
std::wstring Read(Getter get) {
    LPWSTR text = nullptr;
    HRESULT hr = get(&text);
    std::wstring out = SUCCEEDED(hr) && text ? text : L"";
    CoTaskMemFree(text);
    return out;
}

int CreateJobs(int count, const std::string& notify, const std::wstring& name) {
    ComPtr<IBackgroundCopyManager> manager;
    if (!Connect(manager)) return 1;
    Callback* shared = notify == "shared" ? new Callback : nullptr;
    double start = NowMs();
    for (int i = 0; i < count; ++i) {
        GUID id;
        ComPtr<IBackgroundCopyJob> job;
        HRESULT hr = manager->CreateJob(name.c_str(), BG_JOB_TYPE_DOWNLOAD, &id, &job);
        if (FAILED(hr)) return Fail("CreateJob", hr);
        wchar_t description[64];
        swprintf(description, 64, L"Name=B%05d|Version=1.0.0.0|Target=", i);
        job->SetDescription(description);
        if (notify != "none") {
            Callback* callback = shared ? shared : new Callback;
            job->SetNotifyInterface(callback);
            job->SetNotifyFlags(BG_NOTIFY_JOB_TRANSFERRED | BG_NOTIFY_JOB_ERROR | BG_NOTIFY_JOB_MODIFICATION);
            if (!shared) callback->Release();
        }
        if ((i + 1) % 100 == 0) {
            std::printf("at jobs=%d ms=%.1f\n", i + 1, NowMs() - start);
            std::fflush(stdout);
        }
    }
    std::printf("ok jobs=%d ms=%.1f\n", count, NowMs() - start);
    std::fflush(stdout);
    if (notify != "none") {
        // The callbacks live in this process: it stays until told to go.
        char line[16];
        while (std::fgets(line, sizeof line, stdin)) {
        }
    }
    if (shared) shared->Release();
    return 0;
}

// Walks again and again in one process, every job released after its
// reads (the access pattern of a look-up by walking): how BITS bears it.
int ChurnJobs(int walks, ULONG block) {
    double start = NowMs();
    for (int walk = 1; walk <= walks; ++walk) {
        int code = WalkJobs(block);
        if (code) return code;
        std::fflush(stdout);
    }
    std::printf("ok walks=%d ms=%.1f\n", walks, NowMs() - start);
    return 0;
}

// The manager and an enumeration of every job; false (and said) on failure.
bool OpenJobs(ComPtr<IBackgroundCopyManager>& manager, ComPtr<IEnumBackgroundCopyJobs>& jobs) {
    if (!Connect(manager)) return false;
    HRESULT hr = manager->EnumJobs(0, &jobs);
    if (FAILED(hr)) Fail("EnumJobs", hr);
    return SUCCEEDED(hr);
}

int WalkJobs(ULONG block) {
    double start = NowMs();
    ComPtr<IBackgroundCopyManager> manager;
    ComPtr<IEnumBackgroundCopyJobs> jobs;
    if (!OpenJobs(manager, jobs)) return 1;
    HRESULT hr = S_OK;
    ULONG listed = 0;
    jobs->GetCount(&listed);
    double enumerated = NowMs();
    std::vector<IBackgroundCopyJob*> got(block);
    int count = 0, calls = 0, live = 0;
    for (;;) {
        ULONG fetched = 0;
        hr = jobs->Next(block, got.data(), &fetched);
        ++calls;
        for (ULONG i = 0; i < fetched; ++i) {
            IBackgroundCopyJob* job = got[i];
            Read([job](LPWSTR* t) { return job->GetDisplayName(t); });
            Read([job](LPWSTR* t) { return job->GetDescription(t); });
            BG_JOB_STATE state;
            if (SUCCEEDED(got[i]->GetState(&state)) && state != BG_JOB_STATE_CANCELLED &&
                state != BG_JOB_STATE_ACKNOWLEDGED)
                ++live;
            got[i]->Release();
            ++count;
        }
        if (hr != S_OK || fetched == 0) break;
    }
    std::printf("ok listed=%lu jobs=%d live=%d next_calls=%d enum_ms=%.1f ms=%.1f\n", listed, count, live, calls,
                enumerated - start, NowMs() - start);
    return 0;
}

// Cost of single calls, and of a second walk while the first walk's job
// references are still held (the proxies then exist already).
int TimeCalls(int repeat) {
    ComPtr<IBackgroundCopyManager> manager;
    if (!Connect(manager)) return 1;
    std::vector<ComPtr<IBackgroundCopyJob>> held;
    auto walk = [&](bool keep, int& same) {
        ComPtr<IEnumBackgroundCopyJobs> jobs;
        if (FAILED(manager->EnumJobs(0, &jobs))) return;
        IBackgroundCopyJob* got[64];
        size_t index = 0;
        for (;;) {
            ULONG fetched = 0;
            HRESULT hr = jobs->Next(64, got, &fetched);
            for (ULONG i = 0; i < fetched; ++i, ++index) {
                if (keep) held.push_back(got[i]);
                else if (index < held.size() && held[index].Get() == got[i]) ++same;
                got[i]->Release();
            }
            if (hr != S_OK || fetched == 0) break;
        }
    };
    int same = 0;
    double t0 = NowMs();
    walk(true, same);
    double t1 = NowMs();
    walk(false, same);
    double t2 = NowMs();
    if (held.empty()) return Fail("no job", 0);
    IBackgroundCopyJob* job = held[0].Get();
    BG_JOB_STATE state;
    double a = NowMs();
    for (int i = 0; i < repeat; ++i) job->GetState(&state);
    double b = NowMs();
    for (int i = 0; i < repeat; ++i) Read([job](LPWSTR* t) { return job->GetDescription(t); });
    double c = NowMs();
    for (int i = 0; i < repeat; ++i) {
        BG_JOB_TIMES times;
        job->GetTimes(&times);
    }
    double d = NowMs();
    std::printf("ok jobs=%zu first_walk_ms=%.1f second_walk_ms=%.1f same_pointers=%d getstate_ms=%.3f "
                "getdescription_ms=%.3f gettimes_ms=%.3f\n",
                held.size(), t1 - t0, t2 - t1, same, (b - a) / repeat, (c - b) / repeat, (d - c) / repeat);
    return 0;
}

int CancelJobs(const std::wstring& name) {
    ComPtr<IBackgroundCopyManager> manager;
    ComPtr<IEnumBackgroundCopyJobs> jobs;
    if (!OpenJobs(manager, jobs)) return 1;
    HRESULT hr = S_OK;
    int cancelled = 0;
    IBackgroundCopyJob* got[64];
    for (;;) {
        ULONG fetched = 0;
        hr = jobs->Next(64, got, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            IBackgroundCopyJob* job = got[i];
            BG_JOB_STATE state;
            if (Read([job](LPWSTR* t) { return job->GetDisplayName(t); }) == name && SUCCEEDED(job->GetState(&state)) &&
                state != BG_JOB_STATE_CANCELLED && state != BG_JOB_STATE_ACKNOWLEDGED &&
                SUCCEEDED(got[i]->Cancel()))
                ++cancelled;
            got[i]->Release();
        }
        if (hr != S_OK || fetched == 0) break;
    }
    std::printf("ok cancelled=%d\n", cancelled);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: benchtool winhttp|bits <url> <file>\n"
                 "       benchtool jobs create <n> [--notify each|shared|none] [--name N]\n"
                 "       benchtool jobs walk [--block k]\n"
                 "       benchtool jobs cancel [--name N]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    std::string command = argv[1];
    if (command == "winhttp") return argc == 4 ? WinHttpDownload(Wide(argv[2]), Wide(argv[3])) : Usage();
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                         nullptr, EOAC_NONE, nullptr);
    int code = 64;
    if (command == "bits" && argc == 4) {
        code = BitsDownload(Wide(argv[2]), Wide(argv[3]));
    } else if (command == "jobs") {
        std::string what = argv[2];
        std::string notify = "none";
        std::wstring name = L"ZEL Bench Job";
        ULONG block = 1;
        int first = what == "create" || what == "churn" ? 4 : 3;
        if (what == "create" && argc < 4) return Usage();
        for (int i = first; i + 1 < argc; i += 2) {
            if (std::strcmp(argv[i], "--notify") == 0)
                notify = argv[i + 1];
            else if (std::strcmp(argv[i], "--name") == 0)
                name = Wide(argv[i + 1]);
            else if (std::strcmp(argv[i], "--block") == 0)
                block = static_cast<ULONG>(std::atoi(argv[i + 1]));
            else
                return Usage();
        }
        if (block < 1) block = 1;
        if (what == "create")
            code = CreateJobs(std::atoi(argv[3]), notify, name);
        else if (what == "walk")
            code = WalkJobs(block);
        else if (what == "churn")
            code = ChurnJobs(argc > 3 ? std::atoi(argv[3]) : 10, block);
        else if (what == "calls")
            code = TimeCalls(200);
        else if (what == "cancel")
            code = CancelJobs(name);
        else
            code = Usage();
    } else {
        code = Usage();
    }
    std::fflush(stdout);
    CoUninitialize();
    return code;
}
