#include "HTTP.h"
namespace zel {
bool HttpGet(const std::string&, std::string&) { throw EHTTPException("HTTP"); }
bool HttpPost(const std::string&, const std::string&, std::string&) { throw EHTTPException("HTTP"); }
std::string EscapeUrl(const std::string& text) { return text; }
std::string UrlFileName(const std::string& address) { return ExtractFileName(address); }
}  // namespace zel
