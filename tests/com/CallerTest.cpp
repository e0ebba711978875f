// What the update server object lets each caller do, with calls made in
// this process as a client of a chosen account (com/Caller.h seams): the
// proxy settings, modules and their jobs, the process an install waits for.
#include <gtest/gtest.h>

#include <string>

#include "ComTestSupport.h"
#include "base/Log.h"
#include "base/Access.h"
#include "base/Text.h"
#include "config/Proxy.h"
#include "install/CallerProcess.h"
#include "install/Installer.h"
#include "install/zel_processes.h"
#include "support/TestSupport.h"
#include "transfer/BITS.h"
#include "base/RegKey.h"

using namespace zel;
using namespace zel::comtest;

namespace {

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

}  // namespace

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

    DeleteMachineKeyTree(SettingsKey);
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
        EXPECT_NE(log.find(Format("Модуль %s: отказано в вызове %s (модуль зарегистрирован другим пользователем; "
                                  "%s)\r\n",
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
