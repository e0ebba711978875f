// The text of a module job's description, "Name=%s|Version=%s|Target=%s",
// with "|Owner=%s" after it when the module's registrant is known: the one
// rule for the service that writes it and every walk that reads it. Readers
// of the older form look their keys up by name and pass over the owner; a
// description without one reads as a registration of no known owner.
#pragma once

#include <string>

namespace zel {

// Fields of a job's description (system code page texts).
struct TJobInfo {
    std::string Name;
    std::string Version;
    std::string Target;
    std::string Owner;  // the registrant's SID; empty when not recorded (store/ModuleOwner.h)
};

// The fields of a description text: items are split at "|", blanks and
// control characters around an item are passed over, a double-quoted item
// is taken whole (so a name with blanks written by an older version, which
// did not quote, reads back whole too); keys are matched without regard to
// letter case, a missing one reads as empty.
void ParseDescriptionText(const std::string& text, TJobInfo& info);
// The description text "Name=%s|Version=%s|Target=%s" and "|Owner=%s"
// after it when the owner is known; an item whose value the reader would
// change (a control character, a "|", a quote, blanks at its ends) is
// written in double quotes, so every text without a zero byte reads back
// whole.
std::string JobDescription(const std::string& name, const std::string& version, const std::string& target,
                           const std::string& owner = std::string());

}  // namespace zel
