#include "ModuleName.h"

#include <cstring>

#include "service/Log.h"

namespace zel {

namespace {

const char* const RefusedNameText = "Недопустимое имя модуля: %s";

bool IsDeviceName(const std::string& name) {
    // The part before the first dot, blanks before that dot ignored.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = UpperCase(base);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

bool IsValidModuleName(const std::string& name) {
    if (name.empty() || name.size() > MaxModuleNameLength || name == "." || name == "..") return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || strchr("\\/:*?\"<>|=", c)) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    return !IsDeviceName(name);
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
