// What the version resources of the store's files say, read once per file
// as it lies in the store: a store listing that finds a file again, of the
// same size and times, takes what was read before instead of reading the
// resource of a program of several megabytes again.
#pragma once

#include <string>

#include "base/FileTree.h"
#include "base/Versions.h"

namespace zel {

// The version resource of a file that a listing of the store found (its
// size and times as listed); with a non-empty name, that string of block
// 041904E3 too. False when the resource cannot be read.
bool StoredFileVersion(const TTreeEntryA& entry, const std::string& name, TFileVersionFields& fields);

}  // namespace zel
