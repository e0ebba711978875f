#include "AnswerSignature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "base/Text.h"
#include "config/TrustText.h"
#include "store/CryptOwners.h"
#include "store/Digest.h"

namespace zel {

namespace {

constexpr size_t KeyIdBytes = 8;
constexpr size_t SignatureSize = 64;
constexpr size_t PointSize = 65;

// The platform's public blob of a 65-byte point: its header, then X and Y.
bool ImportPoint(BCRYPT_ALG_HANDLE algorithm, const std::string& point, TCryptKey& key) {
    if (!algorithm || point.size() != PointSize || point[0] != '\x04') return false;
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(&blob[0], &header, sizeof header);
    blob.append(point, 1, PointSize - 1);
    return BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(),
                                              reinterpret_cast<PUCHAR>(&blob[0]), static_cast<ULONG>(blob.size()),
                                              0));
}

bool IsKeyId(const std::string& text) {
    if (text.size() != KeyIdBytes * 2) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

std::string NewAnswerNonce() {
    std::string nonce(AnswerNonceSize, '\0');
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&nonce[0]), static_cast<ULONG>(nonce.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        throw Exception("Не удалось получить случайное число для запроса к серверу обновлений");
    return nonce;
}

std::string AnswerKeyId(const std::string& point) { return HexText(Sha256(point).substr(0, KeyIdBytes)); }

std::string AnswerSignatureProblem(const std::string& header, const std::string& nonce,
                                   const std::string& requestText, const std::string& answer,
                                   const std::vector<std::string>& keys) {
    if (header.empty()) return "ответ не подписан";
    size_t colon = header.find(':');
    std::string signature;
    if (colon == std::string::npos || !IsKeyId(header.substr(0, colon)) ||
        !Base64Decode(Trim(header.substr(colon + 1)), signature) || signature.size() != SignatureSize)
        return "неверный формат подписи";
    const std::string keyId = header.substr(0, colon);
    const std::string* key = nullptr;
    for (const std::string& k : keys)
        if (AnswerKeyId(k) == keyId) key = &k;
    if (!key) return Format("подпись ключом %s, которому служба не доверяет", {keyId});
    if (nonce.size() != AnswerNonceSize) return "подпись не совпадает";

    TCryptAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    TCryptKey publicKey;
    if (!ImportPoint(algorithm.get(), *key, publicKey)) return Format("ключ %s не удалось загрузить", {keyId});
    std::string requestDigest = Sha256(requestText);
    std::string digest = Sha256(nonce + requestDigest + answer);
    if (requestDigest.empty() || digest.empty()) return "не удалось вычислить SHA-256";
    NTSTATUS status = BCryptVerifySignature(publicKey.get(), nullptr, reinterpret_cast<PUCHAR>(&digest[0]),
                                            static_cast<ULONG>(digest.size()),
                                            reinterpret_cast<PUCHAR>(&signature[0]),
                                            static_cast<ULONG>(signature.size()), 0);
    if (!BCRYPT_SUCCESS(status)) return "подпись не совпадает";
    return std::string();
}

}  // namespace zel
