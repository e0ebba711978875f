#include "ModuleName.h"

#include <cstring>

#include "base/Log.h"

namespace zel {

namespace {

const char* const RefusedNameText = "Недопустимое имя модуля: %s";

bool IsDeviceName(const std::string& name) {
    // The part before the first dot, blanks before that dot ignored.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = UpperCase(base);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

// "~" and a digit is how NTFS writes the short name of another entry:
// "ZELUPD~1" may be the store folder of "ZELUPDATE".
bool HasShortNameMark(const std::string& name) {
    for (size_t i = 0; i + 1 < name.size(); ++i)
        if (name[i] == '~' && name[i + 1] >= '0' && name[i + 1] <= '9') return true;
    return false;
}

}  // namespace

bool IsValidModuleName(const std::string& name) {
    if (name.empty() || name.size() > MaxModuleNameLength || name == "." || name == "..") return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || strchr("\\/:*?\"<>|=", c)) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    return !IsDeviceName(name) && !HasShortNameMark(name);
}

std::string ModuleNameKey(const std::string& name) {
    std::string key = name;
    for (char& ch : key) {
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 0xE0))  // Latin, and Cyrillic а..я
            c = static_cast<unsigned char>(c - 0x20);
        else if (c == 0xB8)  // ё
            c = 0xA8;
        else if (c == 0xB3 || c == 0xBF || c == 0xBA || c == 0xA2)  // і ї є ў
            c = c == 0xB3 ? 0xB2 : c == 0xBF ? 0xAF : c == 0xBA ? 0xAA : 0xA1;
        else if (c == 0xB4)  // ґ
            c = 0xA5;
        ch = static_cast<char>(c);
    }
    return key;
}

bool SameModuleName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ModuleNameKey(a) == ModuleNameKey(b);
}

void LogRefusedModuleName(const std::string& name) {
    try {
        WriteLogFmt(RefusedNameText, {LogSafeText(name)}, LogWarning);
    } catch (...) {
    }
}

EInvalidModuleName::EInvalidModuleName(const std::string& name)
    : Exception(Format(RefusedNameText, {LogSafeText(name)})) {}

}  // namespace zel
