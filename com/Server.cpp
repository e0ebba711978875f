#include "Server.h"
#include "service/Text.h"
namespace zel {
class TSingletonFactory {};
TSingletonFactory* CreateSingletonFactory() { return new TSingletonFactory; }
void RegisterClassObject(TSingletonFactory*) { throw Exception("COM"); }
IUnknown* CreateComObject(TSingletonFactory*) { throw Exception("COM"); }
void DestroySingletonFactory(TSingletonFactory* f) { delete f; }
}  // namespace zel
