#include <gtest/gtest.h>

#include "base/Log.h"
#include "catalogue/HTTP.h"
#include "catalogue/Requests.h"
#include "config/Proxy.h"
#include "config/Trust.h"
#include "config/TrustText.h"
#include "download/InfoQueue.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

// Exchanges with the reference update servers that the test fixture runs.
class ExchangeTest : public testing::Test {
protected:
    void SetUp() override {
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
        RequestMethod = "POST";
        saved_ = *ProxySettings;
        *ProxySettings = TProxySettings();
    }
    void TearDown() override {
        SetSwitches("");
        ExchangeDeadline = ExchangeDeadlineMs;
        *ProxySettings = saved_;
        LogMode = LogDefaultMode;
        ServerURL = DefaultServerURL;
        RequestMethod = "POST";
    }
    static std::string Url(const std::string& server) {
        std::string port = Trim(test::ReadFileBytes(test::TestDir() + "servers\\" + server + ".port"));
        EXPECT_FALSE(port.empty()) << server;
        return "http://127.0.0.1:" + port + "/zel";
    }
    // The servers' switches for module Alpha (tools/updateserver.py); empty
    // text removes them.
    static void SetSwitches(const std::string& json) {
        const std::string path = test::TestDir() + "catalogue\\Alpha\\.server.json";
        if (json.empty())
            RemoveFile(path);
        else
            test::WriteFileBytes(path, json);
    }
    static std::string Recorded(const std::string& name) {
        return test::ReadFileBytes(test::TestDir() + "record\\" + name);
    }
    static void Queue(TInfoQueue& queue) {
        queue.Add("Alpha", "1.0.00.09", "1.0.0.9");
        queue.Add("Бета", "0.0.00.00", "");
        queue.Add("No such", "1.0.00.00", "1");
    }
    static void CheckAnswer(TRemoteModuleInfoList& list) {
        ASSERT_EQ(list.Count(), 3u);
        const TRemoteModuleInfo& alpha = list.Items(0);
        EXPECT_EQ(alpha.ModuleName, L"Alpha");
        EXPECT_EQ(alpha.ModuleVersion, L"1.0.0.10");
        ASSERT_EQ(alpha.Files.size(), 2u);
        EXPECT_EQ(UrlFileName(alpha.Files[0].FileName), "readme.txt");
        EXPECT_EQ(alpha.Files[0].Size, 8);
        EXPECT_EQ(UrlFileName(alpha.Files[1].FileName), "setup.exe");
        EXPECT_EQ(alpha.Files[1].Size, 1000);
        EXPECT_EQ(alpha.Files[1].Sha256, "c2e686823489ced2017f6059b8b239318b6364f6dcd835d0a519105a1eadd6e4");
        const TRemoteModuleInfo& beta = list.Items(1);
        EXPECT_EQ(beta.ModuleName, L"Бета");
        EXPECT_EQ(beta.ModuleVersion, L"2.1.3.7");
        EXPECT_EQ(beta.ExeName, L"beta.exe");
        EXPECT_EQ(beta.Comment, L"Новая версия");
        ASSERT_EQ(beta.Files.size(), 1u);
        EXPECT_EQ(beta.Files[0].Size, 4);
        EXPECT_EQ(list.Items(2).ModuleName, L"No such");
        EXPECT_EQ(list.Items(2).Error, L"invalid module_name");
    }
    TProxySettings saved_;
};

}  // namespace

TEST_F(ExchangeTest, PostAndGetAgainstTheServer) {
    LogMode = 0x3F;
    ServerURL = Url("main");
    TInfoQueue queue;
    Queue(queue);
    TRemoteModuleInfoList list;
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    CheckAnswer(list);
    // The body arrives byte for byte, with its content type.
    EXPECT_EQ(Recorded("last-request.bin"),
              "{\"Alpha\":{\"MODULE_VERSION\":\"1.0.00.09\",\"CURRENT_VERSION\":\"1.0.0.9\"},"
              "\"\xD0\x91\xD0\xB5\xD1\x82\xD0\xB0\":{\"MODULE_VERSION\":\"0.0.00.00\",\"CURRENT_VERSION\":\"\"},"
              "\"No such\":{\"MODULE_VERSION\":\"1.0.00.00\",\"CURRENT_VERSION\":\"1\"}}");
    EXPECT_NE(Recorded("last-headers.txt").find("Content-Type: application/json"), std::string::npos);
    std::string log = test::ReadLog(test::TestDir());
    EXPECT_NE(log.find(" : Отправляем данные методом POST:\r\n"), std::string::npos);
    EXPECT_NE(log.find(" : Принятый пакет данных:\r\n"), std::string::npos);
    EXPECT_NE(log.find("\"MODULE_VERSION\":\"1.0.0.10\""), std::string::npos);

    // The same exchange in the address of a GET: the server gets the
    // request text as it was built, also what means something in an
    // address ("&", "#", "%", "+").
    RequestMethod = "GET";
    Queue(queue);
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    CheckAnswer(list);
    std::string target = Recorded("last-target.bin");
    EXPECT_EQ(target.substr(0, 8), "/zel/?a=");
    EXPECT_NE(target.find("%22No%20such%22%3A%7B%22MODULE_VERSION%22"), std::string::npos) << target;
    EXPECT_NE(test::ReadLog(test::TestDir()).find(" : URL: " + ServerURL + "/?a=%7B%22Alpha%22"), std::string::npos);
    queue.Add("Alpha", "1.0.00.09", "1.0&b=2#c%41+d e;f");
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    EXPECT_EQ(Recorded("last-request.bin"),
              "{\"Alpha\":{\"MODULE_VERSION\":\"1.0.00.09\",\"CURRENT_VERSION\":\"1.0&b=2#c%41+d e;f\"}}");
    EXPECT_EQ(list.Items(0).ModuleVersion, L"1.0.0.10");

    // The newest version asked gives CURRENT without files.
    queue.Add("Alpha", "1.0.00.10", "1.0.0.10");
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Items(0).ModuleVersion, L"CURRENT");
    EXPECT_TRUE(list.Items(0).Files.empty());

    // A listed file is served whole.
    std::string body;
    RequestMethod = "POST";
    ASSERT_TRUE(HttpGet(Url("main").substr(0, Url("main").size() - 4) + "/files/Alpha/1.0.0.10/setup.exe", body));
    EXPECT_EQ(body, std::string(1000, 'A'));
}

TEST_F(ExchangeTest, FailuresBecomeHttpExceptions) {
    std::string answer;
    auto message = [&](const std::string& url, bool post) -> std::string {
        try {
            if (post)
                HttpPost(url, "{}", answer);
            else
                HttpGet(url + "/?a={}", answer);
        } catch (const EHTTPException& e) {
            return e.Message();
        }
        return "no failure";
    };
    EXPECT_NE(message(Url("s404"), true).find("404"), std::string::npos);
    EXPECT_NE(message(Url("s500"), false).find("500"), std::string::npos);
    EXPECT_NE(message("http://127.0.0.1:1/zel", true), "no failure");  // nobody listens
    EXPECT_NE(message(Url("truncated"), true).find("не полностью"), std::string::npos);
    EXPECT_NE(message("ftp://127.0.0.1/zel", true), "no failure");

    // A body that is no JSON is a failed exchange, not a crash.
    ServerURL = Url("garbage");
    TInfoQueue queue;
    queue.Add("Alpha", "1.0.00.09", "");
    TRemoteModuleInfoList list;
    EXPECT_THROW(RequestModuleInfo(queue.TakeRequests(), list), Exception);
    EXPECT_TRUE(queue.IsEmpty());

    ServerURL = Url("s500");
    queue.Add("Alpha", "1.0.00.09", "");
    EXPECT_THROW(RequestModuleInfo(queue.TakeRequests(), list), EHTTPException);

    // The reason phrase is the server's text: a CR in it (WinHTTP ends the
    // status line only at LF) or another control character is shown, never
    // written.
    ServerURL = Url("main");
    const std::pair<const char*, const char*> reasons[] = {
        {"Busy\\r12:00:00 : Stopped", "Busy\\x0D12:00:00 : Stopped"},
        {"Busy\\r\\n12:00:00 : forged", "Busy"},
        {"Busy\\u0001\\u000bnow\\u007f", "Busy\\x01\\x0Bnow\\x7F"},
    };
    for (const auto& reason : reasons) {
        SetSwitches(std::string("{\"status\": 503, \"reason\": \"") + reason.first + "\"}");
        queue.Add("Alpha", "1.0.00.09", "");
        try {
            RequestModuleInfo(queue.TakeRequests(), list);
            ADD_FAILURE() << reason.first;
        } catch (const EHTTPException& e) {
            EXPECT_EQ(e.Message(), std::string("Сервер ответил ошибкой HTTP 503 ") + reason.second + ": " + ServerURL);
        }
    }
}

TEST_F(ExchangeTest, LargeAnswersAreReadUpToTheLimit) {
    ServerURL = Url("huge");
    TInfoQueue queue;
    queue.Add("Alpha", "1.0.00.09", "");
    queue.Add("Бета", "", "");
    TRemoteModuleInfoList list;
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));  // with a byte-order mark in front
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Items(0).Comment.size(), 4000000u);
    EXPECT_EQ(list.Items(1).Comment.size(), 4000000u);
    EXPECT_EQ(list.Items(1).ModuleVersion, L"2.1.3.7");

    // Sent in chunks, without a length, the answer is the same.
    ServerURL = Url("chunked");
    queue.Add("Alpha", "1.0.00.09", "1.0.0.9");
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Items(0).ModuleVersion, L"1.0.0.10");
    EXPECT_EQ(list.Items(0).Files.size(), 2u);

    // Beyond the limit the exchange fails, announced or not.
    for (const char* server : {"toolarge", "toolarge-chunked"}) {
        ServerURL = Url(server);
        queue.Add("Alpha", "1.0.00.09", "");
        try {
            RequestModuleInfo(queue.TakeRequests(), list);
            ADD_FAILURE() << server << ": no failure";
        } catch (const EHTTPException& e) {
            EXPECT_EQ(e.Message(), "Ответ сервера превышает допустимый размер (8388608 байт): " + ServerURL) << server;
        }
    }
}

// However slowly a server sends, the exchange fails at its deadline, with
// its body or its headers still to come; the next one runs as usual.
TEST_F(ExchangeTest, AnExchangeEndsAtItsDeadline) {
    EXPECT_EQ(ExchangeDeadline.load(), 60000u);  // the service's own: ExchangeDeadlineMs
    // Shortened for the test; the server sends a byte every 2 s, well
    // within each step's time-out (also shortened to the deadline).
    ExchangeDeadline = 6000;
    ServerURL = Url("main");
    TRemoteModuleInfoList list;
    const std::pair<const char*, const char*> cases[] = {{"POST", "{\"drip\": 2}"},
                                                         {"GET", "{\"drip\": 2, \"drip_headers\": true}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        RequestMethod = c.first;
        SetSwitches(c.second);
        TInfoQueue queue;
        Queue(queue);
        DWORD start = GetTickCount();
        try {
            RequestModuleInfo(queue.TakeRequests(), list);
            ADD_FAILURE() << "no failure";
        } catch (const EHTTPException& e) {
            EXPECT_EQ(e.Message().rfind("Ответ сервера не получен за отведённое время (6 с): " + ServerURL, 0), 0u)
                << e.Message();
        }
        DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 5900u);
        EXPECT_LT(took, 10000u);  // the deadline and a second's grace for the worker
    }
    SetSwitches("");
    TInfoQueue queue;
    Queue(queue);
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    CheckAnswer(list);
}

TEST_F(ExchangeTest, ProxyWithBasicCredentials) {
    ProxySettings->Address = "127.0.0.1";
    ProxySettings->Port = StrToIntDef(Trim(test::ReadFileBytes(test::TestDir() + "servers\\proxy.port")), 0);
    ProxySettings->UserName = "zel";
    ProxySettings->Password = "secret";
    ServerURL = "http://zel-update.invalid/zel";
    TInfoQueue queue;
    Queue(queue);
    TRemoteModuleInfoList list;
    ASSERT_TRUE(RequestModuleInfo(queue.TakeRequests(), list));
    EXPECT_EQ(list.Count(), 3u);

    ProxySettings->Password = "wrong";
    Queue(queue);
    try {
        RequestModuleInfo(queue.TakeRequests(), list);
        FAIL() << "the proxy must refuse";
    } catch (const EHTTPException& e) {
        EXPECT_NE(e.Message().find("407"), std::string::npos) << e.Message();
    }
}

// A signing server's answers are used only when a trusted key signed them
// for this very request and nonce; anything else refuses the whole answer.
TEST_F(ExchangeTest, SignedAnswersAreCheckedBeforeAnyOfItIsUsed) {
    const std::string keyA = test::TrustValue("answer-a.txt");
    const std::string keyB = test::TrustValue("answer-b.txt");
    ASSERT_FALSE(keyA.empty());
    const std::string switches = test::TestDir() + "catalogue\\Alpha\\.server.json";
    auto setSwitch = [&](const std::string& json) {
        if (json.empty())
            RemoveFile(switches);
        else
            test::WriteFileBytes(switches, json);
    };
    ServerURL = Url("signed");
    TRemoteModuleInfoList list;
    auto ask = [&](const std::string& method) {
        RequestMethod = method;
        list.Clear();
        TInfoQueue queue;
        Queue(queue);
        return RequestModuleInfo(queue.TakeRequests(), list);
    };
    auto refusal = [&](const std::string& method) {
        try {
            ask(method);
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::string("(accepted)");
    };
    auto nonce = [&] {
        std::string headers = test::ReadFileBytes(test::TestDir() + "record-signed\\last-headers.txt");
        size_t at = headers.find("X-ZEL-Nonce: ");
        if (at == std::string::npos) return std::string();
        std::string bytes;
        Base64Decode(Trim(headers.substr(at + 13, headers.find('\n', at) - at - 13)), bytes);
        return bytes;
    };

    SetTrustConfig(keyA, "");
    std::string first;
    for (const char* method : {"POST", "GET"}) {
        ASSERT_TRUE(ask(method)) << method;
        CheckAnswer(list);
        std::string sent = nonce();
        EXPECT_EQ(sent.size(), 32u) << method;
        EXPECT_NE(sent, first);  // a fresh one for every exchange
        first = sent;
    }
    // The second key is trusted only once it is named: rotation with both.
    setSwitch("{\"key\": 1}");
    EXPECT_NE(refusal("POST").find("не доверяет"), std::string::npos);
    SetTrustConfig(keyA + ", " + keyB, "");
    EXPECT_TRUE(ask("POST"));
    setSwitch("");
    EXPECT_TRUE(ask("GET"));

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"none", "ответ не подписан"},       {"changed", "подпись не совпадает"},
        {"foreign", "подпись ключом "},      {"nonce", "подпись не совпадает"},
        {"request", "подпись не совпадает"}, {"malformed", "неверный формат подписи"}};
    for (const auto& c : refused) {
        setSwitch("{\"signature\": \"" + c.first + "\"}");
        for (const char* method : {"POST", "GET"}) {
            std::string message = refusal(method);
            EXPECT_NE(message.find("отклонён: " + c.second), std::string::npos)
                << c.first << " " << method << ": " << message;
            EXPECT_NE(message.find(ServerURL), std::string::npos) << message;
            EXPECT_EQ(list.Count(), 0u);
        }
    }
    // Without a trusted key the service takes answers as it always did; a
    // key line with no usable entry takes nothing.
    setSwitch("{\"signature\": \"none\"}");
    SetTrustConfig("", "");
    EXPECT_TRUE(ask("POST"));
    SetTrustConfig("bm90IGEga2V5", "");
    EXPECT_NE(refusal("POST").find("отклонён"), std::string::npos);
    setSwitch("");
    SetTrustConfig("", "");
}
