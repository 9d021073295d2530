// The event pipeline on the running simulator: configuration edited in the
// factory database before start, inputs flipped on the board and values set
// with kvtsim, results read from the relay lines and the live tables.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "db_test_support.h"
#include "board_lines.h"
#include "monitor_table.h"
#include "process.h"
#include "sandbox.h"

namespace {


template <typename T>
bool read_table(TestSandbox& sb, const char* service_path, T& out)
{
    std::ifstream in(sb.path(service_path), std::ios::binary);
    return in.read(reinterpret_cast<char*>(&out), sizeof out) && in.gcount() == sizeof out;
}

MONITOR_TABLE::Sensor_condition live(TestSandbox& sb)
{
    MONITOR_TABLE::Sensor_condition c{};
    read_table(sb, "/tmp/mmapfile_monitor", c);
    return c;
}

// True when the ring holds an entry of this type, port, state and value.
bool ring_has(TestSandbox& sb, int type, int port, int state, int value)
{
    static MONITOR_TABLE::Status_Log log;
    if (!read_table(sb, "/tmp/mmapfile_status", log)) return false;
    auto scan = [&](const MONITOR_TABLE::StatusEntry* e, int cap, int r, int w) {
        if (!MONITOR_TABLE::ring_indices_valid(r, w, cap)) return false;
        for (int k = r; k != w; k = (k + 1) % cap)
            if (e[k].type == type && e[k].port == port && e[k].state == state && e[k].value == value) return true;
        return false;
    };
    if (type == 1) return scan(log.dio_status_log.dio, 2000, log.dio_status_log.r, log.dio_status_log.w);
    return scan(log.all_status_log.all, 10000, log.all_status_log.r, log.all_status_log.w);
}

// The state threads start on the next whole minute; where libfaketime is
// installed the service's clock starts a few seconds before one.
std::vector<std::string> clock_near_a_minute()
{
    if (std::string(KVT_FAKETIME_LIB).empty()) return {};
    return {"LD_PRELOAD=" KVT_FAKETIME_LIB, "FAKETIME=@2026-01-05 10:00:52", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

}  // namespace

TEST(EventPipelineE2E, InputsAndStatesReachTheRelaysAndTheStatusLog)
{
    TestSandbox sb;
    dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3"))
        .exec("UPDATE webapp_di SET time=0, enable=1, errortext_id=1 WHERE id=2;"
              "UPDATE webapp_di SET time=0, enable=1, errortext_id=5 WHERE id=5;"
              "UPDATE webapp_ai SET enable=1, alert_max_val=3000, alert_max_clear=2900, err_sampling=0 WHERE id=1;"
              "UPDATE webapp_do SET ontype=2, onsensor=1, onstate=8, onenable=1 WHERE id=1;"
              "UPDATE webapp_do SET ontype=1, onsensor=3, onstate=1, onenable=1 WHERE id=2;"
              "UPDATE webapp_do SET doinit=1 WHERE id=5;");
    SimProcess p(sb.root(), clock_near_a_minute());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    // Start-up drives every output to its start level.
    for (int k = 0; k < 5; ++k) EXPECT_EQ(sb.gpio(2, BOARD::RELAY[k].line), k == 4 ? 1 : 0) << "relay " << k + 1;

    // The monitor announces input 2 at once and its relay rule follows.
    sb.set_gpio(BOARD::DI[1].chip, BOARD::DI[1].line, 1);
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, BOARD::RELAY[1].line) == 1; }, 2000));
    EXPECT_EQ(live(sb).digitalio[1].value, 1);

    // Analog 1 beyond its alert level: upper alert in the table and the log
    // ring, and the alert rule of relay 1, once the state threads run.
    ASSERT_EQ(run_tool("kvtsim", sb.root(), {"value", "ai", "1", "3500"}), 0);
    ASSERT_TRUE(p.wait_console("NX40B_sensor_state_thread tid", 75000)) << p.console();
    EXPECT_TRUE(wait_until([&] { return live(sb).analog[0].status == 5 && ring_has(sb, 2, 1, 5, 3500); }, 3000));
    EXPECT_TRUE(wait_until([&] { return sb.gpio(2, BOARD::RELAY[0].line) == 1; }, 3000)) << "alert rule of relay 1";

    // Alarm input 5 (errortext 5) at level 0 is in alert; level 1 clears it.
    EXPECT_TRUE(wait_until([&] { return live(sb).digitalio[4].status == 3 && ring_has(sb, 1, 5, 3, 0); }, 3000));
    sb.set_gpio(BOARD::DI[4].chip, BOARD::DI[4].line, 1);
    EXPECT_TRUE(wait_until([&] { return live(sb).digitalio[4].status == 1 && ring_has(sb, 1, 5, 1, 1); }, 3000));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_NE(p.console().find("end sensor_monitor_thread"), std::string::npos);
    EXPECT_NE(p.console().find("end state_log thread"), std::string::npos);
}
