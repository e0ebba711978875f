#include "HTTP.h"

#include "HttpExchange.h"
#include "base/Log.h"

namespace zel {

namespace {

// The caption, then the whole text as one message. The answer is the
// server's text: its line breaks are shown, not written, so that none of it
// can pass for a line of the log.
void LogStreamText(const std::string& caption, const std::string& data) {
    if (!(LogMode.load() & LogTrace)) return;
    WriteLog(caption, LogTrace);
    WriteLog(LogSafeText(data, std::string::npos), LogTrace);
}

}  // namespace

bool HttpGet(const std::string& address, std::string& answer, THttpHeaders* headers) {
    WriteLogFmt("URL: %s", {address}, LogTrace);
    try {
        answer = BoundedExchange(EscapeUrl(address), L"GET", nullptr, headers);
    } catch (const EHTTPException&) {
        throw;
    } catch (const Exception& e) {
        throw EHTTPException(e.Message());
    }
    return true;
}

bool HttpPost(const std::string& address, const std::string& body, std::string& answer, THttpHeaders* headers) {
    LogStreamText("Отправляем данные методом POST:", body);
    try {
        answer = BoundedExchange(address, L"POST", &body, headers);
    } catch (const EHTTPException&) {
        throw;
    } catch (const Exception& e) {
        throw EHTTPException(e.Message());
    }
    LogStreamText("Принятый пакет данных:", answer);
    return true;
}

std::string EscapeUrl(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == ' ')
            out += "%20";
        else if (c == ';')
            out += "%3B";
        else
            out += c;
    }
    return out;
}

std::string PercentEncode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string UrlFileName(const std::string& address) {
    std::string path = StringReplace(address, "/", "\\");
    size_t pos = path.find_last_of("\\:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

}  // namespace zel
