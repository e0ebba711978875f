// The singleton class factory: every client gets the one update server
// object; its interfaces stay registered for the run.
#include "ServerFactory.h"

#include <wrl/client.h>

#include <vector>

#include "Server.h"
#include "base/KeptInterfaces.h"
#include "base/Lock.h"
#include "base/Log.h"
#include "base/Text.h"

using Microsoft::WRL::ComPtr;

namespace zel {

using namespace server;

CRITICAL_SECTION& InstanceLock() {
    struct Guard {
        CRITICAL_SECTION cs;
        Guard() { InitializeCriticalSection(&cs); }
        ~Guard() { DeleteCriticalSection(&cs); }
    };
    static Guard guard;
    return guard.cs;
}

TSingletonFactory::TSingletonFactory() {
    // The coclass's type information comes from the program's own library.
    if (!OwnTypeLib()) throw Exception("Не удалось загрузить библиотеку типов");
}

TSingletonFactory::~TSingletonFactory() {
    Lock lock(InstanceLock());
    if (instance_) instance_->ForgetFactory();
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

IUnknown* TSingletonFactory::CreateComObject(IUnknown*) {
    // Under the lock: a client's first CreateInstance racing with the
    // service's own creation still yields one object.
    Lock lock(InstanceLock());
    if (instance_ && instance_->TryAddRef()) return instance_->Unknown();
    if (instance_) instance_->ForgetFactory();  // on its way out
    instance_ = new TUpdateServer(this);
    return instance_->Unknown();
}

void TSingletonFactory::InstanceDestroyed(TUpdateServer* object) {
    // The caller holds the instance lock.
    if (instance_ == object) instance_ = nullptr;
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    IUnknown* object = nullptr;
    try {
        object = CreateComObject(outer);
    } catch (...) {
        return E_UNEXPECTED;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();  // an object made by this very call goes when the query failed
    return hr;
}

HRESULT STDMETHODCALLTYPE TSingletonFactory::LockServer(BOOL fLock) {
    return CoLockObjectExternal(static_cast<IClassFactory*>(this), fLock, TRUE);
}

void TSingletonFactory::Register() {
    KeepInterfaceRegistered(static_cast<IClassFactory*>(this), IID_IClassFactory);
    HRESULT hr = CoRegisterClassObject(CLSID_ZELUpdateServer, static_cast<IClassFactory*>(this),
                                       CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration_);
    if (FAILED(hr)) {
        registration_ = 0;
        throw Exception(Format("Не удалось зарегистрировать фабрику классов: %s (0x%x)",
                               {SysErrorMessage(static_cast<DWORD>(hr)), static_cast<unsigned>(hr)}));
    }
}

void TSingletonFactory::Revoke() {
    if (registration_) {
        CoRevokeClassObject(registration_);
        registration_ = 0;
    }
}

// ---------------------------------------------------------------- API

const std::vector<const IID*>& ServerInterfaces() {
    static const std::vector<const IID*> interfaces = {
        &IID_IUnknown,       &IID_ISupportErrorInfo, &IID_IDispatch,           &IID_IZELUpdate,
        &IID_IZELAppList,    &IID_IZELServiceSetup,  &IID_IZELServiceVersion,  &IID_IZELService,
        &IID_IZELJobManager, &IID_IZELJSONRequest,   &IID_IUpdateServerNotify, &IID_IConnectionPointContainer};
    return interfaces;
}

TSingletonFactory* CreateSingletonFactory() { return new TSingletonFactory; }

void RegisterClassObject(TSingletonFactory* factory) { factory->Register(); }

void KeepServerInterfaces(IUnknown* object) {
    for (const IID* iid : ServerInterfaces()) KeepInterfaceRegistered(object, *iid);

    ComPtr<IConnectionPointContainer> container;
    ComPtr<IEnumConnectionPoints> points;
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&container))) || FAILED(container->EnumConnectionPoints(&points)) ||
        !points)
        return;
    KeepInterfaceRegistered(points.Get(), IID_IEnumConnectionPoints);
    bool first = true;
    for (ComPtr<IConnectionPoint> point; points->Next(1, point.ReleaseAndGetAddressOf(), nullptr) == S_OK && point;
         first = false) {
        KeepInterfaceRegistered(point.Get(), IID_IConnectionPoint);
        // One enumerator of connections serves every point.
        ComPtr<IEnumConnections> connections;
        if (first && SUCCEEDED(point->EnumConnections(&connections)) && connections)
            KeepInterfaceRegistered(connections.Get(), IID_IEnumConnections);
    }
}

IUnknown* CreateComObject(TSingletonFactory* factory) { return factory->CreateComObject(nullptr); }

void DestroySingletonFactory(TSingletonFactory* factory) {
    if (!factory) return;
    factory->Revoke();
    factory->Release();
}

}  // namespace zel
