// The event pipeline on the running simulator: configuration edited in the
// factory database before start, inputs flipped on the board and values set
// with kvtsim, results read from the relay lines and the live tables.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <fstream>
#include <thread>

#include "db_test_support.h"
#include "board_lines.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

MONITOR_TABLE::Sensor_condition live(TestSandbox& sb)
{
    return sb.table<MONITOR_TABLE::Sensor_condition>("/tmp/mmapfile_monitor");
}

// True when the ring holds an entry of this type, port, state and value.
bool ring_has(TestSandbox& sb, int type, int port, int state, int value)
{
    static MONITOR_TABLE::Status_Log log;
    if (!sb.read_table("/tmp/mmapfile_status", log)) return false;
    auto scan = [&](const MONITOR_TABLE::StatusEntry* e, int cap, int r, int w) {
        if (!MONITOR_TABLE::ring_indices_valid(r, w, cap)) return false;
        for (int k = r; k != w; k = (k + 1) % cap)
            if (e[k].type == type && e[k].port == port && e[k].state == state && e[k].value == value) return true;
        return false;
    };
    if (type == 1) return scan(log.dio_status_log.dio, 2000, log.dio_status_log.r, log.dio_status_log.w);
    return scan(log.all_status_log.all, 10000, log.all_status_log.r, log.all_status_log.w);
}

}  // namespace

// Digital inputs flipped on the board and analog sources connected with
// kvtsim reach the live table, are judged (analog with and without
// persistence), fill the status log and switch relays; the analog board can
// be pulled and plugged in again.
TEST(EventPipelineE2E, InputsAndAnalogSourcesReachTheRelaysAndTheStatusLogAndSurviveTheBoardBeingPulled)
{
    TestSandbox sb;
    // Input 2 switches relay 2 on; alarm input 5 (errortext 5) is in alert at
    // level 0. Analog inputs 3 and 5: 4-20 mA shown as 0-100.00 (the factory
    // scaling), upper alert above 70.00, cleared below 68.00; input 5 must
    // stay beyond for 3 s. Relay 1 switches on at an alert of input 3; relay
    // 5 starts at 1.
    dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3"))
        .exec("UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=2;"
              "UPDATE webapp_di SET time=0, enable=1, errortext_id=5 WHERE id=5;"
              "UPDATE webapp_ai SET enable=1, alert_max_val=7000, alert_max_clear=6800, err_sampling=0 WHERE id=3;"
              "UPDATE webapp_ai SET enable=1, alert_max_val=7000, alert_max_clear=6800, err_sampling=3 WHERE id=5;"
              "UPDATE webapp_do SET ontype=2, onsensor=4, onstate=8, onenable=1 WHERE id=1;"
              "UPDATE webapp_do SET ontype=1, onsensor=3, onstate=1, onenable=1 WHERE id=2;"
              "UPDATE webapp_do SET doinit=1 WHERE id=5;");
    auto sim = [&](std::vector<std::string> args) { return run_tool("kvtsim", sb.root(), args); };
    auto analog = [&](int i) { return live(sb).analog[i]; };
    auto connection = [&] {
        MONITOR_TABLE::RequestFlg f{};
        sb.read_table("/tmp/mmapfile_flg", f);
        return f.ai_connection;
    };
    auto all_analog_are = [&](int v) {
        for (const auto& e : live(sb).analog)
            if (e.value != v) return false;
        return true;
    };
    ASSERT_EQ(sim({"ai", "3", "12mA"}), 0);
    ASSERT_EQ(sim({"ai", "5", "12mA"}), 0);

    SimProcess p(sb.root(), clock_near_a_minute());
    ASSERT_TRUE(p.wait_started(30000)) << p.console();
    // The monitor takes the levels it finds at its start without announcing them.
    ASSERT_TRUE(p.wait_console("dio_sensor_monitor_thread tid  : ", 5000)) << p.console();
    // Start-up drives every output to its start level.
    for (int k = 0; k < 5; ++k) EXPECT_EQ(sb.gpio(2, BOARD::RELAY[k].line), k == 4 ? 1 : 0) << "relay " << k + 1;
    // The monitor announces input 2 at once and its relay rule follows.
    sb.set_gpio(BOARD::DI[1].chip, BOARD::DI[1].line, 1);
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, BOARD::RELAY[1].line) == 1; }, 2000));
    EXPECT_EQ(live(sb).digitalio[1].value, 1);

    EXPECT_TRUE(wait_until([&] { return analog(2).value == 5000 && analog(4).value == 5000; }, 5000));
    EXPECT_EQ(analog(0).value, 65535) << "disabled input";
    EXPECT_EQ(connection(), 1);
    EXPECT_NE(sb.applog().find("> AI Connection Successful\n"), std::string::npos);

    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    ASSERT_TRUE(wait_until([&] { return analog(2).status == 1 && analog(4).status == 1; }, 3000));
    // Alarm input 5 at level 0 is in alert once the state threads run; level 1 clears it.
    EXPECT_TRUE(wait_until([&] { return live(sb).digitalio[4].status == 3 && ring_has(sb, 1, 5, 3, 0); }, 3000));
    sb.set_gpio(BOARD::DI[4].chip, BOARD::DI[4].line, 1);
    EXPECT_TRUE(wait_until([&] { return live(sb).digitalio[4].status == 1 && ring_has(sb, 1, 5, 1, 1); }, 3000));
    auto t0 = Clock::now();
    ASSERT_EQ(sim({"ai", "3", "16mA"}), 0);
    ASSERT_EQ(sim({"ai", "5", "16mA"}), 0);
    ASSERT_TRUE(wait_until([&] { return analog(2).status == 5; }, 3000)) << "input 3 never in upper alert";
    EXPECT_EQ(analog(2).value, 7500);
    EXPECT_TRUE(wait_until([&] { return ring_has(sb, 2, 3, 5, 7500); }, 3000));
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, BOARD::RELAY[0].line) == 1; }, 3000)) << "relay rule of input 3";

    // Input 5 reads 75.00 as well, but is judged only after 3 s beyond.
    double entered = -1;
    while (since(t0) < 10 && entered < 0) {
        if (analog(4).status == 5) entered = since(t0);
        else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(entered, 0) << "input 5 never in upper alert";
    EXPECT_GE(entered, 2.0) << "judged before its persistence";
    EXPECT_LE(entered, 6.0);
    EXPECT_TRUE(wait_until([&] { return ring_has(sb, 2, 5, 5, 7500); }, 3000));

    // Pulled: every input reads 65535 and enabled ones are in error; plugged
    // in again, the readings come back.
    ASSERT_EQ(sim({"ai", "unplug"}), 0);
    EXPECT_TRUE(wait_until([&] { return all_analog_are(65535) && connection() == 0; }, 2000));
    EXPECT_TRUE(wait_until([&] { return analog(2).status == 4 && ring_has(sb, 2, 3, 4, 65535); }, 3000));
    ASSERT_EQ(sim({"ai", "plug"}), 0);
    ASSERT_TRUE(wait_until([&] { return analog(2).value == 7500; }, 5000)) << analog(2).value;
    EXPECT_EQ(connection(), 1);
    EXPECT_EQ(count_of(sb.applog(), "> AI Disconnection!\n"), 1);
    EXPECT_EQ(count_of(sb.applog(), "> AI Connection Recovery!\n"), 1);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    for (const char* end : {"end sensor_monitor_thread", "end state_log thread", "end ai thread\n"})
        EXPECT_NE(p.console().find(end), std::string::npos) << end;
}
