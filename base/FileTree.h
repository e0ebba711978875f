// Walks of the folders the service keeps beside itself (Files\, Logs\) that
// never go through a reparse point. A junction, a symbolic link or a mount
// point is an entry of its own: it is never entered, nothing is deleted
// through it, and where entries are removed it goes as the link it is, its
// target untouched. Housekeeping, the store's listings, the lock of the
// folders, the log writer and the package's removal all walk here.
//
// Wine (8.0) shows a Unix symbolic link to a folder as a folder with the
// reparse-point attribute, so the same rule holds there. It cannot remove
// such a link as a link (its RemoveDirectory deletes an empty folder the
// link leads to), so there the link stays and is reported; a Unix link to
// a file it shows as a plain file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace zel {

struct TTreeEntry {
    std::wstring Name;  // without a path
    std::wstring Path;  // the folder's path, "\", Name
    DWORD Attributes = 0;
    // As the listing found them: a reader of the entry's content can tell
    // from these whether it is still the file it read before.
    uint64_t Size = 0;
    FILETIME Created = {};
    FILETIME LastWrite = {};
    bool IsLink() const { return (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool IsFolder() const { return !IsLink() && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The path names a reparse point (its own attributes say so).
bool IsLink(const std::wstring& path);
bool IsLink(const std::string& path);
// A handle opened on an entry itself, not on what a link names, and the
// handle's own answer. OpenEntry gives INVALID_HANDLE_VALUE on failure.
HANDLE OpenEntry(const std::wstring& path, DWORD access);
bool IsLinkHandle(HANDLE handle);
// No folder from root down to path (both included) is a link; root is the
// service's own folder (Files\, Logs\). A path outside root: itself only.
bool HasNoLinks(const std::wstring& root, const std::wstring& path);

// Calls fn for every entry of dir that matches the pattern ("." and ".."
// left out). Nothing is listed (false) when dir, or with root given any
// folder from root down to dir, is a link, or when dir cannot be listed.
bool ForEachEntry(const std::wstring& dir, const std::wstring& pattern,
                  const std::function<void(const TTreeEntry&)>& fn, const std::wstring& root = std::wstring());

// The same with the service's own single-byte paths.
struct TTreeEntryA {
    std::string Name;
    std::string Path;
    DWORD Attributes = 0;
    // As the listing found them: a reader of the entry's content can tell
    // from these whether it is still the file it read before.
    uint64_t Size = 0;
    FILETIME Created = {};
    FILETIME LastWrite = {};
    bool IsLink() const { return (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool IsFolder() const { return !IsLink() && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};
bool ForEachEntry(const std::string& dir, const std::string& pattern,
                  const std::function<void(const TTreeEntryA&)>& fn, const std::string& root = std::string());

// Why an entry stayed: its path, the system's error, whether it is a link.
using TRemoveFailure = std::function<void(const std::wstring& path, DWORD error, bool link)>;

// Removes a link as a link, through a handle on the link itself. False
// when it stays (ERROR_NOT_A_REPARSE_POINT when what opens is not a link).
bool RemoveLink(const std::wstring& path);
// Removes a file, a link or a whole folder, entering no link; every entry
// that stays is reported to failed.
void RemoveTree(const std::wstring& path, const TRemoveFailure& failed = TRemoveFailure());

}  // namespace zel
