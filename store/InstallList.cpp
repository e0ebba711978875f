#include "InstallList.h"
namespace zel {
std::string InstallUpdateType(TVersion installed) { return installed == 0 ? "F" : "U"; }
TInstallList::TInstallList(const std::vector<std::string>&) {}
}  // namespace zel
