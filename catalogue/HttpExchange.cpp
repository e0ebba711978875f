#include "HttpExchange.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Owners.h"
#include "config/Proxy.h"
#include "config/TrustText.h"

namespace zel {

std::atomic<DWORD> ExchangeDeadline{ExchangeDeadlineMs};

namespace {

// Exchanges whose worker has not ended yet, the one running included. A
// worker outlives its exchange only where closing the request does not
// break off a call in progress (Wine), and then only as long as the server
// keeps sending; past this many none is begun.
constexpr int MaxLiveExchanges = 4;
std::atomic<int> LiveExchanges{0};
// How long the caller waits for a worker whose request it closed.
constexpr DWORD AbortGraceMs = 1000;

struct HttpHandleTraits {
    static HINTERNET Invalid() { return nullptr; }
    static bool Valid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { WinHttpCloseHandle(h); }
};
using THandle = Unique<HINTERNET, HttpHandleTraits>;

std::string TrimMessage(std::string text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) text.pop_back();
    return text;
}

// WinHTTP keeps the texts of its own error codes in its module.
std::string HttpErrorText(DWORD code) {
    std::string text;
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
        LocalMemory<char> buffer;
        DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   GetModuleHandleA("winhttp.dll"), code, 0, reinterpret_cast<char*>(buffer.Out()),
                                   0, nullptr);
        if (len && buffer) text = TrimMessage(std::string(buffer.Get(), len));
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

// One exchange, shared by the caller and the worker that performs it; the
// last of them frees it. The worker touches nothing else: what it needs is
// copied in, so that a worker outliving its exchange reads no settings the
// scheduler changes meanwhile.
struct TExchange {
    std::string address;
    const wchar_t* verb = L"GET";
    bool hasBody = false;
    std::string body;
    std::string nonce;
    TProxySettings proxy;
    DWORD deadline = ExchangeDeadlineMs;

    std::string answer;
    std::string signature;
    std::exception_ptr error;

    std::atomic<bool> cancelled{false};

    // The request handle belongs to the exchange, not to either thread: the
    // caller closes it to break the exchange off (WinHTTP then fails the
    // worker's call in progress), the worker when it ends; only the first
    // close counts.
    bool Adopt(HINTERNET handle) {
        std::lock_guard<std::mutex> guard(lock_);
        if (cancelled) {
            WinHttpCloseHandle(handle);
            return false;
        }
        request_ = handle;
        return true;
    }
    void CloseRequest() {
        std::lock_guard<std::mutex> guard(lock_);
        if (request_) WinHttpCloseHandle(request_);
        request_ = nullptr;
    }
    void Cancel() {
        cancelled = true;
        CloseRequest();
    }
    // Between two steps: a cancelled exchange goes no further.
    void CheckCancelled() const {
        if (cancelled) throw EHTTPException("Обмен с сервером прерван");
    }

private:
    std::mutex lock_;
    HINTERNET request_ = nullptr;
};

void SetTimeouts(HINTERNET request, DWORD deadline) {
    auto bounded = [deadline](DWORD ms) { return static_cast<int>(std::min(ms, deadline)); };
    WinHttpSetTimeouts(request, bounded(ConnectTimeoutMs), bounded(ConnectTimeoutMs), bounded(SendTimeoutMs),
                       bounded(ReceiveTimeoutMs));
    // The receive time-out covers the answer's body only (Wine waits for
    // the headers without a limit unless this one is set).
    DWORD firstByte = static_cast<DWORD>(bounded(FirstByteTimeoutMs));
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &firstByte, sizeof firstByte);
}

std::string ReadAnswer(TExchange& x, HINTERNET request) {
    const std::string& address = x.address;
    int64_t expected = -1;
    std::wstring lengthText = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
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
    auto incomplete = [&] { return expected >= 0 && static_cast<int64_t>(answer.size()) < expected; };
    for (;;) {
        // Only what has arrived is read: Wine's WinHttpReadData waits until
        // the whole buffer is filled, however slowly the bytes come, where
        // WinHttpQueryDataAvailable returns with the first of them.
        x.CheckCancelled();
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            x.CheckCancelled();
            if (incomplete()) break;  // reported below
            RaiseHttpError(address);
        }
        x.CheckCancelled();
        if (available == 0) break;
        x.CheckCancelled();
        DWORD got = 0;
        DWORD want = std::min<DWORD>(available, static_cast<DWORD>(buffer.size()));
        if (!WinHttpReadData(request, buffer.data(), want, &got)) {
            x.CheckCancelled();
            if (incomplete()) break;
            RaiseHttpError(address);
        }
        if (got == 0) break;
        if (static_cast<int64_t>(answer.size()) + got > MaxAnswerSize) throw tooLarge();
        answer.append(buffer.data(), got);
    }
    if (expected >= 0 && static_cast<int64_t>(answer.size()) != expected)
        throw EHTTPException(Format("Ответ сервера получен не полностью (%d из %d байт): %s",
                                    {static_cast<int64_t>(answer.size()), expected, address}));
    return answer;
}

// The exchange itself, on the worker thread.
void Perform(TExchange& x) {
    const std::string& address = x.address;
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

    const TProxySettings& proxy = x.proxy;
    bool useProxy = !proxy.Address.empty();
    std::wstring proxyName;
    if (useProxy) proxyName = ToWide(Format("%s:%d", {proxy.Address, proxy.Port}));
    THandle session(WinHttpOpen(L"ZELUpdate", useProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                useProxy ? proxyName.c_str() : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) RaiseHttpError(address);
    THandle connection(WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
    if (!connection) RaiseHttpError(address);
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
    HINTERNET opened = WinHttpOpenRequest(connection.Get(), x.verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!opened) RaiseHttpError(address);
    // From here on the exchange owns the request; it is closed before the
    // connection and the session go.
    struct TRequestCloser {
        TExchange& x;
        ~TRequestCloser() { x.CloseRequest(); }
    } closer{x};
    if (!x.Adopt(opened)) x.CheckCancelled();
    // The worker checks for a break before every call it makes with the
    // handle, and makes none after one: a closed handle's value may be
    // given to another one.
    HINTERNET request = opened;
    x.CheckCancelled();
    SetTimeouts(request, x.deadline);

    std::wstring headerText;
    if (x.hasBody) headerText += L"Content-Type: application/json\r\n";
    if (!x.nonce.empty()) headerText += L"X-ZEL-Nonce: " + ToWide(Base64Encode(x.nonce)) + L"\r\n";
    const wchar_t* headers = headerText.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headerText.c_str();
    void* data = x.hasBody && !x.body.empty() ? const_cast<char*>(x.body.data()) : WINHTTP_NO_REQUEST_DATA;
    DWORD length = x.hasBody ? static_cast<DWORD>(x.body.size()) : 0;
    DWORD status = 0;
    bool credentialsGiven = false;
    for (;;) {
        x.CheckCancelled();
        if (!WinHttpSendRequest(request, headers, headers ? static_cast<DWORD>(-1) : 0, data, length, length, 0)) {
            x.CheckCancelled();
            RaiseHttpError(address);
        }
        x.CheckCancelled();
        if (!WinHttpReceiveResponse(request, nullptr)) {
            x.CheckCancelled();
            RaiseHttpError(address);
        }
        x.CheckCancelled();
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            RaiseHttpError(address);
        // Basic proxy authentication is answered once, when the proxy asks.
        if (status == HTTP_STATUS_PROXY_AUTH_REQ && useProxy && !credentialsGiven && !proxy.UserName.empty()) {
            credentialsGiven = true;
            std::wstring user = ToWide(proxy.UserName);
            std::wstring password = ToWide(proxy.Password);
            x.CheckCancelled();
            if (!WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC, user.c_str(),
                                       password.c_str(), nullptr))
                RaiseHttpError(address);
            continue;
        }
        break;
    }
    x.CheckCancelled();
    if (status < 200 || status > 299) {
        // The reason phrase is the server's text: Wine passes on even a bare
        // CR in it.
        std::string text = LogSafeText(ToAnsi(QueryHeaderText(request, WINHTTP_QUERY_STATUS_TEXT)));
        throw EHTTPException(Format("Сервер ответил ошибкой HTTP %d %s: %s", {status, text, address}));
    }
    x.signature = Trim(ToAnsi(QueryHeaderText(request, WINHTTP_QUERY_CUSTOM, L"X-ZEL-Signature")));
    x.answer = ReadAnswer(x, request);
}

DWORD WINAPI ExchangeThread(void* param) {
    std::unique_ptr<std::shared_ptr<TExchange>> own(static_cast<std::shared_ptr<TExchange>*>(param));
    TExchange& x = **own;
    try {
        Perform(x);
    } catch (...) {
        x.error = std::current_exception();
    }
    own.reset();
    --LiveExchanges;
    return 0;
}

}  // namespace

std::string BoundedExchange(const std::string& address, const wchar_t* verb, const std::string* body,
                            THttpHeaders* headers) {
    auto x = std::make_shared<TExchange>();
    x->address = address;
    x->verb = verb;
    x->hasBody = body != nullptr;
    if (body) x->body = *body;
    if (headers) x->nonce = headers->Nonce;
    x->proxy = EffectiveProxy();
    x->deadline = ExchangeDeadline.load();
    if (++LiveExchanges > MaxLiveExchanges) {
        --LiveExchanges;
        throw EHTTPException(Format("Предыдущие запросы к серверу ещё не завершены: %s", {address}));
    }
    // A small stack: the worker needs little, and one may linger.
    auto* param = new std::shared_ptr<TExchange>(x);
    UniqueHandle thread(
        CreateThread(nullptr, 256 * 1024, ExchangeThread, param, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        DWORD code = GetLastError();
        delete param;
        --LiveExchanges;
        throw EHTTPException(Format("%s: %s", {address, SysErrorMessage(code)}));
    }
    DWORD waited = WaitForSingleObject(thread.Get(), x->deadline);
    if (waited != WAIT_OBJECT_0) {
        // Closing the request breaks off the worker's call in progress on
        // Windows. Under Wine the call goes on: reading the body, until the
        // server's next byte; waiting for the headers, until the server has
        // sent them all or keeps silent for a step's time-out. The worker
        // ends then, after this exchange has failed.
        x->Cancel();
        WaitForSingleObject(thread.Get(), AbortGraceMs);
        throw EHTTPException(Format("Ответ сервера не получен за отведённое время (%d с): %s",
                                    {x->deadline / 1000, address}));
    }
    thread.Reset();
    if (x->error) std::rethrow_exception(x->error);
    if (headers) headers->Signature = x->signature;
    return std::move(x->answer);
}

}  // namespace zel
