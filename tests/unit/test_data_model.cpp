// The queues between threads and the per-minute lists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common.h"
#include "sandbox.h"
#include "settings_map.h"

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

TEST(MinuteListTest, DayOfSlotsHeldOnlyFromTheFirstNonZeroCount)
{
    SETTINGS_TABLE::MinuteList l;
    l.fill_zero(1440);
    for (int m = 0; m < 2000; ++m) l.push_front(0);
    EXPECT_FALSE(l.allocated());
    EXPECT_EQ(l.sum_newest(1440), 0);
    l.push_front(600);
    l.push_front(0);
    EXPECT_TRUE(l.allocated());
    EXPECT_EQ(l.size(), 1440);
    EXPECT_EQ(l.at(1), 600);
    EXPECT_EQ(l.at(1439), 0);
    EXPECT_EQ(l.sum_newest(1440), 600);
}

// A text longer than its field (NUL included) keeps the whole UTF-8
// characters that fit (the field map's set_text cuts by the same rule).
TEST(TextFieldTest, TooLongTextsAreCutAtTheLastWholeCharacter)
{
    const char* cases[][2] = {  // text, kept in 8 bytes
        {"abcdefg", "abcdefg"}, {"abcdefgh", "abcdefg"}, {"abcde\xC3\xA9", "abcde\xC3\xA9"},
        {"abcdef\xC3\xA9", "abcdef"}, {"ab\xE3\x81\x82\xE3\x81\x84", "ab\xE3\x81\x82"},
        {"abcd\xF0\x9F\x98\x80", "abcd"}, {"abc\xF0\x9F\x98\x80x", "abc\xF0\x9F\x98\x80"},
        {"abcdefg\x80\x80", "abcdefg"},                     // stray continuation bytes past the end
        {"\x80\x80\x80\x80\x80\x80\x80\x80", "\x80\x80\x80\x80\x80\x80\x80"},  // not UTF-8: cut at the end
    };
    for (const auto& c : cases) {
        char field[8];
        copy_text(field, c[0]);
        EXPECT_STREQ(field, c[1]) << c[0];
    }
}

// Writers of one field (the command queue, SNMP SET, MQTT, settings files)
// and a reader copying it out: the reader sees one whole text or the other,
// never a new beginning on an old tail.
TEST(TextFieldTest, ReadersNeverSeeHalfATextWhileWritersRun)
{
    const SETTINGS_MAP::Section& mc = *SETTINGS_MAP::section_of_table("webapp_mail_client");
    const SETTINGS_MAP::Field& subject = mc.record->fields[1];
    ASSERT_STREQ(subject.name, "mailclient_subject");
    char* elem = SETTINGS_MAP::element(mc, 0);
    const std::string a(127, 'a'), b(3, 'b');
    std::atomic<bool> stop{false};
    std::thread by_map([&] {
        for (int i = 0; !stop; ++i) SETTINGS_MAP::set_text(elem, subject, i % 2 ? a : b);
    });
    std::thread by_copy([&] {
        for (int i = 0; !stop; ++i) copy_text(admin_settings.mail_client[0].mailclient_subject, i % 2 ? b : a);
    });
    bool mixed = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (!mixed && std::chrono::steady_clock::now() < until) {
        const std::string seen = SETTINGS_MAP::get_text(elem, subject);
        mixed = seen != a && seen != b && !seen.empty();
    }
    stop = true;
    by_map.join();
    by_copy.join();
    EXPECT_FALSE(mixed);
}
