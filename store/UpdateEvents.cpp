#include "UpdateEvents.h"

#include <atomic>

namespace zel {

const IID IID_IUpdateServerNotify = {0xB59F776D, 0x49B1, 0x404B, {0xAA, 0x43, 0xB7, 0xA9, 0x78, 0xA5, 0xFB, 0xCA}};

namespace {

// Read on the scheduler and the BITS callback threads.
std::atomic<TNotifyFinder> Finder{nullptr};

}  // namespace

void SetUpdateServerNotifyFinder(TNotifyFinder finder) { Finder.store(finder); }

bool GetUpdateServerNotify(IUpdateServerNotify** notify) {
    *notify = nullptr;
    TNotifyFinder finder = Finder.load();
    return finder && finder(notify);
}

}  // namespace zel
