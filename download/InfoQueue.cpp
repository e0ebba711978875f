#include "InfoQueue.h"

#include "../service/Text.h"

namespace zel {

TInfoQueue* AddQueue = nullptr;
TInfoQueue* RemoveQueue = nullptr;

namespace {
class Guard {
public:
    explicit Guard(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~Guard() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION& cs_;
};
}  // namespace

TInfoQueue::TInfoQueue() { InitializeCriticalSection(&lock_); }
TInfoQueue::~TInfoQueue() { DeleteCriticalSection(&lock_); }

void TInfoQueue::Add(const std::string& key, const std::string& value1, const std::string& value2) {
    TInfoEntry entry{ShortString(key), ShortString(value1), ShortString(value2)};
    Guard g(lock_);
    for (const auto& e : entries_)
        if (e.Key == entry.Key) return;
    entries_.push_back(std::move(entry));
}

bool TInfoQueue::Pop(TInfoEntry& entry) {
    Guard g(lock_);
    if (entries_.empty()) return false;
    entry = entries_.front();
    entries_.pop_front();
    return true;
}

bool TInfoQueue::IsEmpty() {
    Guard g(lock_);
    return entries_.empty();
}

size_t TInfoQueue::Count() {
    Guard g(lock_);
    return entries_.size();
}

}  // namespace zel
