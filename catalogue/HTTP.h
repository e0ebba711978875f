// The HTTP transport of the update-server exchange (WinHTTP).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "base/Text.h"

namespace zel {

// Every failure of one HTTP exchange.
class EHTTPException : public Exception {
public:
    using Exception::Exception;
};

// The largest answer body taken in; a longer one is a failed exchange.
constexpr int64_t MaxAnswerSize = 8 * 1024 * 1024;

// Time limits of one exchange, in milliseconds. The deadline bounds the
// whole of it (connection, request, answer); the others each step, and none
// is longer than the deadline.
constexpr DWORD ExchangeDeadlineMs = 60000;
constexpr DWORD ConnectTimeoutMs = 30000;    // name resolution, connection
constexpr DWORD SendTimeoutMs = 30000;       // each part of the request
constexpr DWORD FirstByteTimeoutMs = 30000;  // from the request sent to the answer's headers
constexpr DWORD ReceiveTimeoutMs = 30000;    // between two parts of the answer
// The deadline in force: ExchangeDeadlineMs; tests shorten it.
extern std::atomic<DWORD> ExchangeDeadline;

// The exchange's own request and answer headers.
struct THttpHeaders {
    std::string Nonce;      // sent base64-encoded as X-ZEL-Nonce when not empty
    std::string Signature;  // the answer's X-ZEL-Signature; empty when it has none
};

// Synchronous GET of the address (passed through EscapeUrl); the body goes
// to answer. Raises EHTTPException; a status other than 2xx is a failure.
bool HttpGet(const std::string& address, std::string& answer, THttpHeaders* headers = nullptr);
// Synchronous POST of body with content type application/json.
bool HttpPost(const std::string& address, const std::string& body, std::string& answer,
              THttpHeaders* headers = nullptr);

// Blanks become %20 and ";" becomes %3B; nothing else changes.
std::string EscapeUrl(const std::string& text);
// Every byte outside the unreserved characters of an address (letters,
// digits, "-", ".", "_", "~") as %XX: a text that goes into a query whole.
std::string PercentEncode(const std::string& text);
// The last component of an address or path ("/" and "\" and ":" separate).
std::string UrlFileName(const std::string& address);

}  // namespace zel
