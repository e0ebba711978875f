#include "Digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "CryptOwners.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "config/TrustText.h"

namespace zel {

namespace {

const char* const HoldingSuffix = ".unverified";
const char* const RecordSuffix = ".sha256";
constexpr DWORD BlockSize = 1024 * 1024;

bool EndsWithText(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && SameText(text.substr(text.size() - suffix.size()), suffix);
}

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// The digest kept in a record, or empty when there is no readable one.
std::string ReadRecord(const std::string& path) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    char buffer[128];
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return std::string();
    std::string digest;
    return ParseSha256(Trim(std::string(buffer, got)), digest) ? digest : std::string();
}

bool WriteRecord(const std::string& path, const std::string& digest) {
    std::string text = digest + "\r\n";
    DWORD written = 0;
    {
        UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file && WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size())
            return true;
    }
    RemoveFile(path);
    return false;
}

}  // namespace

bool FileSha256(const std::string& path, std::string& digest) {
    // Writers are kept out while the bytes are read.
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    TCryptAlgorithm algorithm(BCRYPT_SHA256_ALGORITHM);
    TCryptHash hash(algorithm.get());
    if (!hash.get()) return false;
    std::vector<unsigned char> block(BlockSize);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), block.data(), BlockSize, &got, nullptr)) return false;
        if (got == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), block.data(), got, 0))) return false;
    }
    unsigned char result[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), result, sizeof result, 0))) return false;
    digest = Hex(result, sizeof result);
    return true;
}

std::string Sha256(const std::string& data) {
    TCryptAlgorithm algorithm(BCRYPT_SHA256_ALGORITHM);
    TCryptHash hash(algorithm.get());
    if (!hash.get()) return std::string();
    if (!data.empty() &&
        !BCRYPT_SUCCESS(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                       static_cast<ULONG>(data.size()), 0)))
        return std::string();
    unsigned char result[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), result, sizeof result, 0))) return std::string();
    return std::string(reinterpret_cast<char*>(result), sizeof result);
}

std::string HexText(const std::string& bytes) {
    return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool ParseSha256(const std::string& text, std::string& digest) { return ParseHexDigest(text, 32, digest); }

std::string HoldingPath(const std::string& path) { return path + HoldingSuffix; }

std::string DigestRecordPath(const std::string& path) { return path + RecordSuffix; }

bool IsStoreWorkName(const std::string& fileName) {
    return EndsWithText(fileName, HoldingSuffix) || EndsWithText(fileName, RecordSuffix);
}

std::string PrepareDownload(const std::string& path, const std::string& digest) {
    const std::string holding = HoldingPath(path);
    const std::string record = DigestRecordPath(path);
    RemoveFile(holding);
    if (digest.empty()) {
        RemoveFile(record);
        return path;
    }
    ForceDirectories(ExtractFileDir(path));
    return WriteRecord(record, digest) ? holding : std::string();
}

TDownloadCheck SettleDownload(const std::string& localPath) {
    TDownloadCheck check;
    check.Path = localPath;
    if (!EndsWithText(localPath, HoldingSuffix)) return check;
    check.Path = localPath.substr(0, localPath.size() - std::string(HoldingSuffix).size());
    const std::string record = DigestRecordPath(check.Path);
    check.Expected = ReadRecord(record);
    if (!FileSha256(localPath, check.Actual)) check.Actual.clear();
    RemoveFile(record);
    if (check.Expected.empty() || check.Expected != check.Actual) {
        RemoveFile(localPath);
        check.Result = TDownloadCheck::Rejected;
        return check;
    }
    if (!MoveFileExA(localPath.c_str(), check.Path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        check.Error = SysErrorMessage(GetLastError());
        RemoveFile(localPath);
        check.Result = TDownloadCheck::NotPlaced;
        return check;
    }
    check.Result = TDownloadCheck::Verified;
    return check;
}

}  // namespace zel
