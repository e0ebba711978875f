#include "Proxy.h"
namespace zel {
const char* const SettingsKey = "Software\\Quillon\\ZELUpdate";
TProxySettings* ProxySettings = nullptr;
bool TProxySettings::Load() { return false; }
std::string TProxySettings::ProxyText() const { return std::string(); }
void TProxySettings::LogProxy(uint8_t) const {}
}  // namespace zel
