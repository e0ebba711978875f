// Signed answers of the update server. Every exchange carries a fresh nonce
// in the request header X-ZEL-Nonce; a signing server answers with
// X-ZEL-Signature: <keyid>:<base64 of r||s>, an ECDSA P-256 / SHA-256
// signature over nonce || SHA-256(request text) || answer body. The keyid is
// the hexadecimal of the first 8 bytes of SHA-256 over the key's 65-byte
// uncompressed point.
#pragma once

#include <string>
#include <vector>

namespace zel {

constexpr size_t AnswerNonceSize = 32;

// A fresh nonce from the system's random generator; raises Exception when
// there is none.
std::string NewAnswerNonce();

// The keyid of a 65-byte point.
std::string AnswerKeyId(const std::string& point);

// Checks an answer against the trusted keys; empty when one of them signed
// exactly this answer to exactly this request and nonce, otherwise the
// reason in the log's words.
std::string AnswerSignatureProblem(const std::string& header, const std::string& nonce,
                                   const std::string& requestText, const std::string& answer,
                                   const std::vector<std::string>& keys);

}  // namespace zel
