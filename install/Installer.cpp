#include "Installer.h"
namespace zel {
void RunInstaller(const std::vector<std::string>&, DWORD, bool) {}
}  // namespace zel
