// Stand-ins for a job (only where real BITS cannot be steered into a state)
// and for the running server object's event interface, which the tests put
// into the real running object table.
#pragma once

#include <windows.h>
#include <bits.h>
#include <bits1_5.h>
#include <oleauto.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/Text.h"
#include "com/UpdateServerNotify.h"
#include "support/TestSupport.h"

namespace zel::test {

inline LPWSTR TaskCopy(const std::wstring& text) {
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    wcscpy(p, text.c_str());
    return p;
}

// A job whose answers the test chooses; every call except AddRef/Release is
// counted.
class FakeJob : public IBackgroundCopyJob2 {
public:
    std::wstring displayName = L"ZEL Update Job";
    std::wstring description;
    BG_JOB_STATE state = BG_JOB_STATE_SUSPENDED;
    BG_JOB_PROGRESS progress = {};
    HRESULT progressResult = S_OK;
    HRESULT completeResult = S_OK;
    HRESULT cancelResult = E_NOTIMPL;
    HRESULT credentialsResult = S_OK;
    bool offersJob2 = true;
    std::atomic<int> calls{0}, completes{0}, removedCredentials{0};
    BG_AUTH_CREDENTIALS lastCredentials = {};
    std::wstring lastUser, lastPassword;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        ++calls;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IBackgroundCopyJob)) ||
            (offersJob2 && IsEqualIID(riid, __uuidof(IBackgroundCopyJob2)))) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the test's stack

    HRESULT STDMETHODCALLTYPE GetProgress(BG_JOB_PROGRESS* p) override {
        ++calls;
        *p = progress;
        return progressResult;
    }
    HRESULT STDMETHODCALLTYPE GetState(BG_JOB_STATE* s) override {
        ++calls;
        *s = state;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR* p) override {
        ++calls;
        *p = TaskCopy(displayName);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR* p) override {
        ++calls;
        *p = TaskCopy(description);
        return S_OK;
    }
    // What the settings calls were given; they all answer setResult.
    HRESULT setResult = S_OK;
    ULONG retryDelay = 0, noProgressTimeout = 0, notifyFlags = 0;
    IUnknown* notifyInterface = nullptr;
    BG_JOB_PRIORITY priority = BG_JOB_PRIORITY_NORMAL;
    BG_JOB_PROXY_USAGE proxyUsage = BG_JOB_PROXY_USAGE_PRECONFIG;
    std::wstring proxyList = L"-", proxyBypass = L"-";  // "-": not set, "": null

    HRESULT STDMETHODCALLTYPE SetMinimumRetryDelay(ULONG v) override { return Set(retryDelay, v); }
    HRESULT STDMETHODCALLTYPE SetNoProgressTimeout(ULONG v) override { return Set(noProgressTimeout, v); }
    HRESULT STDMETHODCALLTYPE SetNotifyFlags(ULONG v) override { return Set(notifyFlags, v); }
    HRESULT STDMETHODCALLTYPE SetNotifyInterface(IUnknown* v) override { return Set(notifyInterface, v); }
    HRESULT STDMETHODCALLTYPE SetPriority(BG_JOB_PRIORITY v) override { return Set(priority, v); }
    HRESULT STDMETHODCALLTYPE SetProxySettings(BG_JOB_PROXY_USAGE usage, const WCHAR* list,
                                               const WCHAR* bypass) override {
        proxyList = list ? list : L"";
        proxyBypass = bypass ? bypass : L"";
        return Set(proxyUsage, usage);
    }

    HRESULT STDMETHODCALLTYPE Cancel() override {
        ++calls;
        return cancelResult;
    }
    HRESULT STDMETHODCALLTYPE Complete() override {
        ++calls;
        ++completes;
        return completeResult;
    }
    HRESULT STDMETHODCALLTYPE SetCredentials(BG_AUTH_CREDENTIALS* c) override {
        ++calls;
        lastCredentials = *c;
        lastUser = c->Credentials.Basic.UserName;
        lastPassword = c->Credentials.Basic.Password;
        return credentialsResult;
    }
    HRESULT STDMETHODCALLTYPE RemoveCredentials(BG_AUTH_TARGET, BG_AUTH_SCHEME scheme) override {
        ++calls;
        if (scheme == BG_AUTH_SCHEME_BASIC) ++removedCredentials;
        return S_OK;
    }

#define FAKE_NOTIMPL(name, ...) \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { ++calls; return E_NOTIMPL; }
    FAKE_NOTIMPL(AddFileSet, ULONG, BG_FILE_INFO*)
    FAKE_NOTIMPL(AddFile, LPCWSTR, LPCWSTR)
    FAKE_NOTIMPL(EnumFiles, IEnumBackgroundCopyFiles**)
    FAKE_NOTIMPL(Suspend)
    FAKE_NOTIMPL(Resume)
    FAKE_NOTIMPL(GetId, GUID*)
    FAKE_NOTIMPL(GetType, BG_JOB_TYPE*)
    FAKE_NOTIMPL(GetTimes, BG_JOB_TIMES*)
    FAKE_NOTIMPL(GetError, IBackgroundCopyError**)
    FAKE_NOTIMPL(GetOwner, LPWSTR*)
    FAKE_NOTIMPL(SetDisplayName, LPCWSTR)
    FAKE_NOTIMPL(SetDescription, LPCWSTR)
    FAKE_NOTIMPL(GetPriority, BG_JOB_PRIORITY*)
    FAKE_NOTIMPL(GetNotifyFlags, ULONG*)
    FAKE_NOTIMPL(GetNotifyInterface, IUnknown**)
    FAKE_NOTIMPL(GetMinimumRetryDelay, ULONG*)
    FAKE_NOTIMPL(GetNoProgressTimeout, ULONG*)
    FAKE_NOTIMPL(GetErrorCount, ULONG*)
    FAKE_NOTIMPL(GetProxySettings, BG_JOB_PROXY_USAGE*, LPWSTR*, LPWSTR*)
    FAKE_NOTIMPL(TakeOwnership)
    FAKE_NOTIMPL(SetNotifyCmdLine, LPCWSTR, LPCWSTR)
    FAKE_NOTIMPL(GetNotifyCmdLine, LPWSTR*, LPWSTR*)
    FAKE_NOTIMPL(GetReplyProgress, BG_JOB_REPLY_PROGRESS*)
    FAKE_NOTIMPL(GetReplyData, byte**, UINT64*)
    FAKE_NOTIMPL(SetReplyFileName, LPCWSTR)
    FAKE_NOTIMPL(GetReplyFileName, LPWSTR*)
#undef FAKE_NOTIMPL

private:
    template <class T>
    HRESULT Set(T& field, T value) {
        ++calls;
        field = value;
        return setResult;
    }
    std::atomic<ULONG> refs_{1};
};

// An error object with fixed texts (CR LF pairs included, as BITS gives them).
class FakeError : public IBackgroundCopyError {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IBackgroundCopyError))) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetError(BG_ERROR_CONTEXT* c, HRESULT* code) override {
        *c = BG_ERROR_CONTEXT_REMOTE_FILE;
        *code = BG_E_HTTP_ERROR_404;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFile(IBackgroundCopyFile**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetErrorDescription(DWORD, LPWSTR* p) override {
        *p = TaskCopy(L"Not found\r\n");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorContextDescription(DWORD, LPWSTR* p) override {
        *p = TaskCopy(L"Remote file\r\nfailed\r\n");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProtocol(LPWSTR* p) override {
        *p = TaskCopy(L"http");
        return S_OK;
    }
};

// The running server object as far as the job callback sees it: records the
// events; FireProcess can be made to wait until the test lets it go.
class FakeServer : public IUpdateServerNotify {
public:
    struct Event {
        std::string kind, name, a, b;
        DWORD cookie;
    };

    HANDLE processEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE processRelease = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: no waiting

    ~FakeServer() {
        Revoke();
        CloseHandle(processEntered);
        CloseHandle(processRelease);
    }
    bool Register() {
        return SUCCEEDED(RegisterActiveObject(this, CLSID_ZELUpdateServerObject, ACTIVEOBJECT_STRONG, &rot_));
    }
    void Revoke() {
        if (rot_) RevokeActiveObject(rot_, nullptr);
        rot_ = 0;
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> lock(m_);
        return events_;
    }
    std::vector<Event> Events(const std::string& kind, const std::string& name) {
        std::vector<Event> out;
        for (const Event& e : Events())
            if (e.kind == kind && e.name == name) out.push_back(e);
        return out;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IUpdateServerNotify)) {
            *out = static_cast<IUpdateServerNotify*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    void STDMETHODCALLTYPE FireProcess(BSTR name, LONG percent) override {
        Add({"process", ToAnsi(name), std::to_string(percent), "", 0});
        SetEvent(processEntered);
        WaitForSingleObject(processRelease, 30000);
    }
    void STDMETHODCALLTYPE FireDownload(BSTR name, BSTR version) override {
        Add({"download", ToAnsi(name), ToAnsi(version), "", 0});
    }
    void STDMETHODCALLTYPE FireException(BSTR name, BSTR context, BSTR text, DWORD cookie) override {
        Add({"exception", ToAnsi(name), ToAnsi(context), ToAnsi(text), cookie});
    }
    void STDMETHODCALLTYPE EnableEvents() override {}
    void STDMETHODCALLTYPE DisableEvents() override {}
    void STDMETHODCALLTYPE FireStart(BSTR, BSTR) override {}
    bool STDMETHODCALLTYPE FireStartTo(BSTR, BSTR, DWORD) override { return false; }
    void STDMETHODCALLTYPE Reserved1(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE Reserved2(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE FireNoUpdates(DWORD) override {}

private:
    void Add(Event e) {
        std::lock_guard<std::mutex> lock(m_);
        events_.push_back(std::move(e));
    }
    std::atomic<ULONG> refs_{1};
    DWORD rot_ = 0;
    std::mutex m_;
    std::vector<Event> events_;
};

}  // namespace zel::test

namespace zel::test {

// The log written since a mark, for checking what one step wrote.
class LogMark {
public:
    LogMark() : size_(ReadLog(TestDir()).size()) {}
    std::string Since() const {
        std::string all = ReadLog(TestDir());
        return all.size() > size_ ? all.substr(size_) : std::string();
    }

private:
    size_t size_;
};

}  // namespace zel::test
