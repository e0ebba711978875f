// What the native build links in place of the units that only Windows can
// run: the proxy settings, the trust state and the answer signature check.
#pragma once

#include <string>

#include "config/Trust.h"

namespace zeltest {

// CurrentTrust() returns this.
extern zel::TTrustState Trust;
// AnswerSignatureProblem() returns this (empty: every answer verifies).
extern std::string SignatureProblem;

}  // namespace zeltest
