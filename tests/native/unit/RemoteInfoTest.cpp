// File entries of an answer and the addresses the service downloads from:
// a local file name comes from the address, so an address is taken only
// when its name is one plain file of the module's directory.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "catalogue/HTTP.h"
#include "catalogue/RemoteInfo.h"
#include "catalogue/Requests.h"

using namespace zel;

namespace {

TRemoteFile Spec(const std::string& spec, bool* valid = nullptr) {
    TRemoteModuleInfo info;
    bool ok = AddFileSpec(info, spec);
    if (valid) *valid = ok;
    EXPECT_EQ(info.Files.size(), 1u);
    return info.Files.back();
}

const std::string Digest(64, 'a');

}  // namespace

TEST(FileSpec, NameSizeAndDigestFields) {
    TRemoteFile f = Spec("http://h:8080/dir/setup.exe;1024");
    EXPECT_EQ(f.FileName, "http://h:8080/dir/setup.exe");
    EXPECT_EQ(f.Size, 1024);
    EXPECT_EQ(Spec("a;b;").Size, 0);
    EXPECT_EQ(Spec("a;-5").Size, -5);
    EXPECT_EQ(Spec("a;9223372036854775808").Size, 0);
    EXPECT_EQ(Spec(";7").FileName, "");
    bool valid = false;
    f = Spec("a;1;SHA256=" + std::string(64, 'A') + ";later", &valid);
    EXPECT_TRUE(valid);
    EXPECT_EQ(f.Sha256, Digest);
    f = Spec("a;1; sha256=" + Digest + " ", &valid);
    EXPECT_TRUE(valid);
    const std::string thirds[] = {"md5=" + Digest, "sha256=" + Digest.substr(1), "sha256=", "sha256=" + Digest + "0",
                                  "sha256:" + Digest, "x"};
    for (const std::string& third : thirds) {
        f = Spec("a;1;" + third, &valid);
        EXPECT_FALSE(valid) << third;
        EXPECT_EQ(f.Sha256, "") << third;
        EXPECT_EQ(f.FileName, "a");
    }
    f = Spec("a;1;;", &valid);
    EXPECT_TRUE(valid);
}

TEST(FileSpec, NamesAreCutToAShortStringWhateverTheEntry) {
    std::mt19937 random(31);
    for (int round = 0; round < 2000; ++round) {
        std::string spec;
        int n = random() % 600;
        for (int i = 0; i < n; ++i) spec += "ab;\x01\xFF" "9-"[random() % 7];
        TRemoteFile f = Spec(spec);
        EXPECT_LE(f.FileName.size(), 255u);
        EXPECT_EQ(f.FileName, spec.substr(0, std::min<size_t>(255, spec.find(';'))));
    }
}

TEST(FileAddress, PlainHttpFilesAreTaken) {
    for (const char* address : {"http://h/f.exe", "HTTPS://h/dir/f.exe", "http://h:80/f", "http://[::1]:8080/a/f.msi",
                                "http://user:pw@h/f.exe", "http://h/a/f.exe#part", "http://h/a:b/f.exe",
                                "http://h/%2E%2E", "http://h/Склад.exe", "http://h//f.exe"})
        EXPECT_EQ(FileAddressProblem(address), "") << address;
}

TEST(FileAddress, EverythingElseIsRefused) {
    const std::string refused[] = {
        "", "h/f.exe", "ftp://h/f.exe", "file:///C:/f.exe", "http:/h/f.exe", "http:h/f.exe", "http://",
        "http:///f.exe", "http://h", "http://h/", "http://h?x=/f.exe", "http://h#/f.exe", "http://@/f.exe",
        "http://[::1/f.exe", "http://[]/f.exe", "http://h:x/f.exe", "http://h:80:90/f.exe", "http://h/f.exe?x",
        "http://h/dir/", "http://h/..", "http://h/.", "http://h/a/f.", "http://h/a/f ", "http://h/a\\f.exe",
        "http://h/a/CON", "http://h/a/nul.txt", "http://h/a/COM1.exe", "http://h/a/LPT9", "http://h/a/conin$",
        "http://h/f.exe.unverified", "http://h/f.exe.SHA256", "http://h/a|b", "http://h/a*b", "http://h/a<b",
        "http://h/a\"b", "http://h/f.exe\r\n", std::string("http://h/f\0.exe", 15), "http://h/f\x7F.exe",
    };
    for (const std::string& address : refused) {
        std::string problem = FileAddressProblem(address);
        EXPECT_NE(problem, "") << address;
        // The reason quotes the address without its control characters.
        for (unsigned char c : problem) EXPECT_TRUE(c >= 32 && c != 127) << address;
    }
}

TEST(FileAddress, ATakenAddressNamesAPlainLocalFile) {
    // Whatever the address, what it is taken for names no other place than
    // a file beside the others of the module.
    std::mt19937 random(37);
    const char* const pieces[] = {"http://", "https://", "h", ":", "/", "\\", ".", "..", "a", "?", "#", "@", "[", "]",
                                  "%", " ", "CON", ".sha256", "\x01", "8"};
    int taken = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string address = random() % 4 ? "http://" : "";
        int n = 1 + random() % 8;
        for (int i = 0; i < n; ++i) address += pieces[random() % 20];
        if (!FileAddressProblem(address).empty()) continue;
        ++taken;
        std::string name = UrlFileName(address);
        EXPECT_FALSE(name.empty()) << address;
        EXPECT_EQ(name.find_first_of("\\/:*?\"<>|"), std::string::npos) << address;
        EXPECT_NE(name, "..");
        EXPECT_NE(name.back(), '.') << address;
    }
    EXPECT_GT(taken, 100);
}

TEST(ModuleList, FindSeesEveryItemOfAListReadAgain) {
    // The answer reader clears the list it fills: a list searched before
    // finds every module of the next answer, whatever their number.
    TRemoteModuleInfoList list;
    ASSERT_TRUE(ParseModuleInfoList("{\"A\":{},\"B\":{}}", list));
    ASSERT_NE(list.Find(L"B"), nullptr);
    ASSERT_TRUE(ParseModuleInfoList("{\"C\":{},\"D\":{},\"E\":{}}", list));
    EXPECT_EQ(list.Find(L"C"), &list.Items(0));
    EXPECT_EQ(list.Find(L"D"), &list.Items(1));
    EXPECT_EQ(list.Find(L"E"), &list.Items(2));
    EXPECT_EQ(list.Find(L"A"), nullptr);
    // Added after a look-up, cleared, fewer again: always the list of now.
    list.Add().ModuleName = L"F";
    EXPECT_EQ(list.Find(L"F"), &list.Items(3));
    list.Clear();
    EXPECT_EQ(list.Find(L"C"), nullptr);
    list.Add().ModuleName = L"G";
    EXPECT_EQ(list.Find(L"G"), &list.Items(0));
    // The first of two equal names is found.
    list.Add().ModuleName = L"G";
    EXPECT_EQ(list.Find(L"G"), &list.Items(0));
}

TEST(UrlFileName, LastComponentOfAnAddressOrPath) {
    EXPECT_EQ(UrlFileName("http://h/dir/file.exe"), "file.exe");
    EXPECT_EQ(UrlFileName("C:\\dir\\f"), "f");
    EXPECT_EQ(UrlFileName("C:f"), "f");
    EXPECT_EQ(UrlFileName("f"), "f");
    EXPECT_EQ(UrlFileName("dir/"), "");
    EXPECT_EQ(EscapeUrl(" ;%\"{}"), "%20%3B%\"{}");
}
