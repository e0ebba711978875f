// Measures, in one run, what verifying a signed answer costs next to
// reading it: an answer for N modules as the update server writes it, a
// fresh P-256 key, the signature made as a signing server makes it, then
// the service's own check (AnswerSignatureProblem) and its own reader
// (ParseModuleInfoList) timed over the same text.
//   signbench <modules> <runs>
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "base/Text.h"
#include "catalogue/AnswerSignature.h"
#include "catalogue/Requests.h"
#include "config/TrustText.h"
#include "store/CryptOwners.h"
#include "store/Digest.h"

using namespace zel;
using zel::bench::Median;
using zel::bench::Now;

int main(int argc, char** argv) {
    int modules = argc > 1 ? std::atoi(argv[1]) : 1000;
    int runs = argc > 2 ? std::atoi(argv[2]) : 21;
    std::string request = "{";
    std::string answer = "{";
    for (int i = 1; i <= modules; ++i) {
        std::string name = Format("BM%.4d", {i});
        if (i > 1) request += ",", answer += ",";
        request += "\"" + name + "\":{\"MODULE_VERSION\":\"1.0.00.00\",\"CURRENT_VERSION\":\"1.0.0.0\"}";
        answer += "\"" + name + "\":{\"MODULE_VERSION\":\"CURRENT\"}";
    }
    request += "}";
    answer += "}";

    TCryptAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    TCryptKey key;
    if (!algorithm.get() || !BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm.get(), key.receive(), 256, 0)) ||
        !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key.get(), 0))) {
        std::printf("no P-256 key\n");
        return 1;
    }
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    ULONG size = 0;
    if (!BCRYPT_SUCCESS(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0)) ||
        size != sizeof blob) {
        std::printf("no public key\n");
        return 1;
    }
    std::string point = "\x04" + std::string(reinterpret_cast<char*>(blob) + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::string nonce = NewAnswerNonce();
    std::string digest = Sha256(nonce + Sha256(request) + answer);
    unsigned char signature[64];
    if (!BCRYPT_SUCCESS(BCryptSignHash(key.get(), nullptr, reinterpret_cast<PUCHAR>(&digest[0]), 32, signature,
                                       sizeof signature, &size, 0))) {
        std::printf("no signature\n");
        return 1;
    }
    std::string header =
        AnswerKeyId(point) + ":" + Base64Encode(std::string(reinterpret_cast<char*>(signature), sizeof signature));

    std::vector<double> verify, parse;
    for (int run = 0; run < runs; ++run) {
        double t0 = Now();
        std::string problem = AnswerSignatureProblem(header, nonce, request, answer, {point});
        double t1 = Now();
        TRemoteModuleInfoList list;
        ParseModuleInfoList(answer, list);
        double t2 = Now();
        if (!problem.empty() || static_cast<int>(list.Count()) != modules) {
            std::printf("check failed: %s\n", problem.c_str());
            return 1;
        }
        verify.push_back((t1 - t0) * 1000);
        parse.push_back((t2 - t1) * 1000);
    }
    double v = Median(verify);
    double p = Median(parse);
    std::printf("modules %d, answer %u bytes, runs %d: verify %.3f ms, parse %.3f ms, verify/parse %.3f\n", modules,
                static_cast<unsigned>(answer.size()), runs, v, p, v / p);
    return 0;
}
