// The request writer with fuzzed module names and versions: its text is
// JSON that names exactly the queued modules, and the service's own answer
// reader reads those names back.
#include <nlohmann/json.hpp>
#include <vector>

#include "FuzzCheck.h"
#include "base/ModuleName.h"
#include "catalogue/Requests.h"
#include "download/InfoQueue.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    TInfoQueue queue;
    std::vector<TInfoEntry> expected;
    while (in.remaining_bytes() > 0 && expected.size() < 8) {
        TInfoEntry e{ShortString(in.ConsumeRandomLengthString(40)), ShortString(in.ConsumeRandomLengthString(20)),
                     ShortString(in.ConsumeRandomLengthString(20))};
        bool repeated = false;
        for (const auto& x : expected) repeated = repeated || SameModuleName(x.Key, e.Key);  // one module, any case
        queue.Add(e.Key, e.Value1, e.Value2);
        if (!repeated) expected.push_back(e);
    }
    const std::string text = BuildRequestText(queue.TakeRequests());
    FUZZ_CHECK(queue.IsEmpty(), "the queue is emptied");
    for (unsigned char c : text) FUZZ_CHECK(c >= 32, "no raw control characters");

    auto root = nlohmann::ordered_json::parse(text);  // anything but JSON aborts the run
    FUZZ_CHECK(root.is_object() && root.size() == expected.size(), "one member per module");
    size_t i = 0;
    for (const auto& member : root.items()) {
        const TInfoEntry& e = expected[i++];
        FUZZ_CHECK(Utf8ToAnsi(member.key()) == e.Key, "the name");
        FUZZ_CHECK(member.value().size() == 2, "two members");
        FUZZ_CHECK(Utf8ToAnsi(member.value().at("MODULE_VERSION").get<std::string>()) == e.Value1, "the version");
        FUZZ_CHECK(Utf8ToAnsi(member.value().at("CURRENT_VERSION").get<std::string>()) == e.Value2, "installed");
    }
    TRemoteModuleInfoList list;
    ParseModuleInfoList(text, list);
    FUZZ_CHECK(list.Count() == expected.size(), "the reader sees every module");
    for (size_t k = 0; k < list.Count(); ++k) {
        FUZZ_CHECK(ToAnsi(list.Items(k).ModuleName) == expected[k].Key, "the reader's name");
        FUZZ_CHECK(ToAnsi(list.Items(k).ModuleVersion) == expected[k].Value1, "the reader's version");
    }
    return 0;
}
