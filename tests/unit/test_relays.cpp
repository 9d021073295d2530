// Relay outputs on the simulated board: switching codes, holds, pulses,
// relay scenarios and the storing of remote relay rules.
#include <chrono>
#include <future>

#include "event_fixture.h"

using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

using RelayTest = EventsTest;

TEST_F(RelayTest, SwitchCodesReachBoardAndTable)
{
    struct Case {
        int start, code, expected;
    } cases[] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {1, 1, 1}, {0, 2, 0}, {1, 2, 1}, {0, 3, 1}, {1, 3, 0}};
    for (const auto& c : cases) {
        for (int k = 0; k < 8; ++k) {
            do_ctl(k, c.start);
            do_ctl(k, c.code);
            ASSERT_EQ(relay_line(k), c.expected) << "output " << k << " start " << c.start << " code " << c.code;
            ASSERT_EQ(live().digitalio[8 + k].value, c.expected) << "table, output " << k;
        }
    }
}

TEST_F(RelayTest, OutOfRangeIndicesAndCodesChangeNothing)
{
    for (int k = 0; k < 8; ++k) do_ctl(k, 1);
    sensor_settings.digitalO[3].ontype = 9;
    for (int port : {-1, 8, 100}) {
        EXPECT_EQ(do_ctl(port, 0), 0);
        EXPECT_EQ(do_pulse(port, 1), 0);
    }
    for (int code : {-1, 4, 1000}) EXPECT_EQ(do_ctl(2, code), 0);
    for (unsigned num : {0u, 8u, 17u, 0xFFFFFFFFu}) EXPECT_EQ(check_scenario_do(0x81000302, num, 1), 0);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(fields(relay_line(k), live().digitalio[8 + k].value, sensor_settings.digitalO[k].changeflg), "1|1|0") << k;
    EXPECT_EQ(sensor_settings.digitalO[3].ontype, 9);
    EXPECT_TRUE(db_save.empty());
    EXPECT_EQ(live().analog[0].value, 65535);
}

TEST_F(RelayTest, HoldOfOneOutputDoesNotBlockAnother)
{
    sensor_settings.digitalO[0].dokeep = true;
    auto t0 = Clock::now();
    auto held = std::async(std::launch::async, [] { return do_ctl(0, 1); });
    ASSERT_TRUE(wait_until([&] { return relay_line(0) == 1; }, 2000));
    auto t1 = Clock::now();
    do_ctl(1, 1);
    double other = seconds_since(t1);
    held.get();
    double hold = seconds_since(t0);
    EXPECT_EQ(relay_line(1), 1);
    EXPECT_LT(other, 0.5) << "output 2 waited for output 1's hold";
    EXPECT_GE(hold, 1.0) << "dokeep holds the caller a second";
}

TEST_F(RelayTest, PulseLastsItsLengthWithAndWithoutHold)
{
    // Output 1 without hold, output 2 with it; both rest at 0 (doinit 0).
    sensor_settings.digitalO[1].dokeep = true;
    const auto t0 = Clock::now();
    auto p0 = std::async(std::launch::async, [] { return do_pulse(0, 2); });
    auto p1 = std::async(std::launch::async, [] { return do_pulse(1, 2); });
    ASSERT_TRUE(wait_until([&] { return relay_line(0) == 1 && relay_line(1) == 1; }, 1000));
    double fall[2] = {0, 0};
    ASSERT_TRUE(wait_until(
        [&] {
            for (int k = 0; k < 2; ++k)
                if (fall[k] == 0 && relay_line(k) == 0) fall[k] = seconds_since(t0);
            return fall[0] > 0 && fall[1] > 0;
        },
        6000));
    p0.get();
    p1.get();
    for (int k = 0; k < 2; ++k) {
        EXPECT_GE(fall[k], 1.9) << "output " << k;
        EXPECT_LT(fall[k], 3.5) << "output " << k;
        EXPECT_EQ(live().digitalio[8 + k].value, 0);
    }
}

TEST_F(RelayTest, StopCutsALongPulseShortAndRestsTheOutput)
{
    // An hour-long pulse must not hold the caller (and so the shutdown).
    auto t0 = Clock::now();
    auto p = std::async(std::launch::async, [] { return do_pulse(3, 3600); });
    ASSERT_TRUE(wait_until([&] { return relay_line(3) == 1; }, 2000));
    stop_running();
    ASSERT_EQ(p.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    control = 1;
    EXPECT_LT(seconds_since(t0), 3.0);
    EXPECT_EQ(relay_line(3), 0);
    EXPECT_EQ(live().digitalio[8 + 3].value, 0);
}

TEST_F(RelayTest, OnRulesMatchTheirKindPortStateAndCallerOnly)
{
    // The ON rule of output 2 (kind, port selector, state bits, enable) against one event.
    struct Case {
        int type, sensor, states, enable;
        int ev_type, port, state;
        double level;
        int flg;
        bool on;
    } cases[] = {
        // Analog, every port (selector 1), alert bit: every alert state and nothing else.
        {2, 1, 8, 1, 2, 1, 5, 3050, 0, true},
        {2, 1, 8, 1, 2, 8, 8, 3050, 0, true},
        {2, 1, 8, 1, 2, 3, 3, 3050, 0, true},
        {2, 1, 8, 1, 2, 4, 6, 3050, 0, false},
        {2, 1, 8, 1, 2, 4, 1, 3050, 0, false},
        {2, 1, 8, 1, 2, 4, 4, 3050, 0, false},
        {2, 1, 8, 1, 2, 4, 9, 3050, 0, false},
        {2, 1, 8, 1, 2, 4, -1, 3050, 0, false},
        {2, 1, 8, 1, 3, 1, 5, 3050, 0, false},  // another kind
        // Selector 6 is probe 5 only, 0 matches no port; a disabled rule matches nothing.
        {3, 6, 8, 1, 3, 4, 5, 0, 0, false},
        {3, 6, 8, 1, 3, 5, 5, 0, 0, true},
        {3, 0, 8, 1, 3, 5, 5, 0, 0, false},
        {3, 1, 8, 0, 3, 5, 5, 0, 0, false},
        // Digital input 1, level 1 or alert state: the monitor's call (flg 1)
        // tests the level only, the state log's (flg 0) the state as well.
        {1, 2, 9, 1, 1, 1, 1, 1, 1, true},
        {1, 2, 9, 1, 1, 1, 3, 0, 1, false},
        {1, 2, 9, 1, 1, 1, 3, 0, 0, true},
        {1, 2, 9, 1, 1, 1, 1, 0, 0, false},
        {1, 2, 9, 1, 1, 1, 1, 1, 0, true},
        {1, 2, 2, 1, 1, 1, 1, 0, 1, true},  // the OFF bit: a level other than 1
    };
    auto& o = sensor_settings.digitalO[1];
    for (const auto& c : cases) {
        on_rule(o, c.type, c.sensor, c.states);
        o.onenable = c.enable;
        do_ctl(1, 0);
        dio_senario_check(c.ev_type, c.port, c.state, c.level, c.flg);
        EXPECT_EQ(relay_line(1), c.on ? 1 : 0) << "rule " << fields(c.type, c.sensor, c.states, c.enable) << " event "
                                               << fields(c.ev_type, c.port, c.state, c.level, c.flg);
    }
}

TEST_F(RelayTest, OnAndOffMatchingTheSameEventEndAtZero)
{
    on_rule(sensor_settings.digitalO[6], 2, 1, 8);
    off_rule(sensor_settings.digitalO[6], 2, 1, 8);
    do_ctl(6, 1);
    dio_senario_check(2, 1, 5, 3050, 0);
    EXPECT_EQ(relay_line(6), 0);
    EXPECT_EQ(live().digitalio[14].value, 0);
}

TEST_F(RelayTest, RemoteRuleIsStoredAndQueuedForSaving)
{
    // The sensor selector takes 16 bits: a wide port number survives whole.
    check_scenario_do(0x85123402u, 9, 1);
    const auto& first = sensor_settings.digitalO[0];
    EXPECT_EQ(fields(first.ontype, first.onsensor, first.onstate, first.onenable, first.changeflg), "2|4660|5|1|1");
    check_scenario_do(0x3F00FF09u, 16, 0);
    const auto& last = sensor_settings.digitalO[7];
    EXPECT_EQ(fields(last.offtype, last.offsensor, last.offstate, last.offenable), "9|255|63|0");
    EXPECT_EQ(last.ontype, 0) << "the ON side is left alone";
    EXPECT_EQ(drain(db_save), (std::vector<std::string>{"2,0,", "2,7,"}));
}
