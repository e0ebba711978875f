#include "FileTree.h"

#include <vector>

#include "Owners.h"
#include "Text.h"

namespace zel {

namespace {

std::wstring WithoutTrailingSlash(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

bool SameWideText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool IsDotName(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

void RemoveEntry(const std::wstring& path, DWORD attributes, const TRemoveFailure& failed) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!RemoveLink(path) && failed) failed(path, GetLastError(), true);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        ForEachEntry(path, L"*", [&](const TTreeEntry& entry) { RemoveEntry(entry.Path, entry.Attributes, failed); });
        if (!RemoveDirectoryW(path.c_str()) && failed) failed(path, GetLastError(), false);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str()) && failed) failed(path, GetLastError(), false);
}

}  // namespace

bool IsLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(WithoutTrailingSlash(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsLink(const std::string& path) { return IsLink(ToWide(path)); }

HANDLE OpenEntry(const std::wstring& path, DWORD access) {
    // Backup semantics let a folder be opened; the reparse-point flag opens
    // a link itself rather than its target.
    return CreateFileW(WithoutTrailingSlash(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsLinkHandle(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)))
        return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    BY_HANDLE_FILE_INFORMATION info = {};
    return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool HasNoLinks(const std::wstring& root, const std::wstring& path) {
    std::wstring base = WithoutTrailingSlash(root);
    std::wstring full = WithoutTrailingSlash(path);
    if (base.empty() || full.size() < base.size() || !SameWideText(full.substr(0, base.size()), base) ||
        (full.size() > base.size() && full[base.size()] != L'\\'))
        return !IsLink(full);
    if (IsLink(base)) return false;
    for (size_t at = full.find(L'\\', base.size() + 1); ; at = full.find(L'\\', at + 1)) {
        std::wstring step = at == std::wstring::npos ? full : full.substr(0, at);
        if (step.size() > base.size() && IsLink(step)) return false;
        if (at == std::wstring::npos) return true;
    }
}

bool ForEachEntry(const std::wstring& dir, const std::wstring& pattern,
                  const std::function<void(const TTreeEntry&)>& fn, const std::wstring& root) {
    std::wstring folder = WithoutTrailingSlash(dir);
    if (root.empty() ? IsLink(folder) : !HasNoLinks(root, folder)) return false;
    WIN32_FIND_DATAW data;
    FindHandle search(FindFirstFileExW((folder + L"\\" + pattern).c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0));
    if (!search) return false;
    // Listed first, handed out afterwards: fn may remove what it is given.
    std::vector<TTreeEntry> entries;
    do {
        if (IsDotName(data.cFileName)) continue;
        TTreeEntry entry;
        entry.Name = data.cFileName;
        entry.Path = folder + L"\\" + entry.Name;
        entry.Attributes = data.dwFileAttributes;
        entry.Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entry.Created = data.ftCreationTime;
        entry.LastWrite = data.ftLastWriteTime;
        entries.push_back(entry);
    } while (FindNextFileW(search.Get(), &data));
    search.Reset();
    for (const TTreeEntry& entry : entries) fn(entry);
    return true;
}

bool ForEachEntry(const std::string& dir, const std::string& pattern,
                  const std::function<void(const TTreeEntryA&)>& fn, const std::string& root) {
    return ForEachEntry(
        ToWide(dir), ToWide(pattern),
        [&](const TTreeEntry& entry) {
            TTreeEntryA narrow;
            narrow.Name = ToAnsi(entry.Name);
            narrow.Path = ToAnsi(entry.Path);
            narrow.Attributes = entry.Attributes;
            narrow.Size = entry.Size;
            narrow.Created = entry.Created;
            narrow.LastWrite = entry.LastWrite;
            fn(narrow);
        },
        root.empty() ? std::wstring() : ToWide(root));
}

bool RemoveLink(const std::wstring& path) {
    // Deleted through a handle on the link itself, checked to be one: on
    // Windows that takes the link and leaves what it names. Wine opens what a
    // Unix link names instead, and its RemoveDirectory of such a link
    // deletes an empty folder it leads to: there the link stays.
    UniqueHandle link(OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES));
    if (!link) return false;
    if (!IsLinkHandle(link.Get())) {
        link.Reset();
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool removed =
        SetFileInformationByHandle(link.Get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
    DWORD error = GetLastError();
    link.Reset();
    SetLastError(error);
    return removed;
}

void RemoveTree(const std::wstring& path, const TRemoveFailure& failed) {
    std::wstring target = WithoutTrailingSlash(path);
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    RemoveEntry(target, attributes, failed);
}

}  // namespace zel
