// The HTTP transport of the update-server exchange (WinHTTP).
#pragma once

#include <string>

#include "service/Text.h"

namespace zel {

// Every failure of one HTTP exchange.
class EHTTPException : public Exception {
public:
    using Exception::Exception;
};

// Synchronous GET of the address (passed through EscapeUrl); the body goes
// to answer. Raises EHTTPException; a status other than 2xx is a failure.
bool HttpGet(const std::string& address, std::string& answer);
// Synchronous POST of body with content type application/json.
bool HttpPost(const std::string& address, const std::string& body, std::string& answer);

// Blanks become %20 and ";" becomes %3B; nothing else changes.
std::string EscapeUrl(const std::string& text);
// The last component of an address or path ("/" and "\" and ":" separate).
std::string UrlFileName(const std::string& address);

}  // namespace zel
