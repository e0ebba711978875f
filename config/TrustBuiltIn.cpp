// The trust lists the program was built with, in a unit of their own so
// that the set-up can ask for them without the service's configuration.
#include "Trust.h"

#ifndef ZEL_BUILTIN_UPDATE_KEYS
#define ZEL_BUILTIN_UPDATE_KEYS ""
#endif
#ifndef ZEL_BUILTIN_PUBLISHERS
#define ZEL_BUILTIN_PUBLISHERS ""
#endif

namespace zel {

const char* BuiltInUpdateKeys() { return ZEL_BUILTIN_UPDATE_KEYS; }
const char* BuiltInPublishers() { return ZEL_BUILTIN_PUBLISHERS; }

}  // namespace zel
