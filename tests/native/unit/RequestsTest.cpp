// The request to the update server and the reading of its answer: what the
// service sends is JSON that names exactly the queued modules, and an
// answer is either read into modules that are safe to use or refused.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>

#include "Doubles.h"
#include "LogCapture.h"
#include "base/Log.h"
#include "catalogue/Requests.h"
#include "download/InfoQueue.h"

using namespace zel;
using Json = nlohmann::ordered_json;

namespace {

struct Module {
    std::string name, version, installed;
};

std::string Request(const std::vector<Module>& modules) {
    TInfoQueue queue;
    for (const auto& m : modules) queue.Add(m.name, m.version, m.installed);
    std::string text = BuildRequestText(queue.TakeRequests());
    EXPECT_TRUE(queue.IsEmpty());
    return text;
}

std::string Random1251(std::mt19937& random, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += static_cast<char>(1 + random() % 255);
    return text;
}

// The characters of a JSON text that stand outside its strings.
std::string OutsideStrings(const std::string& text) {
    std::string out;
    bool inside = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (inside && text[i] == '\\') ++i;
        else if (text[i] == '"') inside = !inside;
        else if (!inside) out += text[i];
    }
    return out;
}

const std::string File = "http://upd.example/zel/kassa/setup.exe;1024";

}  // namespace

TEST(RequestText, JsonParserReadsBackTheQueuedModules) {
    std::mt19937 random(29);
    for (int round = 0; round < 300; ++round) {
        std::vector<Module> modules;
        std::set<std::string> names;
        int n = random() % 6;
        for (int i = 0; i < n; ++i) {
            Module m{Random1251(random, random() % 12), Random1251(random, random() % 8),
                     Random1251(random, random() % 8)};
            if (names.insert(m.name).second) modules.push_back(m);
        }
        std::string text = Request(modules);
        Json root = Json::parse(text);  // throws on anything that is not JSON
        ASSERT_TRUE(root.is_object());
        ASSERT_EQ(root.size(), modules.size());
        size_t i = 0;
        for (const auto& member : root.items()) {
            const Module& m = modules[i++];
            EXPECT_EQ(Utf8ToAnsi(member.key()), m.name);
            ASSERT_EQ(member.value().size(), 2u);
            auto it = member.value().begin();
            EXPECT_EQ(it.key(), "MODULE_VERSION");
            EXPECT_EQ(Utf8ToAnsi(it.value().get<std::string>()), m.version);
            ++it;
            EXPECT_EQ(it.key(), "CURRENT_VERSION");
            EXPECT_EQ(Utf8ToAnsi(it.value().get<std::string>()), m.installed);
        }
        // Compact: outside the strings there is nothing but the tokens,
        // and no raw control character inside them.
        EXPECT_EQ(OutsideStrings(text).find_first_not_of("{}:,"), std::string::npos) << text;
        for (unsigned char c : text) EXPECT_GE(c, 32u) << text;
    }
}

TEST(RequestText, EscapesAndTheGetAddress) {
    std::string text = Request({{"a\"b\\c/d", "1.0.00.00", "\x01\x1F"}});
    EXPECT_EQ(text, "{\"a\\\"b\\\\c\\/d\":{\"MODULE_VERSION\":\"1.0.00.00\",\"CURRENT_VERSION\":\"\\u0001\\u001F\"}}");
    EXPECT_EQ(Request({}), "{}");
    EXPECT_EQ(Request({{"Склад", "", ""}}), "{\"\xD0\xA1\xD0\xBA\xD0\xBB\xD0\xB0\xD0\xB4\":"
                                            "{\"MODULE_VERSION\":\"\",\"CURRENT_VERSION\":\"\"}}");
    std::string address = EscapeUrl(GetRequestAddress("http://h/zel", Request({{"My App;1", "1", "1"}})));
    // Every byte of the request text outside the unreserved set is encoded.
    EXPECT_EQ(address, "http://h/zel/?a=%7B%22My%20App%3B1%22%3A%7B%22MODULE_VERSION%22%3A%221%22%2C"
                       "%22CURRENT_VERSION%22%3A%221%22%7D%7D");
}

TEST(Answer, ModulesFilesAndFieldsInTheAnswersOrder) {
    TRemoteModuleInfoList list;
    ASSERT_TRUE(ParseModuleInfoList("\xEF\xBB\xBF{\"B\":{\"MODULE_VERSION\":\"2.0\",\"FILE\":[\"" + File +
                                        "\",\"http://h/u2.exe\"],\"EXE_NAME\":\"b.exe\"},"
                                        "\"\xD0\x96\":{\"MODULE_VERSION\":\"CURRENT\",\"ERROR\":\"x\",\"OTHER\":1}}",
                                    list));
    ASSERT_EQ(list.Count(), 2u);
    const TRemoteModuleInfo& b = list.Items(0);
    EXPECT_EQ(b.ModuleName, L"B");
    EXPECT_EQ(b.ModuleVersion, L"2.0");
    EXPECT_EQ(b.ExeName, L"b.exe");
    ASSERT_EQ(b.Files.size(), 2u);
    EXPECT_EQ(b.Files[0].Size, 1024);
    EXPECT_EQ(b.Files[1].Size, 0);
    EXPECT_TRUE(b.Refusal.empty());
    EXPECT_EQ(list.Items(1).ModuleName, L"\u0416");
    EXPECT_EQ(list.Items(1).Error, L"x");
    EXPECT_EQ(list.Find(L"\u0416"), &list.Items(1));
    // Module names compare without letter case.
    EXPECT_EQ(list.Find(L"b"), &list.Items(0));
    EXPECT_EQ(list.Find(L"\u0436"), &list.Items(1));
    EXPECT_EQ(list.Find(L"bb"), nullptr);
    EXPECT_FALSE(ParseModuleInfoList("{}", list));
    EXPECT_EQ(list.Count(), 0u);
}

TEST(Answer, WhatIsNoAnswerIsRefusedWhole) {
    const std::string refused[] = {
        "",
        "null",
        "[]",
        "\"text\"",
        "{\"A\":1}",
        "{\"A\":{\"MODULE_VERSION\":2}}",
        "{\"A\":{\"ERROR\":null}}",
        "{\"A\":{\"COMMENT\":{}}}",
        "{\"A\":{}} trailing",
        "{\"A\":{\"MODULE_VERSION\":\"\xC0\"}}",  // no UTF-8
        "\xEF\xBB\xBF",
        "\xEF\xBB{}",
        std::string(100000, '[') + std::string(100000, ']'),
        "{\"A\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
        "{\"A\":{\"FILE\":[\"" + File + "\"]},\"B\":5}",
    };
    for (const std::string& answer : refused) {
        TRemoteModuleInfoList list;
        list.Add().ModuleName = L"left over";
        EXPECT_THROW(ParseModuleInfoList(answer, list), Exception) << answer.substr(0, 60);
        EXPECT_EQ(list.Count(), 0u) << answer.substr(0, 60);
    }
}

TEST(Answer, TheReasonForRefusingAnAnswerIsOneLogLine) {
    // The update check writes the reason to the log as it is: nothing of
    // the server's may start a line of its own there.
    const std::string answers[] = {
        "{\"A\\r\\n12:00:00 : forged\":{\"MODULE_VERSION\":1}}",
        "{\"A\\n\":5}",
        "{\"A\\u0000\\u001b[2J\":{\"ERROR\":[]}}",
        "{\"A\x01",
        "{\"A\":{\"MODULE_VERSION\":\"\r\n\"}}",
    };
    for (const std::string& answer : answers) {
        TRemoteModuleInfoList list;
        try {
            ParseModuleInfoList(answer, list);
            ADD_FAILURE() << answer;
        } catch (const Exception& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
            for (unsigned char c : text) EXPECT_GE(c, 32u) << text;
        }
    }
}

TEST(Answer, AModuleWithUnusableFilesIsRefusedAndTheOthersKept) {
    zeltest::ClearLog();
    const std::string files[] = {
        "5",
        "[5]",
        "[\"file:///C:/Windows/evil.exe;1\"]",
        "[\"http://h/ok.exe\",null]",
        "[\"http://h/..;1\"]",
        "[\"http://h/CON.exe;1\"]",
        "[\"http://h/setup.exe.sha256\"]",
        "[\"http://h/a.exe;1;sha256=xyz\"]",
        "[\"http://h/a\\\\..\\\\b.exe\"]",
        "[\"http://h/a.exe\\r\\n12:00:00 : forged\"]",
    };
    for (const std::string& value : files) {
        TRemoteModuleInfoList list;
        ASSERT_TRUE(ParseModuleInfoList("{\"Bad\":{\"MODULE_VERSION\":\"2\",\"FILE\":" + value + "},\"Good\":{\"FILE\":[\"" +
                                            File + "\"]}}",
                                        list))
            << value;
        ASSERT_EQ(list.Count(), 2u);
        EXPECT_FALSE(list.Items(0).Refusal.empty()) << value;
        EXPECT_TRUE(list.Items(0).Files.empty()) << value;
        EXPECT_EQ(list.Items(0).ModuleVersion, L"2");
        EXPECT_TRUE(list.Items(1).Refusal.empty()) << value;
        EXPECT_EQ(list.Items(1).Files.size(), 1u);
    }
    // Each refusal is one error line, with no line break of the server's.
    for (const std::string& line : zeltest::LogLines()) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
}

TEST(Answer, ATransportFailureEndsTheCheckAndEmptiesTheQueue) {
    TInfoQueue queue;
    queue.Add("A", "1.0.00.00", "1.0");
    TRemoteModuleInfoList list;
    RequestMethod = "POST";
    EXPECT_THROW(RequestModuleInfo(queue.TakeRequests(), list), EHTTPException);
    RequestMethod = "GET";
    queue.Add("A", "1.0.00.00", "1.0");
    EXPECT_THROW(RequestModuleInfo(queue.TakeRequests(), list), EHTTPException);
    RequestMethod = "POST";
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(list.Count(), 0u);
}

TEST(ServerSettings, OnlyRealChangesAreLogged) {
    LogMode = 0x3F;
    zeltest::ClearLog();
    SetServerURL("");
    SetRequestMethod("post");
    EXPECT_EQ(ServerURL, DefaultServerURL);
    EXPECT_EQ(RequestMethod, "POST");
    EXPECT_TRUE(zeltest::LogLines().empty());
    SetRequestMethod("GET");
    SetRequestMethod("get");
    EXPECT_EQ(RequestMethod, "POST");
    SetServerURL("http://other/%s%d");  // a pattern character in the address is no field
    EXPECT_EQ(ServerURL, "http://other/%s%d");
    SetServerURL("");
    EXPECT_EQ(zeltest::LogLines().size(), 4u);
    LogMode = LogDefaultMode;
}
