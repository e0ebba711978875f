// SHA-256 digests of the store's files, and the way a download that the
// update server vouched for reaches its place: BITS writes it under a
// holding name beside a record of the expected digest, and only a file that
// matches the record is moved to its own name. A file under its own name is
// therefore always one that matched, or one that came without a digest.
#pragma once

#include <string>

namespace zel {

// Lower-case hexadecimal SHA-256 of a file's content, read in blocks; false
// when the file cannot be read.
bool FileSha256(const std::string& path, std::string& digest);
// The 32 bytes of SHA-256 over data; empty when the platform cannot hash.
std::string Sha256(const std::string& data);
// Lower-case hexadecimal of bytes.
std::string HexText(const std::string& bytes);
// A digest as the update server writes it: exactly 64 hexadecimal digits,
// either case; the lower-case form goes to digest.
bool ParseSha256(const std::string& text, std::string& digest);

// The holding name of a download with an expected digest, and its record.
std::string HoldingPath(const std::string& path);  // path + ".unverified"
std::string DigestRecordPath(const std::string& path);  // path + ".sha256"
// A name the store keeps for itself: no download may take it.
bool IsStoreWorkName(const std::string& fileName);

// Where BITS is to put the download of path: with a digest, its holding
// name (the record written, a left-over holding file removed); without one,
// path itself (any record of an earlier download removed). Empty when the
// record cannot be written.
std::string PrepareDownload(const std::string& path, const std::string& digest);

struct TDownloadCheck {
    enum TResult {
        Plain,     // no digest was expected: the file is where BITS put it
        Verified,  // it matched and now lies under its own name
        Rejected,  // it did not match (or could not be checked) and is deleted
        NotPlaced  // it matched but could not be moved to its own name
    } Result = Plain;
    std::string Path;      // the file's own name
    std::string Expected;  // the digest on record, empty when none could be read
    std::string Actual;    // the digest of the bytes, empty when they could not be read
    std::string Error;     // why a verified file could not be placed
};

// Settles a completed download: localPath is the name BITS wrote. A holding
// file is checked against its record; the record is removed in every case.
TDownloadCheck SettleDownload(const std::string& localPath);

}  // namespace zel
