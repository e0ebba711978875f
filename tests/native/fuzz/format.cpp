// Format with fuzzed patterns: a pattern that does not fit is refused with
// EConvertError and nothing else; one that fits gives a text no longer than
// its fields allow. The integer conversions read back what Format writes.
#include <vector>

#include "FuzzCheck.h"
#include "base/Text.h"

using namespace zel;

namespace {

void CheckNumber(int64_t v) {
    int64_t back = 0;
    std::string text = Format("%d", {static_cast<long long>(v)});
    FUZZ_CHECK(TryStrToInt64(text, back) && back == v, "%d reads back");
    int32_t small = 0;
    FUZZ_CHECK(TryStrToInt(text, small) == (v >= INT32_MIN && v <= INT32_MAX), "32-bit range");
    if (v >= INT32_MIN && v <= UINT32_MAX) {
        FUZZ_CHECK(TryStrToInt("$" + Format("%x", {static_cast<long long>(v)}), small), "%x reads back");
        FUZZ_CHECK(static_cast<uint32_t>(small) == static_cast<uint32_t>(v), "%x bits");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int64_t number = in.ConsumeIntegral<int64_t>();
    CheckNumber(number);
    const uint8_t kinds = in.ConsumeIntegral<uint8_t>();
    const std::string text = in.ConsumeRandomLengthString(64);
    // Any text the conversions accept is a number that Format writes back.
    int64_t parsed = 0;
    if (TryStrToInt64(text, parsed)) CheckNumber(parsed);
    int32_t small = 0;
    const bool isNumber = TryStrToInt(text, small);
    FUZZ_CHECK(StrToIntDef(text, 12345) == (isNumber ? small : 12345), "the default only for what is no number");

    const std::string pattern = in.ConsumeRemainingBytesAsString();
    std::vector<FmtArg> args;
    for (int i = 0; i < 8; ++i) {
        if (kinds & (1 << i)) args.emplace_back(text);
        else args.emplace_back(static_cast<long long>(static_cast<uint64_t>(number) + i));
    }
    size_t fields = 0;
    for (char c : pattern)
        if (c == '%') ++fields;
    try {
        std::string out = Format(pattern, args);
        FUZZ_CHECK(out.size() <= pattern.size() + fields * (MaxFormatWidth + text.size() + 24), "bounded output");
    } catch (const EConvertError&) {
    }
    return 0;
}
