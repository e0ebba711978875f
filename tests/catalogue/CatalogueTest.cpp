#include <gtest/gtest.h>

#include "base/Log.h"
#include "catalogue/HTTP.h"
#include "catalogue/RemoteInfo.h"
#include "catalogue/Requests.h"
#include "download/InfoQueue.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

class CatalogueTest : public testing::Test {
protected:
    void SetUp() override {
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
        ServerURL = DefaultServerURL;
        RequestMethod = "POST";
    }
    void TearDown() override { SetUp(); }
    std::vector<std::string> Messages() { return test::LogMessages(test::TestDir()); }
};

}  // namespace

TEST_F(CatalogueTest, FileSpecSplitting) {
    TRemoteModuleInfo info;
    EXPECT_TRUE(AddFileSpec(info, "http://host:8080/dir/setup.exe;1024"));
    EXPECT_TRUE(AddFileSpec(info, "plain"));
    EXPECT_FALSE(AddFileSpec(info, "a;b;c"));  // a third field that is no digest
    EXPECT_FALSE(AddFileSpec(info, "a;12;c"));
    EXPECT_TRUE(AddFileSpec(info, ";5"));
    EXPECT_TRUE(AddFileSpec(info, "big; 5000000000"));
    EXPECT_TRUE(AddFileSpec(info, std::string(300, 'u') + ";1"));
    ASSERT_EQ(info.Files.size(), 7u);
    EXPECT_EQ(info.Files[0].FileName, "http://host:8080/dir/setup.exe");
    EXPECT_EQ(info.Files[0].Size, 1024);
    EXPECT_EQ(info.Files[1].FileName, "plain");
    EXPECT_EQ(info.Files[1].Size, 0);
    EXPECT_EQ(info.Files[2].FileName, "a");
    EXPECT_EQ(info.Files[2].Size, 0);
    EXPECT_EQ(info.Files[3].Size, 12);
    EXPECT_EQ(info.Files[4].FileName, "");
    EXPECT_EQ(info.Files[4].Size, 5);
    EXPECT_EQ(info.Files[5].Size, 5000000000LL);
    EXPECT_EQ(info.Files[6].FileName, std::string(255, 'u'));
    EXPECT_EQ(info.Files[6].Size, 1);
    for (const TRemoteFile& file : info.Files) EXPECT_EQ(file.Sha256, "");

    // The digest field: 64 hexadecimal digits of either case, kept in lower
    // case; an empty third field is no field, a fourth one is ignored.
    const std::string upper = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
    const std::string lower = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    TRemoteModuleInfo digests;
    EXPECT_TRUE(AddFileSpec(digests, "http://h/s.exe;10;sha256=" + upper));
    EXPECT_TRUE(AddFileSpec(digests, "http://h/s.exe;10; SHA256=" + lower + ";later"));
    EXPECT_TRUE(AddFileSpec(digests, "http://h/s.exe;10;"));
    ASSERT_EQ(digests.Files.size(), 3u);
    EXPECT_EQ(digests.Files[0].Sha256, lower);
    EXPECT_EQ(digests.Files[0].Size, 10);
    EXPECT_EQ(digests.Files[1].Sha256, lower);
    EXPECT_EQ(digests.Files[2].Sha256, "");
    const std::vector<std::string> malformed = {"sha256=" + lower.substr(1), "sha256=" + lower + "0",
                                                "sha256=" + std::string(64, 'g'), "sha256=" + lower.substr(0, 63) + " ",
                                                "md5=" + lower, "sha256:" + lower, "sha256=", lower};
    for (const std::string& field : malformed) {
        TRemoteModuleInfo bad;
        EXPECT_FALSE(AddFileSpec(bad, "http://h/s.exe;10;" + field)) << field;
        ASSERT_EQ(bad.Files.size(), 1u);
        EXPECT_EQ(bad.Files[0].Sha256, "") << field;
    }

    TRemoteModuleInfoList list;
    list.Add().ModuleName = L"Alpha";
    list.Add().ModuleName = L"Бета";
    EXPECT_EQ(FindModuleInfo(list, L"Бета"), &list.Items(1));
    EXPECT_EQ(FindModuleInfo(list, L"alpha"), &list.Items(0));
    EXPECT_EQ(FindModuleInfo(list, L"бЕТА"), &list.Items(1));
    EXPECT_EQ(FindModuleInfo(list, L"Alph"), nullptr);
}

TEST_F(CatalogueTest, ModuleInfoLog) {
    LogMode = 0x3F;
    TRemoteModuleInfoList list;
    LogModuleInfoList(list);  // empty: nothing
    EXPECT_FALSE(DirectoryExists(GetLogDir()));

    TRemoteModuleInfo& bare = list.Add();
    bare.ModuleName = L"Модуль";
    bare.ModuleVersion = L"CURRENT";
    LogModuleInfo(bare);
    std::vector<std::string> expected = {"  ModuleName       : Модуль", "  ModuleVersion    : CURRENT"};
    EXPECT_EQ(Messages(), expected);

    test::RemoveTree(GetLogDir());
    TRemoteModuleInfo& full = list.Add();
    full.ModuleName = L"M";
    full.ModuleVersion = L"1.2";
    full.Comment = L"c";
    full.ExeName = L"m.exe";
    full.RequiredVersion = L"1.0";
    full.UpdateType = L"U";
    full.Error = L"e";
    AddFileSpec(full, "u1;10");
    AddFileSpec(full, "u2");
    AddFileSpec(full, "u3;7;sha256=" + std::string(64, 'F'));
    LogModuleInfoList(list);
    expected = {"Полученные сведения: ", "  ModuleName       : Модуль", "  ModuleVersion    : CURRENT",
                "  ModuleName       : M", "  ModuleVersion    : 1.2", "  Comment          : c",
                "  ExeName          : m.exe", "  RequiredVersion  : 1.0", "  UpdateType       : U",
                "  Error            : e", "  Files:", "    u1 (Size: 10)", "    u2 (Size: 0)",
                "    u3 (Size: 7, SHA-256: " + std::string(64, 'f') + ")", ""};
    EXPECT_EQ(Messages(), expected);

    // Texts of the server cannot forge lines of the log.
    test::RemoveTree(GetLogDir());
    TRemoteModuleInfo forged;
    forged.ModuleName = L"F\r\n12:00:00 : Служба остановлена";
    forged.Comment = L"c\nd";
    AddFileSpec(forged, "http://h/a\r\nb.exe;1");
    LogModuleInfo(forged);
    expected = {"  ModuleName       : F\\x0D\\x0A12:00:00 : Служба остановлена", "  Comment          : c\\x0Ad",
                "  Files:", "    http://h/a\\x0D\\x0Ab.exe (Size: 1)", ""};
    EXPECT_EQ(Messages(), expected);

    // At the debug level the trace fields stay out.
    test::RemoveTree(GetLogDir());
    LogMode = LogDebug;
    LogModuleInfo(full);
    expected = {"  ModuleName       : M", "  ModuleVersion    : 1.2", "  ExeName          : m.exe", "  Files:",
                "    u1 (Size: 10)", "    u2 (Size: 0)", "    u3 (Size: 7, SHA-256: " + std::string(64, 'f') + ")", ""};
    EXPECT_EQ(Messages(), expected);
}

TEST_F(CatalogueTest, SettersLogRealChanges) {
    LogMode = 0x3E;
    SetServerURL(DefaultServerURL);
    SetRequestMethod("POST");
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
    SetRequestMethod("GET");
    SetRequestMethod("get");  // not exact: falls back to POST
    SetRequestMethod("");
    SetServerURL("http://127.0.0.1/z");
    SetServerURL("http://127.0.0.1/Z");
    SetServerURL("");
    EXPECT_EQ(ServerURL, DefaultServerURL);
    EXPECT_EQ(RequestMethod, "POST");
    std::vector<std::string> expected = {"Изменился метод запросов к серверу ЗЕЛ: GET",
                                         "Изменился метод запросов к серверу ЗЕЛ: POST",
                                         "Изменился адрес сервера ЗЕЛ: http://127.0.0.1/z",
                                         "Изменился адрес сервера ЗЕЛ: http://127.0.0.1/Z",
                                         std::string("Изменился адрес сервера ЗЕЛ: ") + DefaultServerURL};
    EXPECT_EQ(Messages(), expected);
    EXPECT_EQ(std::string(DefaultServerURL).substr(0, 7), "http://");

    // A method that cannot come from the setter is refused by the exchange.
    RequestMethod = "PUT";
    try {
        SendRequest("http://127.0.0.1:1/", "{}");
        FAIL();
    } catch (const EHTTPException&) {
        FAIL() << "no exchange expected";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Не задан метод обмена данными с сервером");
    }
}

TEST_F(CatalogueTest, RequestTextAndAddress) {
    TInfoQueue queue;
    EXPECT_EQ(BuildRequestText(queue.TakeRequests()), "{}");
    queue.Add("Alpha", "2.1.03.07", "2.1.3.7");
    queue.Add("Бета модуль;1", "0.0.00.00", "");
    queue.Add("q\"/\\\b\t\n\f\r\x01\x1F", "v", "\x7F");
    std::string json = BuildRequestText(queue.TakeRequests());
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(json,
              "{\"Alpha\":{\"MODULE_VERSION\":\"2.1.03.07\",\"CURRENT_VERSION\":\"2.1.3.7\"},"
              "\"\xD0\x91\xD0\xB5\xD1\x82\xD0\xB0 \xD0\xBC\xD0\xBE\xD0\xB4\xD1\x83\xD0\xBB\xD1\x8C;1\":"
              "{\"MODULE_VERSION\":\"0.0.00.00\",\"CURRENT_VERSION\":\"\"},"
              "\"q\\\"\\/\\\\\\b\\t\\n\\f\\r\\u0001\\u001F\":{\"MODULE_VERSION\":\"v\",\"CURRENT_VERSION\":\"\x7F\"}}");

    // GET: the request text is encoded whole (nothing of it may end the
    // query or stand for another byte); the server's address stays as it is.
    std::string address = GetRequestAddress("http://h/zel", "{\"a b;c\":{\"%&#+=?\":\"\xD0\x91~-._\"}}");
    EXPECT_EQ(address, "http://h/zel/?a=%7B%22a%20b%3Bc%22%3A%7B%22%25%26%23%2B%3D%3F%22%3A%22%D0%91~-._%22%7D%7D");
    EXPECT_EQ(EscapeUrl(address), address);
    EXPECT_EQ(EscapeUrl("  ;;"), "%20%20%3B%3B");

    EXPECT_EQ(UrlFileName("http://host/dir/file.exe"), "file.exe");
    EXPECT_EQ(UrlFileName("C:\\dir\\setup.exe"), "setup.exe");
    EXPECT_EQ(UrlFileName("C:setup.exe"), "setup.exe");
    EXPECT_EQ(UrlFileName("http://host/dir/"), "");
    EXPECT_EQ(UrlFileName("name"), "name");
}

TEST_F(CatalogueTest, AnswerParsing) {
    TRemoteModuleInfoList list;
    list.Add();
    EXPECT_FALSE(ParseModuleInfoList("{}", list));
    EXPECT_EQ(list.Count(), 0u);

    // Byte-order mark, member order, UTF-8 texts, unknown members ignored.
    std::string answer =
        "\xEF\xBB\xBF{\"Zeta\":{\"MODULE_VERSION\":\"CURRENT\"},"
        "\"\xD0\x91\xD0\xB5\xD1\x82\xD0\xB0\":{\"MODULE_VERSION\":\"2.1.3.7\",\"EXE_NAME\":\"b.exe\","
        "\"REQUIRED_VERSION\":\"2.0\",\"TYPE\":\"U\",\"COMMENT\":\"\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x8F\","
        "\"ERROR\":\"\",\"EXTRA\":17,\"FILE\":[\"http:\\/\\/h\\/u1;10\",\"http:\\/\\/h\\/u2\",\"http:\\/\\/h\\/f.exe;x\"]},"
        "\"Alpha\":{\"ERROR\":\"invalid module_name\"}}";
    ASSERT_TRUE(ParseModuleInfoList(answer, list));
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Items(0).ModuleName, L"Zeta");
    EXPECT_TRUE(list.Items(0).Files.empty());
    const TRemoteModuleInfo& beta = list.Items(1);
    EXPECT_EQ(beta.ModuleName, L"Бета");
    EXPECT_EQ(beta.ModuleVersion, L"2.1.3.7");
    EXPECT_EQ(beta.ExeName, L"b.exe");
    EXPECT_EQ(beta.RequiredVersion, L"2.0");
    EXPECT_EQ(beta.UpdateType, L"U");
    EXPECT_EQ(beta.Comment, L"Новая");
    ASSERT_EQ(beta.Files.size(), 3u);
    EXPECT_EQ(beta.Files[1].FileName, "http://h/u2");
    EXPECT_EQ(beta.Files[1].Size, 0);
    EXPECT_EQ(beta.Files[2].FileName, "http://h/f.exe");
    EXPECT_EQ(beta.Files[2].Size, 0);
    EXPECT_EQ(list.Items(2).Error, L"invalid module_name");

    // Everything that is not an object of objects of strings is an error,
    // never a crash, and leaves no half-filled list behind.
    const char* bad[] = {"", "not json", "<html></html>", "[1,2]", "\"text\"", "null", "{\"m\":5}",
                         "{\"m\":\"1.0\"}", "{\"m\":{\"MODULE_VERSION\":1}}", "{\"m\":{\"ERROR\":null}}",
                         "{\"m\":{\"COMMENT\":{}}}", "{\"ok\":{},\"m\":{\"ERROR\":[\"u;1\",true]}}", "{\"m\":{}",
                         "{\"m\":\"\xFF\xFE\"}", "\xEF\xBB\xBF"};
    for (const char* text : bad) {
        list.Clear();
        list.Add();
        EXPECT_THROW(ParseModuleInfoList(text, list), Exception) << text;
        EXPECT_EQ(list.Count(), 0u) << text;
    }
    // Deep nesting in an ignored member is read without harm, up to what
    // the largest answer can hold.
    const size_t depth = static_cast<size_t>(MaxAnswerSize) / 2 - 16;
    std::string deep = "{\"m\":{\"X\":" + std::string(depth, '[') + std::string(depth, ']') + "}}";
    EXPECT_TRUE(ParseModuleInfoList(deep, list));
}

TEST_F(CatalogueTest, FileAddressesTheServiceDownloadsFrom) {
    for (const char* address : {"http://h/a.exe", "https://h/a.exe", "HTTP://H:80/d/a.exe", "http://u:p@h/a.exe",
                                "http://[::1]:8080/a.exe", "http://h/a%20b.exe", "http://h/Обновление 2.exe",
                                "http://h:/a.exe", "http://h/d/a.exe.sha256.txt"})
        EXPECT_EQ(FileAddressProblem(address), "") << address;
    // Other schemes, UNC and relative paths, no host, a name that is no plain
    // file name or one the store keeps for itself.
    for (const char* address :
         {"", "setup.exe", "/x/a.exe", "//h/a.exe", "file:///c:/a.exe", "file://h/s/a.exe", "\\\\h\\s\\a.exe",
          "ftp://h/a.exe", "javascript:alert(1)", "http:/h/a.exe", "http:\\\\h\\a.exe", "http://h\\s\\a.exe",
          "http:///a.exe", "http://:80/a.exe", "http://u@/a.exe", "http://[]/a.exe", "http://h:8o/a.exe", "http://h",
          "http://h?a.exe", "http://h/", "http://h/d/", "http://h/..", "http://h/.", "http://h/a.exe?x=1",
          "http://h/a.exe.", "http://h/a.exe ", "http://h/nul.exe", "http://h/COM1", "http://h/a.exe.sha256",
          "http://h/a.exe.UNVERIFIED", "http://h/a\x01.exe", "http://h/a\r\nb.exe", "http://h/a\x7F.exe"})
        EXPECT_NE(FileAddressProblem(address), "") << address;
    EXPECT_EQ(FileAddressProblem("file:///c:/a.exe"), "адрес file:///c:/a.exe не является адресом http или https");
    EXPECT_EQ(FileAddressProblem("http://h/a\r\nb.exe"),
              "адрес http://h/a\\x0D\\x0Ab.exe содержит недопустимые символы");
}

TEST_F(CatalogueTest, AnswerOfOneModuleIsRefusedAndTheOthersKept) {
    LogMode = 0x3F;
    const std::string digest(64, 'a');
    std::string answer =
        "{\"Good\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[\"http://h/d/setup.exe;10;sha256=" + digest +
        "\",\"https://h:8443/readme.txt;5\"]},"
        "\"FileUrl\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[\"file:///C:/Windows/notepad.exe;10\"]},"
        "\"Unc\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[\"\\\\\\\\srv\\\\share\\\\setup.exe;10\"]},"
        "\"Ftp\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[\"http://h/ok.exe;1\",\"ftp://h/setup.exe;10\"]},"
        "\"Text\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":\"http://h/setup.exe;10\"},"
        "\"Number\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[5]},"
        "\"Digest\":{\"MODULE_VERSION\":\"2.0\",\"ERROR\":\"invalid module_name\","
        "\"FILE\":[\"http://h/setup.exe;10;sha256=123\"]},"
        "\"Last\":{\"MODULE_VERSION\":\"3.0\",\"FILE\":[\"http://h/last.exe;3\"]}}";
    TRemoteModuleInfoList list;
    ASSERT_TRUE(ParseModuleInfoList(answer, list));
    ASSERT_EQ(list.Count(), 8u);
    EXPECT_EQ(list.Items(0).Refusal, "");
    ASSERT_EQ(list.Items(0).Files.size(), 2u);
    EXPECT_EQ(list.Items(0).Files[0].Sha256, digest);
    for (size_t i = 1; i < 7; ++i) {
        EXPECT_NE(list.Items(i).Refusal, "") << i;
        EXPECT_TRUE(list.Items(i).Files.empty()) << i;
        EXPECT_EQ(list.Items(i).ModuleVersion, L"2.0") << i;
    }
    EXPECT_EQ(list.Items(7).Refusal, "");
    EXPECT_EQ(list.Items(7).Files.size(), 1u);
    std::vector<std::string> expected = {
        "Сведения о модуле FileUrl отклонены: адрес file:///C:/Windows/notepad.exe не является адресом http или https",
        "Сведения о модуле Unc отклонены: адрес \\\\srv\\share\\setup.exe не является адресом http или https",
        "Сведения о модуле Ftp отклонены: адрес ftp://h/setup.exe не является адресом http или https",
        "Сведения о модуле Text отклонены: значение FILE не является массивом (string)",
        "Сведения о модуле Number отклонены: элемент FILE не является строкой (number)",
        "Сведения о модуле Digest отклонены: в записи файла http://h/setup.exe неверно поле SHA-256"};
    EXPECT_EQ(Messages(), expected);
}

// Reading an answer takes time linear in its size, whatever its shape: a
// reader that looked members up one by one took 4.9 s for 80,000 of them
// and minutes for what fits in the size limit. The bounds below are
// generous (the reads take well under a second); they only tell linear
// from quadratic.
TEST_F(CatalogueTest, AnswersAreReadInBoundedTime) {
    LogMode = 0x3F;
    auto modules = [](size_t count) {
        std::string text = "{";
        for (size_t i = 0; i < count; ++i)
            text += Format("%s\"M%.6d\":{\"MODULE_VERSION\":\"CURRENT\"}", {i ? "," : "", i});
        return text + "}";
    };
    auto seconds = [](DWORD since) { return (GetTickCount() - since) / 1000.0; };
    TRemoteModuleInfoList list;

    // As many modules as an answer may name: read, in the answer's order.
    DWORD start = GetTickCount();
    ASSERT_TRUE(ParseModuleInfoList(modules(MaxAnswerModules), list));
    EXPECT_LT(seconds(start), 10.0);
    ASSERT_EQ(list.Count(), MaxAnswerModules);
    EXPECT_EQ(list.Items(0).ModuleName, L"M000000");
    EXPECT_EQ(list.Items(MaxAnswerModules - 1).ModuleName, L"M009999");
    EXPECT_EQ(FindModuleInfo(list, L"M004711"), &list.Items(4711));

    // One more, or 100,000 (1.4 MB), refuse the whole answer.
    for (size_t count : {MaxAnswerModules + 1, size_t(100000)}) {
        std::string answer = modules(count);
        start = GetTickCount();
        try {
            ParseModuleInfoList(answer, list);
            ADD_FAILURE() << count << ": read";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Ответ сервера ЗЕЛ содержит больше 10000 модулей");
        }
        EXPECT_LT(seconds(start), 10.0) << count;
        EXPECT_EQ(list.Count(), 0u);
    }

    // Members the service does not read cost no more than their bytes:
    // 600,000 of them in one module's object (7 MB).
    std::string crowded = "{\"A\":{";
    for (int i = 0; i < 600000; ++i) crowded += Format("\"x%.6d\":0,", {i});
    crowded += "\"MODULE_VERSION\":\"2.0\"}}";
    ASSERT_LT(crowded.size(), static_cast<size_t>(MaxAnswerSize));
    start = GetTickCount();
    ASSERT_TRUE(ParseModuleInfoList(crowded, list));
    EXPECT_LT(seconds(start), 10.0);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Items(0).ModuleVersion, L"2.0");

    // A module's FILE list is bounded: the module beyond it is refused, the
    // others are kept.
    auto files = [](size_t count) {
        std::string text = "[";
        for (size_t i = 0; i < count; ++i) text += Format("%s\"http://h/f%d.exe;1\"", {i ? "," : "", i});
        return text + "]";
    };
    test::RemoveTree(GetLogDir());
    ASSERT_TRUE(ParseModuleInfoList("{\"Full\":{\"FILE\":" + files(MaxModuleFiles) + "},\"Over\":{\"FILE\":" +
                                        files(MaxModuleFiles + 1) + "}}",
                                    list));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Items(0).Files.size(), MaxModuleFiles);
    EXPECT_TRUE(list.Items(1).Files.empty());
    EXPECT_EQ(Messages(), std::vector<std::string>{"Сведения о модуле Over отклонены: значение FILE содержит "
                                                   "больше 1000 файлов"});

    // A name given twice is read as a JSON object reads it: the last value,
    // in the place of the first.
    ASSERT_TRUE(ParseModuleInfoList("{\"A\":{\"MODULE_VERSION\":1},\"B\":{},\"A\":{\"MODULE_VERSION\":\"2\"}}", list));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Items(0).ModuleName, L"A");
    EXPECT_EQ(list.Items(0).ModuleVersion, L"2");
    EXPECT_EQ(list.Items(1).ModuleName, L"B");
}
