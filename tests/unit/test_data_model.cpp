// The queues between threads and the per-minute lists.
#include <gtest/gtest.h>

#include <thread>

#include "common.h"
#include "sandbox.h"

TEST(TSQueueTest, TwoProducersEachMessageSeenOnceInPushOrder)
{
    TSQueue<std::string> q;
    constexpr int N = 2000;
    auto produce = [&](char tag) {
        for (int i = 0; i < N; ++i) q.push(std::string(1, tag) + std::to_string(i));
    };
    std::thread a(produce, 'a'), b(produce, 'b');
    int next_a = 0, next_b = 0;
    while (next_a < N || next_b < N) {
        std::string m = q.front();
        q.pop();
        int n = std::stoi(m.substr(1));
        if (m[0] == 'a') EXPECT_EQ(n, next_a++);
        else EXPECT_EQ(n, next_b++);
    }
    a.join();
    b.join();
    EXPECT_TRUE(q.empty());
}

TEST(MinuteListTest, PrefilledListKeeps1440EntriesNewestFirst)
{
    static SETTINGS_TABLE::MinuteList l;
    l.fill_zero(1440);
    ASSERT_EQ(l.size(), 1440);
    l.push_front(7);
    EXPECT_EQ(l.size(), 1440);
    EXPECT_EQ(l.at(0), 7);
    EXPECT_EQ(l.at(1439), 0);
    for (int i = 1; i <= 1440; ++i) l.push_front(i);
    EXPECT_EQ(l.size(), 1440);
    EXPECT_EQ(l.at(0), 1440);
    EXPECT_EQ(l.at(1439), 1);  // the 7 and every zero are gone
    EXPECT_EQ(l.sum_newest(3), 1440 + 1439 + 1438);
    EXPECT_EQ(l.sum_newest(5000), 1440LL * 1441 / 2);  // a window past the list sums what is there
}
