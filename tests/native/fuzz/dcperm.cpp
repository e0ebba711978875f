// The dcperm script parser with fuzzed scripts: every line gives one of the
// parser's error codes, an accepted set or del line adds exactly one entry,
// and all of it is freed with the parser (the leak checker watches).
#include "FuzzCheck.h"
#include "untParser.h"

using namespace dcperm;

namespace {

int Count(const TPermEntry* e) {
    int n = 0;
    for (; e; e = e->Next) ++n;
    return n;
}

int AllEntries(const TParser& p) {
    int n = Count(p.DefaultEntries);
    for (const TAppIdSection* s = p.Sections; s; s = s->Next) n += Count(s->Entries);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    TParser p;
    int entries = 0;
    size_t start = 0;
    while (start <= script.size()) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos) end = script.size();
        const int code = p.ExecuteLine(script.substr(start, end - start));
        FUZZ_CHECK(code == 0 || code == 2 || code == 3 || code == 4 || code == 5 || code == 6 || code == 8 ||
                       code == 10 || code == 11 || code == 12 || code == 29 || code == 30 || code == 31,
                   "a known error code");
        FUZZ_CHECK(p.TokenCount() >= 0 && p.TokenCount() <= TParser::MaxTokens, "token count");
        if (code == 0 && (p.LineKind() == 4 || p.LineKind() == 5)) ++entries;
        FUZZ_CHECK(AllEntries(p) == entries, "one entry per accepted set or del line");
        FUZZ_CHECK(p.DefaultAuthLevel >= -1 && p.DefaultAuthLevel <= 6, "authentication level");
        FUZZ_CHECK(p.DefaultImpersLevel >= -1 && p.DefaultImpersLevel <= 4, "impersonation level");
        for (const TAppIdSection* s = p.Sections; s; s = s->Next)
            FUZZ_CHECK(s->AuthLevel >= -1 && s->AuthLevel <= 6, "section level");
        start = end + 1;
    }
    return 0;
}
