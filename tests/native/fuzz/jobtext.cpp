// Job descriptions: any text (another program's job may carry anything)
// reads without harm, and what the service writes reads back as the same
// fields.
#include <algorithm>

#include "FuzzCheck.h"
#include "transfer/JobText.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    TJobInfo written{in.ConsumeRandomLengthString(64), in.ConsumeRandomLengthString(32),
                     in.ConsumeRandomLengthString(32)};
    const std::string text = in.ConsumeRemainingBytesAsString();
    TJobInfo info;
    ParseDescriptionText(text, info);
    FUZZ_CHECK(info.Name.size() + info.Version.size() + info.Target.size() <= 3 * text.size(), "bounded fields");

    // A description is a zero-terminated system string: no zero byte in it.
    for (std::string* field : {&written.Name, &written.Version, &written.Target})
        field->erase(std::remove(field->begin(), field->end(), '\0'), field->end());
    TJobInfo back;
    ParseDescriptionText(JobDescription(written.Name, written.Version, written.Target), back);
    FUZZ_CHECK(back.Name == written.Name, "the Name reads back");
    FUZZ_CHECK(back.Version == written.Version, "the Version reads back");
    FUZZ_CHECK(back.Target == written.Target, "the Target reads back");
    return 0;
}
