// Judgement passes and minute steps of the state threads, called directly
// with the record time as an argument.
#include <array>
#include <functional>

#include "event_fixture.h"

class StateThreadTest : public EventsTest {
protected:
    static constexpr long long T = 1700000000;
    void pass(int kind, int n = 1)
    {
        for (int i = 0; i < n; ++i) state_pass(kind, T);
    }
    // Runs `minutes` minutes of 600 passes; value_at(minute, pass) sets the
    // values before each pass; each minute ends with the minute step.
    template <typename F>
    void run_minutes(int kind, int minutes, F value_at)
    {
        for (int m = 0; m < minutes; ++m) {
            for (int k = 0; k < 600; ++k) {
                value_at(m, k);
                state_pass(kind, T);
            }
            state_minute_step(kind, T);
        }
    }
    // The eight levels of a VLXA side, which stand one after another.
    static void set_levels(int* first, std::array<int, 8> levels)
    {
        for (int k = 0; k < 8; ++k) first[k] = levels[k];
    }
};

TEST_F(StateThreadTest, ProbeEntersAndLeavesWithOneRecordPerChange)
{
    auto& p = sensor_settings.onewire_temperature[4];
    p.enable = true;
    set_thresholds(p, 3000, 2800, 2500, 2300, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    auto& el = live().onewire_temperature[4];
    for (int v : {2000, 2000, 3050, 3050, 2900, 2700, 2200}) {
        el.value = v;
        pass(3);
    }
    EXPECT_EQ(el.status, 1);
    EXPECT_EQ(drain(state_log),
              (std::vector<std::string>{"1700000000,3,5,1,2000,0,", "1700000000,3,5,5,3050,1,",
                                        "1700000000,3,5,6,2700,5,", "1700000000,3,5,1,2200,6,"}));
}

TEST_F(StateThreadTest, AnalogAlarmNeedsItsPersistence)
{
    auto& a = sensor_settings.analog[1];
    a.enable = true;
    a.err_sampling = 3;
    set_thresholds(a, 1000, 900, 800, 700, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    auto& el = live().analog[1];
    el.value = 500;
    pass(2);
    el.value = 1100;
    pass(2, 20);  // 2 s beyond: the state is held back
    EXPECT_EQ(el.status, 1);
    el.value = 500;  // the run breaks
    pass(2);
    el.value = 1100;
    pass(2, 29);
    EXPECT_EQ(el.status, 1);
    pass(2);  // 30th consecutive sample
    EXPECT_EQ(el.status, 5);
    el.value = 65535;
    pass(2);
    EXPECT_EQ(el.status, 4) << "error is taken at once";
    EXPECT_EQ(drain(state_log), (std::vector<std::string>{"1700000000,2,2,1,500,0,", "1700000000,2,2,5,1100,1,",
                                                          "1700000000,2,2,4,65535,5,"}));
}

TEST_F(StateThreadTest, BatteriesAgainstTheirLowerLevels)
{
    sensor_settings.battery[0] = {260, 270, 280, 290, false};
    sensor_settings.battery[1] = {335, 340, 345, 350, false};
    for (int i : {0, 1, 2, 3}) sensor_settings.veloxa[i].enable = true;
    auto& v = live().veloxa;
    // below caution, below alert, no reading, above the fixed upper limit, disabled
    const int values[] = {270, 250, 65535, 10001, 100};
    for (int i = 0; i < 5; ++i) v[i].sensor_battery.value = values[i];
    v[4].sensor_battery.status = 8;
    pass(7);
    EXPECT_EQ(fields(v[0].sensor_battery.status, v[1].sensor_battery.status, v[2].sensor_battery.status,
                     v[3].sensor_battery.status, v[4].sensor_battery.status),
              "7|8|4|5|0");
    EXPECT_EQ(drain(state_log).size(), 4u);

    for (int i : {0, 1}) sensor_settings.kvt_nx40[i].enable = true;
    auto& n = live().kvt_nx40;
    n[0].sensor_battery.value = 400;    // normal from 0: no record
    n[1].sensor_battery.value = 65535;  // no reading: status 0
    pass(9);
    EXPECT_EQ(fields(n[0].sensor_battery.status, n[1].sensor_battery.status), "1|0");
    EXPECT_TRUE(state_log.empty());
    n[0].sensor_battery.value = 340;
    pass(9);
    EXPECT_EQ(drain(state_log), (std::vector<std::string>{"1700000000,9,1,7,340,1,"}));
}

TEST_F(StateThreadTest, DigitalPortsFollowLevelAndErrortext)
{
    auto& in = sensor_settings.digitalI[2];
    in.enable = true;
    in.errortext_id = 5;
    auto& out = sensor_settings.digitalO[0];
    out.enable = true;
    out.errortext_id = 2;
    live().digitalio[2].value = 1;
    pass(1);
    live().digitalio[2].value = 0;
    live().digitalio[8].value = 1;
    pass(1);
    live().digitalio[2].value = 1;
    pass(1);
    live().digitalio[2].value = 7;  // not a level: state kept
    pass(1);
    EXPECT_EQ(live().digitalio[2].status, 1);
    EXPECT_EQ(live().digitalio[0].status, 0) << "disabled port";
    EXPECT_EQ(drain(state_log),
              (std::vector<std::string>{"1700000000,1,3,1,1,0,", "1700000000,1,9,1,0,0,", "1700000000,1,3,3,0,1,",
                                        "1700000000,1,9,2,1,1,", "1700000000,1,3,1,1,3,"}));
}

TEST_F(StateThreadTest, VlxaHumidityUsesItsOwnLevelsAndTrend)
{
    // Sensor 1 judged per pass, sensor 2 by its humidity trend rule. The
    // temperature side has levels and a trend rule that would show if used.
    sensor_settings.trend[1] = {true, 1, 0, 50, 50, 50, 50, false};
    for (int i : {0, 1}) {
        auto& v = sensor_settings.veloxa[i];
        v.enable = true;  // the sensor's enable, not h_enable
        set_levels(&v.t_alert_max_val, {100, 90, 80, 70, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN});
        set_levels(&v.h_alert_max_val, {8000, 7800, 7000, 6800, 3000, 3200, 2000, 2200});
        v.t_trend_id = i == 0 ? 1 : 0;
        v.h_trend_id = i == 0 ? 0 : 1;
    }
    auto& h = live().veloxa;
    h[0].sensor_humidity.value = 7500;
    pass(6);
    EXPECT_EQ(h[0].sensor_humidity.status, 6);
    h[0].sensor_humidity.value = 1500;
    pass(6);
    EXPECT_EQ(h[0].sensor_humidity.status, 8);
    EXPECT_EQ(drain(state_log), (std::vector<std::string>{"1700000000,6,1,6,7500,0,", "1700000000,6,1,8,1500,6,"}));

    run_minutes(6, 1, [&](int, int k) { h[1].sensor_humidity.value = k < 300 ? 2500 : 5000; });
    EXPECT_EQ(h[1].sensor_humidity.status, 7) << "half the minute below the lower caution level";
    EXPECT_EQ(h[0].sensor_humidity.status, 8) << "a per-pass sensor keeps its state at the minute step";
    // The temperature side owns the sensor's trend table entry.
    EXPECT_EQ(fields(monitor->trend_per->veloxa[1].alert_min, monitor->trend_per->veloxa[1].caution_min), "0|0");
}

TEST_F(StateThreadTest, AnalogTrendOnBothSidesCountsOnlyRealReadings)
{
    // Every input shares one one-minute rule with a limit of its own per
    // threshold; each case gives an input its values over the minute.
    sensor_settings.trend[2] = {true, 1, 0, 50, 40, 50, 60, false};
    struct Case {
        const char* what;
        std::function<int(int)> value_at;
        int state;
    } cases[] = {
        {"half at the upper alert level", [](int k) { return k < 300 ? 3000 : 2000; }, 5},
        {"40 % below the lower alert level", [](int k) { return k < 240 ? 900 : 2000; }, 8},
        {"one sample short of it", [](int k) { return k < 239 ? 900 : 2000; }, 1},
        {"half below the lower caution level", [](int k) { return k < 300 ? 1200 : 2000; }, 1},
        {"60 % below the lower caution level", [](int k) { return k < 360 ? 1200 : 2000; }, 7},
        {"missing readings are no exceedances", [](int k) { return k < 599 ? 65535 : 2000; }, 1},
        {"a missing reading at the step is an error", [](int k) { return k < 300 ? 3000 : 65535; }, 4},
    };
    const int n = static_cast<int>(std::size(cases));
    for (int i = 0; i < n; ++i) {
        auto& a = sensor_settings.analog[i];
        a.enable = true;
        a.trend_id = 2;
        set_thresholds(a, 3000, 2900, 2500, 2400, 1500, 1600, 1000, 1100);
    }
    run_minutes(2, 1, [&](int, int k) {
        for (int i = 0; i < n; ++i) live().analog[i].value = cases[i].value_at(k);
    });
    for (int i = 0; i < n; ++i) EXPECT_EQ(live().analog[i].status, cases[i].state) << cases[i].what;
    EXPECT_EQ(fields(monitor->trend_per->analog[1].alert_min, monitor->trend_per->analog[1].con), "40|8");
    EXPECT_EQ(monitor->trend_per->analog[5].alert_max, 0) << "65535 counted as an exceedance";
    EXPECT_DOUBLE_EQ(trend_share(10, 0), 0.0) << "a window of no minutes holds no share";
}

TEST_F(StateThreadTest, HalfOfATenMinuteWindowEntersUpperAlert)
{
    sensor_settings.trend[2] = {true, 10, 50, 50, 50, 50, 50, false};
    for (int i : {0, 1}) {
        auto& p = sensor_settings.onewire_temperature[i];
        p.enable = true;
        p.trend_id = 2;
        set_thresholds(p, 3000, 2800, 2500, 2300, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    }
    auto& c = live().onewire_temperature;
    // Probe 1: 3000 samples of the 6000 at the alert level; probe 2 one fewer.
    run_minutes(3, 10, [&](int m, int k) {
        c[0].value = m < 5 ? 3000 : 2000;
        c[1].value = (m < 5 && !(m == 0 && k == 0)) ? 3000 : 2000;
    });
    EXPECT_EQ(c[0].status, 5);
    EXPECT_EQ(c[1].status, 1) << "2999 of 6000 samples is below half";
    const auto& tp = monitor->trend_per->onewire_temperature[0];
    EXPECT_EQ(fields(tp.alert_max, tp.caution_max, tp.con), "50|50|5");
    // Nothing was judged per pass: the first record comes at the first step.
    auto log = drain(state_log);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "1700000000,3,1,1,3000,0,") << "first minute: 600 of 6000";
}

TEST_F(StateThreadTest, ZeroLimitFiresOnASingleSampleAndWindowsPastTheDaySumAll)
{
    sensor_settings.trend[0] = {true, 1, 0, 0, 100, 100, 100, false};
    sensor_settings.trend[5] = {true, 3000, 0, 10, 100, 100, 100, false};
    auto& a = sensor_settings.analog[0];
    a.enable = true;
    a.trend_id = 0;
    set_thresholds(a, 1000, 900, 800, 700, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    auto& b = sensor_settings.analog[1];
    b = a;
    b.trend_id = 5;
    auto& c = live().analog;
    run_minutes(2, 1, [&](int, int k) {
        c[0].value = k == 300 ? 1000 : 0;
        c[1].value = 1000;
    });
    EXPECT_EQ(c[0].status, 5);
    // 600 samples over a 3000-minute window: 0.033 %, below 10 %.
    EXPECT_EQ(c[1].status, 1);
    EXPECT_EQ(sensor_data.analog[1].alert_max_ls.size(), 1440);
    EXPECT_EQ(sensor_data.analog[1].alert_max_ls.at(0), 600);
    a.enable = false;
    state_minute_step(2, T);
    EXPECT_EQ(c[0].status, 0);
}

TEST_F(StateThreadTest, MinuteCountsInSixteenBitsSumEveryWindowUpToAndPastTheDay)
{
    // Same upper-alert limit, a one-day window and a 3000-minute one.
    sensor_settings.trend[2] = {true, 1440, 0, 11, 100, 100, 100, false};
    sensor_settings.trend[3] = {true, 3000, 0, 11, 100, 100, 100, false};
    for (int i : {0, 1}) {
        auto& a = sensor_settings.analog[i];
        a.enable = true;
        a.trend_id = 2 + i;
        live().analog[i].value = 500;
        set_thresholds(a, 1000, 900, 800, 700, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    }
    // 1500 minutes, oldest first. Upper alert: 60 x 600 (gone past the
    // day), 1380 x 60, 59 x 300, then 599. Lower caution: 1450 minutes of
    // nothing, then 50 x 2.
    for (int m = 0; m < 1500; ++m) {
        const int amax = m < 60 ? 600 : m < 1440 ? 60 : m < 1499 ? 300 : 599;
        for (int i : {0, 1}) {
            sensor_data.analog[i].alert_max = amax;
            sensor_data.analog[i].caution_min = m < 1450 ? 0 : 2;
        }
        state_minute_step(2, T);
    }
    const auto& d = sensor_data.analog[0];
    struct Case {
        const SETTINGS_TABLE::MinuteList* list;
        int minutes;
        long long sum;
    } cases[] = {
        {&d.alert_max_ls, 1, 599},         {&d.alert_max_ls, 60, 18299},      {&d.alert_max_ls, 61, 18359},
        {&d.alert_max_ls, 1440, 101099},   {&d.alert_max_ls, 3000, 101099},   {&d.caution_min_ls, 10, 20},
        {&d.caution_min_ls, 50, 100},      {&d.caution_min_ls, 1440, 100},    {&d.caution_min_ls, 1441, 100},
        {&d.alert_min_ls, 1440, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.list->sum_newest(c.minutes), c.sum) << c.minutes << " minutes";
    EXPECT_EQ(fields(d.alert_max_ls.size(), d.alert_max_ls.at(0), d.alert_max_ls.at(1439)), "1440|599|60");
    // 101099 of 864000 samples is 11.7 %; over 3000 minutes 5.6 %.
    const auto& tp = monitor->trend_per->analog;
    EXPECT_EQ(fields(tp[0].alert_max, live().analog[0].status, tp[1].alert_max, live().analog[1].status), "11|5|5|1");
}

TEST_F(StateThreadTest, TrendJudgedInputsAlarmAtTheMinuteStepOnTheirOwnLimit)
{
    // Alert inputs (3, 5) compare with au_per, caution inputs (2, 4) with
    // cu_per; half of the minute at the abnormal level reaches only cu_per.
    sensor_settings.trend[1] = {true, 1, 50, 60, 50, 40, 50, false};
    struct Case {
        int eid, abnormal, half, full;
    } cases[] = {{3, 1, 1, 3}, {5, 0, 1, 3}, {2, 1, 2, 2}, {4, 0, 2, 2}, {1, 1, 1, 1}};
    for (int i = 0; i < 5; ++i) {
        auto& in = sensor_settings.digitalI[i];
        in.enable = true;
        in.errortext_id = cases[i].eid;
        in.trend_id = 1;
    }
    auto& io = live().digitalio;
    for (int minute : {0, 1}) {
        run_minutes(1, 1, [&](int, int k) {
            for (int i = 0; i < 5; ++i)
                io[i].value = (minute == 1 || k < 300) ? cases[i].abnormal : 1 - cases[i].abnormal;
        });
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(io[i].status, minute ? cases[i].full : cases[i].half) << "errortext " << cases[i].eid;
    }
    auto log = drain(state_log);
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[5], "1700000000,1,1,3,1,1,");
}
