// The singleton class factory of the update server object, for the units
// of the object itself (the program sees com/Server.h only).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "ServerObject.h"

namespace zel {

// Guards the links between the factory and the object it created.
CRITICAL_SECTION& InstanceLock();

class TSingletonFactory : public IClassFactory {
public:
    TSingletonFactory();
    virtual ~TSingletonFactory();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount_; }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = --refCount_;
        if (count == 0) delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

    // The one object with one new reference; raises when it cannot be made.
    IUnknown* CreateComObject(IUnknown* outer);
    void Register();
    void Revoke();
    // Called by the object when its last reference goes.
    void InstanceDestroyed(server::TUpdateServer* object);

private:
    std::atomic<LONG> refCount_{1};
    server::TUpdateServer* instance_ = nullptr;  // not counted
    DWORD registration_ = 0;
};

}  // namespace zel
