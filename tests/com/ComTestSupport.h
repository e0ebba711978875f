// What the tests of the update server object in this process share: a
// client's sink and module enumerator, the object with its connection point,
// and calls made as this process (com/Caller.h seams).
#pragma once

#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <vector>

#include "ZELUpdate_TLB.h"
#include "com/Caller.h"
#include "com/Server.h"
#include "com/UpdateServerNotify.h"
#include "com/VtableDispatch.h"
#include "download/InfoQueue.h"

namespace zel::comtest {

// A client's sink: events, subscription and name on one object.
class FakeSink : public IZELUpdateEvents2, public IZELUpdateClient, public IZELClientInfo {
public:
    FakeSink(std::wstring name, ULONG mask, std::wstring module = L"", HRESULT eventResult = S_OK)
        : module_(std::move(module)), name_(std::move(name)), mask_(mask), eventResult_(eventResult) {}
    std::atomic<int> starts{0}, noUpdates{0}, downloads{0}, exceptions{0};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IZELUpdateEvents2) ||
            IsEqualIID(riid, IID_IZELUpdateEvents) || IsEqualIID(riid, IID_IDispatch))
            *ppv = static_cast<IZELUpdateEvents2*>(this);
        else if (IsEqualIID(riid, IID_IZELUpdateClient) && !module_.empty())
            *ppv = static_cast<IZELUpdateClient*>(this);
        else if (IsEqualIID(riid, IID_IZELClientInfo))
            *ppv = static_cast<IZELClientInfo*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++ref_; }
    ULONG STDMETHODCALLTYPE Release() override { return --ref_; }  ZEL_VTABLE_ONLY_DISPATCH
    HRESULT STDMETHODCALLTYPE OnDownload(BSTR, BSTR) override { ++downloads; return eventResult_; }
    HRESULT STDMETHODCALLTYPE OnUpdate(BSTR, LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStart(BSTR, BSTR) override { ++starts; return eventResult_; }
    HRESULT STDMETHODCALLTYPE OnProcess(BSTR, LONG) override { return eventResult_; }
    HRESULT STDMETHODCALLTYPE OnError(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnNoUpdates() override { ++noUpdates; return eventResult_; }
    HRESULT STDMETHODCALLTYPE OnException(BSTR, BSTR, BSTR) override { ++exceptions; return eventResult_; }
    HRESULT STDMETHODCALLTYPE GetEventTypes(ULONG* events) override {
        *events = mask_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetModules(IEnumModules** modules) override;
    HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
        *name = SysAllocString(name_.c_str());
        return S_OK;
    }

    std::wstring module_;
    HRESULT modulesEnd = S_FALSE;  // what Next answers after the module

private:
    std::atomic<LONG> ref_{0};
    std::wstring name_;
    ULONG mask_;
    HRESULT eventResult_;
};

class OneModule final : public IEnumModules {
public:
    explicit OneModule(std::wstring name, HRESULT end = S_FALSE) : name_(std::move(name)), end_(end) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumModules)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++ref_; }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = --ref_;
        if (n == 0) delete this;
        return n;
    }
    ZEL_VTABLE_ONLY_DISPATCH
    HRESULT STDMETHODCALLTYPE Next(BSTR* name, BSTR* version) override {
        if (done_) return end_;
        done_ = true;
        *name = SysAllocString(name_.c_str());
        *version = SysAllocString(L"1.0.0.0");
        return S_OK;
    }

private:
    std::atomic<LONG> ref_{1};
    std::wstring name_;
    HRESULT end_;
    bool done_ = false;
};

inline HRESULT FakeSink::GetModules(IEnumModules** modules) {
    *modules = new OneModule(module_, modulesEnd);
    return S_OK;
}

inline std::vector<std::string> QueuedModules(TInfoQueue* queue) {
    std::vector<std::string> names;
    TInfoEntry entry;
    while (queue->Pop(entry)) names.push_back(entry.Key);
    return names;
}

inline BOOL WINAPI NoMember(HANDLE, PSID, PBOOL member) {
    *member = FALSE;
    return TRUE;
}

// The calls of a test come from this process and its account, which Wine
// always makes an administrator; with admin false the membership check
// says no, as for a standard user.
struct AsCaller {
    explicit AsCaller(bool admin = true) {
        CallerSeam().ClientPid = ThisProcessAsClient;
        CallerSeam().ClientToken = ThisProcessTokenAsClient;
        if (!admin) CallerSeam().CheckTokenMembership = NoMember;
    }
    ~AsCaller() { CallerSeam() = DefaultCallerPlatform(); }
};

struct Server {
    AsCaller caller;
    TSingletonFactory* factory = CreateSingletonFactory();
    IUnknown* object = CreateComObject(factory);
    IConnectionPoint* point = nullptr;
    IUpdateServerNotify* notify = nullptr;
    Server() {
        IConnectionPointContainer* cpc = nullptr;
        object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        cpc->FindConnectionPoint(IID_IZELUpdateEvents, &point);
        cpc->Release();
        object->QueryInterface(IID_IUpdateServerNotify, reinterpret_cast<void**>(&notify));
    }
    ~Server() {
        notify->Release();
        point->Release();
        object->Release();
        DestroySingletonFactory(factory);
    }
};

inline BOOL WINAPI NoUserToken(ULONG, PHANDLE) {
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

}  // namespace zel::comtest
