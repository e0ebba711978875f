// The ".config" file beside the program: Name=Value lines, re-read by the
// scheduler every 30 seconds.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

std::string GetConfigPath();  // program directory + ".config"

// Reloads URL, Method, LogLevel, Period, UpdateKeys and Publishers; every setter logs only a change.
void ReadConfig();
// Reloads only UpdateKeys and Publishers (any thread); false when the file
// exists but cannot be read.
bool ReadTrustConfig();
// One integer key read afresh; the default when absent, empty or invalid.
int32_t ReadConfigInt(const std::string& name, int32_t def);

}  // namespace zel
