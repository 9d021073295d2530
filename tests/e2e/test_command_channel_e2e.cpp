// The command channel end to end: kvtctl talking to the simulated service
// through its message queue, the settings writer's rows in the sandbox's
// database, the simulation file and the update command.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <fstream>

#include "common.h"
#include "process.h"
#include "sandbox.h"

namespace {

const std::string KVTCTL = std::string(KVT_BIN_DIR) + "/kvtctl";

// One value of a query, read with a connection of our own.
std::string sql_value(const TestSandbox& sb, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string out = "<no row>";
    if (sqlite3_open_v2(sb.path("/opt/KVT7400/db.sqlite3").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "<open failed>";
    }
    sqlite3_busy_timeout(db, 5000);  // the service may be committing right now
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        out = t ? reinterpret_cast<const char*>(t) : "";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

int kvtctl(const TestSandbox& sb, std::vector<std::string> args, std::string* out = nullptr)
{
    std::string ignored;
    args.insert(args.begin(), {KVTCTL, "-r", sb.root()});
    return run_program(args, out ? out : &ignored);
}

int queue_of(const TestSandbox& sb) { return msgget(ftok(sb.path("/msgq.key").c_str(), 'X'), IPC_CREAT | 0666); }

// System V queues outlive their processes; each test removes its own.
struct QueueCleanup {
    const TestSandbox& sb;
    ~QueueCleanup() { msgctl(queue_of(sb), IPC_RMID, nullptr); }
};

MONITOR_TABLE::Sensor_condition live_table(const TestSandbox& sb)
{
    MONITOR_TABLE::Sensor_condition c{};
    std::ifstream in(sb.path("/tmp/mmapfile_monitor"), std::ios::binary);
    in.read(reinterpret_cast<char*>(&c), sizeof c);
    return c;
}

bool contains(const std::vector<std::string>& lines, const std::string& l)
{
    return std::find(lines.begin(), lines.end(), l) != lines.end();
}

}  // namespace

TEST(CmdEndToEnd, KvtctlSendsTheWebUiTextsAndReadsTheTables)
{
    TestSandbox sb(false);
    QueueCleanup cleanup{sb};
    int qid = queue_of(sb);
    ASSERT_GE(qid, 0);
    struct Case {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{"send", "29,1,15,"}, "29,1,15,"},
        {{"relay", "1", "toggle"}, "3,8,0,"},
        {{"relay", "8", "pulse", "5"}, "3,15,5,"},
        {{"clear-log", "all"}, "31,3,"},
        {{"clear-log", "dio"}, "31,4,"},
        {{"export-log", "all"}, "31,1,"},
        {{"export-log", "dio"}, "31,2,"},
        {{"restart"}, "60,7,"},
        {{"update"}, "60,4,"},
        {{"simulate", "make"}, "61,1,"},
        {{"simulate", "load"}, "61,2,"},
        {{"simulate", "stop"}, "61,3,"},
    };
    struct {
        long type;
        char text[8192];
    } m;
    for (const auto& c : cases) {
        ASSERT_EQ(kvtctl(sb, c.args), 0) << c.args[0];
        ssize_t n = msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT);
        ASSERT_GT(n, 0) << "msgrcv after " << c.args[0];
        EXPECT_EQ(m.type, 1);
        EXPECT_EQ(std::string(m.text, static_cast<size_t>(n)), c.text + '\0') << c.args[0];
    }
    // Without -r the sandbox comes from KVT_ROOT.
    std::string out;
    ASSERT_EQ(run_program({KVTCTL, "send", "24,600,"}, &out, {"KVT_ROOT=" + sb.root()}), 0) << out;
    ASSERT_GT(msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT), 0);
    EXPECT_STREQ(m.text, "24,600,");

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {}, {"relay", "9", "toggle"}, {"relay", "1", "pulse", "x"}, {"clear-log", "some"}, {"bogus"},
             {"send"}, {"show", "moon"}, {"flags", "no_such_flag"}, {"watch", "-1"}})
        EXPECT_EQ(kvtctl(sb, bad), 2) << (bad.empty() ? "(none)" : bad[0]);
    EXPECT_EQ(run_program({KVTCTL, "--help"}, &out), 0);
    EXPECT_NE(out.find("usage: kvtctl"), std::string::npos);
    EXPECT_LT(msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT), 0) << "a refused form sent something";

    // The tables do not exist before the service made them.
    EXPECT_EQ(kvtctl(sb, {"show"}), 1);

    monitor = new MONITOR_TABLE_CLASS();
    ASSERT_EQ(mmap_open(), 0);
    monitor->initializeData();
    monitor->sensor_condition->digitalio[8].value = 1;
    monitor->sensor_condition->onewire_temperature[4] = {2350, 6};
    monitor->sensor_condition->analog[0] = {65535, 0};
    monitor->requestflg->network_set_configuration = 4;
    auto& all = monitor->status_log->all_status_log;
    // A wrapped ring: the oldest entries at the end of the array.
    all.r = MONITOR_TABLE::ALL_LOG_NUM - 2;
    all.w = 2;
    int32_t order[] = {1, 2, 3, 4};
    int slots[] = {MONITOR_TABLE::ALL_LOG_NUM - 2, MONITOR_TABLE::ALL_LOG_NUM - 1, 0, 1};
    for (int k = 0; k < 4; ++k) all.all[slots[k]] = {1700000000 + k, 3, 5, 5, order[k] * 100};

    ASSERT_EQ(kvtctl(sb, {"show"}, &out), 0);
    EXPECT_NE(out.find("dio       9 relay          1  0 none"), std::string::npos) << out;
    EXPECT_NE(out.find("temp      5             2350  6 upper-caution"), std::string::npos) << out;
    EXPECT_EQ(out.find("ai        1"), std::string::npos) << "a channel without reading shown:\n" << out;
    ASSERT_EQ(kvtctl(sb, {"show", "ai", "--all"}, &out), 0);
    EXPECT_NE(out.find("ai        1              ---  0 none"), std::string::npos) << out;

    ASSERT_EQ(kvtctl(sb, {"flags", "network_set_configuration"}, &out), 0);
    EXPECT_EQ(out, "4\n");
    ASSERT_EQ(kvtctl(sb, {"flags", "set", "mail_client_set_configuration", "4"}), 0);
    EXPECT_EQ(monitor->requestflg->mail_client_set_configuration, 4);

    ASSERT_EQ(kvtctl(sb, {"log"}, &out), 0);
    size_t p1 = out.find("value 100"), p4 = out.find("value 400");
    EXPECT_NE(p1, std::string::npos) << out;
    EXPECT_NE(p4, std::string::npos) << out;
    EXPECT_LT(p1, p4);
    EXPECT_EQ(count_of(out, "\n"), 4);
    ASSERT_EQ(kvtctl(sb, {"log", "--last", "1"}, &out), 0);
    EXPECT_EQ(count_of(out, "\n"), 1);
    EXPECT_NE(out.find("value 400"), std::string::npos);
    all.r = 20000;  // damaged indices are reported, not walked
    EXPECT_EQ(kvtctl(sb, {"log"}, &out), 1);

    ASSERT_EQ(kvtctl(sb, {"watch", "0.05", "--count", "3"}, &out), 0);
    EXPECT_EQ(count_of(out, "kvtctl watch"), 3);
    EXPECT_NE(out.find("network_set_configuration=4"), std::string::npos) << out;
}

TEST(CmdEndToEnd, CommandsThroughKvtctlReachTheServiceAndItsDatabase)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb};
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();

    // A settings command reaches its row within a second.
    ASSERT_EQ(kvtctl(sb, {"send", "29,1,17,"}), 0);
    EXPECT_TRUE(wait_until([&] { return sql_value(sb, "SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=1") == "17"; }, 1000))
        << p.console();
    ASSERT_EQ(kvtctl(sb, {"send", "1,1,O'Brien,1,0,on,off,0,0,0,"}), 0);
    EXPECT_TRUE(wait_until([&] { return sql_value(sb, "SELECT name FROM webapp_di WHERE id=1") == "O'Brien"; }, 2000));

    // Malformed commands change nothing and the service keeps going.
    const std::string di2 = sql_value(sb, "SELECT name||enable||time FROM webapp_di WHERE id=2");
    for (const std::string& bad : {std::string("1,99,x,1,"), std::string("1,0,x,1,"), std::string("15,abc,x,"),
                                   std::string("xyz"), std::string(""), std::string("1,2,") + std::string(4000, 'z') + ",",
                                   std::string("30,9,1,1,1,1,1,1,"), std::string("1,2,"), std::string("3,99,0,")})
        ASSERT_EQ(kvtctl(sb, {"send", bad}), 0);
    ASSERT_EQ(kvtctl(sb, {"send", "29,2,23,"}), 0);
    EXPECT_TRUE(wait_until([&] { return sql_value(sb, "SELECT cycle_minutes FROM webapp_smartmesh_cycle WHERE id=2") == "23"; }, 2000))
        << p.console();
    EXPECT_EQ(sql_value(sb, "SELECT name||enable||time FROM webapp_di WHERE id=2"), di2);
    EXPECT_TRUE(p.running());
    EXPECT_NE(p.console().find("command of more than 2048 bytes refused"), std::string::npos);

    // Simulation: write the file, flip input 1, load it; the monitor takes it.
    ASSERT_EQ(kvtctl(sb, {"simulate", "make"}), 0);
    ASSERT_TRUE(wait_until([&] { return sb.exists("/tmp/KVT_7400_debug.csv"); }, 2000));
    std::string file = sb.read("/tmp/KVT_7400_debug.csv");
    size_t nl = file.find('\n');
    ASSERT_NE(nl, std::string::npos);
    int level = file[nl - 1] - '0';
    file[nl - 1] = static_cast<char>('0' + (1 - level));
    sb.write("/tmp/KVT_7400_debug.csv", file);
    ASSERT_EQ(kvtctl(sb, {"simulate", "load"}), 0);
    EXPECT_TRUE(wait_until([&] { return live_table(sb).digitalio[0].value == 1 - level; }, 10000)) << p.console();
    EXPECT_FALSE(sb.exists("/tmp/KVT_7400_debug.csv"));

    // The update command ends the service quietly: no restart sequence.
    ASSERT_EQ(kvtctl(sb, {"update"}), 0);
    EXPECT_EQ(p.wait_exit(10000), 0) << p.console();
    EXPECT_NE(sb.read("/log/app_log/applog1.txt").find("> システムのアップデートを行います\n"), std::string::npos);
    EXPECT_FALSE(contains(sb.journal(), "timeout 60s systemctl stop kvt-uwsgi"));
    EXPECT_FALSE(contains(sb.fpga_writes(), "0x51000004 6"));
}
