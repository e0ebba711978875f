#include "ExtConfig.h"
#include "Text.h"
namespace zel {
std::string GetConfigPath() { return GetProgramDir() + ".config"; }
void ReadConfig() {}
int32_t ReadConfigInt(const std::string&, int32_t def) { return def; }
}  // namespace zel
