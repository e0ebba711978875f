// The reading of the update server's answer into the module list.
#pragma once

#include <cstddef>
#include <string>

#include "RemoteInfo.h"

namespace zel {

// An answer naming more modules than this is refused whole: no service asks
// about that many, and reading must stay short whatever the server sends.
constexpr size_t MaxAnswerModules = 10000;
// A module whose FILE list holds more entries than this is refused (its
// files are dropped); the entries beyond it are not even kept while reading.
constexpr size_t MaxModuleFiles = 1000;

// Fills the list from an answer text (optional UTF-8 byte-order mark), one
// item per member of the top-level object in the answer's order; true when
// it holds a module. Raises Exception for an answer that is not a JSON
// object of objects, a value of the wrong type, or more than
// MaxAnswerModules members; the list is empty then.
bool ParseModuleInfoList(const std::string& answer, TRemoteModuleInfoList& list);

}  // namespace zel
