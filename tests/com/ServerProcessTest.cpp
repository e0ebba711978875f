// The update server object across processes: the installed service started
// by COM activation, clients in other processes (zelctl, a script host),
// dead clients, proxy settings and targeted update checks, all against the
// reference update server.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <bits.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "ServerProcessSupport.h"
#include "ZELUpdate_TLB.h"
#include "base/BStr.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"
#include "base/RegKey.h"
#include "config/Proxy.h"

using namespace zel;
using namespace zel::test;

namespace {

struct ComEnv : testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};
testing::Environment* const env = testing::AddGlobalTestEnvironment(new ComEnv);

const char* const ClsidKey = "CLSID\\{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}";
const char* const AppIdKey = "AppID\\{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}";

void CatalogueFile(const std::string& module, const std::string& version, const std::string& name) {
    WriteFileBytes(CatalogueDir(module, version) + name, "installer");
}

bool ClassesKeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

// The service's settings key, in the service's view of the registry.
TRegKey SettingsKeyOf(REGSAM access, bool create = false) {
    TRegKey key;
    OpenMachineKey(key, SettingsKey, access, create);
    return key;
}

std::string SettingsString(const char* name) {
    char buf[512] = {};
    DWORD size = sizeof buf - 1;
    TRegKey key = SettingsKeyOf(KEY_READ);
    if (!key || RegGetValueA(key.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
        return "<none>";
    return buf;
}

std::string SettingsBinary(const char* name) {
    char buf[4096] = {};
    DWORD size = sizeof buf;
    TRegKey key = SettingsKeyOf(KEY_READ);
    if (!key || RegGetValueA(key.Get(), nullptr, name, RRF_RT_REG_BINARY, nullptr, buf, &size) != ERROR_SUCCESS)
        return std::string();
    return std::string(buf, size);
}

void SetSettingsString(const char* name, const std::string& value) {
    TRegKey key = SettingsKeyOf(KEY_SET_VALUE, true);
    if (key)
        RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
}

void DeleteSettingsValue(const char* name) {
    TRegKey key = SettingsKeyOf(KEY_SET_VALUE);
    if (key) RegDeleteValueA(key.Get(), name);
}

DWORD SettingsDword(const char* name) {
    DWORD value = 0xFFFFFFFF, size = sizeof value;
    TRegKey key = SettingsKeyOf(KEY_READ);
    if (key) RegGetValueA(key.Get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

const char* const Script =
    "var server = new ActiveXObject(\"ZELUpdate.ZELUpdateServer\");\r\n"
    "function code(e) { return (e.number + 4294967296) % 4294967296; }\r\n"
    // Methods of IZELUpdate are reached by name...
    "try { server.CheckUpdates(0); } catch (e) { WScript.Quit(10); }\r\n"
    "try { server.CheckModule(\"NoSuchModule\", \"1.0.0.0\"); WScript.Quit(11); }\r\n"
    "catch (e) { if (code(e) != 0x80070057) WScript.Quit(12); }\r\n"
    "try { server.checkmodule(\"NoSuchModule\", \"\"); WScript.Quit(13); } catch (e) {}\r\n"
    // ...those of the other interfaces through their vtables only.
    "try { var v = \"\"; server.GetVersion(v); WScript.Quit(14); } catch (e) {}\r\n"
    "try { server.GetClientCount(\"x\", 0); WScript.Quit(15); } catch (e) {}\r\n"
    "WScript.Quit(0);\r\n";

}  // namespace

TEST_F(ServerProcess, ActivationSharingLateBindingAndDeadClients) {
    CatalogueFile("ComCurrent", "1.0.0.0", "setup.exe");
    {
        InstalledService svc(TestDir() + "svc", BinDir() + "ZELService.exe");
        ASSERT_TRUE(svc.Install());
        svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
        ASSERT_EQ(svc.State(), static_cast<DWORD>(SERVICE_STOPPED));

        // Activation of the class starts the service through its AppID.
        IZELService* service = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IZELService,
                                   reinterpret_cast<void**>(&service)),
                  S_OK);
        EXPECT_EQ(svc.State(), static_cast<DWORD>(SERVICE_RUNNING));

        // A sink advised in another process is seen here and by a third one.
        Child watcher(Zelctl(L"watch --name ComWatcher --mask 0x1F --seconds 300"), TestDir() + "watcher.out");
        ASSERT_TRUE(watcher.Started());
        int watcherCookie = watcher.WaitAdvised(30000);
        ASSERT_GT(watcherCookie, 0) << watcher.Output();
        // Its subscription (of no modules) runs a check for it.
        ASSERT_TRUE(watcher.WaitCount("OnNoUpdates", 1, 30000)) << watcher.Output();
        ULONG count = 99;
        BSTR name = SysAllocString(L"ComWatcher");
        EXPECT_EQ(service->GetClientCount(name, &count), S_OK);
        EXPECT_EQ(count, 1u);
        SysFreeString(name);
        name = SysAllocString(L"comwatcher");
        EXPECT_EQ(service->GetClientCount(name, &count), S_OK);
        EXPECT_EQ(count, 0u);
        SysFreeString(name);
        std::string out;
        EXPECT_EQ(RunZelctl(L"clients ComWatcher", out, "clients1"), 0);
        EXPECT_EQ(out, "1");

        // Late binding from a script host.
        WriteFileBytes(TestDir() + "late.js", Script);
        Child script(L"cscript.exe //nologo \"" + ToWide(TestDir() + "late.js") + L"\"", TestDir() + "late.out");
        ASSERT_TRUE(script.Started());
        EXPECT_EQ(script.Wait(60000), 0) << script.Output();

        // An empty proxy address clears "Proxy" but keeps the other values;
        // texts keep their letters through the service's code page.
        const std::wstring user = L"Пользователь";
        EXPECT_EQ(RunZelctl(L"setproxy \"\" 3128 " + user + L" secret", out, "setproxy"), 0);
        EXPECT_EQ(out, "SetProxy: S_OK (0x00000000)");
        EXPECT_EQ(SettingsString("Proxy"), "");
        EXPECT_EQ(SettingsString("Address"), "");
        EXPECT_EQ(SettingsDword("Port"), 3128u);
        EXPECT_EQ(SettingsString("UserName"), ToAnsi(user));
        // The password is kept protected, and an administrator reads it back.
        EXPECT_EQ(SettingsString("Password"), "<none>");
        std::string blob = SettingsBinary("ProtectedPassword");
        EXPECT_FALSE(blob.empty());
        EXPECT_EQ(blob.find("secret"), std::string::npos);
        EXPECT_EQ(RunZelctl(L"getproxy", out, "getproxy"), 0);
        EXPECT_EQ(Lines(out), (std::vector<std::string>{"Address=", "Port=3128",
                                                             std::string(u8"UserName=Пользователь"),
                                                             "Password=secret"}));
        // A plain-text password that an older version stored is still read.
        SetSettingsString("Password", "older");
        DeleteSettingsValue("ProtectedPassword");
        EXPECT_EQ(RunZelctl(L"getproxy", out, "getproxy-older"), 0);
        EXPECT_EQ(Lines(out).back(), "Password=older");
        EXPECT_EQ(RunZelctl(L"setproxy proxy.local 8080 \"\" \"\"", out, "setproxy2"), 0);
        EXPECT_EQ(SettingsString("Proxy"), "http=proxy.local:8080");
        RunZelctl(L"setproxy \"\" 0 \"\" \"\"", out, "setproxy3");

        // A subscribed client is told "no updates" for its own check, by
        // cookie; a client killed while advised stops nobody's events.
        Child checker(Zelctl(L"watch --name Checker --modules ComCurrent=1.0.0.0 --seconds 300"),
                      TestDir() + "checker.out");
        int checkerCookie = checker.WaitAdvised(30000);
        ASSERT_GT(checkerCookie, 0) << checker.Output();
        // The subscription itself runs a check for this connection.
        ASSERT_TRUE(checker.WaitCount("OnNoUpdates", 1, 30000)) << checker.Output();

        Child doomed(Zelctl(L"watch --name Doomed --modules ComCurrent=1.0.0.0 --seconds 300"),
                     TestDir() + "doomed.out");
        ASSERT_GT(doomed.WaitAdvised(30000), 0) << doomed.Output();
        ASSERT_TRUE(doomed.WaitCount("OnNoUpdates", 1, 30000)) << doomed.Output();
        doomed.Kill();

        DWORD t0 = GetTickCount();
        EXPECT_EQ(RunZelctl(L"clients Doomed", out, "clients2"), 0);
        EXPECT_EQ(out, "0");
        EXPECT_EQ(RunZelctl(L"clients Checker", out, "clients3"), 0);
        EXPECT_EQ(out, "1");
        EXPECT_LT(GetTickCount() - t0, 20000u);

        // Another process cannot have the checker told anything by its cookie.
        EXPECT_EQ(RunZelctl(L"check " + std::to_wstring(checkerCookie), out, "check"), 1);
        EXPECT_NE(out.find("CheckUpdates failed: E_ACCESSDENIED (0x80070005): refused by the service"),
                  std::string::npos)
            << out;
        EXPECT_EQ(RunZelctl(L"check 999", out, "check-none"), 1);
        EXPECT_NE(out.find("CONNECT_E_NOCONNECTION (0x80040200)"), std::string::npos) << out;
        EXPECT_FALSE(checker.WaitCount("OnNoUpdates", 2, 8000)) << checker.Output();
        // The watcher without a subscription heard nothing of the checker's checks.
        EXPECT_EQ(watcher.Count("OnNoUpdates"), 1) << watcher.Output();
        EXPECT_TRUE(svc.WaitForLog("Подключился клиент Checker", 1000)) << svc.Log();
        EXPECT_TRUE(svc.WaitForLog("   ComCurrent (1.0.0.0)", 1000));
        // The update server was asked, and had nothing newer.
        EXPECT_NE(ReadFileBytes(TestDir() + "server.log").find("\"POST / HTTP/1.1\" 200"), std::string::npos);
        EXPECT_NE(svc.Log().find("{\"ComCurrent\":{\"MODULE_VERSION\":\"CURRENT\"}"), std::string::npos);

        // A watcher waiting for one event ends by itself when it comes; its
        // own cookie is answered, and it is shown its own connection only.
        Child once(Zelctl(L"watch --name Once --mask 2 --exit-on OnNoUpdates --check --list-connections "
                          L"--seconds 60"),
                   TestDir() + "once.out");
        EXPECT_EQ(once.Wait(60000), 0) << once.Output();
        EXPECT_EQ(once.Count("OnNoUpdates"), 1) << once.Output();
        int onceCookie = once.WaitAdvised(1000);
        EXPECT_EQ(once.Count("CheckUpdates: S_OK (0x00000000)"), 1) << once.Output();
        EXPECT_EQ(once.Count("Connection " + std::to_string(onceCookie)), 1) << once.Output();
        EXPECT_EQ(once.Count("Connection " + std::to_string(checkerCookie)), 0) << once.Output();
        EXPECT_EQ(once.Count("Connection " + std::to_string(watcherCookie)), 0) << once.Output();

        service->Release();
        watcher.Kill();
        checker.Kill();
        ASSERT_TRUE(svc.Stop());
        svc.Uninstall();
        EXPECT_EQ(svc.State(), 0u);
    }
    EXPECT_FALSE(ClassesKeyExists(ClsidKey));
    EXPECT_FALSE(ClassesKeyExists("ZELUpdate.ZELUpdateServer"));
    EXPECT_FALSE(ClassesKeyExists(AppIdKey));
    EXPECT_FALSE(ClassesKeyExists("AppID\\ZELService.exe"));
}

// Creating the server object starts the stopped service; a client that
// subscribes at once gets the check its subscription asks for, every time,
// also when the service has many jobs to take up again while it starts.
TEST_F(ServerProcess, AColdStartNeverLosesTheFirstSubscribersCheck) {
    CatalogueFile("ComCurrent", "1.0.0.0", "setup.exe");
    InstalledService svc(TestDir() + "svc-cold", BinDir() + "ZELService.exe");
    for (int i = 0; i < 20; ++i) {
        std::string name = "Cold" + std::to_string(i);
        CatalogueFile(name, "1.0.0.0", "setup.exe");
        ASSERT_TRUE(ForceDirectories(svc.Dir() + "Files\\" + name));
        ASSERT_TRUE(AddServiceJob("Name=" + name + "|Version=1.0.0.0|Target="));
    }
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(svc.State(), static_cast<DWORD>(SERVICE_STOPPED));
        Child cold(Zelctl(L"watch --name Cold --modules ComCurrent=1.0.0.0 --exit-on OnNoUpdates --seconds 30"),
                   TestDir() + "cold.out");
        EXPECT_EQ(cold.Wait(60000), 0) << "round " << round << "\n" << cold.Output() << svc.Log();
        ASSERT_TRUE(svc.Stop());
    }
    svc.Uninstall();
}

TEST_F(ServerProcess, ZelctlReportsFailuresWithCodes) {
    std::string out;
    // No registration: the class cannot be created.
    EXPECT_EQ(RunZelctl(L"version", out, "noserver"), 3);
    EXPECT_NE(out.find("REGDB_E_CLASSNOTREG (0x80040154)"), std::string::npos) << out;
    EXPECT_EQ(RunZelctl(L"frobnicate", out, "usage1"), 2);
    EXPECT_EQ(RunZelctl(L"install 12 0 NoVersion", out, "usage2"), 2);
    EXPECT_EQ(RunZelctl(L"watch --exit-on OnSomething", out, "usage3"), 2);
    EXPECT_EQ(RunZelctl(L"--help", out, "help"), 0);
    EXPECT_NE(out.find("checkmodule <module> <version>"), std::string::npos);

    InstalledService svc(TestDir() + "svc2", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    EXPECT_EQ(RunZelctl(L"checkmodule NoSuchModule 1.0.0.0", out, "checkmodule"), 1);
    EXPECT_EQ(out, "CheckModule: E_INVALIDARG (0x80070057) 1.0.0.0");
    EXPECT_EQ(RunZelctl(L"checkversion 999.0.0.0", out, "checkversion"), 0);
    EXPECT_EQ(out, "CheckVersion: S_FALSE (0x00000001)");
    EXPECT_EQ(RunZelctl(L"jobstate NoSuchModule", out, "jobstate"), 0);
    EXPECT_EQ(out, "GetState: S_FALSE (0x00000001)");
    EXPECT_EQ(RunZelctl(L"version", out, "version"), 0);
    TVersion own = 0;
    GetFileVersion(BinDir() + "ZELService.exe", own);
    EXPECT_EQ(out, VersionToStr(own));
    svc.Stop();
    svc.Uninstall();
}

// The calls about one module's job answer what BITS holds now, also after
// another BITS client of the account cancelled the job the service knew or
// made one the service never saw.
TEST_F(ServerProcess, JobCallsFollowWhatOtherBITSClientsDid) {
    CatalogueDir("ComOuter", "1.0.0.0");
    InstalledService svc(TestDir() + "svc-outer", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());
    std::string out;
    ASSERT_EQ(RunZelctl(L"add ComOuter 1.0.0.0", out, "outer-add"), 0) << out;
    auto live = [] {
        int n = 0;
        for (const JobView& job : ServiceJobs())
            n += job.description.rfind("Name=ComOuter|", 0) == 0 && job.state != BG_JOB_STATE_CANCELLED &&
                 job.state != BG_JOB_STATE_ACKNOWLEDGED;
        return n;
    };
    ASSERT_TRUE(WaitFor([&] { return live() == 1; }, 30000)) << svc.Log();
    // An installer no newer than the version asked about: CheckModule asks
    // the job.
    ASSERT_TRUE(CopyFileTo(BinDir() + "zelctl.exe", svc.Dir() + "Files\\ComOuter\\setup.exe"));
    // "<exit code> <output>" of each command, in this order.
    auto answers = [&](const char* phase, const std::vector<std::pair<const wchar_t*, const char*>>& expected) {
        for (const auto& call : expected) {
            EXPECT_EQ(RunZelctl(call.first, out, std::string("outer-") + phase), call.second[0] - '0')
                << phase << ": " << WideToUtf8(call.first);
            EXPECT_EQ(out, call.second + 2) << phase << ": " << WideToUtf8(call.first);
        }
    };
    const char* const noNewer = "0 CheckModule: S_FALSE (0x00000001) 99.0.0.0";
    answers("known", {{L"jobstate ComOuter", "0 3 SUSPENDED"},
                      {L"jobstate COMOUTER", "0 3 SUSPENDED"},
                      {L"checkmodule ComOuter 99.0.0.0", noNewer}});
    CancelServiceJobs();
    answers("cancelled", {{L"jobstate ComOuter", "0 GetState: S_FALSE (0x00000001)"},
                          {L"checkmodule ComOuter 99.0.0.0", "1 CheckModule: E_UNEXPECTED (0x8000FFFF) 99.0.0.0"}});
    ASSERT_TRUE(AddServiceJob("Name=ComOuter|Version=1.0.0.0|Target="));
    answers("made", {{L"jobstate comouter", "0 3 SUSPENDED"}, {L"checkmodule ComOuter 99.0.0.0", noNewer}});
    svc.Stop();
    svc.Uninstall();
}

// The demo client's whole run: a dead subscriber does not keep the download
// from the live one, which asks for the installation and ends.
TEST_F(ServerProcess, DownloadReachesTheLiveWatcherWhichStartsTheInstall) {
    std::string dir = CatalogueDir("ComNew", "2.0.0.1");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\comsetup.exe", dir + "comsetup.exe"));
    InstalledService svc(TestDir() + "svc3", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());

    {
        Child doomed(Zelctl(L"watch --name Doomed --modules ComNew=1.0.0.0 --seconds 300"),
                     TestDir() + "doomed3.out");
        ASSERT_GT(doomed.WaitAdvised(30000), 0) << doomed.Output();
    }  // killed before the check that its subscription asked for

    Child live(Zelctl(L"watch --name Live --modules ComNew=1.0.0.0 --install-on-download --restart 1 "
                      L"--seconds 240"),
               TestDir() + "live.out");
    // Other processes can neither end its connection, nor see it, nor send
    // it a check's answer; it goes on getting its events.
    int liveCookie = live.WaitAdvised(30000);
    ASSERT_GT(liveCookie, 0) << live.Output();
    std::string out;
    EXPECT_EQ(RunZelctl(L"unadvise " + std::to_wstring(liveCookie), out, "unadvise"), 1);
    EXPECT_NE(out.find("Unadvise failed: CONNECT_E_NOCONNECTION (0x80040200): no connection of this process has "
                       "that cookie"),
              std::string::npos)
        << out;
    EXPECT_EQ(RunZelctl(L"connections", out, "connections"), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(RunZelctl(L"check " + std::to_wstring(liveCookie), out, "check3"), 1);
    EXPECT_NE(out.find("E_ACCESSDENIED"), std::string::npos) << out;
    ASSERT_EQ(live.Wait(250000), 0) << live.Output() << svc.Log();
    EXPECT_EQ(live.Count("OnNoUpdates"), 0) << live.Output();
    std::vector<std::string> messages = svc.LogMessages();
    EXPECT_GE(FindMessagePrefix(messages, "Отказано в отключении чужого клиента (dwCoockie: " +
                                              std::to_string(liveCookie) + "): процесс "),
              0)
        << svc.Log();
    EXPECT_GE(FindMessagePrefix(messages, "Отказано в проверке обновлений для клиента (dwCoockie: " +
                                              std::to_string(liveCookie) + "): процесс "),
              0)
        << svc.Log();
    // The download's story in order: OnStart with the version as the
    // server offers it, any OnProcess while the
    // reference server holds the file back, then OnDownload.
    std::string download, install;
    int started = -1, progressOutOfPlace = 0, index = 0;
    for (const std::string& l : live.Lines()) {
        if (l == "OnStart ComNew 2.0.0.1" && started < 0) started = index;
        if (l.rfind("OnProcess ComNew ", 0) == 0 && (started < 0 || !download.empty())) ++progressOutOfPlace;
        if (l.rfind("OnDownload ", 0) == 0) download = l;
        if (l.rfind("Install ", 0) == 0) install = l;
        ++index;
    }
    EXPECT_GE(started, 0) << live.Output();
    EXPECT_EQ(progressOutOfPlace, 0) << live.Output();
    EXPECT_EQ(download, "OnDownload ComNew 2.0.00.01") << live.Output();
    EXPECT_EQ(install, "Install ComNew=1.0.0.0: S_OK (0x00000000)") << live.Output();

    EXPECT_EQ(RunZelctl(L"checkmodule ComNew 1.0.0.0", out, "checkmodule3"), 0);
    EXPECT_EQ(out, "CheckModule: S_OK (0x00000000) 2.0.00.01");
    EXPECT_TRUE(svc.WaitForLog("Add To List: ComNew (1.0.0.0)", 10000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("RunInstaller (Caller PID : " + std::to_string(live.Pid()) + ")", 10000))
        << svc.Log();
    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 60000)) << svc.Log();

    // A stop during an installation, which waits for its requester (the
    // test itself): the service stops, and the monitor window it showed on
    // the user's desktop closes. The installer thread still runs: the
    // process ends around it and destroys nothing it may still use.
    EXPECT_EQ(RunZelctl(L"install parent 0 ComNew=1.0.0.0", out, "install-parent"), 0) << out;
    ASSERT_TRUE(WaitFor([&] { return ProgramsRunningIn(svc.Dir()) == 2; }, 20000)) << svc.Log();
    EXPECT_TRUE(svc.Stop()) << svc.Log();
    EXPECT_TRUE(WaitFor([&] { return ProgramsRunningIn(svc.Dir()) == 0; }, 10000)) << svc.Log();
    EXPECT_TRUE(svc.WaitForLog("Работа службы ещё идёт (", 1000, true)) << svc.Log();
    EndProgramsIn(svc.Dir());
    svc.Uninstall();
}

// Module names that would lead out of the store, through every entry point
// of real client processes: refused or skipped with a warning, and nothing
// is created, queued or started outside the store.
TEST_F(ServerProcess, HostileModuleNamesReachNothingOutsideTheStore) {
    InstalledService svc(TestDir() + "svc4", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());
    // A versioned installer beside the store, as a local attacker could put
    // it anywhere.
    const std::string outside = svc.Dir() + "outside\\";
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\comsetup.exe", outside + "comsetup.exe"));
    RemoveTree(TestDir() + "escape");
    const std::wstring names[] = {L"..\\outside", ToWide(outside + "."), L"\uFF0E\uFF0E\uFF3Coutside"};

    std::string out;
    for (const std::wstring& name : names) {
        SCOPED_TRACE(WideToUtf8(name));
        const std::wstring arg = L"\"" + name + L"\"";
        EXPECT_EQ(RunZelctl(L"add " + arg + L" 1.0.0.0", out, "h-add"), 1);
        EXPECT_NE(out.find("Add failed: E_INVALIDARG (0x80070057)"), std::string::npos) << out;
        EXPECT_EQ(RunZelctl(L"remove " + arg, out, "h-remove"), 1);
        EXPECT_NE(out.find("E_INVALIDARG"), std::string::npos) << out;
        EXPECT_EQ(RunZelctl(L"checkmodule " + arg + L" 1.0.0.0", out, "h-check"), 1);
        EXPECT_EQ(out, "CheckModule: E_INVALIDARG (0x80070057) 1.0.0.0");
        EXPECT_EQ(RunZelctl(L"jobstate " + arg, out, "h-state"), 1);
        EXPECT_NE(out.find("GetState failed: E_INVALIDARG"), std::string::npos) << out;
        EXPECT_EQ(RunZelctl(L"cancel " + arg, out, "h-cancel"), 1);
        EXPECT_NE(out.find("Cancel failed: E_INVALIDARG"), std::string::npos) << out;
    }
    EXPECT_EQ(RunZelctl(L"add ..\\..\\escape 1.0.0.0", out, "h-escape"), 1);

    // Install takes the well-formed call and skips every such entry,
    // whatever version is given: nothing is installed.
    EXPECT_EQ(RunZelctl(L"install 0 1 \"" + names[0] + L"=1.0.0.0\" \"" + names[1] + L"=0\" \"" + names[2] +
                            L"=0.0.0.1\"",
                        out, "h-install"),
              0);
    EXPECT_EQ(out, "Install: S_OK (0x00000000)");
    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 30000)) << svc.Log();

    // A subscription with such an entry: the rest of it is taken.
    Child sneaky(Zelctl(L"watch --name Sneaky --modules ..\\outside=1.0.0.0,ComFine=1.0.0.0 --seconds 300"),
                 TestDir() + "sneaky.out");
    ASSERT_GT(sneaky.WaitAdvised(30000), 0) << sneaky.Output();
    ASSERT_TRUE(WaitFor(
        [] {
            for (const JobView& job : ServiceJobs())
                if (job.description == ClientJob("Name=ComFine|Version=1.0.0.0|Target=")) return true;
            return false;
        },
        30000));

    std::vector<std::string> messages = svc.LogMessages();
    int warnings = 0;
    for (const std::string& m : messages) warnings += m == "Недопустимое имя модуля: ..\\outside";
    EXPECT_EQ(warnings, 7) << svc.Log();
    EXPECT_GE(FindMessage(messages, "Недопустимое имя модуля: ???outside"), 0) << svc.Log();
    EXPECT_GE(FindMessage(messages, "Недопустимое имя модуля: " + outside + "."), 0) << svc.Log();
    EXPECT_GE(FindMessage(messages, "   ComFine (1.0.0.0)"), 0);
    EXPECT_GE(FindMessage(messages, "Ошибка при установке: Список модулей пуст"), 0) << svc.Log();
    EXPECT_LT(FindMessage(messages, "Запускаем обновление:"), 0) << svc.Log();
    EXPECT_LT(FindMessagePrefix(messages, "CheckModule: "), 0) << svc.Log();
    for (const JobView& job : ServiceJobs()) {
        EXPECT_EQ(job.description.find("outside"), std::string::npos) << job.description;
        EXPECT_EQ(job.description.find("escape"), std::string::npos) << job.description;
    }
    EXPECT_FALSE(DirectoryExists(TestDir() + "escape"));
    std::vector<std::string> stored;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((svc.Dir() + "Files\\*").c_str(), &fd);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &fd))
        if (fd.cFileName[0] != '.') stored.push_back(fd.cFileName);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"ComFine", "ZELUPDATE"}));

    sneaky.Kill();
    svc.Stop();
    EndProgramsIn(svc.Dir());
    svc.Uninstall();
}

// A client that freezes in its event handler holds up the others for at
// most the call time limit, and is dropped; the scheduler's timed checks go
// on. The mutex of the broadcasts is squatted by this process meanwhile.
// A client that comes and goes all the time, with calls just before it
// lets go, while the service sets up the jobs it asks for: every round is
// answered, and so is the next client. (Under Wine the last release of an
// interface right after a call on it could leave the service's COM waiting
// for ever; it was seen within a few hundred rounds.)
TEST_F(ServerProcess, ClientsComingAndGoingKeepTheServiceAnswering) {
    InstalledService svc(TestDir() + "svc6", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\n");
    ASSERT_TRUE(svc.Start());
    // The test keeps the service's object meanwhile, as a client
    // application does: the rounds' calls go over connections already made.
    IZELServiceVersion* held = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IZELServiceVersion,
                               reinterpret_cast<void**>(&held)),
              S_OK);
    struct Churn {
        std::atomic<int> rounds{0};
        HRESULT failed = S_OK;
        static DWORD WINAPI Run(void* arg) {
            auto* self = static_cast<Churn*>(arg);
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 600 && SUCCEEDED(self->failed); ++round) {
                IZELAppList* list = nullptr;
                HRESULT hr = CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IZELAppList,
                                              reinterpret_cast<void**>(&list));
                if (SUCCEEDED(hr)) {
                    hr = list->Add(BStr("Churn" + std::to_string(round % 4)), BStr("1.0.0.0"));
                    IConnectionPointContainer* container = nullptr;
                    if (SUCCEEDED(hr))
                        hr = list->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
                    if (SUCCEEDED(hr)) {
                        IConnectionPoint* point = nullptr;
                        hr = container->FindConnectionPoint(IID_IZELUpdateEvents, &point);
                        if (SUCCEEDED(hr)) {
                            IID iid;
                            hr = point->GetConnectionInterface(&iid);
                            point->Release();
                        }
                        container->Release();
                    }
                    list->Release();
                }
                self->failed = hr;
                ++self->rounds;
            }
            CoUninitialize();
            return 0;
        }
    } churn;
    HANDLE thread = CreateThread(nullptr, 0, &Churn::Run, &churn, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // A thread still in a call stays where it is: the process ends with it.
    const DWORD ended = WaitForSingleObject(thread, 240000);
    CloseHandle(thread);
    ASSERT_EQ(ended, WAIT_OBJECT_0) << "a client waits for the service for ever after " << churn.rounds
                                    << " rounds\n" << svc.Log();
    EXPECT_EQ(churn.failed, S_OK) << std::hex << churn.failed << " after " << std::dec << churn.rounds << " rounds";
    held->Release();
    std::string out;
    EXPECT_EQ(RunZelctl(L"version", out, "churn-version"), 0) << out;
    EXPECT_TRUE(svc.Stop());
    svc.Uninstall();
}

TEST_F(ServerProcess, FrozenClientHoldsUpNobody) {
    std::string dir = CatalogueDir("ComHang", "2.0.0.1");
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\comsetup.exe", dir + "comsetup.exe"));
    struct Squatter {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, "UpdateServiceMutex");
        ~Squatter() {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    } squatter;
    ASSERT_NE(squatter.mutex, nullptr);
    InstalledService svc(TestDir() + "svc5", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    // A timed check every 10 seconds.
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\nPeriod=100000000\r\n");
    ASSERT_TRUE(svc.Start());
    {
        Child frozen(Zelctl(L"watch --name Frozen --modules ComHang=1.0.0.0 --hang-on OnStart --seconds 600"),
                     TestDir() + "frozen.out");
        ASSERT_GT(frozen.WaitAdvised(30000), 0) << frozen.Output();
        // One that never answers what the service asks inside its Advise:
        // its Advise is answered all the same, and it is dropped.
        Child stuck(Zelctl(L"watch --name Stuck --modules ComHang=1.0.0.0 --hang-on GetModules --seconds 600"),
                    TestDir() + "stuck.out");
        ASSERT_TRUE(frozen.WaitCount("Hanging in OnStart", 1, 60000)) << frozen.Output() << svc.Log();
        Child live(Zelctl(L"watch --name Live --modules ComHang=1.0.0.0 --exit-on OnDownload --seconds 240"),
                   TestDir() + "live5.out");
        ASSERT_GT(live.WaitAdvised(30000), 0) << live.Output();

        ASSERT_TRUE(svc.WaitForLog("Загружено обновление модуля ComHang версии 2.0.00.01", 120000)) << svc.Log();
        DWORD downloaded = GetTickCount();
        EXPECT_EQ(live.Wait(60000), 0) << live.Output() << svc.Log();
        EXPECT_LT(GetTickCount() - downloaded, 60000u);
        EXPECT_EQ(live.Count("OnDownload ComHang 2.0.00.01"), 1) << live.Output();

        std::vector<std::string> messages = svc.LogMessages();
        EXPECT_GE(FindMessage(messages, "Мьютекс UpdateServiceMutex создан другим процессом или недоступен, "
                                        "события рассылаются под собственной блокировкой"),
                  0)
            << svc.Log();
        EXPECT_LT(FindMessagePrefix(messages, "Не удалось настроить безопасность вызовов COM"), 0) << svc.Log();
        const int stuckCookie = stuck.WaitAdvised(60000);
        ASSERT_GT(stuckCookie, 0) << stuck.Output() << svc.Log();
        EXPECT_TRUE(stuck.WaitCount("Hanging in GetModules", 1, 1000)) << stuck.Output();
        EXPECT_TRUE(svc.WaitForLog("Клиент без имени (dwCoockie: " + std::to_string(stuckCookie) +
                                       ") не ответил за 30 с, отключаем клиента со стороны сервера",
                                   5000))
            << svc.Log();
        stuck.Kill();  // its calls end, and count in no thread below
        int dropped = FindMessagePrefix(messages, "Клиент Frozen (dwCoockie: ");
        ASSERT_GE(dropped, 0) << svc.Log();
        EXPECT_NE(messages[dropped].find(") не ответил за 30 с, отключаем клиента со стороны сервера"),
                  std::string::npos);
        // Timed checks after the frozen client was dropped.
        ASSERT_TRUE(WaitFor(
            [&] {
                auto m = svc.LogMessages();
                int first = FindMessage(m, "Проверка обновлений", dropped);
                return first >= 0 && FindMessage(m, "Проверка обновлений", first + 1) >= 0;
            },
            60000))
            << svc.Log();
        std::string out;
        EXPECT_EQ(RunZelctl(L"clients Frozen", out, "clients5"), 0);
        EXPECT_EQ(out, "0");

        // A process that asks for 40 connections whose sinks never give
        // their name again: 32 are taken, the name is asked 20 times. Its
        // calls hold no more than its connections' workers, and they are
        // dropped; the live client still hears events.
        Child hog(Zelctl(L"watch --name Hog --mask 0 --sinks 40 --hang-on GetName --seconds 600"),
                  TestDir() + "hog.out");
        auto lines = [&](const std::string& prefix) {
            int n = 0;
            for (const std::string& l : hog.Lines()) n += l.rfind(prefix, 0) == 0;
            return n;
        };
        ASSERT_TRUE(WaitFor([&] { return lines("Advise refused: CONNECT_E_ADVISELIMIT") == 8; }, 60000))
            << hog.Output();
        EXPECT_EQ(lines("Advised "), 32) << hog.Output();
        // Each hung call is a worker, and under Wine an RPC thread as well.
        const int before = ThreadsOfProgramIn(svc.Dir());
        EXPECT_EQ(RunZelctl(L"clients Hog", out, "clients-hog"), 0);
        const int first = ThreadsOfProgramIn(svc.Dir());
        for (int i = 1; i < 20; ++i) EXPECT_EQ(RunZelctl(L"clients Hog", out, "clients-hog"), 0) << i;
        const int after = ThreadsOfProgramIn(svc.Dir());
        EXPECT_LE(first, before + 2 * 32) << before;
        EXPECT_LE(after, first + 4) << before << " " << first;
        EXPECT_GE(FindMessagePrefix(svc.LogMessages(), "Отказано в подключении клиента: у процесса "), 0);
        Child heard(Zelctl(L"watch --name Heard --mask 2 --check --exit-on OnNoUpdates --seconds 60"),
                    TestDir() + "heard.out");
        EXPECT_EQ(heard.Wait(90000), 0) << heard.Output() << svc.Log();
    }
    svc.Stop();
    EndProgramsIn(svc.Dir());
    svc.Uninstall();
}
