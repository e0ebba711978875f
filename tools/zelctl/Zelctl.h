// zelctl's units: output and result codes (Output.cpp), the client side of
// the COM contract (Client.cpp), watch and its event sink (Watch.cpp), the
// commands (main.cpp).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <string>
#include <utility>
#include <vector>

#include "ZELUpdate_TLB.h"

namespace zelctl {

// Exit codes.
constexpr int ExitOk = 0;          // the call succeeded (S_OK, S_FALSE, ...)
constexpr int ExitFailed = 1;      // a call failed, or watch missed its event
constexpr int ExitUsage = 2;       // bad command line
constexpr int ExitNoServer = 3;    // the server object could not be created

// ---- output (Output.cpp)

extern CRITICAL_SECTION OutputLock;
// watch --log: a file that gets a copy of every line.
extern std::wstring CopyLogPath;
// watch --timestamps: output lines begin with the performance counter in ms.
extern bool Timestamps;

void Out(const std::wstring& line);
// A timestamped step of watch, printed only with --timestamps.
void Step(const wchar_t* line);
void Err(const std::wstring& line);
// A server string on one line.
std::wstring Text(BSTR s);
// "NAME (0x...)" of a result.
std::wstring Code(HRESULT hr);
// A failed call: message to stderr, exit code 1.
int Failed(const std::wstring& what, HRESULT hr);
// The outcome of an action: "<Method>: <code>"; success codes end with 0.
int Outcome(const wchar_t* method, HRESULT hr);

using Args = std::vector<std::wstring>;
int Usage(const std::wstring& message);
bool ToLong(const std::wstring& text, long& value);
bool ToULong(const std::wstring& text, unsigned long& value);

// ---- the client side (Client.cpp)

// ---- small COM helpers

template <class T>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() { Reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

// Replaces the value of an in/out string parameter.
void Assign(BSTR* target, const std::wstring& value);

using ModulePairs = std::vector<std::pair<std::wstring, std::wstring>>;

// "module=version"; false when there is no "=" or no module name.
bool ParsePair(const std::wstring& text, std::pair<std::wstring, std::wstring>& pair);
// The client's module enumerator (one reference), handed to Install and
// returned by GetModules.
IEnumModules* NewModuleEnum(ModulePairs pairs);
// Install with the given modules in an enumerator of the client's own.
HRESULT Install(IZELUpdate* update, ModulePairs pairs, DWORD pid, HRESULT restart);
// Appends the module=version lines of a UTF-8 file; false when it cannot be
// read or a line is no pair.
bool ReadModulesFile(const std::wstring& path, ModulePairs& pairs, std::wstring& bad);

// The server object, asked for the interface the command needs.
template <class T>
HRESULT Connect(REFIID iid, Ptr<T>& out) {
    Ptr<IUnknown> unk;
    HRESULT hr = CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, unk.OutVoid());
    if (FAILED(hr)) {
        Failed(L"Creating ZELUpdate.ZELUpdateServer", hr);
        return hr;
    }
    hr = unk->QueryInterface(iid, out.OutVoid());
    if (FAILED(hr)) Failed(L"QueryInterface", hr);
    return hr;
}

// The connection point of the service's events.
HRESULT ConnectEvents(Ptr<IConnectionPoint>& point);

// ---- status (Status.cpp)

int Status(const Args& args);

// ---- watch (Watch.cpp)

int Watch(const Args& args);
// Prints "Connection <cookie>" for every connection the point lists.
int ListConnections(IConnectionPoint* point);

}  // namespace zelctl
