#include "COMUtils.h"
namespace zel {
void RegisterServer() {}
void UnregisterServer() {}
}  // namespace zel
