// Version texts: what VersionToStr writes StrToVersion reads back, any text
// reads as some version whose text is stable, and the order is the signed
// order of the value.
#include "FuzzCheck.h"
#include "base/Versions.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const TVersion a = in.ConsumeIntegral<int64_t>();
    FUZZ_CHECK(StrToVersion(VersionToStr(a)) == a, "a version's text reads back");
    const std::string text = in.ConsumeRemainingBytesAsString();
    const TVersion b = StrToVersion(text);
    FUZZ_CHECK(StrToVersion(VersionToStr(b)) == b, "the text of a read version reads back");
    FUZZ_CHECK(VersionGreater(a, b) == (a > b), "signed order");
    FUZZ_CHECK(MaxVersion(a, b) == (a > b ? a : b), "the larger, the second on equality");
    FUZZ_CHECK(VersionStrGreater(VersionToStr(a), text) == (a > b), "text order");
    return 0;
}
