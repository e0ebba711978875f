// The request queues between the COM threads and the scheduler: first in,
// first out, one entry per module, whatever the threads do at once.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "download/InfoQueue.h"

using namespace zel;

TEST(InfoQueue, FirstInFirstOutAndOneEntryPerKey) {
    TInfoQueue queue;
    queue.Add("B", "1");
    queue.Add("A", "2", "x");
    queue.Add("B", "3");  // already queued: the first one stays
    queue.Add("b", "4");  // the same module, whatever the letter case
    EXPECT_EQ(queue.Count(), 2u);
    TInfoEntry e;
    ASSERT_TRUE(queue.Pop(e));
    EXPECT_EQ(e.Key, "B");
    EXPECT_EQ(e.Value1, "1");
    queue.Add("B", "5");  // taken out, so it may come again
    std::vector<std::string> order;
    while (queue.Pop(e)) order.push_back(e.Key + "=" + e.Value1 + e.Value2);
    EXPECT_EQ(order, (std::vector<std::string>{"A=2x", "B=5"}));
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_FALSE(queue.Pop(e));
}

TEST(InfoQueue, TextsAreShortStringsAndKeysAreComparedAsCut) {
    TInfoQueue queue;
    const std::string longKey(300, 'k');
    queue.Add(longKey + "1", std::string(1000, 'v'), std::string(256, 'w'));
    queue.Add(longKey + "2", "other");  // the same first 255 characters: the same key
    EXPECT_EQ(queue.Count(), 1u);
    TInfoEntry e;
    ASSERT_TRUE(queue.Pop(e));
    EXPECT_EQ(e.Key, std::string(255, 'k'));
    EXPECT_EQ(e.Value1.size(), 255u);
    EXPECT_EQ(e.Value2.size(), 255u);
    queue.Add(std::string("a\0b", 3), "");
    queue.Add(std::string("a\0c", 3), "");
    EXPECT_EQ(queue.Count(), 2u);
}

TEST(InfoQueue, ThreadsAddingAndTakingAtOnceLoseAndRepeatNothing) {
    TInfoQueue queue;
    constexpr int Writers = 4, PerWriter = 2000;
    std::atomic<int> done{0};
    std::set<std::string> taken;
    std::thread reader([&] {
        TInfoEntry e;
        for (;;) {
            bool got = queue.Pop(e);
            if (got) {
                EXPECT_TRUE(taken.insert(e.Key).second) << e.Key;
            } else if (done.load() == Writers) {
                if (!queue.Pop(e)) break;
                EXPECT_TRUE(taken.insert(e.Key).second) << e.Key;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < PerWriter; ++i) {
                queue.Add(std::to_string(w) + ":" + std::to_string(i), "1");
                queue.IsEmpty();
                queue.Count();
            }
            ++done;
        });
    for (auto& t : writers) t.join();
    reader.join();
    EXPECT_EQ(taken.size(), static_cast<size_t>(Writers * PerWriter));
    EXPECT_TRUE(queue.IsEmpty());
}
