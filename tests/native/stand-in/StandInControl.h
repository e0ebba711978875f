// Switches of the stand-in that tests turn to reach the failure branches of
// the units.
#pragma once

namespace standin {

// ConvertStringSidToSidA fails while this is set.
extern bool FailSidConversion;

}  // namespace standin
