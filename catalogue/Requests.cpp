#include "Requests.h"

#include <nlohmann/json.hpp>

#include "AnswerSignature.h"
#include "HTTP.h"
#include "service/Log.h"
#include "service/Text.h"
#include "service/Trust.h"

namespace zel {

const char* const DefaultServerURL = "http://update.quillon.ru/zel";
std::string ServerURL = DefaultServerURL;
std::string RequestMethod = "POST";

namespace {

using Json = nlohmann::ordered_json;

// A JSON string of UTF-8 text: the short escapes, "\/", \u00XX for other
// control characters, every other byte as it is.
void AppendJsonString(std::string& out, const std::string& utf8) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (unsigned char c : utf8) {
        switch (c) {
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '/': out += "\\/"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 32) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// The text of a string member; empty when absent, an error for any other type.
std::wstring StringField(const Json& object, const char* key, const std::wstring& module) {
    auto it = object.find(key);
    if (it == object.end()) return std::wstring();
    if (!it->is_string())
        throw Exception(Format("Неверный тип значения %s модуля %s в ответе сервера ЗЕЛ (%s вместо строки)",
                               {key, LogSafeText(ToAnsi(module)), it->type_name()}));
    return Utf8ToWide(it->get_ref<const std::string&>());
}

void ParseModuleInfo(const std::string& name, const Json& value, TRemoteModuleInfo& info) {
    info.ModuleName = Utf8ToWide(name);
    if (!value.is_object())
        throw Exception(Format("Сведения о модуле %s в ответе сервера ЗЕЛ не являются объектом JSON",
                               {LogSafeText(ToAnsi(info.ModuleName))}));
    info.ModuleVersion = StringField(value, "MODULE_VERSION", info.ModuleName);
    info.ExeName = StringField(value, "EXE_NAME", info.ModuleName);
    info.RequiredVersion = StringField(value, "REQUIRED_VERSION", info.ModuleName);
    info.UpdateType = StringField(value, "TYPE", info.ModuleName);
    info.Comment = StringField(value, "COMMENT", info.ModuleName);
    info.Error = StringField(value, "ERROR", info.ModuleName);
    // Whatever is wrong with the files refuses this module's answer only.
    auto files = value.find("FILE");
    if (files == value.end()) return;
    if (!files->is_array()) {
        RefuseModuleInfo(info, Format("значение FILE не является массивом (%s)", {files->type_name()}));
        return;
    }
    for (const auto& element : *files) {
        if (!element.is_string()) {
            RefuseModuleInfo(info, Format("элемент FILE не является строкой (%s)", {element.type_name()}));
            return;
        }
        if (!AddFileSpec(info, Utf8ToAnsi(element.get_ref<const std::string&>()))) {
            RefuseModuleInfo(info, Format("в записи файла %s неверно поле SHA-256", {LogSafeText(info.Files.back().FileName)}));
            return;
        }
        std::string problem = FileAddressProblem(info.Files.back().FileName);
        if (!problem.empty()) {
            RefuseModuleInfo(info, problem);
            return;
        }
    }
}

}  // namespace

void SetServerURL(const std::string& url) {
    std::string value = url.empty() ? std::string(DefaultServerURL) : url;
    if (value == ServerURL) return;
    WriteLogFmt("Изменился адрес сервера ЗЕЛ: %s", {value}, LogDebug);
    ServerURL = value;
}

void SetRequestMethod(const std::string& method) {
    std::string value = (method == "GET" || method == "POST") ? method : std::string("POST");
    if (value == RequestMethod) return;
    WriteLogFmt("Изменился метод запросов к серверу ЗЕЛ: %s", {value}, LogDebug);
    RequestMethod = value;
}

std::string BuildRequestText(TInfoQueue& queue) {
    std::string out = "{";
    bool first = true;
    TInfoEntry entry;
    while (queue.Pop(entry)) {
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, AnsiToUtf8(entry.Key));
        out += ":{\"MODULE_VERSION\":";
        AppendJsonString(out, AnsiToUtf8(entry.Value1));
        out += ",\"CURRENT_VERSION\":";
        AppendJsonString(out, AnsiToUtf8(entry.Value2));
        out += '}';
    }
    out += '}';
    return out;
}

bool ParseModuleInfoList(const std::string& answer, TRemoteModuleInfoList& list) {
    list.Clear();
    size_t start = answer.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    Json root;
    try {
        root = Json::parse(answer.begin() + static_cast<std::ptrdiff_t>(start), answer.end());
    } catch (const Json::exception& e) {
        throw Exception(Format("Ответ сервера ЗЕЛ не является текстом JSON: %s", {LogSafeText(e.what())}));
    }
    if (!root.is_object())
        throw Exception(Format("Ответ сервера ЗЕЛ не является объектом JSON (%s)", {root.type_name()}));
    try {
        for (const auto& member : root.items()) ParseModuleInfo(member.key(), member.value(), list.Add());
    } catch (const Json::exception& e) {
        list.Clear();
        throw Exception(Format("Ошибка разбора ответа сервера ЗЕЛ: %s", {e.what()}));
    } catch (...) {
        list.Clear();
        throw;
    }
    return list.Count() > 0;
}

std::string GetRequestAddress(const std::string& url, const std::string& json) {
    return Format("%s/?a=%s", {url, json});
}

std::string SendRequest(const std::string& address, const std::string& json, THttpHeaders* headers) {
    std::string answer;
    if (RequestMethod == "POST")
        HttpPost(address, json, answer, headers);
    else if (RequestMethod == "GET")
        HttpGet(GetRequestAddress(address, json), answer, headers);
    else
        throw Exception("Не задан метод обмена данными с сервером");
    return answer;
}

bool RequestModuleInfo(TInfoQueue& queue, TRemoteModuleInfoList& list) {
    std::string json = BuildRequestText(queue);
    TTrustState trust = CurrentTrust();
    THttpHeaders headers;
    headers.Nonce = NewAnswerNonce();
    std::string answer = SendRequest(ServerURL, json, &headers);
    // Nothing of an answer is used before its signature is checked.
    if (trust.KeysRequired) {
        std::string problem = AnswerSignatureProblem(headers.Signature, headers.Nonce, json, answer, trust.Keys);
        if (!problem.empty())
            throw Exception(Format("Ответ сервера обновлений %s отклонён: %s", {ServerURL, problem}));
    }
    return ParseModuleInfoList(answer, list);
}

}  // namespace zel
