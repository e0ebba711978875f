#include "InstallList.h"

namespace zel {

std::string InstallUpdateType(TVersion installed) { return installed == 0 ? "F" : "U"; }

TInstallList::TInstallList(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        size_t eq = line.find('=');
        // A line without a module name would select from the store root.
        if (eq == std::string::npos || eq == 0) continue;
        std::string name = line.substr(0, eq);
        TVersion installed = StrToVersion(line.substr(eq + 1));
        TLocalFile file;
        if (GetInstallableInstaller(name, InstallUpdateType(installed), installed, file)) items_.emplace_back(name, file);
    }
}

}  // namespace zel
