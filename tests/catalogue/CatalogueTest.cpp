#include <gtest/gtest.h>

#include "catalogue/HTTP.h"
#include "catalogue/RemoteInfo.h"
#include "catalogue/Requests.h"
#include "service/Log.h"
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
    AddFileSpec(info, "http://host:8080/dir/setup.exe;1024");
    AddFileSpec(info, "plain");
    AddFileSpec(info, "a;b;c");
    AddFileSpec(info, "a;12;c");
    AddFileSpec(info, ";5");
    AddFileSpec(info, "big; 5000000000");
    AddFileSpec(info, std::string(300, 'u') + ";1");
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

    TRemoteModuleInfoList list;
    list.Add().ModuleName = L"Alpha";
    list.Add().ModuleName = L"Бета";
    EXPECT_EQ(FindModuleInfo(list, L"Бета"), &list.Items(1));
    EXPECT_EQ(FindModuleInfo(list, L"alpha"), nullptr);
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
    LogModuleInfoList(list);
    expected = {"Полученные сведения: ", "  ModuleName       : Модуль", "  ModuleVersion    : CURRENT",
                "  ModuleName       : M", "  ModuleVersion    : 1.2", "  Comment          : c",
                "  ExeName          : m.exe", "  RequiredVersion  : 1.0", "  UpdateType       : U",
                "  Error            : e", "  Files:", "    u1 (Size: 10)", "    u2 (Size: 0)", ""};
    EXPECT_EQ(Messages(), expected);

    // At the debug level the trace fields stay out.
    test::RemoveTree(GetLogDir());
    LogMode = LogDebug;
    LogModuleInfo(full);
    expected = {"  ModuleName       : M", "  ModuleVersion    : 1.2", "  ExeName          : m.exe", "  Files:",
                "    u1 (Size: 10)", "    u2 (Size: 0)", ""};
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
    EXPECT_EQ(BuildRequestText(queue), "{}");
    queue.Add("Alpha", "2.1.03.07", "2.1.3.7");
    queue.Add("Бета модуль;1", "0.0.00.00", "");
    queue.Add("q\"/\\\b\t\n\f\r\x01\x1F", "v", "\x7F");
    std::string json = BuildRequestText(queue);
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(json,
              "{\"Alpha\":{\"MODULE_VERSION\":\"2.1.03.07\",\"CURRENT_VERSION\":\"2.1.3.7\"},"
              "\"\xD0\x91\xD0\xB5\xD1\x82\xD0\xB0 \xD0\xBC\xD0\xBE\xD0\xB4\xD1\x83\xD0\xBB\xD1\x8C;1\":"
              "{\"MODULE_VERSION\":\"0.0.00.00\",\"CURRENT_VERSION\":\"\"},"
              "\"q\\\"\\/\\\\\\b\\t\\n\\f\\r\\u0001\\u001F\":{\"MODULE_VERSION\":\"v\",\"CURRENT_VERSION\":\"\x7F\"}}");

    // GET: only blanks and ";" are escaped.
    std::string address = GetRequestAddress("http://h/zel", "{\"a b;c\":{\"%\":\"\xD0\x91\"}}");
    EXPECT_EQ(address, "http://h/zel/?a={\"a b;c\":{\"%\":\"\xD0\x91\"}}");
    EXPECT_EQ(EscapeUrl(address), "http://h/zel/?a={\"a%20b%3Bc\":{\"%\":\"\xD0\x91\"}}");
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
        "\"ERROR\":\"\",\"EXTRA\":17,\"FILE\":[\"u1;10\",\"u2\",\"http:\\/\\/h\\/f.exe;x\"]},"
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
    EXPECT_EQ(beta.Files[1].FileName, "u2");
    EXPECT_EQ(beta.Files[1].Size, 0);
    EXPECT_EQ(beta.Files[2].FileName, "http://h/f.exe");
    EXPECT_EQ(beta.Files[2].Size, 0);
    EXPECT_EQ(list.Items(2).Error, L"invalid module_name");

    // Everything that is not an object of objects of strings is an error,
    // never a crash, and leaves no half-filled list behind.
    const char* bad[] = {"", "not json", "<html></html>", "[1,2]", "\"text\"", "null", "{\"m\":5}",
                         "{\"m\":\"1.0\"}", "{\"m\":{\"MODULE_VERSION\":1}}", "{\"m\":{\"ERROR\":null}}",
                         "{\"m\":{\"COMMENT\":{}}}", "{\"m\":{\"FILE\":\"u;1\"}}", "{\"m\":{\"FILE\":[1]}}",
                         "{\"ok\":{},\"m\":{\"FILE\":[\"u;1\",true]}}", "{\"m\":{}", "{\"m\":\"\xFF\xFE\"}",
                         "\xEF\xBB\xBF"};
    for (const char* text : bad) {
        list.Clear();
        list.Add();
        EXPECT_THROW(ParseModuleInfoList(text, list), Exception) << text;
        EXPECT_EQ(list.Count(), 0u) << text;
    }
    // Deep nesting in an ignored member is read without harm.
    std::string deep = "{\"m\":{\"X\":" + std::string(5000, '[') + std::string(5000, ']') + "}}";
    EXPECT_TRUE(ParseModuleInfoList(deep, list));
}
