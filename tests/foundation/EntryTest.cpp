// The registration roles of the real program under the real service
// control manager.
#include <gtest/gtest.h>

#include <vector>

#include "base/Text.h"
#include "base/Versions.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

class EntryTest : public testing::Test {
protected:
    std::string app = test::TestDir() + "app dir\\";  // a path with a blank
    std::string exe = app + "ZELService.exe";

    void SetUp() override {
        test::RunProcess("\"" + test::BinDir() + "ZELService.exe\" /uninstall");
        test::RemoveTree(app);
        ASSERT_TRUE(test::CopyFileTo(test::BinDir() + "ZELService.exe", exe));
    }
    void TearDown() override { test::RunProcess("\"" + exe + "\" /uninstall"); }

    int Run(const std::string& args) { return test::RunProcess("\"" + exe + "\" " + args); }

    bool ServiceExists() {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = OpenServiceA(m, "ZELUpdate", SERVICE_QUERY_CONFIG);
        bool exists = s != nullptr;
        if (s) CloseServiceHandle(s);
        CloseServiceHandle(m);
        return exists;
    }
};

struct ServiceConfig {
    DWORD type = 0, start = 0, errorControl = 0;
    std::string image, display, account, description;
};

bool ReadConfig(ServiceConfig& c) {
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = OpenServiceA(m, "ZELUpdate", SERVICE_QUERY_CONFIG);
    if (!s) {
        CloseServiceHandle(m);
        return false;
    }
    std::vector<char> buf(8192);
    DWORD need = 0;
    auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    bool ok = QueryServiceConfigA(s, q, static_cast<DWORD>(buf.size()), &need);
    if (ok) {
        c.type = q->dwServiceType;
        c.start = q->dwStartType;
        c.errorControl = q->dwErrorControl;
        c.image = q->lpBinaryPathName ? q->lpBinaryPathName : "";
        c.display = q->lpDisplayName ? q->lpDisplayName : "";
        c.account = q->lpServiceStartName ? q->lpServiceStartName : "";
    }
    std::vector<char> dbuf(8192);
    if (QueryServiceConfig2A(s, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(dbuf.data()),
                             static_cast<DWORD>(dbuf.size()), &need)) {
        auto* d = reinterpret_cast<SERVICE_DESCRIPTIONA*>(dbuf.data());
        c.description = d->lpDescription ? d->lpDescription : "";
    }
    CloseServiceHandle(s);
    CloseServiceHandle(m);
    return ok;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(EntryTest, InstallRegistersTheServiceWithItsData) {
    ASSERT_EQ(Run("/INSTALL"), 0);
    ServiceConfig c;
    ASSERT_TRUE(ReadConfig(c));
    EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(c.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(c.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_TRUE(SameText(c.image, "\"" + exe + "\" /Service")) << c.image;
    EXPECT_EQ(c.display, "ZELUpdate");
    EXPECT_EQ(c.description, "Служба обновления ЗЕЛ");

    TVersion v = 0;
    ASSERT_TRUE(GetFileVersion(exe, v));
    std::string log = test::ReadLog(app);
    std::string line = "Установка службы обновления ЗЕЛ " + VersionToStr(v);
    EXPECT_EQ(Count(log, line), 1u) << log;
    // The log is Windows-1251: "Установка" as single bytes.
    EXPECT_NE(log.find("\xD3\xF1\xF2\xE0\xED\xEE\xE2\xEA\xE0"), std::string::npos);

    // A second install writes its line and changes nothing else.
    ASSERT_EQ(Run("-install"), 0);
    ServiceConfig again;
    ASSERT_TRUE(ReadConfig(again));
    EXPECT_EQ(again.image, c.image);
    EXPECT_EQ(Count(test::ReadLog(app), line), 2u);

    ASSERT_EQ(Run("/uninstall"), 0);
    EXPECT_FALSE(ServiceExists());
    EXPECT_NE(test::ReadLog(app).find("Удаление службы обновления ЗЕЛ " + VersionToStr(v)), std::string::npos);
}

TEST_F(EntryTest, UninstallOfAMissingServiceFails) {
    EXPECT_FALSE(ServiceExists());
    int code = Run("/uninstall");
    EXPECT_NE(code, 0);
    EXPECT_EQ(code, 1);
    // The failure is in the log too.
    std::string log = test::ReadLog(app);
    EXPECT_NE(log.find("1060"), std::string::npos) << log;
}

TEST_F(EntryTest, SwitchRules) {
    EXPECT_EQ(Run("install"), 0);  // no leading dash: nothing
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(Run(""), 0);
    EXPECT_EQ(Run("/run"), 0);
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(FileExists(test::TodayLogPath(app)));
    // Only the first switch of the table counts: install wins.
    EXPECT_EQ(Run("/uninstall /install"), 0);
    EXPECT_TRUE(ServiceExists());
}

// A log that cannot be written is no reason to fail a registration.
TEST_F(EntryTest, RegistrationRolesDoNotNeedTheLog) {
    // A directory where today's file should be: no line can be written.
    ASSERT_TRUE(ForceDirectories(test::TodayLogPath(app)));
    EXPECT_EQ(Run("/install"), 0);
    EXPECT_TRUE(ServiceExists());
    EXPECT_EQ(Run("/uninstall"), 0);
    EXPECT_FALSE(ServiceExists());
    // A failure is still told by the exit code.
    EXPECT_EQ(Run("/uninstall"), 1);
}
