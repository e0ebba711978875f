#pragma once

#include <windows.h>

#include <string>

namespace zelhook {

// One string of the version resource block language/code page; empty when
// the file has no such string.
std::string GetFileVersionString(const std::string& path, const std::string& name, unsigned language = 0x0419,
                                 unsigned codePage = 0x04E3);

}  // namespace zelhook
