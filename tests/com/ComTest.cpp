// The type library of the service program and the update server object
// with sinks of this process.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "ComTestSupport.h"
#include "ZELUpdate_TLB.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/WorkerPool.h"
#include "com/CallSecurity.h"
#include "com/ClientCalls.h"
#include "com/ConnectionPoint.h"
#include "com/Server.h"
#include "com/UpdateServerNotify.h"
#include "com/VtableDispatch.h"
#include "download/InfoQueue.h"
#include "install/Installer.h"
#include "store/ModuleLimit.h"
#include "support/TestSupport.h"

using namespace zel;
using namespace zel::comtest;

namespace {

struct ComEnv : testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};
testing::Environment* const env = testing::AddGlobalTestEnvironment(new ComEnv);

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
    EXPECT_EQ(la->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);  // the program's own kind
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

    // One process holds at most MaxConnectionsPerProcess; a freed one may be
    // taken again.
    std::vector<DWORD> more;
    for (size_t i = 3; i < MaxConnectionsPerProcess; ++i) {
        DWORD cookie = 0;
        ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&c), &cookie), S_OK) << i;
        more.push_back(cookie);
    }
    DWORD refused = 99;
    size_t offset = test::ReadLog(test::TestDir()).size();
    EXPECT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&c), &refused), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(refused, 0u);
    EXPECT_NE(test::ReadLog(test::TestDir()).find("уже 32 подключений", offset), std::string::npos);
    ASSERT_EQ(s.point->Unadvise(more.back()), S_OK);
    ASSERT_EQ(s.point->Advise(static_cast<IZELUpdateEvents2*>(&c), &more.back()), S_OK);
    for (DWORD cookie : more) s.point->Unadvise(cookie);
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

// A client process with a call that outlived its time gets no further call
// until that one returns; other processes are called as before.
TEST(Events, AClientThatHangsGetsNoFurtherCalls) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const TProcessKey hung{4001, 7}, other{4002, 7};
    std::atomic<int> calls{0};
    {
        TClientCalls first;
        first.Start([&] { WaitForSingleObject(release, 20000); }, hung);
        EXPECT_EQ(first.Wait(200), std::vector<CallState>{CallState::TimedOut});
    }
    TClientCalls second;
    second.Start([&] { ++calls; }, hung);
    second.Start([&] { ++calls; }, other);
    EXPECT_EQ(second.Wait(5000), (std::vector<CallState>{CallState::TimedOut, CallState::Done}));
    EXPECT_EQ(calls.load(), 1);
    SetEvent(release);
    EXPECT_TRUE(test::WaitFor(
        [&] {
            TClientCalls third;
            third.Start([&] { ++calls; }, hung);
            return third.Wait(5000) == std::vector<CallState>{CallState::Done};
        },
        10000));
    EXPECT_EQ(calls.load(), 2);
    CloseHandle(release);
}

// Calls into clients that never return hold at most the pool's workers;
// calls beyond them wait, count as not answering when their time is up, and
// are never started afterwards.
TEST(Events, HungCallsHoldAtMostThePoolsWorkers) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> started{0};
    std::atomic<bool> late{false};
    {
        TClientCalls hung;
        for (size_t i = 0; i < MaxWorkerThreads + 8; ++i)
            hung.Start([&] {
                ++started;
                WaitForSingleObject(release, INFINITE);
            });
        auto states = hung.Wait(3000);
        EXPECT_EQ(std::count(states.begin(), states.end(), CallState::TimedOut),
                  static_cast<std::ptrdiff_t>(MaxWorkerThreads + 8));
        EXPECT_EQ(started.load(), static_cast<int>(MaxWorkerThreads));
        EXPECT_LE(WorkerThreadCount(), MaxWorkerThreads);

        TClientCalls waiting;
        waiting.Start([&] { late = true; });
        EXPECT_EQ(waiting.Wait(300), std::vector<CallState>{CallState::TimedOut});
    }
    SetEvent(release);
    // Workers come free: what waited for abandoned batches is dropped, new
    // calls run again.
    std::atomic<bool> ran{false};
    TClientCalls fresh;
    fresh.Start([&] { ran = true; });
    EXPECT_EQ(fresh.Wait(10000), std::vector<CallState>{CallState::Done});
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(late.load());
    EXPECT_EQ(started.load(), static_cast<int>(MaxWorkerThreads));
    EXPECT_NE(test::ReadLog(test::TestDir()).find("Заняты все рабочие потоки службы (64)"), std::string::npos);
    CloseHandle(release);
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

    // Past an account's limit a new module is refused and nothing queued;
    // one registered already, in any letter case, is not new.
    SetModuleLimitsForTest(10, 2);
    offset = test::ReadLog(test::TestDir()).size();
    auto add = [&](const wchar_t* module) {
        BSTR m = SysAllocString(module), v = SysAllocString(L"1.0.0.0");
        HRESULT hr = list->Add(m, v);
        SysFreeString(m);
        SysFreeString(v);
        return hr;
    };
    EXPECT_EQ(add(L"First"), S_OK);
    EXPECT_EQ(add(L"Second"), S_OK);
    EXPECT_EQ(add(L"Third"), E_OUTOFMEMORY);
    EXPECT_EQ(add(L"FIRST"), S_OK);
    EXPECT_EQ(QueuedModules(AddQueue), (std::vector<std::string>{"First", "Second"}));
    EXPECT_NE(test::ReadLog(test::TestDir()).find("Отказано в регистрации модуля Third: пользователь ", offset),
              std::string::npos);
    SetModuleLimitsForTest(0, 0);
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
