#include <gtest/gtest.h>

#include <algorithm>

#include "base/ModuleName.h"
#include "base/Text.h"
#include "config/Trust.h"
#include "store/CodeSignature.h"
#include "store/Digest.h"
#include "store/InstallList.h"
#include "store/ModuleList.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

class StoreTest : public testing::Test {
protected:
    void SetUp() override { test::RemoveTree(GetFilesDir()); }
    void TearDown() override { test::RemoveTree(GetFilesDir()); }

    // Copies a stub program of the build into the module's directory.
    static void Put(const std::string& module, const std::string& stub, const std::string& as = std::string()) {
        ASSERT_TRUE(ForceDirectories(GetModuleDir(module)));
        std::string to = GetModuleDir(module) + "\\" + (as.empty() ? stub + ".exe" : as);
        ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "data\\" + stub + ".exe", to)) << to;
    }
    static std::string Newest(const std::string& module, const std::string& filter) {
        TLocalFile file;
        if (!GetNewestInstaller(module, filter, file)) return "-";
        return ExtractFileName(file.FileName);
    }
};

}  // namespace

TEST_F(StoreTest, Paths) {
    EXPECT_EQ(GetFilesDir(), test::TestDir() + "Files");
    EXPECT_EQ(GetModuleDir("Модуль"), test::TestDir() + "Files\\Модуль");
    EXPECT_EQ(UpdateTypeFilter(0), "F");
    EXPECT_EQ(UpdateTypeFilter(StrToVersion("1.0.0.1")), "");
    EXPECT_EQ(InstallUpdateType(0), "F");
    EXPECT_EQ(InstallUpdateType(StrToVersion("1.0.0.1")), "U");
}

TEST_F(StoreTest, NewestInstallerByUpdateType) {
    // Nothing at all: no root, no module directory.
    std::vector<std::string> names;
    EXPECT_FALSE(ListModuleDirs(names));
    EXPECT_EQ(GetNewestInstallerVersion("m", ""), 0);
    EXPECT_TRUE(IsModuleDirEmpty("m"));

    // Only a program without a version resource: never chosen.
    Put("m", "plain");
    EXPECT_EQ(Newest("m", ""), "-");
    EXPECT_EQ(Newest("m", "F"), "-");
    EXPECT_FALSE(IsModuleDirEmpty("m"));

    Put("m", "a");
    Put("m", "b");
    Put("m", "c");
    EXPECT_EQ(Newest("m", "F"), "c.exe");
    EXPECT_EQ(Newest("m", ""), "b.exe");
    EXPECT_EQ(Newest("m", "U"), "b.exe");
    EXPECT_EQ(GetNewestInstallerVersion("m", "F"), StrToVersion("1.0.0.6"));

    TFileList list;
    ASSERT_TRUE(FindModuleFiles("m", list, "", "*.exe"));
    ASSERT_EQ(list.size(), 3u);  // plain.exe is left out
    EXPECT_EQ(list[0].FileName, GetModuleDir("m") + "\\b.exe");
    EXPECT_EQ(VersionToStr(list[1].Version), "1.0.00.06");
    EXPECT_EQ(VersionToStr(list[2].Version), "1.0.00.05");
    // The mask is applied, and "U" excludes the "F" installer only.
    EXPECT_FALSE(FindModuleFiles("m", list, "", "*.msi"));
    EXPECT_TRUE(list.empty());
    ASSERT_TRUE(FindModuleFiles("m", list, "U", "*.*"));
    EXPECT_EQ(list.size(), 2u);

    // Both letters suit both kinds of update.
    Put("m", "fu");
    EXPECT_EQ(Newest("m", "F"), "fu.exe");
    EXPECT_EQ(Newest("m", "U"), "fu.exe");

    Put("other", "c");
    ASSERT_TRUE(ListModuleDirs(names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"m", "other"}));

    // An installer replaced by another of the same name and size is read
    // anew: the next listing sees the other version and the other type.
    Put("swap", "a", "setup.exe");
    EXPECT_EQ(GetNewestInstallerVersion("swap", ""), StrToVersion("1.0.0.5"));
    EXPECT_EQ(GetNewestInstallerVersion("swap", "F"), StrToVersion("1.0.0.5"));
    Put("swap", "b", "setup.exe");
    EXPECT_EQ(GetNewestInstallerVersion("swap", ""), StrToVersion("1.0.0.7"));
    EXPECT_EQ(GetNewestInstallerVersion("swap", "F"), 0);
    EXPECT_EQ(GetNewestInstallerVersion("swap", "U"), StrToVersion("1.0.0.7"));
}

TEST_F(StoreTest, VersionedDirsAndSizes) {
    TFileList list;
    EXPECT_FALSE(ListVersionedDirs("m", list));
    for (const char* d : {"m@1.0.0.1", "m@1.0.0.10", "m@1.0.0.2", "mx@9.0", "m"})
        ASSERT_TRUE(ForceDirectories(GetFilesDir() + "\\" + d));
    test::WriteFileBytes(GetFilesDir() + "\\m@2.0", "file, not a directory");
    ASSERT_TRUE(ListVersionedDirs("m", list));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].FileName, GetFilesDir() + "\\m@1.0.0.10");
    EXPECT_EQ(list[1].FileName, GetFilesDir() + "\\m@1.0.0.2");
    EXPECT_EQ(list[2].FileName, GetFilesDir() + "\\m@1.0.0.1");
    EXPECT_EQ(list[0].Version, StrToVersion("1.0.0.10"));

    // An existing directory is never empty: its own "." entry counts.
    EXPECT_FALSE(IsModuleDirEmpty("m"));

    test::WriteFileBytes(GetModuleDir("m") + "\\setup.exe", std::string(1500, 'x'));
    EXPECT_EQ(GetFileSize64(GetModuleDir("m") + "\\setup.exe"), 1500);
    EXPECT_EQ(GetFileSize64(GetModuleDir("m") + "\\*.exe"), 1500);
    EXPECT_EQ(GetFileSize64(GetModuleDir("m") + "\\none.exe"), 0);
    EXPECT_TRUE(IsFileDownloaded("m", "setup.exe", 1500));
    EXPECT_FALSE(IsFileDownloaded("m", "setup.exe", 1499));
    EXPECT_FALSE(IsFileDownloaded("m", "none.exe", 0));
    ASSERT_TRUE(ForceDirectories(GetModuleDir("m") + "\\sub"));
    EXPECT_FALSE(IsFileDownloaded("m", "sub", 0));  // a directory is no file

    // Paths are cut to a short string's 255 characters.
    TFileList files;
    EXPECT_EQ(AddLocalFile(files, std::string(300, 'p'), 7), 0);
    EXPECT_EQ(files[0].FileName.size(), 255u);
    EXPECT_EQ(AddVersionedFile(files, GetModuleDir("m") + "\\setup.exe"), 0);
    EXPECT_EQ(files.size(), 1u);
}

TEST_F(StoreTest, InstallListChoosesByInstalledVersion) {
    Put("upd", "b");    // "U" only
    Put("any", "c");    // no UpdateType
    Put("both", "a");   // "F" 1.0.0.5
    Put("both", "b");   // "U" 1.0.0.7
    TInstallList list({"upd=0.0.0.0", "upd=", "missing=1.0.0.1", "any=0", "upd=1.0.0.1", "both=0",
                       "both=1.0.0.1", "=1.0", "novalue", "any=2.0"});
    ASSERT_EQ(list.Count(), 5u);
    EXPECT_EQ(list.Items(0).ModuleName, "any");
    EXPECT_EQ(ExtractFileName(list.Items(0).InstallerFile.FileName), "c.exe");
    EXPECT_EQ(list.Items(1).ModuleName, "upd");
    EXPECT_EQ(list.Items(1).InstallerFile.FileName, GetModuleDir("upd") + "\\b.exe");
    EXPECT_EQ(list.Items(1).InstallerFile.Version, StrToVersion("1.0.0.7"));
    EXPECT_EQ(ExtractFileName(list.Items(2).InstallerFile.FileName), "a.exe");
    EXPECT_EQ(ExtractFileName(list.Items(3).InstallerFile.FileName), "b.exe");
    EXPECT_EQ(list.Items(4).ModuleName, "any");

    TInstallList empty({"upd=0", "missing=1"});
    EXPECT_EQ(empty.Count(), 0u);
}

TEST_F(StoreTest, FileDigests) {
    auto digest = [](const std::string& path) {
        std::string d;
        return FileSha256(path, d) ? d : std::string("-");
    };
    const std::string dir = GetModuleDir("d") + "\\";
    test::WriteFileBytes(dir + "empty", "");
    test::WriteFileBytes(dir + "abc", "abc");
    std::string big;  // several reading blocks and a part of one
    for (int i = 0; i < 12289; ++i)
        for (int c = 0; c < 256; ++c) big += static_cast<char>(c);
    test::WriteFileBytes(dir + "big", big);
    EXPECT_EQ(digest(dir + "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest(dir + "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest(dir + "big"), "679361bf172a2b2f3d48919ee7b2b6fea9cf6e351005736ac7274ac8fde4e0f2");
    EXPECT_EQ(digest(dir + "none"), "-");
    EXPECT_EQ(digest(dir), "-");
    // Bytes that someone may still be writing are not vouched for.
    HANDLE writer = CreateFileA((dir + "abc").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(digest(dir + "abc"), "-");
    CloseHandle(writer);

    std::string parsed;
    EXPECT_TRUE(ParseSha256("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", parsed));
    EXPECT_EQ(parsed, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    for (const std::string& text : {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
                                    std::string(63, 'a') + " ", std::string()})
        EXPECT_FALSE(ParseSha256(text, parsed)) << text;

    // The already-downloaded test with a digest looks at the bytes too.
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(IsFileDownloaded("d", "abc", 3, abc));
    EXPECT_TRUE(IsFileDownloaded("d", "abc", 3));
    test::WriteFileBytes(dir + "abc", "abd");
    EXPECT_TRUE(IsFileDownloaded("d", "abc", 3));
    EXPECT_FALSE(IsFileDownloaded("d", "abc", 3, abc));
    EXPECT_FALSE(IsFileDownloaded("d", "abc", 4, abc));
}

TEST_F(StoreTest, ADownloadWithADigestTakesItsNameOnlyWhenItMatches) {
    const std::string dir = GetModuleDir("m") + "\\";
    const std::string path = dir + "setup.exe";
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_TRUE(IsStoreWorkName("setup.exe.sha256"));
    EXPECT_TRUE(IsStoreWorkName("SETUP.EXE.Unverified"));
    EXPECT_FALSE(IsStoreWorkName("setup.exe"));

    // Without a digest BITS writes the file itself, and no record of an
    // earlier download stays.
    test::WriteFileBytes(DigestRecordPath(path), abc);
    test::WriteFileBytes(HoldingPath(path), "left over");
    EXPECT_EQ(PrepareDownload(path, ""), path);
    EXPECT_FALSE(FileExists(DigestRecordPath(path)));
    EXPECT_FALSE(FileExists(HoldingPath(path)));
    test::WriteFileBytes(path, "plain");
    TDownloadCheck plain = SettleDownload(path);
    EXPECT_EQ(plain.Result, TDownloadCheck::Plain);
    EXPECT_EQ(plain.Path, path);
    EXPECT_EQ(test::ReadFileBytes(path), "plain");

    // With one, the download goes to the holding name beside its record and
    // replaces the file of that name once it matches.
    test::WriteFileBytes(HoldingPath(path), "left over");
    ASSERT_EQ(PrepareDownload(path, abc), HoldingPath(path));
    EXPECT_FALSE(FileExists(HoldingPath(path)));
    EXPECT_EQ(test::ReadFileBytes(DigestRecordPath(path)), abc + "\r\n");
    test::WriteFileBytes(HoldingPath(path), "abc");
    TDownloadCheck good = SettleDownload(HoldingPath(path));
    EXPECT_EQ(good.Result, TDownloadCheck::Verified);
    EXPECT_EQ(good.Path, path);
    EXPECT_EQ(good.Expected, abc);
    EXPECT_EQ(good.Actual, abc);
    EXPECT_EQ(test::ReadFileBytes(path), "abc");
    EXPECT_FALSE(FileExists(HoldingPath(path)));
    EXPECT_FALSE(FileExists(DigestRecordPath(path)));

    // Other bytes are deleted; the file already under that name stays.
    // The record survives until then, as it must across a restart.
    ASSERT_EQ(PrepareDownload(path, abc), HoldingPath(path));
    test::WriteFileBytes(HoldingPath(path), "abd");
    TDownloadCheck bad = SettleDownload(HoldingPath(path));
    EXPECT_EQ(bad.Result, TDownloadCheck::Rejected);
    EXPECT_EQ(bad.Path, path);
    EXPECT_EQ(bad.Expected, abc);
    EXPECT_EQ(bad.Actual, "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9");
    EXPECT_FALSE(FileExists(HoldingPath(path)));
    EXPECT_FALSE(FileExists(DigestRecordPath(path)));
    EXPECT_EQ(test::ReadFileBytes(path), "abc");

    // A holding file whose record is gone or unreadable cannot be vouched for.
    for (const std::string& record : {std::string(), std::string("not a digest")}) {
        test::WriteFileBytes(HoldingPath(path), "abc");
        if (!record.empty()) test::WriteFileBytes(DigestRecordPath(path), record);
        TDownloadCheck lost = SettleDownload(HoldingPath(path));
        EXPECT_EQ(lost.Result, TDownloadCheck::Rejected);
        EXPECT_EQ(lost.Expected, "");
        EXPECT_FALSE(FileExists(HoldingPath(path)));
        EXPECT_FALSE(FileExists(DigestRecordPath(path)));
    }

    // A record that cannot be written starts no download.
    ASSERT_TRUE(ForceDirectories(DigestRecordPath(dir + "blocked.exe")));
    EXPECT_EQ(PrepareDownload(dir + "blocked.exe", abc), "");

    // An installer still waiting for its check is never chosen.
    Put("h", "a", "setup.exe.unverified");
    Put("h", "c", "other.exe.sha256");
    EXPECT_EQ(Newest("h", ""), "-");
    EXPECT_EQ(Newest("h", "F"), "-");
    EXPECT_EQ(TInstallList({"h=0", "h=1.0"}).Count(), 0u);
}

TEST_F(StoreTest, ModuleNameRule) {
    for (const char* name : {"m", "Модуль", " lead", "a.b", "COM10", "CONSOLE", "nul_", "x@1.0", "a b", "a~b",
                             "~", "x~", "#"})
        EXPECT_TRUE(IsValidModuleName(name)) << name;
    EXPECT_TRUE(IsValidModuleName(std::string(128, 'm')));
    for (const char* name : {"", ".", "..", "...", "a\\b", "a/b", "c:", "a*", "a?", "a\"", "a<", "a>", "a|", "a=1",
                             "a\tb", "\x1F", "x.", "x ", "CON", "con", "Prn.txt", "AUX .log", "NUL", "COM1",
                             "com9.exe", "LPT1", "lpt5.x.y", "LPT0", "com0.txt", "CONIN$", "conout$.log",
                             "ZELUPD~1", "~1", "a~9b"})
        EXPECT_FALSE(IsValidModuleName(name)) << name;
    EXPECT_FALSE(IsValidModuleName(std::string(129, 'm')));
    EXPECT_FALSE(IsValidModuleName(std::string("a\0b", 3)));
    EXPECT_EQ(LogSafeText("a\r\n\x01" "b"), "a\\x0D\\x0A\\x01b");
    EXPECT_EQ(LogSafeText(std::string(300, 'n')), std::string(256, 'n') + "...");
}

// A name that is no plain component never becomes a path: nothing outside
// the store is searched, listed or chosen for installation.
TEST_F(StoreTest, UnusableNamesReachNothingOutsideTheStore) {
    std::string outside = test::TestDir() + "outside";
    test::RemoveTree(outside);
    ASSERT_TRUE(test::CopyFileTo(test::TestDir() + "data\\c.exe", outside + "\\c.exe"));
    ASSERT_TRUE(ForceDirectories(GetFilesDir()));
    const std::string hostile = "..\\outside";
    TLocalFile file;
    EXPECT_FALSE(GetNewestInstaller(hostile, "", file));
    EXPECT_FALSE(GetNewestInstaller(outside, "", file));
    EXPECT_EQ(GetNewestInstallerVersion(hostile, ""), 0);
    EXPECT_FALSE(IsFileDownloaded(hostile, "c.exe", static_cast<int64_t>(test::ReadFileBytes(outside + "\\c.exe").size())));
    EXPECT_TRUE(IsModuleDirEmpty(hostile));
    TFileList list;
    EXPECT_FALSE(ListVersionedDirs("..\\out", list));
    EXPECT_THROW(GetModuleDir(hostile), EInvalidModuleName);
    EXPECT_THROW(GetModuleDir(""), EInvalidModuleName);
    TInstallList install({hostile + "=0", outside + "=0", "=0"});
    EXPECT_EQ(install.Count(), 0u);

    // A stored installer is one that lies directly in its module's directory.
    Put("m", "c");
    ASSERT_TRUE(GetNewestInstaller("m", "", file));
    EXPECT_TRUE(IsStoredFile("m", file.FileName));
    EXPECT_TRUE(IsStoredFile("m", UpperCase(file.FileName)));
    EXPECT_FALSE(IsStoredFile("mx", file.FileName));
    EXPECT_FALSE(IsStoredFile("m", GetModuleDir("m")));
    EXPECT_FALSE(IsStoredFile("m", GetModuleDir("m") + "\\..\\..\\outside\\c.exe"));
    EXPECT_FALSE(IsStoredFile("m", GetModuleDir("m") + "\\sub\\c.exe"));
    EXPECT_FALSE(IsStoredFile("m", outside + "\\c.exe"));
    EXPECT_FALSE(IsStoredFile("..\\outside", outside + "\\c.exe"));
    test::RemoveTree(outside);
}

// Programs count only with a valid signature of a pinned publisher; the
// file stays as it was checked while the lock is held.
TEST_F(StoreTest, ProgramsOfPinnedPublishersOnly) {
    const std::string trust = test::TrustDir();
    const std::string publisher = test::TrustValue("publisher.txt");
    const std::string foreign = test::TrustValue("foreign.txt");
    ASSERT_EQ(publisher.size(), 64u);
    auto problem = [](const std::string& path, const std::vector<std::string>& pins) {
        TLockedFile file(path, false);
        return ProgramSignatureProblem(file, pins);
    };
    EXPECT_EQ(problem(trust + "stub-signed.exe", {publisher}), "");
    EXPECT_EQ(problem(trust + "stub-signed.exe", {foreign, publisher}), "");
    // The signer is named, so an administrator sees which pin is missing.
    EXPECT_NE(problem(trust + "stub-signed.exe", {foreign}).find(publisher), std::string::npos);
    EXPECT_NE(problem(trust + "stub-foreign.exe", {publisher}).find(foreign), std::string::npos);
    EXPECT_NE(problem(test::TestDir() + "data\\a.exe", {publisher}).find("не подписан"), std::string::npos);
    EXPECT_NE(problem(trust + "stub-tampered.exe", {publisher}).find("изменён"), std::string::npos);
    EXPECT_NE(problem(trust + "none.exe", {publisher}).find("не открывается"), std::string::npos);

    // What the settings say: no pin, nothing checked; a pin, the check.
    SetTrustConfig("", "");
    EXPECT_EQ(TrustedProgramProblem(test::TestDir() + "data\\a.exe"), "");
    SetTrustConfig("", publisher);
    EXPECT_NE(TrustedProgramProblem(test::TestDir() + "data\\a.exe"), "");
    EXPECT_EQ(TrustedProgramProblem(trust + "stub-signed.exe"), "");
    // A line with no usable entry lets nothing through.
    SetTrustConfig("", "not-a-pin");
    EXPECT_NE(TrustedProgramProblem(trust + "stub-signed.exe"), "");
    SetTrustConfig("", "");

    // While locked, the checked file cannot be written, renamed or deleted;
    // it can be moved through its own handle.
    const std::string dir = GetModuleDir("locked") + "\\";
    ASSERT_TRUE(ForceDirectories(dir));
    ASSERT_TRUE(test::CopyFileTo(trust + "stub-signed.exe", dir + "setup.exe"));
    {
        TLockedFile file(dir + "setup.exe", true);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(ProgramSignatureProblem(file, {publisher}), "");
        HANDLE writer = CreateFileA((dir + "setup.exe").c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_FALSE(MoveFileA((dir + "setup.exe").c_str(), (dir + "other.exe").c_str()));
        EXPECT_FALSE(DeleteFileA((dir + "setup.exe").c_str()));
        EXPECT_TRUE(file.MoveTo(dir + "placed.exe"));
    }
    EXPECT_FALSE(FileExists(dir + "setup.exe"));
    EXPECT_EQ(test::ReadFileBytes(dir + "placed.exe"), test::ReadFileBytes(trust + "stub-signed.exe"));
}
