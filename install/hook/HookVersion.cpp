// The version-resource string reader of the hook DLL (the DLL carries its
// own copy: it does not link the service's units).
#include "HookVersion.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace zelhook {

std::string GetFileVersionString(const std::string& path, const std::string& name, unsigned language,
                                 unsigned codePage) {
    DWORD dummy = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &dummy);
    if (size == 0) return std::string();
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return std::string();
    char block[128];
    snprintf(block, sizeof(block), "\\StringFileInfo\\%.4X%.4X\\%s", language, codePage, name.c_str());
    char* text = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), block, reinterpret_cast<void**>(&text), &len) || !text)
        return std::string();
    return std::string(text, strnlen(text, len));
}

}  // namespace zelhook
