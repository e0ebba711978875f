#include "InfoQueue.h"

#include "base/Lock.h"
#include "base/ModuleName.h"
#include "base/Text.h"

namespace zel {

TInfoQueue* AddQueue = nullptr;
TInfoQueue* RemoveQueue = nullptr;

TInfoQueue::TInfoQueue() { InitializeCriticalSection(&lock_); }
TInfoQueue::~TInfoQueue() { DeleteCriticalSection(&lock_); }

void TInfoQueue::Add(const std::string& key, const std::string& value1, const std::string& value2,
                     const TRegistrant* who) {
    TInfoEntry entry{ShortString(key), ShortString(value1), ShortString(value2), false, TRegistrant()};
    if (who) {
        entry.FromClient = true;
        entry.Who = *who;
    }
    Lock g(lock_);
    // One entry per module, whatever the letter case of its name.
    if (!keys_.insert(ModuleNameKey(entry.Key)).second) return;
    entries_.push_back(std::move(entry));
}

bool TInfoQueue::Pop(TInfoEntry& entry) {
    Lock g(lock_);
    if (entries_.empty()) return false;
    entry = entries_.front();
    entries_.pop_front();
    keys_.erase(ModuleNameKey(entry.Key));
    return true;
}

TModuleRequests TInfoQueue::TakeRequests() {
    TModuleRequests modules;
    TInfoEntry entry;
    while (Pop(entry)) modules.push_back({entry.Key, entry.Value1, entry.Value2});
    return modules;
}

bool TInfoQueue::IsEmpty() {
    Lock g(lock_);
    return entries_.empty();
}

size_t TInfoQueue::Count() {
    Lock g(lock_);
    return entries_.size();
}

}  // namespace zel
