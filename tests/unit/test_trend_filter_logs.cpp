// Trend and filter logs: window statistics, the day-change rule, filter
// percentages and the retention months of both families.
#include "datalog.h"
#include "event_fixture.h"

using namespace DATALOG;

class TrendFilterLogTest : public EventsTest {
protected:
    const Kind& analog = KINDS[0];
    std::tm t{};
    void SetUp() override
    {
        EventsTest::SetUp();
        t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 5, t.tm_hour = 10, t.tm_min = 20, t.tm_sec = 0;
        for (int i = 0; i < 8; ++i) copy_text(sensor_settings.analog[i].name, "AI" + std::to_string(i + 1));
    }
};

TEST_F(TrendFilterLogTest, TrendLineAveragesTheWholeWindowAndMarksAnyMissingSample)
{
    auto& a = sensor_settings.analog;
    a[0].log = a[1].log = a[3].log = true;  // channel 3 logged off
    TrendWindow w;
    for (int k = 0; k < TREND_WINDOW; ++k) {
        const int v[8] = {k % 2 ? 3000 : 1000, k == 317 ? 65535 : -250, 0, k % 2 ? 3000 : 1000};
        w.add(v, 8);
    }
    EXPECT_EQ(w.count, 600);
    EXPECT_TRUE(trend_window_due(w, 5, 5));
    EXPECT_EQ(trend_header(analog, sensor_settings).rfind("日付,AI1,,,AI2,,,AI3,,", 0), 0u);
    EXPECT_EQ(trend_line(analog, t, sensor_settings, w),
              "2026/12/05 10:20:00,20.00,30.00,10.00,ERR,ERR,ERR,,,,20.00,30.00,10.00,,,,,,,,,,,,,\n");
}

TEST(TrendWindowRule, PartialWindowIsDueOnlyAtADayChange)
{
    TrendWindow w;
    const int v[1] = {1500};
    for (int k = 0; k < 42; ++k) w.add(v, 1);
    EXPECT_FALSE(trend_window_due(w, 31, 31));
    EXPECT_TRUE(trend_window_due(w, 31, 1));
    w.reset();
    EXPECT_EQ(w.count, 0);
}

TEST_F(TrendFilterLogTest, FilterLineWritesEveryChannelsNewestMinuteAsPercentages)
{
    auto& d = sensor_data.analog[0];
    d.alert_max_ls.push_front(300);
    d.alert_min_ls.push_front(600);
    d.caution_max_ls.push_front(1);
    d.caution_min_ls.push_front(0);
    sensor_data.analog[7].caution_min_ls.push_front(150);
    EXPECT_EQ(filter_header(analog, sensor_settings).rfind("日付,AI1,,,,AI2,,,,", 0), 0u);
    std::string want = "2026/12/05 10:20:00,50,100,0,0,";
    for (int c = 1; c < 7; ++c) want += "0,0,0,0,";
    EXPECT_EQ(filter_line(analog, t, sensor_data), want + "0,0,0,25,\n") << "no log flag is needed";
    EXPECT_EQ(filter_percent(3), "0");
    EXPECT_EQ(filter_percent(597), "100");
}

TEST(TrendFilterRetention, PreviousMonthFifteenOrOneYearBack)
{
    EXPECT_EQ(month_dir_back("/log/trend_log/D", 15, 2026, 12), "/log/trend_log/D/2011/11");
    EXPECT_EQ(month_dir_back("/log/trend_log/D", 15, 2027, 1), "/log/trend_log/D/2011/12");
    EXPECT_EQ(month_dir_back("/log/filter_log/D", 1, 2026, 3), "/log/filter_log/D/2025/02");
}
