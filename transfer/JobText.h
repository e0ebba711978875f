// The text of a module job's description, "Name=%s|Version=%s|Target=%s":
// the one rule for the service that writes it and every walk that reads it.
#pragma once

#include <string>

namespace zel {

// Fields of a job's description (system code page texts).
struct TJobInfo {
    std::string Name;
    std::string Version;
    std::string Target;
};

// The fields of a description text: items are split at "|" and at runs of
// blanks and control characters, a double-quoted item is taken whole; keys
// are matched without regard to letter case, a missing one reads as empty.
void ParseDescriptionText(const std::string& text, TJobInfo& info);
// The description text "Name=%s|Version=%s|Target=%s"; an item whose value
// the reader would split (a blank, a control character, a "|") is written
// in double quotes, so every text without a zero byte reads back whole.
std::string JobDescription(const std::string& name, const std::string& version, const std::string& target);

}  // namespace zel
