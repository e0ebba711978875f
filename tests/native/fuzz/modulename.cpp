// The module name rule with fuzzed names: a name that passes is one plain
// component of a path in the store, and any name reaches the log as one
// line of bounded length.
#include "FuzzCheck.h"
#include "LogCapture.h"
#include "base/Log.h"
#include "base/ModuleName.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const std::string safe = LogSafeText(name);
    FUZZ_CHECK(fuzz::NoControls(safe), "log text has no control characters");
    FUZZ_CHECK(safe.size() <= 256 * 4 + 3, "log text is bounded");
    FUZZ_CHECK(fuzz::OneLine(EInvalidModuleName(name).what()), "the refusal is one line");
    zeltest::ClearLog();
    LogRefusedModuleName(name);
    FUZZ_CHECK(zeltest::LogLines().size() == 1 && fuzz::OneLine(zeltest::LogLines()[0]), "one warning line");
    if (!IsValidModuleName(name)) return 0;
    FUZZ_CHECK(name.size() <= MaxModuleNameLength, "length");
    FUZZ_CHECK(name != "." && name != "..", "no relative step");
    FUZZ_CHECK(name.find_first_of(std::string("\\/:*?\"<>|=\0", 11)) == std::string::npos, "no separators");
    for (unsigned char c : name) FUZZ_CHECK(c >= 32, "no control characters");
    FUZZ_CHECK(name.back() != '.' && name.back() != ' ', "no trailing dot or blank");
    const std::string path = "C:\\Store\\Files\\" + name + "\\setup.exe";
    FUZZ_CHECK(ExtractFileName(ExtractFileDir(path)) == name, "one component");
    FUZZ_CHECK(ExtractFileDir(ExtractFileDir(path)) == "C:\\Store\\Files", "inside the store");
    return 0;
}
