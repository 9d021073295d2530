// Sensor value logs: the lines, the period and day-change rule, the copier
// with its retention, the battery log and the renaming of headers, on
// explicit times in a sandbox.
#include <sys/stat.h>

#include "datalog.h"
#include "event_fixture.h"

using namespace DATALOG;

namespace {

std::tm at(int y, int mo, int d, int h, int mi, int s)
{
    std::tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    t.tm_isdst = -1;
    std::mktime(&t);
    return t;
}

const std::string BOM_TEXT = "\xEF\xBB\xBF";
const std::string AI_HEADER = "日付,AI1,,AI2,,AI3,,AI4,,AI5,,AI6,,AI7,,AI8,\n";

}  // namespace

class ValueLogTest : public EventsTest {
protected:
    const Kind& analog = KINDS[0];
    void SetUp() override
    {
        EventsTest::SetUp();
        for (int i = 0; i < 8; ++i) copy_text(sensor_settings.analog[i].name, "AI" + std::to_string(i + 1));
        for (int i = 0; i < 100; ++i) copy_text(sensor_settings.kvt_nx40[i].name, "NX40_" + std::to_string(i + 1));
    }
    void make(const std::string& dir) const
    {
        for (size_t pos = 1; pos != std::string::npos;) {
            pos = dir.find('/', pos + 1);
            mkdir(sb.path(dir.substr(0, pos)).c_str(), 0777);
        }
    }
    // Ticks one second at a time from `from` for `n` ticks, writing due lines.
    void run_writer(const Kind& k, std::tm from, int n, int period)
    {
        PeriodCounter c;
        c.last_day = from.tm_mday;
        std::time_t t = std::mktime(&from);
        for (int i = 0; i < n; ++i) {
            ++t;
            std::tm now{};
            localtime_r(&t, &now);
            if (sensor_tick_due(c, period, any_log(k, sensor_settings), now.tm_mday)) sensor_log_write(k, now);
        }
    }
};

TEST(ValueLogLines, StateDigitsFollowTheStatusTableAndRepeatTheNeighbourOtherwise)
{
    const int expected[] = {7, 5, 1, 2, 3, 4, 3, 2, 2, 3, 7};  // codes -1 to 9, neighbour 7
    for (int code = -1; code <= 9; ++code) EXPECT_EQ(STATE::shown(code, 7), expected[code + 1]) << code;
}

TEST_F(ValueLogTest, LineKeepsTheColumnsOfChannelsNotLoggedAndMarksMissingValues)
{
    auto& a = sensor_settings.analog;
    a[0].log = a[2].log = a[3].log = true;
    live().analog[0] = {2050, 1};
    live().analog[2] = {65535, 4};
    live().analog[3] = {-50, 9};
    EXPECT_EQ(sensor_header(analog, sensor_settings), AI_HEADER);
    EXPECT_EQ(sensor_line(analog, at(2026, 12, 5, 10, 15, 42), sensor_settings, live()),
              "2026/12/05 10:15:42,20.50,1,,,ERR,4,-0.50,4,,,,,,,,\n");
}

TEST_F(ValueLogTest, KindWithEveryLogFlagOffWritesNothing)
{
    run_writer(analog, at(2026, 12, 31, 23, 59, 0), 120, 5);
    EXPECT_FALSE(sb.exists("/tmp/sensor_log/analog/2026/12/20261231_analog.csv"));
    EXPECT_FALSE(sb.exists("/tmp/sensor_log/analog/2027/01/20270101_analog.csv"));
}

TEST_F(ValueLogTest, LinesComeEveryPeriodAndAtTheDayChangeIntoANewFile)
{
    sensor_settings.analog[0].log = true;
    live().analog[0] = {2050, 1};
    run_writer(analog, at(2026, 12, 31, 23, 59, 0), 75, 7);
    const auto old_day = lines_of(sb.read("/tmp/sensor_log/analog/2026/12/20261231_analog.csv"));
    ASSERT_EQ(old_day.size(), 9u);
    EXPECT_EQ(old_day[0] + "\n", BOM_TEXT + AI_HEADER);
    EXPECT_EQ(old_day[1], "2026/12/31 23:59:07,20.50,1,,,,,,,,,,,,,,");
    EXPECT_EQ(old_day[8].substr(0, 19), "2026/12/31 23:59:56");
    const std::string new_day = sb.read("/tmp/sensor_log/analog/2027/01/20270101_analog.csv");
    EXPECT_EQ(new_day.substr(0, BOM_TEXT.size() + AI_HEADER.size()), BOM_TEXT + AI_HEADER);
    const auto lines = lines_of(new_day);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 19), "2027/01/01 00:00:00") << "the day change writes at once";
    EXPECT_EQ(lines[2].substr(0, 19), "2027/01/01 00:00:07");
}

TEST_F(ValueLogTest, CopierCopiesTheFinishedDayAndThenRemovesItFromRam)
{
    sensor_settings.analog[0].log = true;
    run_writer(analog, at(2026, 12, 31, 23, 59, 50), 20, 5);
    make("/tmp/sensor_log/analog/2025/12");
    make("/tmp/sensor_log/analog/2026/11");
    const std::string day = sb.read("/tmp/sensor_log/analog/2026/12/20261231_analog.csv");
    ASSERT_FALSE(day.empty());

    copier_pass(SENSOR, at(2026, 12, 31, 23, 30, 0), at(2027, 1, 1, 0, 30, 0));
    EXPECT_EQ(sb.read("/log/sensor_log/analog/2026/12/20261231_analog.csv"), day);
    EXPECT_FALSE(sb.exists("/tmp/sensor_log/analog/2026/12/20261231_analog.csv"));
    EXPECT_FALSE(sb.exists("/tmp/sensor_log/analog/2025")) << "previous year";
    EXPECT_FALSE(sb.exists("/tmp/sensor_log/analog/2026/11")) << "previous month";
    EXPECT_TRUE(sb.exists("/tmp/sensor_log/analog/2027/01/20270101_analog.csv"));
    EXPECT_FALSE(sb.exists("/log/sensor_log/analog/2027/01/20270101_analog.csv"));

    // At stop the running day reaches /log too.
    copier_final(SENSOR, at(2027, 1, 1, 0, 30, 0), at(2027, 1, 1, 0, 40, 0));
    EXPECT_EQ(sb.read("/log/sensor_log/analog/2027/01/20270101_analog.csv"),
              sb.read("/tmp/sensor_log/analog/2027/01/20270101_analog.csv"));
}

TEST_F(ValueLogTest, FinishedDayStaysInRamUntilACopyToLogSucceeds)
{
    // /log refusing the copy: the day's month directory blocked by a file,
    // or a directory standing where the day's file goes.
    struct Case {
        Family family;
        const char* tmp;
        const char* log;
        const char* blocker;  // a file in the way, or nullptr for a directory at the day's path
        const char* copier;
    } cases[] = {
        {SENSOR, "/tmp/sensor_log/analog/2026/12/20261231_analog.csv",
         "/log/sensor_log/analog/2026/12/20261231_analog.csv", "/log/sensor_log/analog/2026", "cp_logfile_thread"},
        {TREND, "/tmp/trend_log/1WireTemp2/2026/12/20261231_1WireTemp2.csv",
         "/log/trend_log/1WireTemp2/2026/12/20261231_1WireTemp2.csv", nullptr, "cp_tlogfile_thread"},
        {FILTER, "/tmp/filter_log/MeshTemp_01-50/2026/12/20261231_MeshTemp_01-50.csv",
         "/log/filter_log/MeshTemp_01-50/2026/12/20261231_MeshTemp_01-50.csv", "/log/filter_log/MeshTemp_01-50/2026",
         "cp_flogfile_thread"},
    };
    admin_settings.sensor_log_cycle[8].cycle_minutes = 12;  // analog: a year in /log
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tmp);
        const std::string tmp = c.tmp;
        make(tmp.substr(0, tmp.rfind('/')));
        sb.write(tmp, "day\n");
        if (c.blocker) {
            make(std::string(c.blocker).substr(0, std::string(c.blocker).rfind('/')));
            sb.write(c.blocker, "");
        } else {
            make(c.log);
        }
        const std::string failed = std::string(c.copier) + ": copy to /log failed, kept in RAM " + tmp;

        copier_pass(c.family, at(2026, 12, 31, 23, 30, 0), at(2027, 1, 1, 0, 30, 0));
        EXPECT_EQ(sb.read(c.tmp), "day\n");
        EXPECT_EQ(sb.read(c.log), "");
        EXPECT_EQ(count_of(sb.applog(), failed), 1) << sb.applog();
        // The next day change still fails; it removes last year's RAM
        // directory, but not the day kept in it, and does not log again.
        copier_pass(c.family, at(2027, 1, 1, 23, 30, 0), at(2027, 1, 2, 0, 30, 0));
        EXPECT_EQ(sb.read(c.tmp), "day\n");
        EXPECT_EQ(count_of(sb.applog(), failed), 1) << sb.applog();

        // /log takes it again: the next hourly pass brings the day over.
        std::remove(sb.path(c.blocker ? c.blocker : c.log).c_str());
        copier_pass(c.family, at(2027, 1, 2, 0, 30, 0), at(2027, 1, 2, 1, 30, 0));
        EXPECT_EQ(sb.read(c.log), "day\n");
        EXPECT_FALSE(sb.exists(c.tmp));
    }
}

TEST(ValueLogRetention, MonthRPlusOneBackAndTheWholeYearsBeforeItDownToFifteen)
{
    struct Case {
        int r, year, month;
        const char* month_dir;
        int first_year, last_year;
    } cases[] = {
        {12, 2026, 12, "2025/11", 2024, 2011},
        {0, 2027, 1, "2026/12", 2025, 2012},
        {25, 2026, 3, "2024/01", 2023, 2011},
        {180, 2026, 6, "2011/05", 0, 0},
    };
    const std::string base = "/log/sensor_log/D";
    for (const Case& c : cases) {
        std::vector<std::string> want = {base + "/" + c.month_dir};
        for (int y = c.first_year; c.first_year && y >= c.last_year; --y)
            want.push_back(base + "/" + std::to_string(y));
        EXPECT_EQ(sensor_retention_dirs(base, c.r, c.year, c.month), want) << "R " << c.r;
    }
    EXPECT_TRUE(sensor_retention_dirs(base, -1, 2026, 12).empty()) << "a broken estimate keeps everything";
}

TEST_F(ValueLogTest, HourlyPassRemovesTheExpiredMonthAndYearsAndLogsEach)
{
    admin_settings.sensor_log_cycle[8].cycle_minutes = 12;
    for (const char* d : {"/log/sensor_log/analog/2025/11", "/log/sensor_log/analog/2025/12",
                          "/log/sensor_log/analog/2011/03", "/log/sensor_log/analog/2010/03"})
        make(d);
    copier_pass(SENSOR, at(2026, 12, 5, 9, 0, 0), at(2026, 12, 5, 10, 0, 0));
    EXPECT_FALSE(sb.exists("/log/sensor_log/analog/2025/11"));
    EXPECT_TRUE(sb.exists("/log/sensor_log/analog/2025/12"));
    EXPECT_FALSE(sb.exists("/log/sensor_log/analog/2011"));
    EXPECT_TRUE(sb.exists("/log/sensor_log/analog/2010")) << "beyond 15 years is not looked at";
    EXPECT_NE(sb.applog().find("> delete /log/sensor_log/analog/2025/11\n"), std::string::npos);
    EXPECT_NE(sb.applog().find("> delete /log/sensor_log/analog/2011\n"), std::string::npos);
    EXPECT_EQ(count_of(sb.applog(), "delete"), 2);
}

TEST_F(ValueLogTest, BatteryLogWritesItsMonthlyLineAndDropsTheYearElevenBack)
{
    sensor_settings.kvt_nx40[5].log = true;
    live().kvt_nx40[0].sensor_battery.value = 330;
    make("/log/sensor_log/MeshBat/2016");
    sb.write("/log/sensor_log/MeshBat/2016/201612_MeshBat.csv", "old");
    bat_log_day_change(at(2027, 1, 1, 0, 0, 1));
    const auto lines = lines_of(sb.read("/log/sensor_log/MeshBat/2027/202701_MeshBat.csv"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(BOM_TEXT + "日付,NX40_1,NX40_2,", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("2027/01/01 00:00:01,3.30,ERR,ERR,", 0), 0u) << lines[1];
    EXPECT_EQ(count_of(lines[1], ","), 100);
    EXPECT_FALSE(sb.exists("/log/sensor_log/MeshBat/2016"));
    EXPECT_NE(sb.applog().find("delete /log/sensor_log/MeshBat/2016"), std::string::npos);
}

TEST_F(ValueLogTest, NameChangeRewritesTheValueAndTrendHeadersKeepingEveryLine)
{
    sensor_settings.analog[0].log = true;
    const std::tm t = at(2026, 12, 5, 10, 15, 42);
    sensor_log_write(analog, t);
    sensor_log_write(analog, at(2026, 12, 5, 10, 16, 42));
    TrendWindow w;
    const int v[8] = {1000};
    w.add(v, 8);
    trend_log_write(analog, t, w);
    const auto value_lines = lines_of(sb.read("/tmp/sensor_log/analog/2026/12/20261205_analog.csv"));
    const auto trend_lines = lines_of(sb.read("/tmp/trend_log/analog/2026/12/20261205_analog.csv"));

    copy_text(sensor_settings.analog[0].name, "Rack inlet");
    sensorlog_namechange_at(1, t);
    auto value_after = lines_of(sb.read("/tmp/sensor_log/analog/2026/12/20261205_analog.csv"));
    auto trend_after = lines_of(sb.read("/tmp/trend_log/analog/2026/12/20261205_analog.csv"));
    ASSERT_EQ(value_after.size(), 3u);
    ASSERT_EQ(trend_after.size(), 2u);
    EXPECT_EQ(value_after[0], BOM_TEXT + "日付,Rack inlet,,AI2,,AI3,,AI4,,AI5,,AI6,,AI7,,AI8,");
    EXPECT_EQ(trend_after[0], BOM_TEXT + "日付,Rack inlet,,,AI2,,,AI3,,,AI4,,,AI5,,,AI6,,,AI7,,,AI8,,,");
    value_after[0] = value_lines[0], trend_after[0] = trend_lines[0];
    EXPECT_EQ(value_after, value_lines);
    EXPECT_EQ(trend_after, trend_lines);
}

TEST_F(ValueLogTest, RestoreBringsTheLogCopyBackOnlyWhereRamLostIt)
{
    const std::tm t = at(2026, 12, 5, 8, 0, 0);
    make("/log/sensor_log/analog/2026/12");
    make("/log/sensor_log/1WireTemp1/2026/12");
    make("/tmp/sensor_log/1WireTemp1/2026/12");
    sb.write("/log/sensor_log/analog/2026/12/20261205_analog.csv", "saved\n");
    sb.write("/log/sensor_log/1WireTemp1/2026/12/20261205_1WireTemp1.csv", "saved\n");
    sb.write("/tmp/sensor_log/1WireTemp1/2026/12/20261205_1WireTemp1.csv", "saved\nnewer\n");
    copier_restore(SENSOR, t);
    EXPECT_EQ(sb.read("/tmp/sensor_log/analog/2026/12/20261205_analog.csv"), "saved\n");
    EXPECT_EQ(sb.read("/tmp/sensor_log/1WireTemp1/2026/12/20261205_1WireTemp1.csv"), "saved\nnewer\n");
}

TEST_F(ValueLogTest, FlashThatLastsCopyAppendsOnlyTheNewTailAndMatchesAWholeCopy)
{
    // The RAM file holds `head` then `tail`; /log holds `log` (nullptr:
    // none). After the pass /log is the RAM file byte for byte, and the
    // copier wrote `written` bytes below /log.
    const std::string head = "date,AI1,\n09:00,20.50,1\n", tail = "10:00,20.50,1\n";
    enum Pass { HOUR, DAY_CHANGE, REBOOT };
    struct Case {
        const char* name;
        Pass pass;
        const char* log;
        unsigned long long written;
    } cases[] = {
        {"hour", HOUR, "date,AI1,\n09:00,20.50,1\n", 14},
        {"day change", DAY_CHANGE, "date,AI1,\n09:00,20.50,1\n", 14},
        {"reboot, RAM refilled from /log", REBOOT, "date,AI1,\n09:00,20.50,1\n", 14},
        {"/log copy cut short mid-line", HOUR, "date,AI1,\n09:0", 24},
        {"/log copy empty", HOUR, "", 38},
        {"/log copy missing", DAY_CHANGE, nullptr, 38},
        {"/log copy with another header", HOUR, "date,AI9,\n09:00,20.50,1\n", 38},
        {"/log copy longer than RAM", HOUR, "date,AI1,\n09:00,20.50,1\n10:00,20.50,1\n11:0", 38},
    };
    const std::string tmp = "/tmp/sensor_log/analog/2026/12/20261205_analog.csv";
    const std::string log = "/log/sensor_log/analog/2026/12/20261205_analog.csv";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree("/tmp/sensor_log");
        remove_tree("/log/sensor_log");
        make("/tmp/sensor_log/analog/2026/12");
        make("/log/sensor_log/analog/2026/12");
        if (c.log) sb.write(log, c.log);
        if (c.pass == REBOOT) {
            copier_restore(SENSOR, at(2026, 12, 5, 9, 30, 0));
            ASSERT_EQ(sb.read(tmp), head);
        } else {
            sb.write(tmp, head);
        }
        append_day_line(tmp, "unused", tail);
        const unsigned long long before = copied_to_log_bytes();
        if (c.pass == DAY_CHANGE)
            copier_pass(SENSOR, at(2026, 12, 5, 23, 30, 0), at(2026, 12, 6, 0, 30, 0));
        else
            copier_pass(SENSOR, at(2026, 12, 5, 9, 30, 0), at(2026, 12, 5, 10, 30, 0));
        EXPECT_EQ(sb.read(log), "date,AI1,\n09:00,20.50,1\n10:00,20.50,1\n");
        EXPECT_EQ(copied_to_log_bytes() - before, c.written);
        EXPECT_FALSE(sb.exists(log + ".new"));
        EXPECT_EQ(sb.exists(tmp), c.pass != DAY_CHANGE) << "a finished day leaves RAM after its copy";
    }
}
