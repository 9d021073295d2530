// Application log rotation, the file test, the minute timer and the
// forbidden-character test.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "common.h"
#include "platform.h"
#include "sandbox.h"

namespace {

const char* const LOGDIR = "/log/app_log/";

std::string gen(int n) { return std::string(LOGDIR) + "applog" + std::to_string(n) + ".txt"; }

const std::regex LINE_FORMAT(R"(<\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}> (.*))");

}  // namespace

// ---- applog rotation -------------------------------------------------------

TEST(ApplogTest, BelowTheLimitAppendsAndAtTheLimitRotatesFirst)
{
    struct Case {
        size_t size;
        bool rotates;
    } cases[] = {{0, false}, {99998, false}, {99999, false}, {100000, true}, {250000, true}};
    for (const auto& c : cases) {
        TestSandbox sb;
        const std::string old = c.size ? std::string(c.size - 1, 'x') + "\n" : "";
        sb.write(gen(1), old);
        applog("next event");
        std::string cur = sb.read(gen(1));
        if (c.rotates) {
            EXPECT_EQ(sb.read(gen(2)), old) << "size " << c.size;
            ASSERT_EQ(lines_of(cur).size(), 1u) << "size " << c.size;
        } else {
            EXPECT_FALSE(sb.exists(gen(2))) << "size " << c.size;
            EXPECT_EQ(cur.substr(0, c.size), old) << "size " << c.size;
        }
        std::smatch m;
        std::string last = lines_of(cur).back();
        ASSERT_TRUE(std::regex_match(last, m, LINE_FORMAT)) << last.substr(0, 80);
        EXPECT_EQ(m[1], "next event");
    }
}

TEST(ApplogTest, GenerationsShiftDownAndMissingOnesAreSkipped)
{
    // Which generations exist before the rotation -> which hold what after.
    struct Case {
        std::vector<int> present;
        std::map<int, int> after;  // generation -> old generation it holds (0 = absent)
    } cases[] = {
        {{1}, {{2, 1}, {3, 0}}},
        {{1, 3}, {{2, 1}, {3, 0}, {4, 3}}},
        {{1, 2, 3, 4, 5, 6, 7, 8}, {{2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 6}, {8, 7}}},
        {{1, 8}, {{2, 1}, {8, 0}}},
    };
    for (const auto& c : cases) {
        TestSandbox sb;
        for (int g : c.present) sb.write(gen(g), "generation " + std::to_string(g) + "\n" + std::string(100000, 'x'));
        applog("after rotation");
        for (const auto& [g, from] : c.after) {
            if (from == 0) {
                EXPECT_FALSE(sb.exists(gen(g))) << "applog" << g;
            } else {
                EXPECT_EQ(lines_of(sb.read(gen(g))).at(0), "generation " + std::to_string(from)) << "applog" << g;
            }
        }
        EXPECT_EQ(lines_of(sb.read(gen(1))).size(), 1u);
        EXPECT_FALSE(sb.exists(std::string(LOGDIR) + "applog9.txt"));
    }
}

TEST(ApplogTest, WritersNeverInterleaveLinesOrRotateTwice)
{
    TestSandbox sb;
    const std::string old(99999, 'o');
    sb.write(gen(1), old + "\n");  // 100000 bytes: the first writer rotates
    constexpr int THREADS = 6, EACH = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < EACH; ++i) applog("writer " + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& w : writers) w.join();

    EXPECT_EQ(sb.read(gen(2)), old + "\n");  // exactly one rotation
    EXPECT_FALSE(sb.exists(gen(3)));
    std::map<std::string, int> seen;
    for (const auto& line : lines_of(sb.read(gen(1)))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LINE_FORMAT)) << "damaged line: " << line;
        ++seen[m[1]];
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(THREADS * EACH));
    for (const auto& [msg, n] : seen) EXPECT_EQ(n, 1) << msg;
}

// ---- file helpers ----------------------------------------------------------

TEST(SharedHelperTest, ExistFileEmptyCountsAsMissingAfterItsRetries)
{
    TestSandbox sb;
    sb.write("/tmp/empty", "");
    sb.write("/tmp/present", "1");
    struct Case {
        const char* path;
        int expected;
    } cases[] = {{"/tmp/present", 0}, {"/tmp/empty", 1}, {"/tmp/missing", 1}};
    for (const auto& c : cases) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(exist_file(c.path), c.expected) << c.path;
        // A miss retries three times, 10 ms apart; a hit answers at once.
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (c.expected == 1) {
            EXPECT_GE(ms, 30) << c.path;
        }
    }
}

// ---- minute timer ----------------------------------------------------------

TEST(SharedHelperTest, MinuteTimerWakeFallsJustAfterTheNextMinute)
{
    // For every second of the minute and a spread of sub-second offsets, the
    // slices end between 0 and 100 ms after the minute boundary.
    for (int sec = 0; sec < 60; ++sec)
        for (long ns : {0L, 1L, 50000000L, 499999999L, 950000000L, 999999999L}) {
            long r = timer_remaining_us(sec, ns);
            long wake_after_boundary = timer_slices(r) * 100000 - r;
            EXPECT_GT(wake_after_boundary, 0) << sec << "s " << ns << "ns";
            EXPECT_LE(wake_after_boundary, 100000) << sec << "s " << ns << "ns";
        }
    EXPECT_EQ(timer_remaining_us(59, 950000000L), 50000) << "called at :59.95";
}

// ---- forbidden characters --------------------------------------------------

TEST(SharedHelperTest, BanCharEachForbiddenCharacterAnywhereIsCaughtAndNothingElse)
{
    const std::string banned = "!\"$%&'*,:;=?\\^`|~";
    ASSERT_EQ(banned.size(), 17u);
    for (char c = 0x20; c < 0x7F; ++c) {
        int expected = banned.find(c) != std::string::npos;
        for (const std::string& text : {std::string(1, c), "ab" + std::string(1, c) + "cd", "abc" + std::string(1, c)})
            EXPECT_EQ(check_ban_char(text.c_str()), expected) << "text [" << text << "]";
    }
    for (const char* text : {"", "192.168.1.10/24", "admin@example.com", "機械室 温度"})
        EXPECT_EQ(check_ban_char(text), 0) << "text [" << text << "]";
}
