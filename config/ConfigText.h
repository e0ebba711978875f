// The text of the ".config" file: Name=Value lines with CR LF, CR or LF
// breaks. One rule for the service that reads it and the set-up that writes
// it.
#pragma once

#include <string>
#include <vector>

namespace zel {

std::vector<std::string> SplitConfigLines(const std::string& text);

// The value of the first line whose name is the key (letter case ignored);
// empty when there is none.
std::string ConfigValue(const std::vector<std::string>& lines, const std::string& key);

// The text with the first line of the key replaced by "key=value" (appended
// when the key has no line); other lines are kept, every line ends in CR LF.
std::string SetConfigValue(const std::string& text, const std::string& key, const std::string& value);

}  // namespace zel
