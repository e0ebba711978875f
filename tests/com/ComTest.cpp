// The type library of the service program and the update server object
// with sinks of this process.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <vector>

#include "ZELUpdate_TLB.h"
#include "com/CallSecurity.h"
#include "com/Caller.h"
#include "com/VtableDispatch.h"
#include "com/Server.h"
#include "com/UpdateServerNotify.h"
#include "download/InfoQueue.h"
#include "install/CallerProcess.h"
#include "install/Installer.h"
#include "install/zel_processes.h"
#include "transfer/BITS.h"
#include "service/Log.h"
#include "service/Proxy.h"
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

HRESULT FakeSink::GetModules(IEnumModules** modules) {
    *modules = new OneModule(module_, modulesEnd);
    return S_OK;
}

// A client that quits inside a call from the server and whose cookie is
// taken at once by the next client; the call then fails as if the quitter's
// process had gone.
class Quitter : public FakeSink {
public:
    Quitter(IConnectionPoint* point, IUnknown* successor) : FakeSink(L"Q", 0x1F, L"M"), point_(point),
                                                            successor_(successor) {}
    DWORD cookie = 0;
    DWORD successorCookie = 0;
    bool armed = false;
    HRESULT STDMETHODCALLTYPE OnStart(BSTR, BSTR) override { return Quit(); }
    HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
        if (armed) return Quit();
        return FakeSink::GetName(name);
    }

private:
    HRESULT Quit() {
        armed = false;
        point_->Unadvise(cookie);
        point_->Advise(successor_, &successorCookie);
        return RPC_E_DISCONNECTED;
    }
    IConnectionPoint* point_;
    IUnknown* successor_;
};

std::vector<std::string> QueuedModules(TInfoQueue* queue) {
    std::vector<std::string> names;
    TInfoEntry entry;
    while (queue->Pop(entry)) names.push_back(entry.Key);
    return names;
}

BOOL WINAPI NoMember(HANDLE, PSID, PBOOL member) {
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

struct TypeRow {
    const wchar_t* name;
    TYPEKIND kind;
    const GUID* guid;
    WORD flags;
};

// The published index order of the library, with kinds and type flags.
const WORD kAuto = TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
const WORD kDual = TYPEFLAG_FDUAL | kAuto;
const TypeRow kTypes[] = {
    {L"IZELUpdate", TKIND_INTERFACE, &IID_IZELUpdate, kAuto},
    {L"IZELUpdateEvents", TKIND_DISPATCH, &IID_IZELUpdateEvents, kDual},
    {L"IZELAppList", TKIND_INTERFACE, &IID_IZELAppList, kAuto},
    {L"ZELUpdateServer", TKIND_COCLASS, &CLSID_ZELUpdateServer, TYPEFLAG_FCANCREATE},
    {L"IZELServiceSetup", TKIND_INTERFACE, &IID_IZELServiceSetup, kAuto},
    {L"IZELServiceVersion", TKIND_INTERFACE, &IID_IZELServiceVersion, kAuto},
    {L"UPDATE_STATES", TKIND_ENUM, nullptr, 0},
    {L"IEnumModules", TKIND_INTERFACE, &IID_IEnumModules, kAuto},
    {L"IZELUpdateClient", TKIND_INTERFACE, &IID_IZELUpdateClient, kAuto},
    {L"EventTypes", TKIND_ENUM, nullptr, 0},
    {L"IZELUpdateEvents2", TKIND_DISPATCH, &IID_IZELUpdateEvents2, kDual},
    {L"IZELClientInfo", TKIND_INTERFACE, &IID_IZELClientInfo, TYPEFLAG_FOLEAUTOMATION},
    {L"IZELService", TKIND_INTERFACE, &IID_IZELService, TYPEFLAG_FOLEAUTOMATION},
    {L"IZELJobManager", TKIND_INTERFACE, &IID_IZELJobManager, kAuto},
    {L"IZELJSONRequest", TKIND_INTERFACE, &IID_IZELJSONRequest, kAuto},
    {L"IZELJSONEvent", TKIND_DISPATCH, &IID_IZELJSONEvent, kDual},
};
const GUID kUpdateStatesGuid = {0xB3432FEB, 0x7F2A, 0x4232, {0xA7, 0x50, 0xFB, 0xD2, 0x9B, 0x9A, 0x5D, 0xBD}};
const GUID kEventTypesGuid = {0xCD812C93, 0xB4BD, 0x4003, {0x81, 0xC3, 0xB5, 0xB5, 0x4E, 0x19, 0xDA, 0xB7}};

// Member ids, vtable slots and parameter flags of one function.
struct FuncView {
    MEMBERID id = -1;
    short slot = -1;
    std::vector<USHORT> paramFlags;
    std::vector<VARTYPE> paramTypes;
};

FuncView Func(ITypeInfo* info, UINT index) {
    FuncView v;
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(index, &fd))) return v;
    v.id = fd->memid;
    v.slot = static_cast<short>(fd->oVft / sizeof(void*));
    for (SHORT i = 0; i < fd->cParams; ++i) {
        v.paramFlags.push_back(fd->lprgelemdescParam[i].paramdesc.wParamFlags);
        v.paramTypes.push_back(fd->lprgelemdescParam[i].tdesc.vt);
    }
    info->ReleaseFuncDesc(fd);
    return v;
}

ITypeInfo* VtableTwin(ITypeInfo* dispatch) {
    HREFTYPE ref = 0;
    ITypeInfo* vtbl = nullptr;
    if (FAILED(dispatch->GetRefTypeOfImplType(-1, &ref)) || FAILED(dispatch->GetRefTypeInfo(ref, &vtbl)))
        return nullptr;
    return vtbl;
}

}  // namespace

TEST(TypeLibrary, MatchesTheContract) {
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(ToWide(test::BinDir() + "ZELService.exe").c_str(), REGKIND_NONE, &lib), S_OK);
    TLIBATTR* la = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
    EXPECT_TRUE(IsEqualGUID(la->guid, LIBID_ZELUpdate));
    EXPECT_EQ(la->wMajorVerNum, 1);
    EXPECT_EQ(la->wMinorVerNum, 0);
    EXPECT_EQ(la->lcid, 0x0409u);
    EXPECT_EQ(la->syskind, SYS_WIN32);
    lib->ReleaseTLibAttr(la);
    BSTR libName = nullptr, help = nullptr;
    lib->GetDocumentation(-1, &libName, &help, nullptr, nullptr);
    EXPECT_STREQ(libName, L"ZELUpdate");
    EXPECT_STREQ(help, L"ComSvcTest Library");
    SysFreeString(libName);
    SysFreeString(help);

    // Index order, GUIDs, kinds, flags and versions of all sixteen.
    ASSERT_EQ(lib->GetTypeInfoCount(), 16u);
    for (UINT i = 0; i < 16; ++i) {
        const TypeRow& row = kTypes[i];
        SCOPED_TRACE(testing::Message() << "index " << i << " " << WideToUtf8(row.name));
        BSTR name = nullptr, doc = nullptr;
        ASSERT_EQ(lib->GetDocumentation(i, &name, &doc, nullptr, nullptr), S_OK);
        EXPECT_STREQ(name, row.name);
        std::wstring docText = doc ? doc : L"";
        if (i == 0) EXPECT_EQ(docText, L"Dispatch interface for SvcComObj Object");
        else if (i == 3) EXPECT_EQ(docText, L"ZELUpdate COM Object");
        else EXPECT_EQ(docText, L"");
        SysFreeString(name);
        SysFreeString(doc);
        TYPEKIND kind;
        ASSERT_EQ(lib->GetTypeInfoType(i, &kind), S_OK);
        EXPECT_EQ(kind, row.kind);
        ITypeInfo* info = nullptr;
        ASSERT_EQ(lib->GetTypeInfo(i, &info), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        const GUID& want = row.guid ? *row.guid : (i == 6 ? kUpdateStatesGuid : kEventTypesGuid);
        EXPECT_TRUE(IsEqualGUID(attr->guid, want));
        EXPECT_EQ(attr->wMajorVerNum, 1);
        EXPECT_EQ(attr->wMinorVerNum, 0);
        if (row.kind == TKIND_DISPATCH) {
            // The loader shows a dual interface's dispatch side without
            // oleautomation; its vtable twin carries all three flags.
            EXPECT_EQ(attr->wTypeFlags, row.flags & ~TYPEFLAG_FOLEAUTOMATION);
            ITypeInfo* twin = VtableTwin(info);
            ASSERT_NE(twin, nullptr);
            TYPEATTR* ta = nullptr;
            twin->GetTypeAttr(&ta);
            EXPECT_EQ(ta->typekind, TKIND_INTERFACE);
            EXPECT_EQ(ta->wTypeFlags, row.flags);
            twin->ReleaseTypeAttr(ta);
            twin->Release();
        } else {
            EXPECT_EQ(attr->wTypeFlags, row.flags);
        }
        info->ReleaseTypeAttr(attr);
        info->Release();
    }

    // IZELUpdate: DISPIDs in vtable order; Install's third parameter is an HRESULT.
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(0, &info), S_OK);
    const MEMBERID updateIds[] = {205, 206, 203, 201};
    for (UINT i = 0; i < 4; ++i) {
        FuncView f = Func(info, i);
        EXPECT_EQ(f.id, updateIds[i]);
        EXPECT_EQ(f.slot, static_cast<short>(7 + i));
    }
    FuncView install = Func(info, 0);
    ASSERT_EQ(install.paramTypes.size(), 3u);
    EXPECT_EQ(install.paramTypes[1], VT_UI4);
    EXPECT_EQ(install.paramTypes[2], VT_HRESULT);
    FuncView check = Func(info, 3);
    ASSERT_EQ(check.paramFlags.size(), 2u);
    EXPECT_EQ(check.paramFlags[1], PARAMFLAG_FIN | PARAMFLAG_FOUT);
    info->Release();

    // The coclass lists two interfaces with their implementation flags.
    ASSERT_EQ(lib->GetTypeInfo(3, &info), S_OK);
    const struct {
        const IID* iid;
        INT flags;
    } impls[] = {{&IID_IZELUpdate, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FDEFAULTVTABLE},
                 {&IID_IZELUpdateEvents,
                  IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE | IMPLTYPEFLAG_FDEFAULTVTABLE}};
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    EXPECT_EQ(attr->cImplTypes, 2);
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < 2; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ITypeInfo* impl = nullptr;
        ASSERT_EQ(info->GetImplTypeFlags(i, &flags), S_OK);
        EXPECT_EQ(flags, impls[i].flags);
        ASSERT_EQ(info->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(info->GetRefTypeInfo(ref, &impl), S_OK);
        impl->GetTypeAttr(&attr);
        EXPECT_TRUE(IsEqualGUID(attr->guid, *impls[i].iid));
        impl->ReleaseTypeAttr(attr);
        impl->Release();
    }
    info->Release();

    // EventTypes constants.
    ASSERT_EQ(lib->GetTypeInfo(9, &info), S_OK);
    const LONG bits[] = {EVT_START, EVT_NOUPDATES, EVT_EXCEPTION, EVT_DOWNLOAD, EVT_PROCESS};
    for (UINT i = 0; i < 5; ++i) {
        VARDESC* vd = nullptr;
        ASSERT_EQ(info->GetVarDesc(i, &vd), S_OK);
        EXPECT_EQ(V_I4(vd->lpvarValue), 1 << i);
        EXPECT_EQ(bits[i], 1 << i);
        info->ReleaseVarDesc(vd);
    }
    info->Release();

    // IZELUpdateEvents2's vtable: the six events, then OnException and GetEventTypes.
    ASSERT_EQ(lib->GetTypeInfo(10, &info), S_OK);
    ITypeInfo* vtbl = VtableTwin(info);
    ASSERT_NE(vtbl, nullptr);
    FuncView onException = Func(vtbl, 0), getEventTypes = Func(vtbl, 1);
    EXPECT_EQ(onException.id, 301);
    EXPECT_EQ(onException.slot, 7 + 6);
    EXPECT_EQ(getEventTypes.id, 302);
    EXPECT_EQ(getEventTypes.slot, 7 + 7);
    HREFTYPE baseRef = 0;
    ITypeInfo* base = nullptr;
    ASSERT_EQ(vtbl->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(vtbl->GetRefTypeInfo(baseRef, &base), S_OK);
    BSTR baseName = nullptr;
    base->GetDocumentation(MEMBERID_NIL, &baseName, nullptr, nullptr, nullptr);
    EXPECT_STREQ(baseName, L"IZELUpdateEvents");
    SysFreeString(baseName);
    base->Release();
    vtbl->Release();
    info->Release();

    // The one out-only parameter, and IZELService's DISPID.
    ASSERT_EQ(lib->GetTypeInfo(14, &info), S_OK);
    FuncView json = Func(info, 0);
    EXPECT_EQ(json.id, 201);
    ASSERT_EQ(json.paramFlags.size(), 3u);
    EXPECT_EQ(json.paramFlags[1], PARAMFLAG_FOUT);
    info->Release();
    ASSERT_EQ(lib->GetTypeInfo(12, &info), S_OK);
    FuncView count = Func(info, 0);
    EXPECT_EQ(count.id, 101);
    EXPECT_EQ(count.slot, 3);
    info->Release();
    // The client's enumerator, found by GUID at its place.
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IEnumModules, &info), S_OK);
    UINT index = 99;
    ITypeLib* owner = nullptr;
    ASSERT_EQ(info->GetContainingTypeLib(&owner, &index), S_OK);
    EXPECT_EQ(index, 7u);
    owner->Release();
    EXPECT_EQ(Func(info, 0).id, 201);
    info->Release();
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

BOOL WINAPI NoUserToken(ULONG, PHANDLE) {
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

// A client that dies while the server reads its modules ends the reading;
// what was read before still counts.
TEST(Server, ModulesOfAClientThatDiedWhileTheyWereRead) {
    Server s;
    LogMode.store(0x3F);
    TInfoEntry entry;
    while (AddQueue->Pop(entry)) {
    }
    FakeSink listener(L"L", 0x1F);
    FakeSink dying(L"D", 0x1F, L"Dying");
    dying.modulesEnd = RPC_E_DISCONNECTED;
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&listener), &c1), S_OK);
    s.notify->DisableEvents();
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&dying), &c2), S_OK);
    // The subscription stands: its module is queued, events are on again.
    ASSERT_TRUE(AddQueue->Pop(entry));
    EXPECT_EQ(entry.Key, "Dying");
    BSTR m = SysAllocString(L"M");
    s.notify->FireException(m, m, m, 0);
    EXPECT_EQ(listener.exceptions, 1);
    SysFreeString(m);
    s.point->Unadvise(c1);
    s.point->Unadvise(c2);

    // The install request still starts its thread (which here finds no user).
    InstallerSeam().WTSQueryUserToken = NoUserToken;
    const size_t before = test::ReadLog(test::TestDir()).size();
    auto since = [&] { return test::ReadLog(test::TestDir()).substr(before); };
    IZELUpdate* update = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELUpdate, reinterpret_cast<void**>(&update)), S_OK);
    OneModule* modules = new OneModule(L"Dying", RPC_E_DISCONNECTED);
    EXPECT_EQ(update->Install(modules, GetCurrentProcessId(), 1), S_OK);
    modules->Release();
    update->Release();
    EXPECT_TRUE(test::WaitFor(
        [&] { return since().find("Installer Thread Successfully Terminated") != std::string::npos; }, 10000));
    EXPECT_NE(since().find(Format("RunInstaller (Caller PID : %d)", {GetCurrentProcessId()})), std::string::npos)
        << since();
    InstallerSeam() = DefaultInstallerPlatform();
    LogMode.store(LogDefaultMode);
}

// A failed call removes the very connection that failed, never the one that
// took its cookie meanwhile.
TEST(Events, FailedCallUnadvisesOnlyThatConnection) {
    Server s;
    FakeSink successor(L"S", 0x1F, L"M");
    Quitter quitter(s.point, static_cast<IZELUpdateEvents2*>(&successor));
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&quitter), &quitter.cookie), S_OK);
    BSTR m = SysAllocString(L"M"), v = SysAllocString(L"2.0.0.0");
    s.notify->FireStart(m, v);
    ASSERT_EQ(quitter.successorCookie, quitter.cookie);
    s.notify->FireDownload(m, v);
    EXPECT_EQ(successor.downloads, 1);

    // The same when the failure is the client's name.
    ASSERT_EQ(s.point->Unadvise(quitter.successorCookie), S_OK);
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&quitter), &quitter.cookie), S_OK);
    quitter.armed = true;
    IZELService* service = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELService, reinterpret_cast<void**>(&service)), S_OK);
    BSTR name = SysAllocString(L"S");
    ULONG count = 0;
    EXPECT_EQ(service->GetClientCount(name, &count), S_OK);
    ASSERT_EQ(quitter.successorCookie, quitter.cookie);
    EXPECT_EQ(service->GetClientCount(name, &count), S_OK);
    EXPECT_EQ(count, 1u);
    s.notify->FireDownload(m, v);
    EXPECT_EQ(successor.downloads, 2);
    service->Release();
    SysFreeString(name);
    SysFreeString(m);
    SysFreeString(v);
    s.point->Unadvise(quitter.successorCookie);
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
    EXPECT_EQ(ver->CheckVersion(nullptr), S_OK);
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

// Module names from clients become directories and jobs of a LocalSystem
// service: only plain file-name components are taken, the empty name is
// accepted and ignored.
TEST(Server, ModuleNamesFromClients) {
    Server s;
    QueuedModules(AddQueue);
    QueuedModules(RemoveQueue);
    IZELAppList* list = nullptr;
    IZELUpdate* update = nullptr;
    IZELJobManager* jobs = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELAppList, reinterpret_cast<void**>(&list)), S_OK);
    ASSERT_EQ(s.object->QueryInterface(IID_IZELUpdate, reinterpret_cast<void**>(&update)), S_OK);
    ASSERT_EQ(s.object->QueryInterface(IID_IZELJobManager, reinterpret_cast<void**>(&jobs)), S_OK);
    size_t offset = test::ReadLog(test::TestDir()).size();
    // The rule itself is the store's; here every entry point applies it,
    // also to the look-alikes of "\\" that the code page has no room for.
    const std::wstring hostile[] = {L"..\\..\\..\\Users\\Public\\x", L"a\r\nforged", L"nul.txt",
                                    L"\uFF0E\uFF0E\uFF3C\uFF0E\uFF0E\uFF3Cx", std::wstring(129, L'm')};
    for (const std::wstring& text : hostile) {
        SCOPED_TRACE(WideToUtf8(text));
        BSTR name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        BSTR version = SysAllocString(L"1.0.0.0");
        EXPECT_EQ(list->Add(name, version), E_INVALIDARG);
        EXPECT_EQ(list->Remove(name), E_INVALIDARG);
        EXPECT_EQ(update->CheckModule(name, &version), E_INVALIDARG);
        LONG state = -7;
        EXPECT_EQ(jobs->GetState(name, &state), E_INVALIDARG);
        EXPECT_EQ(state, -7);
        EXPECT_EQ(jobs->Resume(name), E_INVALIDARG);
        SysFreeString(name);
        SysFreeString(version);
    }
    std::string log = test::ReadLog(test::TestDir()).substr(offset);
    EXPECT_NE(log.find("Недопустимое имя модуля: ..\\..\\..\\Users\\Public\\x\r\n"), std::string::npos);
    EXPECT_NE(log.find("Недопустимое имя модуля: a\\x0D\\x0Aforged\r\n"), std::string::npos);
    EXPECT_EQ(log.find("\nforged"), std::string::npos) << log;

    // The empty name: the results of a well-formed call, nothing queued.
    BSTR empty = SysAllocString(L"");
    EXPECT_EQ(list->Add(empty, empty), S_OK);
    EXPECT_EQ(list->Remove(nullptr), S_OK);
    EXPECT_EQ(jobs->GetState(empty, nullptr), E_POINTER);
    LONG progress = -7;
    EXPECT_EQ(jobs->GetProgress(empty, &progress), S_FALSE);
    EXPECT_EQ(jobs->Cancel(nullptr), S_FALSE);
    SysFreeString(empty);
    // A plain name, even one of letters outside ASCII, is taken.
    BSTR good = SysAllocString(L"Модуль 1.x"), version = SysAllocString(L"1.0.0.0");
    EXPECT_EQ(list->Add(good, version), S_OK);
    SysFreeString(good);
    SysFreeString(version);
    EXPECT_EQ(QueuedModules(AddQueue), std::vector<std::string>{ToAnsi(L"Модуль 1.x")});
    EXPECT_TRUE(RemoveQueue->IsEmpty());

    // A subscription: the refused entries are skipped, the rest is queued.
    FakeSink subscriber(L"Sub", 0x1F, L"Good");
    FakeSink hostileSubscriber(L"Bad", 0x1F, L"..\\Bad");
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&hostileSubscriber), &c1), S_OK);
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&subscriber), &c2), S_OK);
    EXPECT_EQ(QueuedModules(AddQueue), std::vector<std::string>{"Good"});
    s.point->Unadvise(c1);
    s.point->Unadvise(c2);
    list->Release();
    update->Release();
    jobs->Release();
}

// The call security of the service: a valid descriptor with owner, group
// and a DACL that lets any caller in (an empty one is refused by COM, which
// then falls back to the machine's defaults).
TEST(Server, CallSecurityLetsEveryCallerIn) {
    SECURITY_DESCRIPTOR* sd = CallSecurityDescriptor();
    ASSERT_NE(sd, nullptr);
    EXPECT_TRUE(IsValidSecurityDescriptor(sd));
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(sd, &group, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(owner && IsValidSid(owner));
    EXPECT_TRUE(group && IsValidSid(group));
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Mask, static_cast<DWORD>(COM_RIGHTS_EXECUTE | COM_RIGHTS_EXECUTE_LOCAL));
    BYTE world[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof world;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, world, &size));
    EXPECT_TRUE(EqualSid(&ace->SidStart, world));
}

// The proxy is the machine's: only an administrator sets it or reads its
// password; a caller who cannot be identified is none.
TEST(Server, ProxyBelongsToTheAdministrators) {
    Server s;
    LogMode.store(0x3F);
    IZELServiceSetup* setup = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELServiceSetup, reinterpret_cast<void**>(&setup)), S_OK);
    BSTR address = SysAllocString(L"proxy.local"), user = SysAllocString(L"user"),
         password = SysAllocString(L"secret"), other = SysAllocString(L"other");
    ASSERT_EQ(setup->SetProxy(address, 3128, user, password), S_OK);
    auto get = [&](std::wstring& a, LONG& port, std::wstring& u, std::wstring& p) {
        BSTR ba = nullptr, bu = nullptr, bp = nullptr;
        HRESULT hr = setup->GetProxy(&ba, &port, &bu, &bp);
        a = ba ? ba : L"";
        u = bu ? bu : L"";
        p = bp ? bp : L"";
        SysFreeString(ba);
        SysFreeString(bu);
        SysFreeString(bp);
        return hr;
    };
    std::wstring a, u, p;
    LONG port = 0;
    EXPECT_EQ(get(a, port, u, p), S_OK);
    EXPECT_EQ(p, L"secret");

    const size_t before = test::ReadLog(test::TestDir()).size();
    {
        AsCaller standardUser(false);
        EXPECT_EQ(setup->SetProxy(other, 1, other, other), E_ACCESSDENIED);
        EXPECT_EQ(get(a, port, u, p), S_OK);
        EXPECT_EQ(a, L"proxy.local");
        EXPECT_EQ(port, 3128);
        EXPECT_EQ(u, L"user");
        EXPECT_EQ(p, L"");
    }
    CallerSeam() = DefaultCallerPlatform();  // no COM call: nobody known
    EXPECT_EQ(setup->SetProxy(other, 1, other, other), E_ACCESSDENIED);
    EXPECT_EQ(get(a, port, u, p), S_OK);
    EXPECT_EQ(p, L"");
    std::string log = test::ReadLog(test::TestDir()).substr(before);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    EXPECT_NE(log.find(Format("Отказано в изменении настроек прокси-сервера: процесс %d, пользователь %s\r\n",
                              {GetCurrentProcessId(), TokenSid(token)})),
              std::string::npos)
        << log;
    CloseHandle(token);
    EXPECT_NE(log.find("Отказано в изменении настроек прокси-сервера: процесс 0, пользователь неизвестен\r\n"),
              std::string::npos)
        << log;
    TProxySettings stored;
    ASSERT_TRUE(stored.Load());
    EXPECT_EQ(stored.Address, "proxy.local");
    EXPECT_EQ(stored.Password, "secret");

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SettingsKey);
    for (BSTR b : {address, user, password, other}) SysFreeString(b);
    setup->Release();
    LogMode.store(LogDefaultMode);
}

// A module belongs to the account that registered it: a standard user
// changes only modules of his own; an administrator changes any but the
// service's own, which no client changes. Reading stays open to all.
TEST(Server, ModulesAndJobsBelongToTheirRegistrant) {
    Server s;
    LogMode.store(0x3F);
    IZELAppList* list = nullptr;
    IZELJobManager* jobs = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELAppList, reinterpret_cast<void**>(&list)), S_OK);
    ASSERT_EQ(s.object->QueryInterface(IID_IZELJobManager, reinterpret_cast<void**>(&jobs)), S_OK);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const std::string own = TokenSid(token);
    CloseHandle(token);
    const std::string stamp = Format("%x", {static_cast<unsigned>(GetTickCount())});
    const std::string theirs = "ct" + stamp + "t", mine = "ct" + stamp + "m";
    ASSERT_TRUE(CreateModuleJob(nullptr, theirs, "1", nullptr, nullptr, "S-1-5-21-1-2-3-4"));
    ASSERT_TRUE(CreateModuleJob(nullptr, mine, "1", nullptr, nullptr, own));
    BSTR t = SysAllocString(ToWide(theirs).c_str()), m = SysAllocString(ToWide(mine).c_str()),
         self = SysAllocString(L"ZELUPDATE"), v1 = SysAllocString(L"1"), v2 = SysAllocString(L"2");
    const size_t before = test::ReadLog(test::TestDir()).size();
    {
        AsCaller standardUser(false);
        EXPECT_EQ(jobs->Cancel(t), E_ACCESSDENIED);
        EXPECT_EQ(jobs->Suspend(t), E_ACCESSDENIED);
        EXPECT_EQ(jobs->Resume(t), E_ACCESSDENIED);
        EXPECT_EQ(list->Remove(t), E_ACCESSDENIED);
        EXPECT_EQ(list->Add(t, v2), E_ACCESSDENIED);
        EXPECT_EQ(list->Add(t, v1), S_OK);  // the version it has: no change
        LONG state = -1;
        EXPECT_EQ(jobs->GetState(t, &state), S_OK);
        EXPECT_EQ(state, static_cast<LONG>(BG_JOB_STATE_SUSPENDED));
        // His own: what BITS answers (an empty job cannot be resumed).
        EXPECT_EQ(jobs->Resume(m), BG_E_EMPTY);
        EXPECT_NE(jobs->Suspend(m), E_ACCESSDENIED);
        EXPECT_EQ(list->Add(m, v2), S_OK);
    }
    // Nobody known: no change at all, also of a module of no owner.
    CallerSeam() = DefaultCallerPlatform();
    EXPECT_EQ(jobs->Cancel(m), E_ACCESSDENIED);
    EXPECT_EQ(list->Add(m, v1), E_ACCESSDENIED);
    CallerSeam().ClientPid = ThisProcessAsClient;
    CallerSeam().ClientToken = ThisProcessTokenAsClient;
    for (const wchar_t* name : {L"ZELUPDATE", L"ZelUpdate"}) {
        BSTR n = SysAllocString(name);
        EXPECT_EQ(jobs->Cancel(n), E_ACCESSDENIED);
        EXPECT_EQ(jobs->Suspend(n), E_ACCESSDENIED);
        EXPECT_EQ(jobs->Resume(n), E_ACCESSDENIED);
        EXPECT_EQ(list->Remove(n), E_ACCESSDENIED);
        EXPECT_EQ(list->Add(n, v2), E_ACCESSDENIED);
        SysFreeString(n);
    }
    // The administrator changes another user's module.
    EXPECT_EQ(jobs->Cancel(t), S_OK);
    std::string log = test::ReadLog(test::TestDir()).substr(before);
    const std::string me = Format("процесс %d, пользователь %s", {GetCurrentProcessId(), own});
    for (const char* method : {"Cancel", "Suspend", "Resume", "Remove", "Add"})
        EXPECT_NE(log.find(Format("Модуль %s: отказано в вызове %s (модуль зарегистрирован другим пользователем; %s)\r\n",
                                  {theirs, method, me})),
                  std::string::npos)
            << method << "\n" << log;
    EXPECT_NE(log.find(Format("Модуль %s: отказано в вызове Cancel (вызывающий не опознан; процесс 0, пользователь "
                              "неизвестен)\r\n",
                              {mine})),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(Format("Модуль ZelUpdate: отказано в вызове Add (собственный модуль службы; %s)\r\n", {me})),
              std::string::npos)
        << log;
    // What was let in is queued with its registrant.
    TInfoEntry entry;
    bool queued = false;
    while (AddQueue->Pop(entry))
        if (entry.Key == mine) queued = entry.FromClient && entry.Who.Sid == own && entry.Value1 == "2";
    EXPECT_TRUE(queued);
    while (RemoveQueue->Pop(entry)) {
    }
    IBackgroundCopyJob* job = nullptr;
    if (FindModuleJob(nullptr, mine, &job)) {
        job->Cancel();
        job->Release();
    }
    for (BSTR b : {t, m, self, v1, v2}) SysFreeString(b);
    list->Release();
    jobs->Release();
    LogMode.store(LogDefaultMode);
}

DWORD ClientPid = 0;
bool ChildAsClient(DWORD* pid) {
    *pid = ClientPid;
    return true;
}

// This process as another account would have it, or in another session.
bool OtherAccount(HANDLE process, std::string* sid, DWORD* session) {
    bool ok = DefaultCallerProcessPlatform().ProcessAccount(process, sid, session);
    if (GetProcessId(process) == GetCurrentProcessId()) *sid = "S-1-5-21-1-2-3-4";
    return ok;
}

bool OtherSession(HANDLE process, std::string* sid, DWORD* session) {
    bool ok = DefaultCallerProcessPlatform().ProcessAccount(process, sid, session);
    if (GetProcessId(process) == GetCurrentProcessId()) *session += 7;
    return ok;
}

// An install request waits for and starts again only the caller or its
// parent, of the caller's account and session (which Wine cannot vary:
// the seam does); anything else starts nothing.
TEST(Server, InstallNamesOnlyTheCallerOrItsParent) {
    Server s;
    LogMode.store(0x3F);
    IZELUpdate* update = nullptr;
    ASSERT_EQ(s.object->QueryInterface(IID_IZELUpdate, reinterpret_cast<void**>(&update)), S_OK);
    DWORD childPid = 0;
    HANDLE child = test::StartProcess("\"" + test::BinDir() + "ZELService.exe\"", "", &childPid, CREATE_SUSPENDED);
    ASSERT_NE(child, nullptr);
    const DWORD self = GetCurrentProcessId();
    const size_t before = test::ReadLog(test::TestDir()).size();
    auto install = [&](DWORD pid) {
        OneModule* modules = new OneModule(L"NoSuchModule");
        HRESULT hr = update->Install(modules, pid, 1);
        modules->Release();
        return hr;
    };
    // This process calls: its child, or a process that does not exist, is
    // neither the caller nor its parent.
    EXPECT_EQ(install(childPid), E_ACCESSDENIED);
    EXPECT_EQ(install(0xFFFFFFF0), E_ACCESSDENIED);
    // The child calls and names this process, its parent.
    ClientPid = childPid;
    CallerSeam().ClientPid = ChildAsClient;
    CallerProcessSeam().ProcessAccount = OtherAccount;
    EXPECT_EQ(install(self), E_ACCESSDENIED);
    CallerProcessSeam().ProcessAccount = OtherSession;
    EXPECT_EQ(install(self), E_ACCESSDENIED);
    CallerProcessSeam() = DefaultCallerProcessPlatform();
    const size_t accepted = test::ReadLog(test::TestDir()).size();
    InstallerSeam().WTSQueryUserToken = NoUserToken;  // the thread then ends before it waits
    EXPECT_EQ(install(self), S_OK);
    EXPECT_TRUE(test::WaitFor(
        [&] {
            return test::ReadLog(test::TestDir()).find("Installer Thread Successfully Terminated", accepted) !=
                   std::string::npos;
        },
        10000));
    InstallerSeam() = DefaultInstallerPlatform();
    CallerSeam() = DefaultCallerPlatform();  // nobody known
    EXPECT_EQ(install(self), E_ACCESSDENIED);
    TerminateProcess(child, 0);
    CloseHandle(child);

    std::string log = test::ReadLog(test::TestDir());
    std::string refused = log.substr(before, accepted - before);
    EXPECT_EQ(refused.find("RunInstaller"), std::string::npos) << refused;
    EXPECT_NE(refused.find(Format("Отказано в установке с ожиданием процесса %d: это не вызывающий процесс и не его "
                                  "родитель (процесс %d, пользователь ",
                                  {childPid, self})),
              std::string::npos)
        << refused;
    EXPECT_NE(refused.find(Format("Отказано в установке с ожиданием процесса %d: процесс другого пользователя "
                                  "(S-1-5-21-1-2-3-4) (процесс %d, ",
                                  {self, childPid})),
              std::string::npos)
        << refused;
    EXPECT_NE(refused.find(Format("Отказано в установке с ожиданием процесса %d: процесс другого сеанса (", {self})),
              std::string::npos)
        << refused;
    EXPECT_NE(log.find(Format("RunInstaller (Caller PID : %d)", {self}), accepted), std::string::npos) << log;
    EXPECT_NE(log.find("вызывающий не опознан (процесс 0, пользователь неизвестен)", accepted), std::string::npos);
    update->Release();
    LogMode.store(LogDefaultMode);
}
