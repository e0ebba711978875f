// File entries with fuzzed texts: the record keeps a short name and a
// digest of the right form, and an address that is taken names one plain
// file of the module's directory.
#include "FuzzCheck.h"
#include "catalogue/HTTP.h"
#include "catalogue/RemoteInfo.h"
#include "store/Digest.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string spec(reinterpret_cast<const char*>(data), size);
    TRemoteModuleInfo info;
    bool valid = AddFileSpec(info, spec);
    FUZZ_CHECK(info.Files.size() == 1, "one file per entry");
    const TRemoteFile& file = info.Files[0];
    FUZZ_CHECK(file.FileName.size() <= 255, "short name");
    FUZZ_CHECK(spec.compare(0, file.FileName.size(), file.FileName) == 0, "the name is the entry's start");
    FUZZ_CHECK(file.Sha256.empty() || (file.Sha256.size() == 64 &&
                                       file.Sha256.find_first_not_of("0123456789abcdef") == std::string::npos),
               "digest form");
    FUZZ_CHECK(valid || file.Sha256.empty(), "no digest from a bad field");

    for (const std::string& address : {file.FileName, spec}) {
        const std::string problem = FileAddressProblem(address);
        FUZZ_CHECK(fuzz::NoControls(problem), "the reason is printable");
        if (!problem.empty()) continue;
        const std::string name = UrlFileName(address);
        FUZZ_CHECK(!name.empty() && name != "." && name != "..", "a file name");
        FUZZ_CHECK(name.find_first_of("\\/:*?\"<>|") == std::string::npos, "no separators");
        FUZZ_CHECK(fuzz::NoControls(name), "no control characters");
        FUZZ_CHECK(name.back() != '.' && name.back() != ' ', "no trailing dot or blank");
        FUZZ_CHECK(!IsStoreWorkName(name), "not a name the store keeps for itself");
        FUZZ_CHECK(ExtractFileName("C:\\Files\\M\\" + name) == name, "one component");
    }
    return 0;
}
