// The answer reader with fuzzed answers: an answer is read into modules or
// refused with the service's Exception; a module that is not refused only
// lists files the service may download; nothing the server sends reaches
// the log as a line of its own.
#include "FuzzCheck.h"
#include "LogCapture.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "catalogue/HTTP.h"
#include "catalogue/Requests.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    LogMode = 0xFF;
    zeltest::ClearLog();
    // A list that was filled and searched before, as a reader may reuse it.
    TRemoteModuleInfoList list;
    ParseModuleInfoList("{\"Kassa\":{},\"Sklad\":{}}", list);
    list.Find(L"Sklad");
    bool any = false;
    try {
        any = ParseModuleInfoList(answer, list);
    } catch (const Exception& e) {
        FUZZ_CHECK(list.Count() == 0, "a refused answer leaves no modules");
        FUZZ_CHECK(fuzz::OneLine(e.what()), "the refusal is one log line");
        return 0;
    }
    FUZZ_CHECK(any == (list.Count() > 0), "result says whether there are modules");
    for (size_t i = 0; i < list.Count(); ++i) {
        const TRemoteModuleInfo& info = list.Items(i);
        // Names are the service's: its code page, without letter case, so
        // names the code page cannot tell apart are one module.
        size_t first = 0;
        while (!SameModuleName(ToAnsi(list.Items(first).ModuleName), ToAnsi(info.ModuleName))) ++first;
        FUZZ_CHECK(list.Find(info.ModuleName) == &list.Items(first), "the first module of the name is found");
        if (!info.Refusal.empty()) {
            FUZZ_CHECK(info.Files.empty(), "a refused module has no files");
            FUZZ_CHECK(fuzz::NoControls(info.Refusal), "the reason is printable");
        }
        for (const TRemoteFile& file : info.Files) {
            FUZZ_CHECK(file.FileName.size() <= 255, "short file names");
            FUZZ_CHECK(FileAddressProblem(file.FileName).empty(), "only files that may be downloaded");
            FUZZ_CHECK(file.Sha256.empty() || file.Sha256.size() == 64, "digest form");
        }
    }
    LogModuleInfoList(list);
    for (const std::string& line : zeltest::LogLines()) FUZZ_CHECK(fuzz::OneLine(line), "one line per message");
    return 0;
}
