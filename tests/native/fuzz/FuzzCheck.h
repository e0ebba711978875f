// What the fuzzers share: a property check that stops the run with the
// input kept (libFuzzer writes it out on the abort), and the input split
// into fields.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                             \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            fprintf(stderr, "property broken: %s\n  %s (%s:%d)\n", what, #condition, __FILE__, \
                    __LINE__);                                                                  \
            abort();                                                                            \
        }                                                                                       \
    } while (0)

namespace fuzz {

// True when no character of the text would start a line of its own.
inline bool OneLine(const std::string& text) {
    for (unsigned char c : text)
        if (c == '\r' || c == '\n') return false;
    return true;
}

inline bool NoControls(const std::string& text) {
    for (unsigned char c : text)
        if (c < 32 || c == 127) return false;
    return true;
}

}  // namespace fuzz
