#include "Requests.h"

#include "AnswerSignature.h"
#include "HTTP.h"
#include "base/Log.h"
#include "base/Text.h"
#include "config/Trust.h"

namespace zel {

namespace {

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

}  // namespace

std::string BuildRequestText(const TModuleRequests& modules) {
    std::string out = "{";
    bool first = true;
    for (const TModuleRequest& module : modules) {
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, AnsiToUtf8(module.Name));
        out += ":{\"MODULE_VERSION\":";
        AppendJsonString(out, AnsiToUtf8(module.Version));
        out += ",\"CURRENT_VERSION\":";
        AppendJsonString(out, AnsiToUtf8(module.Installed));
        out += '}';
    }
    out += '}';
    return out;
}

std::string GetRequestAddress(const std::string& url, const std::string& json) {
    // The server URL as configured; the request text encoded whole, so that
    // no byte of it ("&", "#", "%", "+") means anything in the address.
    return Format("%s/?a=%s", {url, PercentEncode(json)});
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

bool RequestModuleInfo(const TModuleRequests& modules, TRemoteModuleInfoList& list) {
    std::string json = BuildRequestText(modules);
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
