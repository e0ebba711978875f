// Four-part versions (major.minor.release.build) as one signed 64-bit value,
// and the readers of a file's version resource.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

using TVersion = int64_t;  // 0 means no version

TVersion StrToVersion(const std::string& text);
std::string VersionToStr(TVersion v);  // "%d.%d.%.2d.%.2d"
bool VersionsEqual(TVersion a, TVersion b);
bool VersionGreater(TVersion a, TVersion b);
TVersion MaxVersion(TVersion a, TVersion b);  // b on equality
bool VersionStrGreater(const std::string& a, const std::string& b);

// Fixed file version of the file's version resource; false (and the out
// value untouched) when there is none.
bool GetFileVersion(const std::string& path, TVersion& version);
// One string of block language/code page; empty when there is none.
std::string GetFileVersionString(const std::string& path, const std::string& name,
                                 unsigned language = 0x0419, unsigned codePage = 0x04E3);
// Both of the above from one read of the resource: the fixed version (when
// there is one) and, for a non-empty name, that string (empty when there is
// none). False when the resource cannot be read at all.
struct TFileVersionFields {
    bool HasVersion = false;
    TVersion Version = 0;
    std::string Text;
};
bool ReadFileVersionFields(const std::string& path, TFileVersionFields& fields, const std::string& name,
                           unsigned language = 0x0419, unsigned codePage = 0x04E3);
// VersionToStr of the program file's own version (0.0.00.00 without one).
std::string GetSelfVersion();

}  // namespace zel
