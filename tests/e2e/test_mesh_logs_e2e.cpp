// Wireless mesh reports and the data logs on the running simulator: report
// files written with kvtsim, values read back from the live table, and the
// daily files around a midnight under libfaketime's clock. (VLXA reports
// written with kvtsim reach the service in the mail reports' run.)
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>

#include "db_test_support.h"
#include "process.h"
#include "sandbox.h"

namespace {

// "value status" of one live channel, as kvtsim prints it.
std::string live(const TestSandbox& sb, const char* kind, const char* port)
{
    std::string out;
    run_tool("kvtsim", sb.root(), {"value", kind, port}, &out);
    return out.substr(0, out.find(' '));
}

int mesh(const TestSandbox& sb, const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv = {KVT_SIMTOOL_BIN, "-r", sb.root(), "mesh"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    return run_program(argv, &out, env);
}

const char* const NX40_1_DAY1 = "/tmp/sensor_log/MeshTemp_01-50/2026/12/20261231_MeshTemp_01-50.csv";
const char* const NX40_1_DAY2 = "/tmp/sensor_log/MeshTemp_01-50/2027/01/20270101_MeshTemp_01-50.csv";

}  // namespace

TEST(MeshE2E, ReportsReachTheLiveTableAgeOutAndHalfWrittenFieldsReadNoReading)
{
    TestSandbox sb;
    QueueCleanup q{sb.root()};
    dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3"))
        .exec("UPDATE webapp_nx40 SET enable=1, device_ID='0a:1b:2c' WHERE id=1;");
    ASSERT_EQ(mesh(sb, {"nx40", "0a:1b:2c", "5", "2150", "330"}), 0);
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    EXPECT_TRUE(wait_until([&] { return live(sb, "nx40-temp", "1") == "2150"; }, 5000));
    EXPECT_EQ(live(sb, "nx40-bat", "1"), "330");

    // Older than the factory error time of 300 s.
    ASSERT_EQ(mesh(sb, {"nx40", "0a:1b:2c", "400", "2160", "340"}), 0);
    EXPECT_TRUE(wait_until([&] { return live(sb, "nx40-temp", "1") == "65535"; }, 5000));
    EXPECT_EQ(live(sb, "nx40-bat", "1"), "330") << "the battery keeps its last reading";

    // A collector caught halfway: a recent report without its battery field.
    // The battery is no reading, not a reading of 0 that would sound a
    // battery alert.
    sb.write("/tmp/smartmesh/KVT-MS-NX40/0A-1B-2C.csv", std::to_string(std::time(nullptr) - 5) + ",2170");
    EXPECT_TRUE(wait_until([&] { return live(sb, "nx40-temp", "1") == "2170"; }, 5000));
    EXPECT_EQ(live(sb, "nx40-bat", "1"), "65535");

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_NE(p.console().find("end NX40_sensor_monitor_thread"), std::string::npos);
    EXPECT_NE(p.console().find("end VLXA_sensor_monitor_thread"), std::string::npos);
}

TEST(DataLogE2E, MidnightStartsNewDailyFilesAndARenameKeepsEveryLine)
{
    if (std::string(KVT_FAKETIME_LIB).empty()) GTEST_SKIP() << "libfaketime is not installed";
    // Four times as fast, from a little before midnight.
    const std::vector<std::string> clock = {"LD_PRELOAD=" KVT_FAKETIME_LIB, "FAKETIME=@2026-12-31 23:58:45 x4",
                                            "FAKETIME_DONT_FAKE_MONOTONIC=1"};
    TestSandbox sb;
    QueueCleanup q{sb.root()};
    dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3"))
        .exec("UPDATE webapp_nx40 SET enable=1, log=1, name='Rack A', device_ID='0a:1b:2c' WHERE id=1;"
              "UPDATE webapp_sensor_log_cycle SET cycle_minutes=5 WHERE id=8;");
    ASSERT_EQ(mesh(sb, {"nx40", "0a:1b:2c", "0", "2150", "330"}, clock), 0);
    SimProcess p(sb.root(), clock);
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    ASSERT_TRUE(wait_until([&] { return lines_of(sb.read(NX40_1_DAY2)).size() >= 2; }, 60000)) << p.console();
    const auto day1 = lines_of(sb.read(NX40_1_DAY1));
    ASSERT_GE(day1.size(), 3u);
    EXPECT_EQ(day1[0].rfind("\xEF\xBB\xBF日付,Rack A,,NX40_2,,", 0), 0u) << day1[0];
    EXPECT_EQ(day1[1].rfind("2026/12/31 23:59:", 0), 0u) << day1[1];
    EXPECT_EQ(lines_of(sb.read(NX40_1_DAY2))[1].rfind("2027/01/01 00:00:0", 0), 0u);
    EXPECT_EQ(sb.read("/tmp/extra_log/MeshTemp/extra20261231.csv").rfind("2026/12/31 23:59:00,21.50,", 0), 0u);
    EXPECT_TRUE(wait_until([&] { return sb.exists("/tmp/extra_log/MeshTemp/extra20270101.csv"); }, 5000));

    // The web UI renames sensor 1: today's header changes, no line is lost.
    const auto before = lines_of(sb.read(NX40_1_DAY2));
    ASSERT_EQ(run_tool("kvtctl", sb.root(),
                       {"send", "25,1,Rack B,1,0a:1b:2c,2147483647,2147483647,2147483647,2147483647,"
                                "-2147483648,-2147483648,-2147483648,-2147483648,0,1,"}),
              0);
    ASSERT_TRUE(wait_until([&] { return sb.read(NX40_1_DAY2).find("Rack B") != std::string::npos; }, 10000));
    const auto after = lines_of(sb.read(NX40_1_DAY2));
    EXPECT_EQ(after[0].rfind("\xEF\xBB\xBF日付,Rack B,,NX40_2,,", 0), 0u) << after[0];
    ASSERT_GE(after.size(), before.size());
    for (size_t k = 1; k < before.size(); ++k) EXPECT_EQ(after[k], before[k]) << "line " << k;

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_EQ(sb.read(std::string("/log") + (NX40_1_DAY2 + 4)), sb.read(NX40_1_DAY2)) << "copied at stop";
}
