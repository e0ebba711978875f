#include "HTTP.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "service/Log.h"
#include "service/Proxy.h"
#include "service/TrustText.h"

namespace zel {

namespace {

class THandle {
public:
    explicit THandle(HINTERNET h = nullptr) : h_(h) {}
    ~THandle() {
        if (h_) WinHttpCloseHandle(h_);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_;
};

std::string TrimMessage(std::string text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) text.pop_back();
    return text;
}

// WinHTTP keeps the texts of its own error codes in its module.
std::string HttpErrorText(DWORD code) {
    std::string text;
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
        char* buffer = nullptr;
        DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   GetModuleHandleA("winhttp.dll"), code, 0, reinterpret_cast<char*>(&buffer),
                                   0, nullptr);
        if (len && buffer) text = TrimMessage(std::string(buffer, len));
        if (buffer) LocalFree(buffer);
    }
    if (text.empty()) text = SysErrorMessage(code);
    if (text.empty()) return Format("Ошибка сетевого обмена (код %d)", {code});
    return Format("%s (код %d)", {text, code});
}

[[noreturn]] void RaiseHttpError(const std::string& address) {
    DWORD code = GetLastError();
    throw EHTTPException(Format("%s: %s", {address, HttpErrorText(code)}));
}

// The request target must be plain ASCII on the wire: bytes outside it
// (the UTF-8 of the request text in GET mode) are percent-encoded here, so
// the server receives exactly these bytes whatever WinHTTP would make of
// other characters.
std::wstring WireUrl(const std::string& address) {
    static const char hex[] = "0123456789ABCDEF";
    std::wstring url;
    for (unsigned char c : address) {
        if (c >= 0x80 || c < 0x20 || c == 0x7F) {
            url += L'%';
            url += static_cast<wchar_t>(hex[c >> 4]);
            url += static_cast<wchar_t>(hex[c & 15]);
        } else {
            url += static_cast<wchar_t>(c);
        }
    }
    return url;
}

// A header of the answer; name is only for WINHTTP_QUERY_CUSTOM.
std::wstring QueryHeaderText(HINTERNET request, DWORD info, const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, info, name, WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::wstring();
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
    if (!WinHttpQueryHeaders(request, info, name, buffer.data(), &size, WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    return std::wstring(buffer.data(), size / sizeof(wchar_t));
}

// One synchronous exchange; the answer body is returned whole.
std::string Exchange(const std::string& address, const wchar_t* verb, const std::string* body,
                     THttpHeaders* own) {
    std::wstring url = WireUrl(address);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) RaiseHttpError(address);
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        throw EHTTPException(Format("Неподдерживаемый адрес: %s", {address}));
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    const TProxySettings* proxy = ProxySettings;
    bool useProxy = proxy && !proxy->Address.empty();
    std::wstring proxyName;
    if (useProxy) proxyName = ToWide(Format("%s:%d", {proxy->Address, proxy->Port}));
    THandle session(WinHttpOpen(L"ZELUpdate", useProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                useProxy ? proxyName.c_str() : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) RaiseHttpError(address);
    THandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) RaiseHttpError(address);
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
    THandle request(WinHttpOpenRequest(connection.get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) RaiseHttpError(address);

    std::wstring headerText;
    if (body) headerText += L"Content-Type: application/json\r\n";
    if (own && !own->Nonce.empty()) headerText += L"X-ZEL-Nonce: " + ToWide(Base64Encode(own->Nonce)) + L"\r\n";
    const wchar_t* headers = headerText.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headerText.c_str();
    void* data = body && !body->empty() ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA;
    DWORD length = body ? static_cast<DWORD>(body->size()) : 0;
    DWORD status = 0;
    bool credentialsGiven = false;
    for (;;) {
        if (!WinHttpSendRequest(request.get(), headers, headers ? static_cast<DWORD>(-1) : 0, data, length, length, 0))
            RaiseHttpError(address);
        if (!WinHttpReceiveResponse(request.get(), nullptr)) RaiseHttpError(address);
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            RaiseHttpError(address);
        // Basic proxy authentication is answered once, when the proxy asks.
        if (status == HTTP_STATUS_PROXY_AUTH_REQ && useProxy && !credentialsGiven && !proxy->UserName.empty()) {
            credentialsGiven = true;
            std::wstring user = ToWide(proxy->UserName);
            std::wstring password = ToWide(proxy->Password);
            if (!WinHttpSetCredentials(request.get(), WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                       user.c_str(), password.c_str(), nullptr))
                RaiseHttpError(address);
            continue;
        }
        break;
    }
    if (status < 200 || status > 299) {
        // The reason phrase is the server's text: Wine passes on even a bare
        // CR in it.
        std::string text = LogSafeText(ToAnsi(QueryHeaderText(request.get(), WINHTTP_QUERY_STATUS_TEXT)));
        throw EHTTPException(Format("Сервер ответил ошибкой HTTP %d %s: %s", {status, text, address}));
    }

    int64_t expected = -1;
    std::wstring lengthText = QueryHeaderText(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    if (!lengthText.empty()) {
        int64_t v;
        if (TryStrToInt64(Trim(ToAnsi(lengthText)), v) && v >= 0) expected = v;
    }
    // An answer is never taken in beyond the limit, announced or not.
    auto tooLarge = [&] {
        return EHTTPException(
            Format("Ответ сервера превышает допустимый размер (%d байт): %s", {MaxAnswerSize, address}));
    };
    if (expected > MaxAnswerSize) throw tooLarge();

    std::string answer;
    if (expected > 0) answer.reserve(static_cast<size_t>(expected));
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
            if (expected >= 0 && static_cast<int64_t>(answer.size()) < expected) break;  // reported below
            RaiseHttpError(address);
        }
        if (got == 0) break;
        if (static_cast<int64_t>(answer.size()) + got > MaxAnswerSize) throw tooLarge();
        answer.append(buffer.data(), got);
    }
    if (expected >= 0 && static_cast<int64_t>(answer.size()) != expected)
        throw EHTTPException(Format("Ответ сервера получен не полностью (%d из %d байт): %s",
                                    {static_cast<int64_t>(answer.size()), expected, address}));
    if (own) own->Signature = Trim(ToAnsi(QueryHeaderText(request.get(), WINHTTP_QUERY_CUSTOM, L"X-ZEL-Signature")));
    return answer;
}

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
        answer = Exchange(EscapeUrl(address), L"GET", nullptr, headers);
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
        answer = Exchange(address, L"POST", &body, headers);
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
