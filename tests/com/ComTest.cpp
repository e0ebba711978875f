// The type library of the service program and the update server object
// with sinks of this process.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <vector>

#include "ZELUpdate_TLB.h"
#include "com/Server.h"
#include "com/UpdateServerNotify.h"
#include "service/Text.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

struct ComEnv : testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};
testing::Environment* const env = testing::AddGlobalTestEnvironment(new ComEnv);

// A client's sink: events, subscription and name on one object.
class FakeSink : public IZELUpdateEvents2, public IZELUpdateClient, public IZELClientInfo {
public:
    FakeSink(std::wstring name, ULONG mask, std::wstring module = L"", HRESULT eventResult = S_OK)
        : name_(std::move(name)), mask_(mask), module_(std::move(module)), eventResult_(eventResult) {}
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
    ULONG STDMETHODCALLTYPE Release() override { return --ref_; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
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

private:
    std::atomic<LONG> ref_{0};
    std::wstring name_;
    ULONG mask_;
    HRESULT eventResult_;
};

class OneModule : public IEnumModules {
public:
    explicit OneModule(std::wstring name) : name_(std::move(name)) {}
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
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Next(BSTR* name, BSTR* version) override {
        if (done_) return S_FALSE;
        done_ = true;
        *name = SysAllocString(name_.c_str());
        *version = SysAllocString(L"1.0.0.0");
        return S_OK;
    }

private:
    std::atomic<LONG> ref_{1};
    std::wstring name_;
    bool done_ = false;
};

HRESULT FakeSink::GetModules(IEnumModules** modules) {
    *modules = new OneModule(module_);
    return S_OK;
}

struct Server {
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

}  // namespace

TEST(TypeLibrary, MatchesTheContract) {
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(ToWide(test::BinDir() + "ZELService.exe").c_str(), REGKIND_NONE, &lib), S_OK);
    ASSERT_EQ(lib->GetTypeInfoCount(), 16u);
    const wchar_t* names[] = {L"IZELUpdate",       L"IZELUpdateEvents",   L"IZELAppList",
                              L"ZELUpdateServer",  L"IZELServiceSetup",   L"IZELServiceVersion",
                              L"UPDATE_STATES",    L"IEnumModules",       L"IZELUpdateClient",
                              L"EventTypes",       L"IZELUpdateEvents2",  L"IZELClientInfo",
                              L"IZELService",      L"IZELJobManager",     L"IZELJSONRequest",
                              L"IZELJSONEvent"};
    // widl writes a forward-declared interface first: IEnumModules, which
    // IZELUpdate refers to, leads the list; all others keep their order.
    std::vector<std::wstring> got;
    for (UINT i = 0; i < 16; ++i) {
        BSTR name = nullptr;
        ASSERT_EQ(lib->GetDocumentation(i, &name, nullptr, nullptr, nullptr), S_OK);
        if (std::wstring(name) != L"IEnumModules") got.push_back(name);
        SysFreeString(name);
    }
    std::vector<std::wstring> want;
    for (const wchar_t* n : names)
        if (std::wstring(n) != L"IEnumModules") want.push_back(n);
    EXPECT_EQ(got, want);
    BSTR libName = nullptr, help = nullptr;
    lib->GetDocumentation(-1, &libName, &help, nullptr, nullptr);
    EXPECT_STREQ(libName, L"ZELUpdate");
    EXPECT_STREQ(help, L"ComSvcTest Library");
    SysFreeString(libName);
    SysFreeString(help);

    // IZELUpdate: not dual; Install's third parameter is an HRESULT.
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IZELUpdate, &info), S_OK);
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_FALSE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE);
    info->ReleaseTypeAttr(attr);
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(info->GetFuncDesc(0, &fd), S_OK);
    EXPECT_EQ(fd->memid, 205);
    ASSERT_EQ(fd->cParams, 3);
    EXPECT_EQ(fd->lprgelemdescParam[2].tdesc.vt, VT_HRESULT);
    info->ReleaseFuncDesc(fd);
    info->Release();

    // IZELUpdateEvents2: OnException and GetEventTypes after the six events.
    ITypeInfo* events = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IZELUpdateEvents2, &events), S_OK);
    HREFTYPE ref = 0;
    ITypeInfo* vtbl = nullptr;
    if (SUCCEEDED(events->GetRefTypeOfImplType(-1, &ref)) && SUCCEEDED(events->GetRefTypeInfo(ref, &vtbl))) {
        ASSERT_EQ(vtbl->GetFuncDesc(0, &fd), S_OK);
        EXPECT_EQ(fd->memid, 301);
        EXPECT_EQ(fd->oVft, static_cast<short>((7 + 6) * sizeof(void*)));
        vtbl->ReleaseFuncDesc(fd);
        ASSERT_EQ(vtbl->GetFuncDesc(1, &fd), S_OK);
        EXPECT_EQ(fd->memid, 302);
        vtbl->ReleaseFuncDesc(fd);
        vtbl->Release();
    } else {
        ADD_FAILURE() << "no vtable twin";
    }
    events->Release();
    lib->Release();
}

TEST(ConnectionPoint, CookiesSlotsAndEnumeration) {
    Server s;
    FakeSink a(L"X", 0), b(L"X", 0), c(L"x", 0);
    DWORD ca = 0, cb = 0, cc = 0;
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&a), &ca), S_OK);
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&b), &cb), S_OK);
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&c), &cc), S_OK);
    EXPECT_EQ(ca, 1u);
    EXPECT_EQ(cb, 2u);
    EXPECT_EQ(cc, 3u);

    IZELService* service = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELService, reinterpret_cast<void**>(&service)), S_OK);
    ULONG count = 99;
    BSTR x = SysAllocString(L"X");
    EXPECT_EQ(service->GetClientCount(x, &count), S_OK);
    EXPECT_EQ(count, 2u);
    SysFreeString(x);
    EXPECT_EQ(service->GetClientCount(nullptr, nullptr), E_POINTER);
    service->Release();

    EXPECT_EQ(s.point->Unadvise(2), S_OK);
    EXPECT_EQ(s.point->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(s.point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(s.point->Unadvise(77), CONNECT_E_NOCONNECTION);

    IEnumConnections* e = nullptr;
    ASSERT_EQ(s.point->EnumConnections(&e), S_OK);
    CONNECTDATA cd[10] = {};
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(10, cd, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(cd[0].dwCookie, 1u);
    EXPECT_EQ(cd[1].dwCookie, 3u);
    cd[0].pUnk->Release();
    cd[1].pUnk->Release();
    e->Release();

    DWORD again = 0;
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&b), &again), S_OK);
    EXPECT_EQ(again, 2u);
    s.point->Unadvise(1);
    s.point->Unadvise(2);
    s.point->Unadvise(3);

    IConnectionPointContainer* cpc = nullptr;
    s.object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IZELUpdateEvents2, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    cpc->Release();
}

TEST(Events, MasksSubscriptionsAndDeadClients) {
    Server s;
    FakeSink noUpd(L"A", EVT_NOUPDATES, L"M");
    FakeSink all(L"B", 0x1F, L"M");
    FakeSink unsubscribed(L"C", 0x1F);          // no IZELUpdateClient
    FakeSink dead(L"D", 0x1F, L"M", RPC_E_DISCONNECTED);
    DWORD c1, c2, c3, c4;
    s.point->Advise(static_cast<IZELUpdateEvents2*>(&noUpd), &c1);
    s.point->Advise(static_cast<IZELUpdateEvents2*>(&all), &c2);
    s.point->Advise(static_cast<IZELUpdateEvents2*>(&unsubscribed), &c3);
    s.point->Advise(static_cast<IZELUpdateEvents2*>(&dead), &c4);

    BSTR m = SysAllocString(L"M"), v = SysAllocString(L"2.0.0.0");
    s.notify->FireNoUpdates(c1);
    EXPECT_TRUE(s.notify->FireStartTo(m, v, c1));
    EXPECT_EQ(noUpd.noUpdates, 1);
    EXPECT_EQ(noUpd.starts, 1);
    s.notify->FireStart(m, v);
    EXPECT_EQ(noUpd.starts, 1);
    EXPECT_EQ(all.starts, 1);
    EXPECT_EQ(unsubscribed.starts, 0);
    EXPECT_EQ(dead.starts, 1);
    // The dead client was unadvised; the others still get events.
    EXPECT_EQ(s.point->Unadvise(c4), CONNECT_E_NOCONNECTION);
    s.notify->FireDownload(m, v);
    EXPECT_EQ(all.downloads, 1);
    EXPECT_EQ(dead.downloads, 0);

    s.notify->DisableEvents();
    s.notify->FireException(m, m, m, 0);
    EXPECT_EQ(all.exceptions, 0);
    s.notify->EnableEvents();
    s.notify->FireException(m, m, m, 0);
    EXPECT_EQ(all.exceptions, 1);
    EXPECT_EQ(unsubscribed.exceptions, 1);
    SysFreeString(m);
    SysFreeString(v);
    s.point->Unadvise(c1);
    s.point->Unadvise(c2);
    s.point->Unadvise(c3);
}

TEST(Server, FactoryVersionAndArguments) {
    Server s;
    IClassFactory* cf = nullptr;
    ASSERT_EQ(reinterpret_cast<IUnknown*>(s.factory)->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&cf)),
              S_OK);
    IUnknown *u1 = nullptr, *u2 = nullptr;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&u1)), S_OK);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&u2)), S_OK);
    EXPECT_EQ(u1, u2);
    EXPECT_EQ(u1, s.object);
    void* p = nullptr;
    EXPECT_EQ(cf->CreateInstance(u1, IID_IZELUpdate, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    u1->Release();
    u2->Release();
    cf->Release();

    IZELServiceVersion* ver = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELServiceVersion, reinterpret_cast<void**>(&ver)), S_OK);
    BSTR own = nullptr;
    ASSERT_EQ(ver->GetVersion(&own), S_OK);
    EXPECT_EQ(ver->CheckVersion(own), S_OK);
    BSTR high = SysAllocString(L"999.0.0.0");
    EXPECT_EQ(ver->CheckVersion(high), S_FALSE);
    EXPECT_EQ(ver->CheckVersion(nullptr), E_INVALIDARG);
    EXPECT_EQ(ver->GetVersion(nullptr), E_POINTER);
    SysFreeString(high);
    SysFreeString(own);
    ver->Release();

    IZELUpdate* upd = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELUpdate, reinterpret_cast<void**>(&upd)), S_OK);
    BSTR name = SysAllocString(L"NoSuchModule"), version = SysAllocString(L"1.0.0.0");
    EXPECT_EQ(upd->CheckModule(name, &version), E_INVALIDARG);
    EXPECT_EQ(upd->CheckModule(name, nullptr), E_POINTER);
    EXPECT_EQ(upd->Install(nullptr, 0, 0), S_OK);
    SysFreeString(name);
    SysFreeString(version);
    upd->Release();

    IZELJSONRequest* json = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELJSONRequest, reinterpret_cast<void**>(&json)), S_OK);
    BSTR result = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(json->JSONExecute(nullptr, &result, 0), E_NOTIMPL);
    EXPECT_EQ(result, nullptr);
    json->Release();
}
