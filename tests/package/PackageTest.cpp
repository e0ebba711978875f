// The installer packages ZELUpdate-<version>.msi under Wine's msiexec, on a
// prefix of their own: install, refusal of the same and older versions,
// upgrade, self-update, removal, and failures that must leave nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/FileTree.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "config/Proxy.h"
#include "config/TrustText.h"
#include "dcperm/DcpermHelpers.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"
#include "base/RegKey.h"

using namespace zel;
using dcperm::test::Ace;
using dcperm::test::DecodeDescriptor;
using dcperm::test::Descriptor;
using dcperm::test::ReadValue;

namespace {

const char* const AppIdKey = "AppID\\{D6A9EA53-5E1A-4103-AF8C-9DB909C74227}";
const char* const ClsidKey = "CLSID\\{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}";
const char* const TypeLibKey = "TypeLib\\{D508BA31-7976-4A58-9588-77CD7BA85B30}";
const char* const UninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char* const ForeignName = "ZELForeign";

// The programs' versions as the COM server tells them.
const std::string OldVersion = VersionToStr(StrToVersion(ZEL_VERSION));
const std::string NewVersion = VersionToStr(StrToVersion(ZEL_NEXT_VERSION));

// An update key of the form the service reads: the base64 of 0x04 and 64
// fixed bytes (the set-up checks the form only). A publisher is 64 hex digits.
std::string TestKey(char fill) { return Base64Encode("\x04" + std::string(64, fill)); }
const std::string TestPublisher = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string Package(const char* version) {
    return test::BinDir() + "..\\packages\\ZELUpdate-" + version + ".msi";
}

bool KeyExists(HKEY root, const std::string& key) {
    HKEY k;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

// Names in a folder, sorted; "" entries of "." and ".." left out.
std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

// The products of the package in "Programs and Features": display version
// by uninstall key.
std::vector<std::pair<std::string, std::string>> UninstallEntries() {
    std::vector<std::pair<std::string, std::string>> entries;
    HKEY root;
    // A 32-bit package's entries lie in the 32-bit view.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UninstallKey, 0, KEY_READ | ServiceKeyView, &root) != ERROR_SUCCESS)
        return entries;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(root, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char display[256] = {}, version[64] = {};
        DWORD displaySize = sizeof display - 1, versionSize = sizeof version - 1;
        if (RegGetValueA(root, name, "DisplayName", RRF_RT_REG_SZ, nullptr, display, &displaySize) ==
                ERROR_SUCCESS &&
            std::string(display) == "ZELUpdate") {
            RegGetValueA(root, name, "DisplayVersion", RRF_RT_REG_SZ, nullptr, version, &versionSize);
            entries.push_back({std::string(UninstallKey) + "\\" + name, version});
        }
    }
    RegCloseKey(root);
    return entries;
}

std::vector<Ace> SortedAces(const Descriptor& d) {
    std::vector<Ace> aces = d.aces;
    std::sort(aces.begin(), aces.end(), [](const Ace& a, const Ace& b) { return a.sid < b.sid; });
    return aces;
}

class PackageTest : public testing::Test {
protected:
    std::string dir = ProgramFilesDir() + "ZELUpdate\\";
    std::string log = test::TestDir() + "msiexec.log";

    static std::string ProgramFilesDir() {
        char path[MAX_PATH] = {};
        // The 32-bit folder, where the package installs: a 64-bit test
        // program sees it as ProgramFiles(x86).
        if (!GetEnvironmentVariableA("ProgramFiles(x86)", path, MAX_PATH))
            GetEnvironmentVariableA("ProgramFiles", path, MAX_PATH);
        return IncludeTrailingBackslash(path);
    }

    // Takes off whatever an earlier run left, so every test starts on a
    // machine without the package.
    void SetUp() override {
        for (const char* v : {ZEL_VERSION, ZEL_NEXT_VERSION}) Msiexec("/x \"" + Package(v) + "\"");
        test::RemoveTree(dir);
        DeleteForeignServices();
        ASSERT_EQ(0u, test::ZelServiceState());
        ASSERT_TRUE(UninstallEntries().empty());
    }
    void TearDown() override { DeleteForeignServices(); }

    // msiexec with /qn and a verbose log; the whole exit code (inside Wine).
    int Msiexec(const std::string& args) {
        DeleteFileA(log.c_str());
        return test::RunProcess("msiexec " + args + " /qn /l*v \"" + log + "\"", 180000);
    }
    int Install(const char* version, const std::string& properties = std::string()) {
        return Msiexec("/i \"" + Package(version) + "\"" + (properties.empty() ? "" : " " + properties));
    }

    std::string ClientVersion() {
        std::string out;
        int code = test::RunProcessOutput("\"" + dir + "zelctl.exe\" version", out, 60000);
        return code == 0 ? Trim(out) : "exit " + std::to_string(code) + ": " + out;
    }

    std::vector<std::string> Installed() { return Listing(dir); }

    // Nothing of the package: no service, no COM server, no folder, no entry.
    void ExpectNothingLeft(const std::vector<std::string>& remaining = {}) {
        EXPECT_EQ(0u, test::ZelServiceState());
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKey));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\ZELService.exe"));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "ZELUpdate.ZELUpdateServer"));
        EXPECT_TRUE(UninstallEntries().empty());
        if (remaining.empty())
            EXPECT_FALSE(DirectoryExists(dir)) << "left: " << Installed().size() << " entries";
        else
            EXPECT_EQ(remaining, Installed());
    }

    bool CreateForeignService(const char* name, const char* display) {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        SC_HANDLE s = CreateServiceA(m, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\Foreign\\foreign.exe", nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
        if (s) CloseServiceHandle(s);
        CloseServiceHandle(m);
        return s != nullptr;
    }
    std::string ForeignImage(const char* name) {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE s = OpenServiceA(m, name, SERVICE_QUERY_CONFIG);
        std::string image;
        std::vector<char> buf(8192);
        DWORD need = 0;
        auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
        if (s && QueryServiceConfigA(s, q, static_cast<DWORD>(buf.size()), &need)) image = q->lpBinaryPathName;
        if (s) CloseServiceHandle(s);
        CloseServiceHandle(m);
        return image;
    }
    void DeleteForeignServices() {
        SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        for (const char* name : {ForeignName, "ZELUpdate"}) {
            SC_HANDLE s = OpenServiceA(m, name, DELETE | SERVICE_QUERY_CONFIG);
            if (!s) continue;
            char buf[8192];
            DWORD need = 0;
            auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf);
            if (QueryServiceConfigA(s, q, sizeof buf, &need) && std::string(q->lpBinaryPathName).find("Foreign") !=
                                                                       std::string::npos)
                DeleteService(s);
            CloseServiceHandle(s);
        }
        CloseServiceHandle(m);
    }
};

}  // namespace

TEST_F(PackageTest, InstallUpgradeAndRemoveKeepingData) {
    // A URL with the characters a command line and a settings file could trip on;
    // two update keys with a blank between them and a publisher in capitals.
    const std::string url = "http://127.0.0.1:8080/upd?a=1&b=%41 x=y";
    const std::string keys = TestKey('\x11') + "," + TestKey('\x22');
    ASSERT_EQ(0, Install(ZEL_VERSION, "\"URL=" + url + "\" LOGLEVEL=62 \"UPDATEKEYS=" + TestKey('\x11') + ", " +
                                          TestKey('\x22') + "\" PUBLISHERS=" + UpperCase(TestPublisher)))
        << test::ReadFileBytes(log);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());
    EXPECT_EQ(OldVersion, ClientVersion());  // an ordinary client process reaches the COM server
    // Only the properties given, in the file's own form.
    EXPECT_EQ("URL=" + url + "\r\nLogLevel=62\r\nUpdateKeys=" + keys + "\r\nPublishers=" + TestPublisher + "\r\n",
              test::ReadFileBytes(dir + ".config"));
    EXPECT_EQ((std::vector<std::string>{".config", "Files", "Logs", "PolicyDefinitions", "README.md", "Service.dll",
                                        "ZELService.exe", "ZELUpdate-DCOM.txt", "dcperm.exe", "zelctl.exe"}),
              Installed());
    for (const char* file : {"ZELUpdate.admx", "ru-RU\\ZELUpdate.adml", "en-US\\ZELUpdate.adml"})
        EXPECT_TRUE(FileExists(dir + "PolicyDefinitions\\" + file)) << file;

    // The script's entries, read back from the AppID: local access and launch.
    DWORD type = 0;
    std::string bytes;
    for (const char* value : {"AccessPermission", "LaunchPermission"}) {
        ASSERT_TRUE(ReadValue(HKEY_CLASSES_ROOT, AppIdKey, value, type, bytes)) << value;
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        Descriptor d = DecodeDescriptor(bytes);
        ASSERT_TRUE(d.valid && d.hasDacl) << value;
        DWORD mask = std::string(value) == "AccessPermission" ? 3 : 11;  // execute | local (| activate local)
        const BYTE A = ACCESS_ALLOWED_ACE_TYPE;
        EXPECT_EQ((std::vector<Ace>{{A, mask, "S-1-5-11"}, {A, mask, "S-1-5-18"}, {A, mask, "S-1-5-32-544"},
                                    {A, mask, "S-1-5-4"}}),
                  SortedAces(d))
            << value;
    }
    auto entries = UninstallEntries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(ZEL_PRODUCT_VERSION, entries[0].second);
    std::string uninstall;
    ASSERT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, entries[0].first, "UninstallString", type, uninstall, ServiceKeyView));
    EXPECT_NE(std::string::npos, uninstall.find("/X{")) << uninstall;

    // The same version again is refused and changes nothing.
    EXPECT_NE(0, Install(ZEL_VERSION));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("does not replace the same or a newer version"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());

    // The upgrade keeps the settings and the store; the new program runs. It
    // needs no UPDATEKEYS: the installed settings name the keys.
    std::string config = test::ReadFileBytes(dir + ".config") + "SecFlags=12\r\n";
    test::WriteFileBytes(dir + ".config", config);
    ForceDirectories(dir + "Files\\Demo");
    test::WriteFileBytes(dir + "Files\\Demo\\demo-setup.exe", "stored");
    ASSERT_EQ(0, Install(ZEL_NEXT_VERSION)) << test::ReadFileBytes(log);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());
    EXPECT_EQ(NewVersion, ClientVersion());
    EXPECT_EQ(config, test::ReadFileBytes(dir + ".config"));
    EXPECT_EQ("stored", test::ReadFileBytes(dir + "Files\\Demo\\demo-setup.exe"));
    entries = UninstallEntries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(ZEL_NEXT_PRODUCT_VERSION, entries[0].second);
    EXPECT_TRUE(ReadValue(HKEY_CLASSES_ROOT, AppIdKey, "AccessPermission", type, bytes));

    // An older version is refused.
    EXPECT_NE(0, Install(ZEL_VERSION));
    EXPECT_EQ(NewVersion, ClientVersion());

    // Removal with KEEPDATA=1 leaves exactly the store and the logs.
    ASSERT_EQ(0, Msiexec("/x \"" + Package(ZEL_NEXT_VERSION) + "\" KEEPDATA=1")) << test::ReadFileBytes(log);
    ExpectNothingLeft({"Files", "Logs"});
    EXPECT_EQ("stored", test::ReadFileBytes(dir + "Files\\Demo\\demo-setup.exe"));
}

TEST_F(PackageTest, SelfUpdatedProgramIsUpgradedAndRemoved) {
    ASSERT_EQ(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1")) << test::ReadFileBytes(log);
    EXPECT_FALSE(FileExists(dir + ".config"));  // no setting given: no settings file

    // The service replaces itself from its store at the stop, as after a download.
    ForceDirectories(dir + "Files\\ZELUPDATE");
    ASSERT_TRUE(test::CopyFileTo(test::BinDir() + "next\\ZELService.exe", dir + "Files\\ZELUPDATE\\ZELService.exe"));
    ASSERT_TRUE(test::StopZelService());
    EXPECT_TRUE(FileExists(dir + "ZELService.tmp"));
    ASSERT_TRUE(test::StartZelService());
    EXPECT_EQ(NewVersion, ClientVersion());
    EXPECT_FALSE(FileExists(dir + "ZELService.tmp"));

    // An upgrade without update keys is refused too, before the older version
    // is removed: an UpdateKeys= line that names no key does not count.
    test::WriteFileBytes(dir + ".config", "UpdateKeys= \r\n");
    EXPECT_NE(0, Install(ZEL_NEXT_VERSION));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("would not be verified")) << test::ReadFileBytes(log);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());
    ASSERT_EQ(1u, UninstallEntries().size());
    EXPECT_EQ(ZEL_PRODUCT_VERSION, UninstallEntries()[0].second);

    // A package upgrade over the replaced program, then a removal of everything.
    ASSERT_EQ(0, Install(ZEL_NEXT_VERSION, "ALLOWUNSIGNED=1")) << test::ReadFileBytes(log);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());
    EXPECT_EQ(NewVersion, ClientVersion());
    EXPECT_EQ(1u, UninstallEntries().size());
    EXPECT_FALSE(test::ServiceJobs().empty());  // the service watches its own updates
    ASSERT_EQ(0, Msiexec("/x \"" + Package(ZEL_NEXT_VERSION) + "\"")) << test::ReadFileBytes(log);
    ExpectNothingLeft();
    EXPECT_TRUE(test::ServiceJobs().empty());
}

TEST_F(PackageTest, AFailedStepLeavesNothing) {
    // A value that the service could not use is refused before anything is done.
    EXPECT_NE(0, Install(ZEL_VERSION, "URL=http://127.0.0.1:8080/ LOGLEVEL=300 ALLOWUNSIGNED=1"));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("LOGLEVEL must be a log mask from 0 to 255"));
    ExpectNothingLeft();

    // So is a package without an update key: nobody would verify the answers
    // of the update server.
    EXPECT_NE(0, Install(ZEL_VERSION, "URL=http://127.0.0.1:8080/"));
    EXPECT_NE(std::string::npos,
              test::ReadFileBytes(log).find("ZELUpdate: The answers of the update server would not be verified: this "
                                            "package carries no update key and UPDATEKEYS is not given."))
        << test::ReadFileBytes(log);
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("or ALLOWUNSIGNED=1 to install without verification."));
    ExpectNothingLeft();

    // Every entry of the keys and the publishers must be of the form, also
    // when unverified answers are allowed: a compressed point, no entry at
    // all, a publisher one digit short.
    const std::string compressed = Base64Encode("\x02" + std::string(32, '\x11'));
    EXPECT_NE(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1 \"UPDATEKEYS=" + TestKey('\x11') + "," + compressed + "\""));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("UPDATEKEYS must be comma-separated base64 P-256 public "
                                                               "keys (65-byte uncompressed points); \"" +
                                                               compressed + "\" is not one."))
        << test::ReadFileBytes(log);
    ExpectNothingLeft();
    EXPECT_NE(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1 UPDATEKEYS=,"));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("(65-byte uncompressed points); \",\" names none."))
        << test::ReadFileBytes(log);
    ExpectNothingLeft();
    const std::string shortPublisher = TestPublisher.substr(1);
    EXPECT_NE(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1 UPDATEKEYS=" + TestKey('\x11') + " PUBLISHERS=" + shortPublisher));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("PUBLISHERS must be comma-separated hexadecimal SHA-256 "
                                                               "hashes of the signing certificates' public key info "
                                                               "(64 digits each); \"" +
                                                               shortPublisher + "\" is not one."))
        << test::ReadFileBytes(log);
    ExpectNothingLeft();

    // Another service already shows the name "ZELUpdate": the program's own
    // registration fails after the settings file and its log were written.
    ASSERT_TRUE(CreateForeignService(ForeignName, "ZELUpdate"));
    EXPECT_NE(0, Install(ZEL_VERSION, "URL=http://127.0.0.1:8080/ ALLOWUNSIGNED=1"));
    EXPECT_NE(std::string::npos,
              test::ReadFileBytes(log).find(
                  "the step \"register the service and the COM server (ZELService.exe /install)\" failed"))
        << test::ReadFileBytes(log);
    ExpectNothingLeft();
    DeleteForeignServices();

    // A service of the same name is not replaced.
    ASSERT_TRUE(CreateForeignService("ZELUpdate", "ZELUpdate"));
    EXPECT_NE(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1"));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("A service named ZELUpdate is already installed"));
    EXPECT_EQ("C:\\Foreign\\foreign.exe", ForeignImage("ZELUpdate"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey));
    EXPECT_TRUE(UninstallEntries().empty());
    EXPECT_FALSE(DirectoryExists(dir));
}

namespace {

bool HasEveryone(const test::AccessList& list) {
    for (const test::AccessEntry& e : list.entries)
        if (e.sid == "S-1-1-0") return true;
    return false;
}

test::AccessList ProxyKeyAccess() {
    HKEY key = nullptr;
    test::AccessList list;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, READ_CONTROL | ServiceKeyView, &key) != ERROR_SUCCESS)
        return list;
    std::vector<BYTE> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size) == ERROR_SUCCESS)
        list = test::DecodeAccess(buffer.data());
    RegCloseKey(key);
    return list;
}

}  // namespace

// Elsewhere than below the Program Files folders the package goes only when
// told to, and then the folder is locked as everywhere: under Wine, which
// keeps no access lists of files, the folders show it in having lost the
// read right of Everyone; the proxy key, left open to everybody, carries its
// list as it is.
TEST_F(PackageTest, AFolderOutsideProgramFilesOnlyWithALLOWCUSTOMDIR) {
    dir = "C:\\ZELU\\";
    test::RemoveTree(dir);
    EXPECT_NE(0, Install(ZEL_VERSION, "INSTALLDIR=C:\\ZELU\\ ALLOWUNSIGNED=1"));
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("INSTALLDIR C:\\ZELU\\ lies outside the Program Files "
                                                               "folders"))
        << test::ReadFileBytes(log);
    EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("or give ALLOWCUSTOMDIR=1 to install there"));
    ExpectNothingLeft();

    ASSERT_TRUE(test::CreateKeyOpenToEveryone(SettingsKey));
    ASSERT_EQ(0, Install(ZEL_VERSION, "INSTALLDIR=C:\\ZELU\\ ALLOWCUSTOMDIR=1 ALLOWUNSIGNED=1"))
        << test::ReadFileBytes(log);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), test::ZelServiceState());
    EXPECT_EQ(OldVersion, ClientVersion());
    for (const std::string& folder : {dir, dir + "Files", dir + "Logs"}) {
        test::AccessList list = test::FileAccess(folder);
        EXPECT_TRUE(list.valid) << folder;
        EXPECT_FALSE(HasEveryone(list)) << folder;
    }
    test::AccessList key = ProxyKeyAccess();
    EXPECT_TRUE(key.isProtected);
    EXPECT_EQ(key.entries, (std::vector<test::AccessEntry>{{"S-1-5-18", KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE},
                                                          {"S-1-5-32-544", KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE},
                                                          {"S-1-5-32-545", KEY_READ, CONTAINER_INHERIT_ACE}}));
    ASSERT_EQ(0, Msiexec("/x \"" + Package(ZEL_VERSION) + "\"")) << test::ReadFileBytes(log);
    ExpectNothingLeft();
}

// A link in the store to a folder elsewhere: the removal takes the link at
// most (Wine cannot remove one, and says so), never what it leads to.
TEST_F(PackageTest, RemovalLeavesWhatALinkInTheStoreLeadsTo) {
    ASSERT_EQ(0, Install(ZEL_VERSION, "ALLOWUNSIGNED=1")) << test::ReadFileBytes(log);
    const std::string elsewhere = "C:\\ZELElsewhere\\", link = dir + "Files\\Linked";
    test::RemoveTree(elsewhere);
    test::WriteFileBytes(elsewhere + "Demo\\setup.exe", "kept");
    ASSERT_TRUE(ForceDirectories(dir + "Files"));
    ASSERT_TRUE(test::MakeFolderLink(elsewhere, link));
    ASSERT_EQ(0, Msiexec("/x \"" + Package(ZEL_VERSION) + "\"")) << test::ReadFileBytes(log);
    EXPECT_EQ("kept", test::ReadFileBytes(elsewhere + "Demo\\setup.exe"));
    EXPECT_EQ(0u, test::ZelServiceState());
    if (IsLink(link)) {
        EXPECT_NE(std::string::npos, test::ReadFileBytes(log).find("the link " + link + " cannot be removed"))
            << test::ReadFileBytes(log);
        EXPECT_TRUE(test::RemoveFolderLink(link));
    }
    test::RemoveTree(dir);
    test::RemoveTree(elsewhere);
}
