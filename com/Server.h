// The update server object and its singleton class factory.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <vector>

namespace zel {

// Hands every client the one TUpdateServer object.
class TSingletonFactory;

// Creates the factory (not yet registered).
TSingletonFactory* CreateSingletonFactory();
// CoRegisterClassObject, multiple use; raises on failure.
void RegisterClassObject(TSingletonFactory* factory);
// The one object (created on first use), with one new reference.
IUnknown* CreateComObject(TSingletonFactory* factory);
// Every interface the update server object answers for.
const std::vector<const IID*>& ServerInterfaces();
// Keeps every interface of the object, its connection points and their
// enumerators registered for the run (see base/KeptInterfaces.h).
void KeepServerInterfaces(IUnknown* object);
// Revokes the class object and frees the factory.
void DestroySingletonFactory(TSingletonFactory* factory);

}  // namespace zel
