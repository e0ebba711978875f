// The trust lists with fuzzed settings lines: base64 is strict (one text
// for one value) and loses nothing; a list trusts only entries of exactly
// the form, each once, and says whether the line named any.
#include <set>

#include "FuzzCheck.h"
#include "config/TrustText.h"

using namespace zel;

namespace {

void CheckList(const TTrustList& list, bool keys) {
    std::set<std::string> seen;
    for (const std::string& item : list.Items) {
        FUZZ_CHECK(seen.insert(item).second, "each item once");
        if (keys) {
            FUZZ_CHECK(item.size() == 65 && item[0] == '\x04', "an uncompressed point");
        } else {
            FUZZ_CHECK(item.size() == 64 && item.find_first_not_of("0123456789abcdef") == std::string::npos,
                       "lower-case hex SHA-256");
        }
    }
    FUZZ_CHECK(list.Given || (list.Items.empty() && list.Invalid.empty()), "entries only in a given line");
    for (const std::string& entry : list.Invalid) FUZZ_CHECK(!entry.empty(), "no empty entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string bytes;
    if (Base64Decode(text, bytes)) FUZZ_CHECK(Base64Encode(bytes) == text, "only the canonical text decodes");
    std::string back;
    FUZZ_CHECK(Base64Decode(Base64Encode(text), back) && back == text, "bytes round trip");

    TTrustList keys = ParseUpdateKeys(text);
    CheckList(keys, true);
    TTrustList publishers = ParsePublishers(text);
    CheckList(publishers, false);
    // What the set-up writes back of a list reads as the same list.
    std::string line;
    for (const std::string& item : keys.Items) line += (line.empty() ? "" : ",") + Base64Encode(item);
    TTrustList again = ParseUpdateKeys(line);
    FUZZ_CHECK(again.Items == keys.Items && again.Invalid.empty(), "keys written back");
    line.clear();
    for (const std::string& item : publishers.Items) line += (line.empty() ? "" : ",") + item;
    again = ParsePublishers(line);
    FUZZ_CHECK(again.Items == publishers.Items && again.Invalid.empty(), "publishers written back");

    TTrustList merged = keys;
    MergeTrustList(merged, ParseUpdateKeys(text));
    FUZZ_CHECK(merged.Items == keys.Items, "a list merged with itself is the same");
    return 0;
}
