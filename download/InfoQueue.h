// Thread-safe FIFO of module requests between the COM threads and the
// scheduler thread.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <unordered_set>

#include "catalogue/Requests.h"
#include "store/ModuleOwner.h"

namespace zel {

struct TInfoEntry {
    std::string Key;     // module name
    std::string Value1;  // version
    std::string Value2;  // installed version text (request queue only)
    // A client's registration or removal, and the account that asked for it.
    bool FromClient = false;
    TRegistrant Who;
};

class TInfoQueue {
public:
    TInfoQueue();
    ~TInfoQueue();
    TInfoQueue(const TInfoQueue&) = delete;
    TInfoQueue& operator=(const TInfoQueue&) = delete;

    // Appends unless an entry with this Key (letter case ignored) is queued; texts are cut
    // to 255 characters. With `who`, the entry is a client's request.
    void Add(const std::string& key, const std::string& value1, const std::string& value2 = std::string(),
             const TRegistrant* who = nullptr);
    // Takes the oldest entry out; false when the queue is empty.
    bool Pop(TInfoEntry& entry);
    // Takes every entry out, oldest first, as the modules of one request.
    TModuleRequests TakeRequests();
    bool IsEmpty();
    size_t Count();

private:
    CRITICAL_SECTION lock_;
    std::deque<TInfoEntry> entries_;
    std::unordered_set<std::string> keys_;  // ModuleNameKey of the Keys queued
};

// Created at process start, destroyed at its end (reverse order).
extern TInfoQueue* AddQueue;
extern TInfoQueue* RemoveQueue;

}  // namespace zel
