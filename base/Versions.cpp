#include "Versions.h"

#include <windows.h>

#include <vector>

#include "Text.h"

namespace zel {

TVersion StrToVersion(const std::string& text) {
    uint64_t value = 0;
    std::string work = text;
    for (int pass = 0; pass < 4; ++pass) {
        value <<= 16;
        std::string part;
        if (!work.empty()) {
            size_t dot = work.find('.');
            if (dot != std::string::npos) {
                part = work.substr(0, dot);
                work = work.substr(dot + 1);
            } else {
                part = work;
                work.clear();
            }
        }
        int32_t n = part.empty() ? 0 : StrToIntDef(part, 0);
        value |= static_cast<uint16_t>(n);
    }
    return static_cast<TVersion>(value);
}

std::string VersionToStr(TVersion v) {
    uint64_t u = static_cast<uint64_t>(v);
    return Format("%d.%d.%.2d.%.2d", {static_cast<unsigned>((u >> 48) & 0xFFFF),
                                      static_cast<unsigned>((u >> 32) & 0xFFFF),
                                      static_cast<unsigned>((u >> 16) & 0xFFFF),
                                      static_cast<unsigned>(u & 0xFFFF)});
}

bool VersionsEqual(TVersion a, TVersion b) { return a == b; }
bool VersionGreater(TVersion a, TVersion b) { return a > b; }
TVersion MaxVersion(TVersion a, TVersion b) { return VersionGreater(a, b) ? a : b; }
bool VersionStrGreater(const std::string& a, const std::string& b) {
    return VersionGreater(StrToVersion(a), StrToVersion(b));
}

namespace {

bool ReadVersionInfo(const std::string& path, std::vector<char>& data) {
    if (!FileExists(path)) return false;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return false;
    data.assign(size, 0);
    return GetFileVersionInfoA(path.c_str(), 0, size, data.data()) != 0;
}

bool FixedVersion(const std::vector<char>& data, TVersion& version) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info ||
        len < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD)
        return false;
    version = static_cast<TVersion>((static_cast<uint64_t>(info->dwFileVersionMS) << 32) |
                                    info->dwFileVersionLS);
    return true;
}

std::string VersionString(const std::vector<char>& data, const std::string& name, unsigned language,
                          unsigned codePage) {
    std::string block = Format("\\StringFileInfo\\%.4x%.4x\\%s", {language, codePage, name});
    char* text = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), block.c_str(), reinterpret_cast<void**>(&text), &len) || !text)
        return std::string();
    return std::string(text, strnlen(text, len));
}

}  // namespace

bool GetFileVersion(const std::string& path, TVersion& version) {
    std::vector<char> data;
    return ReadVersionInfo(path, data) && FixedVersion(data, version);
}

std::string GetFileVersionString(const std::string& path, const std::string& name, unsigned language,
                                 unsigned codePage) {
    std::vector<char> data;
    if (!ReadVersionInfo(path, data)) return std::string();
    return VersionString(data, name, language, codePage);
}

bool ReadFileVersionFields(const std::string& path, TFileVersionFields& fields, const std::string& name,
                           unsigned language, unsigned codePage) {
    fields = TFileVersionFields();
    std::vector<char> data;
    if (!ReadVersionInfo(path, data)) return false;
    fields.HasVersion = FixedVersion(data, fields.Version);
    if (!name.empty()) fields.Text = VersionString(data, name, language, codePage);
    return true;
}

std::string GetSelfVersion() {
    TVersion v = 0;
    GetFileVersion(GetProgramPath(), v);
    return VersionToStr(v);
}

}  // namespace zel
