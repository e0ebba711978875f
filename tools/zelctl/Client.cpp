// zelctl's side of the COM contract: the module enumerator it hands the
// service, the install request and the module lists of its command line.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <utility>

#include "Zelctl.h"
#include "base/Text.h"
#include "com/VtableDispatch.h"

namespace zelctl {

void Assign(BSTR* target, const std::wstring& value) {
    if (!target) return;
    SysFreeString(*target);
    *target = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
}

bool ParsePair(const std::wstring& text, std::pair<std::wstring, std::wstring>& pair) {
    size_t eq = text.find(L'=');
    if (eq == std::wstring::npos || eq == 0) return false;
    pair = {text.substr(0, eq), text.substr(eq + 1)};
    return true;
}

namespace {

// The client's module enumerator, handed to Install and returned by GetModules.
class ModuleEnum final : public IEnumModules {
public:
    explicit ModuleEnum(ModulePairs pairs) : pairs_(std::move(pairs)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IEnumModules)) {
            *ppv = static_cast<IEnumModules*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&ref_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&ref_);
        if (n == 0) delete this;
        return n;
    }
    ZEL_VTABLE_ONLY_DISPATCH
    HRESULT STDMETHODCALLTYPE Next(BSTR* name, BSTR* version) override {
        if (!name || !version) return E_POINTER;
        LONG i = InterlockedIncrement(&next_) - 1;
        if (i < 0 || static_cast<size_t>(i) >= pairs_.size()) return S_FALSE;
        Assign(name, pairs_[i].first);
        Assign(version, pairs_[i].second);
        return S_OK;
    }

private:
    LONG ref_ = 1;
    LONG next_ = 0;
    ModulePairs pairs_;
};

}  // namespace

HRESULT ConnectEvents(Ptr<IConnectionPoint>& point) {
    Ptr<IConnectionPointContainer> container;
    HRESULT hr = Connect(IID_IConnectionPointContainer, container);
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(IID_IZELUpdateEvents, point.Out());
    if (FAILED(hr)) Failed(L"FindConnectionPoint", hr);
    return hr;
}

IEnumModules* NewModuleEnum(ModulePairs pairs) { return new ModuleEnum(std::move(pairs)); }

// Install with the given modules in an enumerator of the client's own.
HRESULT Install(IZELUpdate* update, ModulePairs pairs, DWORD pid, HRESULT restart) {
    ModuleEnum* modules = new ModuleEnum(std::move(pairs));
    HRESULT hr = update->Install(modules, pid, restart);
    modules->Release();
    return hr;
}

// Appends the module=version lines of a UTF-8 file; false when it cannot be
// read or a line is no pair.
bool ReadModulesFile(const std::wstring& path, ModulePairs& pairs, std::wstring& bad) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        bad = path;
        return false;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(f, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(f);
    std::wstring text = zel::Utf8ToWide(bytes);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty()) continue;
        std::pair<std::wstring, std::wstring> pair;
        if (!ParsePair(line, pair)) {
            bad = line;
            return false;
        }
        pairs.push_back(pair);
    }
    return true;
}

}  // namespace zelctl
