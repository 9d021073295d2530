// The pure judgement rules: thresholds with clear levels, the announcement
// rule and the digital state table.
#include <gtest/gtest.h>

#include "common.h"
#include "events.h"

namespace {

constexpr int OFF_MAX = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
constexpr int OFF_MIN = SETTINGS_TABLE::THRESHOLD_OFF_MIN;

struct Levels {
    int ua = 300, ua_c = 280, uc = 250, uc_c = 230, lc = 150, lc_c = 170, la = 100, la_c = 120;
};

int judge(int v, int prev, const Levels& l = {})
{
    return judge_state(v, prev, l.ua, l.uc, l.lc, l.la, l.ua_c, l.uc_c, l.lc_c, l.la_c);
}

}  // namespace

TEST(JudgementTest, EveryPreviousStateAgainstBothSides)
{
    struct Case {
        int prev, value, expected;
    } cases[] = {
        // entry states: strict entry, alert before caution
        {0, 200, 1}, {1, 300, 6}, {1, 301, 5}, {1, 250, 1}, {1, 251, 6}, {1, 150, 1},
        {1, 149, 7}, {1, 100, 7}, {1, 99, 8}, {4, 301, 5}, {4, 99, 8},
        // upper alert: kept down to its clear level, then eases into caution
        {5, 280, 5}, {5, 279, 6}, {5, 230, 6}, {5, 229, 1}, {5, 140, 7}, {5, 99, 8},
        // upper caution
        {6, 301, 5}, {6, 300, 6}, {6, 230, 6}, {6, 229, 1}, {6, 149, 7}, {6, 99, 8},
        // lower caution
        {7, 301, 5}, {7, 251, 6}, {7, 171, 1}, {7, 170, 7}, {7, 160, 7}, {7, 100, 7}, {7, 99, 8},
        // lower alert: kept up to its clear level, then eases into caution
        {8, 301, 5}, {8, 251, 6}, {8, 100, 8}, {8, 120, 8}, {8, 121, 7}, {8, 170, 7}, {8, 171, 1},
        // states that thresholds do not produce
        {2, 200, 4}, {3, 200, 4}, {-1, 200, 4}, {9, 200, 4}, {100, 301, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(judge(c.value, c.prev), c.expected) << "prev " << c.prev << " value " << c.value;
    Levels wide;
    wide.ua = wide.uc = 70000;
    wide.ua_c = wide.uc_c = 69000;
    for (int prev = -2; prev <= 10; ++prev) EXPECT_EQ(judge(65535, prev, wide), 4) << "error marker, prev " << prev;
}

TEST(JudgementTest, SwitchedOffLevelNeverProducesItsState)
{
    // Each threshold switched off through its clear level while its value is
    // still set low enough to be crossed.
    struct Off {
        int state;
        void (*apply)(Levels&);
    } offs[] = {
        {5, [](Levels& l) { l.ua_c = OFF_MAX; }},
        {6, [](Levels& l) { l.uc_c = OFF_MAX; }},
        {7, [](Levels& l) { l.lc_c = OFF_MIN; }},
        {8, [](Levels& l) { l.la_c = OFF_MIN; }},
    };
    for (const auto& o : offs) {
        Levels l;
        o.apply(l);
        for (int prev : {0, 1, 4, 5, 6, 7, 8})
            for (int v = -1000; v <= 1500; v += 7)
                ASSERT_NE(judge(v, prev, l), o.state) << "off state " << o.state << " prev " << prev << " v " << v;
    }
}

TEST(JudgementTest, AnnouncementTable)
{
    // Row: previous state -1 to 9; column: new state 0 to 8; 1 = announced.
    const char* const announced[] = {
        "000000000", "101111111", "011111111", "111111111", "111111111", "111111111",
        "111111011", "111111111", "111111111", "111111101", "000000000",
    };
    for (int pre = -1; pre <= 9; ++pre)
        for (int s = 0; s <= 8; ++s)
            EXPECT_EQ(check_change_state(pre, s), announced[pre + 1][s] - '0') << pre << " -> " << s;
}

TEST(JudgementTest, DigitalStateFollowsLevelAndErrortext)
{
    struct Case {
        int eid, level1, level0, abnormal;
    } cases[] = {{1, 1, 1, 1}, {2, 2, 1, 1}, {3, 3, 1, 1}, {4, 1, 2, 0}, {5, 1, 3, 0}, {0, 4, 4, -1}, {6, 4, 4, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(dio_state_for(c.eid, 1, 7), c.level1) << c.eid;
        EXPECT_EQ(dio_state_for(c.eid, 0, 7), c.level0) << c.eid;
        EXPECT_EQ(dio_state_for(c.eid, 2, 7), 7) << "a level other than 0/1 keeps the state";
        EXPECT_EQ(dio_abnormal_level(c.eid), c.abnormal) << c.eid;
    }
}
