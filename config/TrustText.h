// The text of the trust settings: the update server's signing keys and the
// pinned publishers of the programs the service starts. One rule for the
// service that reads them and the set-up that writes them.
#pragma once

#include <string>
#include <vector>

namespace zel {

// Standard base64 with padding.
std::string Base64Encode(const std::string& bytes);
// Strict: the standard alphabet, padding where it belongs, no blanks inside;
// false for anything else.
bool Base64Decode(const std::string& text, std::string& bytes);

// A digest written as hexadecimal: exactly 2*bytes digits, either case; the
// lower-case form goes to digest.
bool ParseHexDigest(const std::string& text, size_t bytes, std::string& digest);

// A list as it stands in a settings line: entries separated by commas,
// blanks around them ignored, empty entries skipped.
struct TTrustList {
    std::vector<std::string> Items;    // the usable entries, in their binary or normal form
    std::vector<std::string> Invalid;  // the entries that are not of the form, as written
    bool Given = false;                // the line names at least one entry
};

// Keys: each the base64 of a 65-byte uncompressed P-256 point (0x04 X Y);
// Items holds the 65 bytes.
TTrustList ParseUpdateKeys(const std::string& text);
// Publishers: each 64 hexadecimal digits (the SHA-256 of a signing
// certificate's public key info); Items holds them in lower case.
TTrustList ParsePublishers(const std::string& text);

// Both lists taken together: the union of Items without repeats, in order.
void MergeTrustList(TTrustList& into, const TTrustList& from);

}  // namespace zel
