// The ".config" text with fuzzed files, keys and values: a value set is the
// value read, every other key keeps its value, and setting it again
// changes nothing.
#include <vector>

#include "FuzzCheck.h"
#include "base/Text.h"
#include "config/ConfigText.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string key = in.ConsumeRandomLengthString(16);
    const std::string value = in.ConsumeRandomLengthString(64);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::vector<std::string> before = SplitConfigLines(text);
    for (const std::string& line : before) FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "lines");
    ConfigValue(before, key);
    // The set-up writes only keys without "=" and values without breaks.
    if (key.find_first_of("=\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        return 0;
    const std::string written = SetConfigValue(text, key, value);
    const std::vector<std::string> after = SplitConfigLines(written);
    FUZZ_CHECK(ConfigValue(after, key) == value, "the value set is read");
    FUZZ_CHECK(SetConfigValue(written, key, value) == written, "setting again changes nothing");
    FUZZ_CHECK(after.size() <= before.size() + 1, "one line more at most");
    for (const std::string& line : before) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string other = line.substr(0, eq);
        if (SameText(other, key)) continue;
        FUZZ_CHECK(ConfigValue(after, other) == ConfigValue(before, other), "other keys keep their values");
    }
    return 0;
}
