#include "Doubles.h"

#include "catalogue/AnswerSignature.h"
#include "catalogue/HttpExchange.h"
#include "config/Proxy.h"

namespace zeltest {
zel::TTrustState Trust;
std::string SignatureProblem;
}  // namespace zeltest

namespace zel {

// No proxy: the transport runs without one.
TProxySettings* ProxySettings = nullptr;

TTrustState CurrentTrust() { return zeltest::Trust; }

// No network here: every exchange fails as a transport failure does.
std::string BoundedExchange(const std::string& address, const wchar_t*, const std::string*, THttpHeaders*) {
    throw EHTTPException("no network in the native tests: " + address);
}

std::string NewAnswerNonce() { return std::string(AnswerNonceSize, '\x5A'); }

std::string AnswerSignatureProblem(const std::string&, const std::string&, const std::string&, const std::string&,
                                   const std::vector<std::string>&) {
    return zeltest::SignatureProblem;
}

}  // namespace zel
