// What the installed service lets each client process do, with clients in
// other processes: the service's own module, and the process an install
// request may wait for and start again.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ServerProcessSupport.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

using namespace zel;
using namespace zel::test;

// The service's own module is no client's to change: not even an
// administrator cancels, suspends, resumes, removes or re-registers it
// through COM; its job stays and is asked for at the next check.
TEST_F(ServerProcess, TheServicesOwnModuleIsNoClientsToChange) {
    TVersion own = 0;
    ASSERT_TRUE(GetFileVersion(BinDir() + "ZELService.exe", own));
    CatalogueDir("ZELUPDATE", VersionToStr(own));  // the update server has nothing newer
    InstalledService svc(TestDir() + "svc6", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());
    const std::string description = "Name=ZELUPDATE|Version=" + VersionToStr(own) + "|Target=";
    auto ownJobs = [&] {
        int n = 0;
        for (const JobView& job : ServiceJobs()) n += job.description.rfind("Name=ZELUPDATE|", 0) == 0;
        return n;
    };
    auto hasOwnJob = [&] {
        for (const JobView& job : ServiceJobs())
            if (job.description == description) return true;
        return false;
    };
    ASSERT_TRUE(WaitFor(hasOwnJob, 30000));

    std::string out;
    const wchar_t* const refused[] = {L"cancel ZELUPDATE", L"suspend ZELUPDATE", L"resume ZELUPDATE",
                                      L"remove ZELUPDATE", L"add ZELUPDATE 99.0.0.0", L"cancel ZelUpdate",
                                      L"remove zelupdate"};
    for (const wchar_t* command : refused) {
        SCOPED_TRACE(WideToUtf8(command));
        EXPECT_EQ(RunZelctl(command, out, "own"), 1);
        EXPECT_NE(out.find(" failed: E_ACCESSDENIED (0x80070005): refused by the service"), std::string::npos)
            << out;
    }
    // Reading it stays open.
    EXPECT_EQ(RunZelctl(L"jobstate ZELUPDATE", out, "own-state"), 0);
    EXPECT_EQ(out, "3 SUSPENDED");

    auto asked = [&] {
        int n = 0;
        for (const std::string& m : svc.LogMessages()) n += m == "  ModuleName       : ZELUPDATE";
        return n;
    };
    const int before = asked();
    EXPECT_EQ(RunZelctl(L"check", out, "own-check"), 0);
    EXPECT_TRUE(WaitFor([&] { return asked() > before; }, 30000)) << svc.Log();
    EXPECT_TRUE(hasOwnJob()) << svc.Log();
    EXPECT_EQ(ownJobs(), 1);
    int refusals = 0;
    for (const std::string& m : svc.LogMessages())
        refusals += m.find(": отказано в вызове ") != std::string::npos &&
                    m.find(" (собственный модуль службы; процесс ") != std::string::npos;
    EXPECT_EQ(refusals, 7) << svc.Log();
    svc.Stop();
    svc.Uninstall();
}

// An install request waits for, and may start again, only the calling
// process or its parent (a client that started a helper to ask); naming any
// other process starts nothing. A caller's internal name that is no plain
// word never reaches the installer's command line.
TEST_F(ServerProcess, InstallWaitsOnlyForTheCallerOrItsParent) {
    InstalledService svc(TestDir() + "svc7", BinDir() + "ZELService.exe");
    ASSERT_TRUE(svc.Install());
    svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nLogLevel=63\r\n");
    ASSERT_TRUE(svc.Start());
    const std::string installer = svc.Dir() + "Files\\ComOdd\\comsetup.exe";
    ASSERT_TRUE(CopyFileTo(TestDir() + "stubs\\comsetup.exe", installer));

    // A process of its own account that is neither: refused, nothing started.
    Child sibling(Zelctl(L"watch --name Sibling --seconds 120"), TestDir() + "sibling.out");
    ASSERT_GT(sibling.WaitAdvised(30000), 0) << sibling.Output();
    std::string out;
    EXPECT_EQ(RunZelctl(L"install " + std::to_wstring(sibling.Pid()) + L" 1 ComOdd=1.0.0.0", out, "i-sibling"), 1);
    EXPECT_NE(out.find("Install failed: E_ACCESSDENIED (0x80070005): refused by the service"), std::string::npos)
        << out;
    std::vector<std::string> messages = svc.LogMessages();
    EXPECT_GE(FindMessagePrefix(messages, "Отказано в установке с ожиданием процесса " + std::to_string(sibling.Pid()) +
                                              ": это не вызывающий процесс и не его родитель (процесс "),
              0)
        << svc.Log();
    EXPECT_LT(FindMessagePrefix(messages, "RunInstaller"), 0) << svc.Log();
    EXPECT_LT(FindMessage(messages, "Запускаем монитор NSIS"), 0) << svc.Log();
    sibling.Kill();

    // The caller itself, whose internal name is "App /S /D=C:/Temp/evil":
    // the installer runs without it, and no switch of it.
    Child odd(L"\"" + ToWide(TestDir() + "odd\\zelctl.exe") + L"\" install self 1 ComOdd=1.0.0.0",
              TestDir() + "i-odd.out");
    ASSERT_EQ(odd.Wait(60000), 0) << odd.Output();
    ASSERT_TRUE(svc.WaitForLog("Installer Thread Successfully Terminated", 60000)) << svc.Log();
    messages = svc.LogMessages();
    int run = FindMessage(messages, "RunInstaller (Caller PID : " + std::to_string(odd.Pid()) + ")");
    ASSERT_GE(run, 0) << svc.Log();
    EXPECT_GE(FindMessage(messages,
                          "InternalName вызывающей программы не передаётся установщику: App /S /D=C:/Temp/evil", run),
              0)
        << svc.Log();
    EXPECT_GE(FindMessage(messages, "\"" + installer + "\" /service", run), 0) << svc.Log();
    EXPECT_GE(FindMessage(messages, "Код завершения: 0", run), 0) << svc.Log();
    for (const std::string& m : messages) EXPECT_EQ(m.find("/internalname="), std::string::npos) << m;

    // A helper asks for its parent, which is waited for.
    const size_t seen = messages.size();
    Child parent(L"cmd.exe /c " + ToWide(BinDir() + "zelctl.exe") + L" install parent 1 ComOdd=1.0.0.0",
                 TestDir() + "i-parent.out");
    ASSERT_EQ(parent.Wait(60000), 0) << parent.Output();
    EXPECT_EQ(Trim(parent.Output()), "Install: S_OK (0x00000000)");
    ASSERT_TRUE(WaitFor(
        [&] {
            auto m = svc.LogMessages();
            return FindMessage(m, "Installer Thread Successfully Terminated", static_cast<int>(seen)) >= 0;
        },
        60000))
        << svc.Log();
    messages = svc.LogMessages();
    run = FindMessage(messages, "RunInstaller (Caller PID : " + std::to_string(parent.Pid()) + ")",
                      static_cast<int>(seen));
    ASSERT_GE(run, 0) << svc.Log();
    EXPECT_GE(FindMessagePrefix(messages, "Parent Process Full Path: ", run), 0);
    EXPECT_NE(messages[FindMessagePrefix(messages, "Parent Process Full Path: ", run)].find("cmd.exe"),
              std::string::npos);
    EXPECT_GE(FindMessage(messages, "Код завершения: 0", run), 0) << svc.Log();
    svc.Stop();
    EndProgramsIn(svc.Dir());
    svc.Uninstall();
}
