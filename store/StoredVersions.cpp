#include "StoredVersions.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

#include "base/Text.h"

namespace zel {

namespace {

// Why a remembered version is safe to hand out: the store's files are
// written only by the service itself (BITS downloads into the locked
// Files\ folder), a file that is written again or replaced by another of
// the same name shows another size, write time or creation time in the
// listing, and what a version decides is only which installer is offered:
// every installer is checked again on its own (its digest when it is
// downloaded, its signature on a locked handle before it runs), so nothing
// unverified runs because of what is kept here.
struct Kept {
    uint64_t Size = 0;
    FILETIME Created = {};
    FILETIME LastWrite = {};
    std::string TextName;  // the string Fields.Text holds; empty: none read
    TFileVersionFields Fields;
};

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool SameFile(const Kept& kept, const TTreeEntryA& entry) {
    return kept.Size == entry.Size && SameTime(kept.Created, entry.Created) &&
           SameTime(kept.LastWrite, entry.LastWrite);
}

// Enough for every installer of a few thousand modules; when it is full it
// starts again empty rather than keeping track of which entry is oldest.
constexpr size_t MaxKept = 4096;

// The lock is held only to look up and to note: never across a read of a
// file or a line of the log.
struct Cache {
    std::mutex lock;
    // The full path with its ASCII letters in capitals. A path spelt two
    // ways (a module name in other letters) only costs a second entry:
    // each is checked against the listing on its own.
    std::unordered_map<std::string, Kept> byPath;
};

// Lives as long as the process, like the other process-wide tables: work
// that is still running at the end may use it.
Cache& Versions() {
    static Cache* const cache = new Cache;
    return *cache;
}

}  // namespace

bool StoredFileVersion(const TTreeEntryA& entry, const std::string& name, TFileVersionFields& fields) {
    Cache& cache = Versions();
    const std::string key = UpperCase(entry.Path);
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        auto found = cache.byPath.find(key);
        if (found != cache.byPath.end() && SameFile(found->second, entry) &&
            (name.empty() || found->second.TextName == name)) {
            fields = found->second.Fields;
            if (name.empty()) fields.Text.clear();
            return true;
        }
    }
    // A resource that cannot be read (not there, or the file held by another
    // program for a moment) is not remembered: the next listing tries again.
    if (!ReadFileVersionFields(entry.Path, fields, name)) return false;
    Kept kept;
    kept.Size = entry.Size;
    kept.Created = entry.Created;
    kept.LastWrite = entry.LastWrite;
    kept.TextName = name;
    kept.Fields = fields;
    std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.byPath.size() >= MaxKept && !cache.byPath.count(key)) cache.byPath.clear();
    cache.byPath[key] = std::move(kept);
    return true;
}

}  // namespace zel
