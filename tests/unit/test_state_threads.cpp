// Judgement passes and minute steps of the state threads, called directly
// with the record time as an argument.
#include "event_fixture.h"

class StatePassTest : public EventsTest {
protected:
    static constexpr long long T = 1700000000;
    void pass(int kind, int n = 1)
    {
        for (int i = 0; i < n; ++i) state_pass(kind, T);
    }
};

TEST_F(StatePassTest, ProbeEntersAndLeavesWithOneRecordPerChange)
{
    auto& p = sensor_settings.onewire_temperature[4];
    p.enable = true;
    set_thresholds(p, 3000, 2800, 2500, 2300, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    auto& el = live().onewire_temperature[4];
    const int values[] = {2000, 2000, 3050, 3050, 2900, 2700, 2200};
    for (int v : values) {
        el.value = v;
        pass(3);
    }
    EXPECT_EQ(el.status, 1);
    EXPECT_EQ(drain(state_log),
              (std::vector<std::string>{"1700000000,3,5,1,2000,0,", "1700000000,3,5,5,3050,1,",
                                        "1700000000,3,5,6,2700,5,", "1700000000,3,5,1,2200,6,"}));
}

TEST_F(StatePassTest, DisabledIsZeroAndMissingReadingIsError)
{
    sensor_settings.onewire_humidity[0].enable = false;
    live().onewire_humidity[0].status = 5;
    sensor_settings.kvt_nx40[9].enable = true;
    set_thresholds(sensor_settings.kvt_nx40[9], OFF_MAX, OFF_MAX, OFF_MAX, OFF_MAX, OFF_MIN, OFF_MIN, OFF_MIN, OFF_MIN);
    sensor_settings.veloxa[2].enable = true;  // humidity judged by the sensor's enable, not h_enable
    sensor_settings.veloxa[2].h_enable = false;
    pass(4);
    pass(8);
    pass(6);
    EXPECT_EQ(live().onewire_humidity[0].status, 0);
    EXPECT_EQ(live().kvt_nx40[9].sensor_temperature.status, 4);
    EXPECT_EQ(live().veloxa[2].sensor_humidity.status, 4);
    EXPECT_EQ(drain(state_log),
              (std::vector<std::string>{"1700000000,8,10,4,65535,0,", "1700000000,6,3,4,65535,0,"}));
}

TEST_F(StatePassTest, AnalogAlarmNeedsItsPersistence)
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
    a.err_sampling = 0;
    el.value = 1100;
    pass(2);
    EXPECT_EQ(el.status, 5) << "no persistence configured";
}

TEST_F(StatePassTest, BatteriesAgainstTheirLowerLevels)
{
    sensor_settings.battery[0] = {260, 270, 280, 290, false};
    sensor_settings.battery[1] = {335, 340, 345, 350, false};
    for (int i : {0, 1, 2, 3}) sensor_settings.veloxa[i].enable = true;
    auto& v = live().veloxa;
    v[0].sensor_battery.value = 270;   // below caution, above alert
    v[1].sensor_battery.value = 250;   // below alert
    v[2].sensor_battery.value = 65535;
    v[3].sensor_battery.value = 10001; // above the fixed upper limit
    v[4].sensor_battery.value = 100;   // disabled
    v[4].sensor_battery.status = 8;
    pass(7);
    EXPECT_EQ(v[0].sensor_battery.status, 7);
    EXPECT_EQ(v[1].sensor_battery.status, 8);
    EXPECT_EQ(v[2].sensor_battery.status, 4);
    EXPECT_EQ(v[3].sensor_battery.status, 5);
    EXPECT_EQ(v[4].sensor_battery.status, 0);
    EXPECT_EQ(drain(state_log).size(), 4u);

    for (int i : {0, 1}) sensor_settings.kvt_nx40[i].enable = true;
    auto& n = live().kvt_nx40;
    n[0].sensor_battery.value = 400;    // normal from 0: no record
    n[1].sensor_battery.value = 65535;  // no reading: status 0
    pass(9);
    EXPECT_EQ(n[0].sensor_battery.status, 1);
    EXPECT_EQ(n[1].sensor_battery.status, 0);
    EXPECT_TRUE(state_log.empty());
    n[0].sensor_battery.value = 340;
    pass(9);
    EXPECT_EQ(drain(state_log), (std::vector<std::string>{"1700000000,9,1,7,340,1,"}));
}

TEST_F(StatePassTest, DigitalPortsFollowLevelAndErrortext)
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

class TrendStepTest : public StatePassTest {
protected:
    // Runs `minutes` minutes of 600 passes; value_at(minute, pass) sets the
    // probe values before each pass; ends with the minute step.
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
};

TEST_F(TrendStepTest, HalfOfTheWindowAtOrAboveEntersUpperAlert)
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
    EXPECT_EQ(tp.alert_max, 50);
    EXPECT_EQ(tp.caution_max, 50);
    EXPECT_EQ(tp.con, 5);
    // Before the minute step nothing was judged per pass.
    auto log = drain(state_log);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "1700000000,3,1,1,3000,0,") << "first minute: 600 of 6000";
}

TEST_F(TrendStepTest, ZeroLimitFiresOnASingleSampleAndWindowsPastTheDaySumAll)
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
    c[0].value = 65535;
    state_minute_step(2, T);
    EXPECT_EQ(c[0].status, 4);
    a.enable = false;
    state_minute_step(2, T);
    EXPECT_EQ(c[0].status, 0);
}

TEST_F(TrendStepTest, TrendJudgedInputAlarmsAtTheMinuteStep)
{
    sensor_settings.trend[1] = {true, 1, 50, 50, 50, 50, 50, false};
    auto& in = sensor_settings.digitalI[0];
    in.enable = true;
    in.errortext_id = 3;
    in.trend_id = 1;
    auto& io = live().digitalio[0];
    run_minutes(1, 1, [&](int, int k) { io.value = k < 300 ? 1 : 0; });
    EXPECT_EQ(io.status, 3);
    run_minutes(1, 1, [&](int, int k) { io.value = k < 299 ? 1 : 0; });
    EXPECT_EQ(io.status, 1);
    EXPECT_EQ(drain(state_log), (std::vector<std::string>{"1700000000,1,1,3,0,0,", "1700000000,1,1,1,0,3,"}));
}

TEST_F(TrendStepTest, MeshKindsLeaveTheirReportFlagAlone)
{
    sensor_settings.trend[3] = {true, 1, 0, 50, 50, 50, 50, false};
    auto& v = sensor_settings.veloxa[0];
    v.enable = true;
    v.t_trend_id = 3;
    v.t_alert_max_val = 1000;
    v.t_alert_max_clear = 900;
    v.t_caution_max_val = v.t_caution_max_clear = OFF_MAX;
    v.t_caution_min_val = v.t_caution_min_clear = v.t_alert_min_val = v.t_alert_min_clear = OFF_MIN;
    monitor->trend_per->veloxa[0].con = 1;
    live().veloxa[0].sensor_temperature.value = 1200;
    run_minutes(5, 1, [](int, int) {});
    EXPECT_EQ(live().veloxa[0].sensor_temperature.status, 5);
    EXPECT_EQ(monitor->trend_per->veloxa[0].alert_max, 100);
    EXPECT_EQ(monitor->trend_per->veloxa[0].con, 1);
}
