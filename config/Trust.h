// What the service trusts: the keys that sign the update server's answers
// and the publishers whose programs it may start. Both come from the
// program itself (built in) and from the ".config" lines UpdateKeys= and
// Publishers=; with none of either, the service works unverified, as before.
#pragma once

#include <string>
#include <vector>

namespace zel {

struct TTrustState {
    std::vector<std::string> Keys;        // 65-byte uncompressed P-256 points
    std::vector<std::string> Publishers;  // lower-case hex SHA-256 of a public key info
    // A list was given (built in or configured), even if none of its
    // entries could be used: then nothing is accepted unverified.
    bool KeysRequired = false;
    bool PublishersRequired = false;
};

// The settings in force; the first call loads ".config" when the scheduler
// has not done so yet. Safe on any thread.
TTrustState CurrentTrust();

// Applies the ".config" lines (empty text when a line is absent). Malformed
// entries are logged at LogError when the line changes.
void SetTrustConfig(const std::string& keysLine, const std::string& publishersLine);

// One LogWarning line for each list that is not given: at every start of
// the service, so that an unverified installation says so.
void LogTrustAtStart();

// The lists the program was built with (CMake options ZEL_UPDATE_KEYS and
// ZEL_PUBLISHERS), as written there.
const char* BuiltInUpdateKeys();
const char* BuiltInPublishers();

}  // namespace zel
