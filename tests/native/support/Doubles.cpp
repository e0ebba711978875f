#include "Doubles.h"

#include "catalogue/AnswerSignature.h"
#include "service/Proxy.h"

namespace zeltest {
zel::TTrustState Trust;
std::string SignatureProblem;
}  // namespace zeltest

namespace zel {

// No proxy: the transport runs without one.
TProxySettings* ProxySettings = nullptr;

TTrustState CurrentTrust() { return zeltest::Trust; }

std::string NewAnswerNonce() { return std::string(AnswerNonceSize, '\x5A'); }

std::string AnswerSignatureProblem(const std::string&, const std::string&, const std::string&, const std::string&,
                                   const std::vector<std::string>&) {
    return zeltest::SignatureProblem;
}

}  // namespace zel
