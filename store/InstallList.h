// The installers chosen for one install request.
#pragma once

#include <string>
#include <vector>

#include "ModuleList.h"

namespace zel {

// "U" for an installed module, "F" for one that is not installed.
std::string InstallUpdateType(TVersion installed);

struct TInstallFile {
    TInstallFile(const std::string& moduleName, const TLocalFile& file)
        : ModuleName(moduleName), InstallerFile(file) {}
    std::string ModuleName;
    TLocalFile InstallerFile;
};

class TInstallList {
public:
    // Lines "name=version"; modules without a suitable installer are left out.
    explicit TInstallList(const std::vector<std::string>& lines);
    size_t Count() const { return items_.size(); }
    const TInstallFile& Items(size_t index) const { return items_.at(index); }

private:
    std::vector<TInstallFile> items_;
};

}  // namespace zel
