// Runs a body, then a clean-up that runs whether or not the body raised.
#pragma once

namespace zel {

template <class Body, class Cleanup>
void TryFinally(Body body, Cleanup cleanup) {
    try {
        body();
    } catch (...) {
        cleanup();
        throw;
    }
    cleanup();
}

}  // namespace zel
