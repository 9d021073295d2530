// The settings writer against the sandbox's factory database: what every
// section writes back, batches and their transaction, the follow-ups, and
// the log-storage estimate.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "command.h"
#include "common.h"
#include "db_test_support.h"
#include "deadline.h"
#include "record_text.h"
#include "sandbox.h"
#include "sim_board.h"

namespace {

using namespace SETTINGS_TABLE;

// The service's state over a sandbox with the factory database loaded.
class SettingsWriterTest : public ::testing::Test {
protected:
    TestSandbox sb;

    void SetUp() override
    {
        reset_run_flags();
        ASSERT_FALSE(built_db("db.sqlite3").empty()) << "factory database not built";
        monitor = new MONITOR_TABLE_CLASS();
        ASSERT_EQ(mmap_open(), 0);
        monitor->initializeData();
        ASSERT_EQ(open_db(), 0);
        init_structs();
        dbsave_reset_copies();
        db_save.clear();
    }
    void TearDown() override { close_db(); }

    // One value from the file, through a connection of its own.
    std::string peek(const std::string& sql) { return dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).scalar(sql, true); }
};

std::vector<std::string> traced;
int trace_cb(unsigned, void*, void* stmt, void*)
{
    char* text = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(stmt));
    traced.push_back(text ? text : "");
    sqlite3_free(text);
    return 0;
}
void trace_statements()
{
    traced.clear();
    sqlite3_trace_v2(db_connection(), SQLITE_TRACE_STMT, trace_cb, nullptr);
}

const int SAVED_KINDS[] = {1, 2, 10, 15, 16, 20, 24, 25, 28, 29, 30, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 55, 58, 62, 63};

// The tables of the saved sections whose rows the settings are loaded from;
// network and syslog settings come from the system files instead.
const char* const LOADED_TABLES[] = {
    "webapp_di", "webapp_do", "webapp_ai", "webapp_wire_temp", "webapp_wire_humid", "webapp_vlxa",
    "webapp_SM_errortime", "webapp_nx40", "webapp_bat_config", "webapp_smartmesh_cycle", "webapp_trend_list",
    "webapp_snmp_config", "webapp_snmp_trap_send", "webapp_trap_scenario", "webapp_timer", "webapp_mqttconfig",
    "webapp_mqtt_scenario", "webapp_mailconfig", "webapp_mail_client", "webapp_mail_client_scenario",
    "webapp_mailreport", "webapp_sensor_log_cycle", "webapp_onewire_conf", "webapp_snmp_user", "webapp_snmp_agent",
};

}  // namespace

TEST_F(SettingsWriterTest, EverySectionWritesBackExactlyWhatWasLoaded)
{
    // Load distinct values, fill the rows with others, save every section:
    // each cell must be back at its loaded value unless the writer does not
    // own the column (then it keeps the second filling). A value from the
    // wrong field or row would be neither.
    dbtest::Conn c(sb.path("/opt/KVT7400/db.sqlite3"));
    using Rows = std::vector<std::vector<std::string>>;
    std::map<std::string, Rows> loaded, refilled;
    auto rows_of = [&](const std::string& table) { return c.rows("SELECT * FROM " + table + " ORDER BY id"); };
    int t = 0;
    for (const char* table : LOADED_TABLES) {
        c.fill_distinct(table, t++, 1);
        loaded[table] = rows_of(table);
    }
    init_structs();
    t = 0;
    for (const char* table : LOADED_TABLES) {
        c.fill_distinct(table, t++, 2);
        refilled[table] = rows_of(table);
    }
    admin_settings.snmp_trap_scenario[5].changeflg = true;
    begin_trans();
    for (int kind : SAVED_KINDS) EXPECT_TRUE(save_message(kind, 999)) << "kind " << kind;
    commit_trans();
    EXPECT_FALSE(admin_settings.snmp_trap_scenario[5].changeflg);

    std::set<std::string> unwritten;
    for (const char* table : LOADED_TABLES) {
        auto cols = c.columns_of(table);
        const Rows now = rows_of(table), &was = loaded[table], &other = refilled[table];
        ASSERT_EQ(now.size(), was.size()) << table;
        for (size_t k = 1; k < cols.size(); ++k) {
            std::vector<std::string> kept_ids;
            size_t telling = 0;  // cells whose two fillings differ
            for (size_t r = 0; r < now.size(); ++r) {
                if (std::string(table) == "webapp_sensor_log_cycle" && cols[k] == "cycle_minutes" && r >= 8) {
                    // The retention rows hold the writer's own storage estimate.
                    EXPECT_EQ(now[r][k], std::to_string(estimate_log_storage(sensor_settings, admin_settings).retention));
                    continue;
                }
                if (was[r][k] == other[r][k]) continue;
                ++telling;
                if (now[r][k] == other[r][k]) kept_ids.push_back(now[r][0]);
                else if (now[r][k] != was[r][k] && cols[k] != "ntp")  // the NTP server comes from /etc/ntp.conf
                    ADD_FAILURE() << table << "." << cols[k] << " id " << now[r][0] << " holds " << now[r][k]
                                  << ", loaded " << was[r][k];
            }
            if (telling > 0 && kept_ids.size() == telling) unwritten.insert(std::string(table) + "." + cols[k]);
            else
                for (const auto& id : kept_ids) unwritten.insert(std::string(table) + "@" + id);
        }
    }
    EXPECT_EQ(unwritten, (std::set<std::string>{"webapp_smartmesh_cycle.name", "webapp_trend_list.name",
                                                "webapp_trend_list.percentage", "webapp_sensor_log_cycle.name",
                                                "webapp_trap_scenario@0", "webapp_mail_client_scenario@0"}));
}

// These sections are loaded from the system files, so the round trip above
// cannot see their rows; their columns are read back directly.
TEST_F(SettingsWriterTest, SectionsLoadedFromSystemFilesWriteTheirRows)
{
    admin_settings.network = {"host", true, "10.0.0.2", "255.0.0.0", "10.255.255.255", "10.0.0.1", "d1", "d2", "d3"};
    admin_settings.time = {2026, 3, 5, 12, 7, 9, {"ntp1", "ntp2", ""}};
    admin_settings.syslog = {1, "192.0.2.5", 514};
    begin_trans();
    for (int kind : {32, 36, 55}) EXPECT_TRUE(save_message(kind, 999));
    commit_trans();
    EXPECT_EQ(peek("SELECT net_host||net_dhcp||net_ipaddr||net_mask||net_broadcast||net_gateway||net_dns1||net_dns2||"
                   "net_dns3 FROM webapp_network_config WHERE id=1"),
              "host110.0.0.2255.0.0.010.255.255.25510.0.0.1d1d2d3");
    EXPECT_EQ(peek("SELECT time_year||time_month||time_day||time_hour||time_minute||time_second||ntp FROM webapp_timer"),
              "2026351279ntp1");
    EXPECT_EQ(peek("SELECT syslog_destination||syslog_ip||syslog_port||typeof(syslog_port) FROM webapp_systemlog"),
              "1192.0.2.5514text");
}

TEST_F(SettingsWriterTest, TwoSavesOfOneProbeAreTwoStatementsInOneTransaction)
{
    copy_text(sensor_settings.onewire_temperature[3].name, "Rack 4");
    db_save.push_n(15, 3);
    db_save.push_n(15, 3);
    trace_statements();
    EXPECT_EQ(dbsave_batch(), 2);
    ASSERT_EQ(traced.size(), 4u);
    EXPECT_EQ(traced, (std::vector<std::string>{"BEGIN TRANSACTION", traced[1], traced[1], "COMMIT"}));
    EXPECT_EQ(traced[1].rfind("UPDATE webapp_wire_temp SET name='Rack 4'", 0), 0u) << traced[1];
    EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=4"), "Rack 4");
    EXPECT_EQ(dbsave_batch_count(), 1);
}

// A commit a reader's shared lock keeps out, or an update refused amid the
// batch: nothing of the batch stays, in the file or in memory.
TEST_F(SettingsWriterTest, OneFailingUpdateOrCommitUndoesTheWholeBatchAndReloadsMemory)
{
    dbtest::Conn other(sb.path("/opt/KVT7400/db.sqlite3"));
    auto stored = [&] {
        return fields(peek("SELECT name FROM webapp_di WHERE id=1"), peek("SELECT name FROM webapp_ai WHERE id=1"),
                      peek("SELECT mqtt_port FROM webapp_mqttconfig WHERE id=1"));
    };
    for (bool at_commit : {true, false}) {
        SCOPED_TRACE(at_commit ? "commit blocked" : "update refused");
        std::remove(sb.path("/log/app_log/applog1.txt").c_str());
        const std::string before = stored();
        copy_text(sensor_settings.digitalI[0].name, "changed di");
        copy_text(sensor_settings.analog[0].name, "changed ai");
        admin_settings.mqtt.port = 9999;
        db_save.push_n(1, 0);
        db_save.push_n(37, 999);
        db_save.push_n(10, 0);
        if (at_commit) {
            other.exec("BEGIN");
            other.rows("SELECT * FROM webapp_di");
        } else {
            other.exec("CREATE TRIGGER refuse_mqtt BEFORE UPDATE ON webapp_mqttconfig BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(dbsave_batch(), 3);
        const std::string out = testing::internal::GetCapturedStdout();
        if (at_commit) other.exec("ROLLBACK");
        EXPECT_NE(out.find(at_commit ? "comit ERROR(5)" : "update ERROR7(19)"), std::string::npos) << out.substr(0, 500);
        EXPECT_EQ(stored(), before);
        EXPECT_EQ(fields(sensor_settings.digitalI[0].name, sensor_settings.analog[0].name, admin_settings.mqtt.port),
                  before)
            << "memory reloaded";
        EXPECT_NE(sb.applog().find("> database rollback\n"), std::string::npos);
    }
}

TEST_F(SettingsWriterTest, FollowUpsSetTheSectionFlags)
{
    using R = MONITOR_TABLE::RequestFlg;
    struct Case {
        int kind;
        int32_t R::*flag;
        int value;
    } cases[] = {
        {2, &R::digitalio_set_configuration, 0},       {10, &R::analog_set_configuration, 0},
        {15, &R::onewire_temperature_set_configuration, 0}, {16, &R::onewire_humidity_set_configuration, 0},
        {20, &R::veloxa_set_configuration, 0},         {25, &R::kvt_nx40_set_configuration, 0},
        {30, &R::trend_set_configuration, 0},          {32, &R::network_set_configuration, 4},
        {33, &R::snmp_set_configuration, 0},           {34, &R::snmp_trap_set_configuration, 3},
        {35, &R::snmp_trap_set_configuration, 0},      {36, &R::time_set_configuration, 0},
        {37, &R::mqtt_set_configuration, 4},           {38, &R::mqtt_set_configuration, 0},
        {39, &R::mail_set_configuration, 0},           {40, &R::mail_client_set_configuration, 3},
        {41, &R::mail_client_set_configuration, 0},    {42, &R::mail_report_set_configuration, 0},
        {55, &R::syslog_configuration, 0},             {58, &R::onewire_id_flg, 0},
    };
    for (const auto& c : cases) {
        monitor->requestflg->*c.flag = 77;
        db_save.push_n(c.kind, 999);
        dbsave_batch();
        EXPECT_EQ(monitor->requestflg->*c.flag, c.value) << "kind " << c.kind;
    }
    // A settings-file handshake in progress on a sensor section survives the
    // save: a pending request, or an import the web UI has not seen done yet.
    for (int hs : {1, 3, 4}) {
        monitor->requestflg->onewire_humidity_set_configuration = hs;
        monitor->requestflg->digitalio_set_configuration = hs;
        db_save.push_n(16, 999);
        db_save.push_n(2, 0);
        dbsave_batch();
        EXPECT_EQ(monitor->requestflg->onewire_humidity_set_configuration, hs);
        EXPECT_EQ(monitor->requestflg->digitalio_set_configuration, hs);
    }

    mqttconf = 0;
    db_save.push_n(37, 999);
    dbsave_batch();
    EXPECT_EQ(mqttconf.load(), 1);

    // Saved SNMP access entries get their address and prefix split again.
    copy_text(admin_settings.snmp[2].ipaddr, "172.16.0.0/12");
    db_save.push_n(33, 999);
    dbsave_batch();
    EXPECT_EQ(admin_settings.snmp[2].prefix, 12);
    EXPECT_STREQ(admin_settings.snmp[2].ip_noprefix, "172.16.0.0");
}

TEST_F(SettingsWriterTest, ChangeCounterFollowsRelaysTrendsAndChangedNames)
{
    struct Step {
        const char* what;
        std::function<void()> change;
        int kind, index;
        int counted;       // change-counter steps
        bool estimate;     // storage estimate queued
    } steps[] = {
        {"relay saved", [] {}, 2, 0, 1, false},
        {"trend rules saved", [] {}, 30, 999, 1, false},
        {"input saved", [] {}, 1, 0, 0, false},
        {"analog first save", [] {}, 10, 0, 1, false},
        {"analog unchanged", [] {}, 10, 0, 0, false},
        {"analog log flag", [] { sensor_settings.analog[0].log = !sensor_settings.analog[0].log; }, 10, 0, 0, true},
        {"analog renamed", [] { copy_text(sensor_settings.analog[0].name, "renamed"); }, 10, 0, 1, false},
        {"probe 100 renamed", [] { copy_text(sensor_settings.onewire_temperature[99].name, "x"); }, 15, 99, 1, false},
        {"VLXA renamed: no count", [] { copy_text(sensor_settings.veloxa[0].t_name, "vt"); }, 20, 0, 0, false},
        {"VLXA humidity log", [] { sensor_settings.veloxa[0].h_log = true; }, 20, 0, 0, true},
        {"NX40 log and name", [] {
             sensor_settings.kvt_nx40[60].log = true;
             copy_text(sensor_settings.kvt_nx40[60].name, "n");
         }, 25, 60, 1, true},
    };
    chcnt = 1;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        int before = chcnt;
        ASSERT_TRUE(save_message(s.kind, s.index));
        EXPECT_EQ(chcnt - before, s.counted);
        bool queued = !db_save.empty();
        EXPECT_EQ(queued, s.estimate);
        if (queued) {
            EXPECT_EQ(db_save.front(), "43,999,");
        }
        db_save.clear();
    }
    EXPECT_EQ(sb.read("/opt/kvt/sbin/count.txt"), std::to_string(chcnt.load()));
}

TEST_F(SettingsWriterTest, MessagesOutsideTheSectionsWriteNothing)
{
    for (const char* m : {"15,128,", "2,-1,", "35,192,", "7,0,", "99,999,", "garbage", "1,x,"}) db_save.push(m);
    trace_statements();
    EXPECT_EQ(dbsave_batch(), 7);
    for (const auto& s : traced) EXPECT_EQ(s.find("UPDATE"), std::string::npos) << s;
    EXPECT_TRUE(db_save.empty());
}

TEST(LogStorageTest, RetentionFollowsTheLoggedChannels)
{
    static Sensor_settings s;
    static Admin_settings a;
    struct Case {
        const char* what;
        std::function<void()> setup;
        int retention;
        float total;
        const char* analog_line;  // the first line of the estimate
    } cases[] = {
        {"nothing logged", [] {}, 2147483647, 0.0f, "0,0.000000,0.000000,0.000000"},
        {"eight analog inputs every minute",
         [] {
             for (auto& e : s.analog) e.log = true;
             a.sensor_log_cycle[2].cycle_minutes = 60;
         },
         1042, 0.0047953f, "8,0.157224,0.000000,0.004795"},
        {"all 1-Wire temperatures every 10 s and all NX40 every minute",
         [] {
             for (auto& e : s.onewire_temperature) e.log = true;
             for (auto& e : s.kvt_nx40) e.log = true;
             a.sensor_log_cycle[3].cycle_minutes = 10;
             a.sensor_log_cycle[7].cycle_minutes = 60;
         },
         11, 0.4260339f, "0,0.000000,0.000000,0.000000"},
        {"analog with cycle 0 counts the header only",
         [] {
             s.analog[0].log = true;
             a.sensor_log_cycle[2].cycle_minutes = 0;
         },
         620963, 0.0000080520f, "1,0.000264,0.000000,0.000008"},
        {"VLXA temperature and humidity counted apart",
         [] {
             for (int i = 0; i < 3; ++i) s.veloxa[i].t_log = true;
             for (int i = 10; i < 12; ++i) s.veloxa[i].h_log = true;
             a.sensor_log_cycle[5].cycle_minutes = 300;
             a.sensor_log_cycle[6].cycle_minutes = 60;
         },
         498, 0.0100266f, "0,0.000000,0.000000,0.000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(&s, 0, sizeof s);
        std::memset(&a, 0, sizeof a);
        c.setup();
        LogStorageEstimate e = estimate_log_storage(s, a);
        EXPECT_EQ(e.retention, c.retention);
        EXPECT_NEAR(e.total, c.total, 1e-6);
        ASSERT_EQ(e.lines.size(), 4u);  // analog, 1-Wire temperature, 1-Wire humidity, total
        EXPECT_EQ(e.lines[0], c.analog_line);
    }
}

TEST_F(SettingsWriterTest, ChangesQueuedBeforeTheStopAreWritten)
{
    copy_text(sensor_settings.digitalI[0].name, "last words");
    db_save.push_n(1, 0);
    stop_running();
    dbsave_thread(nullptr);
    EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), "last words");
    EXPECT_TRUE(db_save.empty());
}

// The writer used to look at its queue every 50 ms; a push right after a
// batch now wakes it at once, and the stop ends it without a period's delay.
TEST_F(SettingsWriterTest, ThreadsSleepUntilWork_APushIsTakenWithinMilliseconds)
{
    // Each push follows the previous batch at once: a writer that sleeps a
    // 50 ms period after each batch misses every 45 ms deadline.
    std::thread writer([] { dbsave_thread(nullptr); });
    int taken = 0;
    for (; taken < 5; ++taken) {
        copy_text(sensor_settings.digitalI[0].name, ("push " + std::to_string(taken)).c_str());
        db_save.push_n(1, 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms(45));
        while (!db_save.empty() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        if (!db_save.empty()) break;
    }
    const auto asked = std::chrono::steady_clock::now();
    stop_running();
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(deadline_ms(45)));
    ASSERT_EQ(taken, 5) << "push " << taken << " still queued after 45 ms";
    EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), "push 4");
}

TEST_F(SettingsWriterTest, AnUpdateThatChangesNoRowIsLoggedAndTheRestCommits)
{
    dbtest::Conn(sb.path("/opt/KVT7400/db.sqlite3")).exec("DELETE FROM webapp_di WHERE id=4");
    copy_text(sensor_settings.digitalI[2].name, "kept");
    copy_text(sensor_settings.digitalI[3].name, "lost row");
    db_save.push_n(1, 3);
    db_save.push_n(1, 2);
    dbsave_batch();
    EXPECT_NE(sb.applog().find("update_db: no row changed in webapp_di id=4\n"), std::string::npos);
    EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=3"), "kept");
}

// The follow-up of an analog save: the port setting runs in the same batch,
// and a range it forces (the switch decides) joins that batch.
TEST_F(SettingsWriterTest, SavedAnalogSettingsReachTheConverterInTheSameBatch)
{
    ASSERT_EQ(fpga_open(), 0);
    simboard::Mapping m;
    std::string err;
    ASSERT_TRUE(simboard::board_map(sb.root(), m, err)) << err;
    simboard::ai_set_switch(m.hdr->analog, m.fpga, 1, true);
    // Input 2 set to 0-10 V by the web UI; input 1 to +-5 V, which its
    // current-position switch does not allow.
    sensor_settings.analog[1].range = 4;
    sensor_settings.analog[0].range = 3;
    db_save.push_n(SAVE::AI, 1);
    db_save.push_n(SAVE::AI, 0);
    EXPECT_EQ(dbsave_batch(), 3) << "the forced range's save joins the batch";
    EXPECT_EQ(m.hdr->analog.loaded[1], 6);
    EXPECT_EQ(m.hdr->analog.loaded[0], 3);
    EXPECT_EQ(sensor_settings.analog[0].range, 0);
    EXPECT_EQ(sb.fpga_writes().back(), "0x51000300 128");
    EXPECT_EQ(peek("SELECT range_type FROM webapp_ai WHERE id=1"), "0");
    EXPECT_EQ(peek("SELECT range_type FROM webapp_ai WHERE id=2"), "4");
    simboard::board_unmap(m);
    fpga_close();
    board_forget();
}

// A full database or a held lock in a batch, on the service's own connection
// (a page limit cannot be put on it from another process). Each case prints
// its fault-matrix line.
TEST_F(SettingsWriterTest, FaultFailedBatchIsUndoneWholeAfterOneStatementKeepsEarlierCommitsAndTheNextBatchSaves)
{
    struct Case {
        const char* fault;
        std::function<void()> inject;  // the fault, on from now until the batch ends
        std::function<void()> lift;
        int attempts;  // the failing statement's attempts before the batch gives up
        const char* error;  // what the statement met
    };
    std::unique_ptr<dbtest::Conn> holder;
    std::thread releaser;
    const Case cases[] = {
        // No page beyond those the file has: longer names need new ones.
        {"database full",
         [&] {
             std::string n = peek("PRAGMA page_count");
             ASSERT_EQ(sqlite3_exec(db_connection(), ("PRAGMA max_page_count=" + n).c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
         },
         [] {}, 1, "update ERROR7(13)"},
        // The web UI holding the write lock for longer than the retries; it
        // lets go once the batch was given up (the reload waits for it).
        {"database locked",
         [&] {
             holder = std::make_unique<dbtest::Conn>(sb.path("/opt/KVT7400/db.sqlite3"));
             holder->exec("BEGIN EXCLUSIVE");
             releaser = std::thread([&] {
                 wait_until([&] { return sb.applog().find("> database rollback\n") != std::string::npos; }, 20000);
                 holder->exec("COMMIT");
             });
         },
         [&] {
             releaser.join();
             holder.reset();
         },
         30, "update ERROR7(5)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::remove(sb.path("/log/app_log/applog1.txt").c_str());
        // Committed before the fault.
        copy_text(sensor_settings.digitalI[0].name, (std::string("kept ") + c.fault).c_str());
        db_save.push_n(1, 0);
        dbsave_batch();
        ASSERT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), std::string("kept ") + c.fault);
        const std::string probe_before = peek("SELECT name FROM webapp_wire_temp WHERE id=1");

        // A whole import of long names, every probe and mesh sensor.
        for (int i = 0; i < SETTINGS_TABLE::WIRE_T_NUM; ++i) {
            copy_text(sensor_settings.onewire_temperature[i].name, std::string(31, static_cast<char>('a' + i % 26)).c_str());
            db_save.push_n(15, i);
        }
        for (int i = 0; i < SETTINGS_TABLE::NX40_NUM; ++i) {
            copy_text(sensor_settings.kvt_nx40[i].name, std::string(31, static_cast<char>('A' + i % 26)).c_str());
            db_save.push_n(25, i);
        }
        c.inject();
        testing::internal::CaptureStdout();
        dbsave_batch();
        const std::string out = testing::internal::GetCapturedStdout();
        c.lift();

        const int attempts = count_of(out, "update ERROR7(");
        EXPECT_NE(out.find(c.error), std::string::npos) << out.substr(0, 2000);
        EXPECT_EQ(attempts, c.attempts) << "the rest of the failed batch is not tried";
        EXPECT_TRUE(db_save.empty());
        EXPECT_NE(sb.applog().find("> database rollback\n"), std::string::npos);
        EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=1"), probe_before) << "nothing of the batch stored";
        EXPECT_EQ(std::string(sensor_settings.onewire_temperature[0].name), probe_before) << "memory reloaded";
        EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), std::string("kept ") + c.fault);

        // The fault gone (the reopened connection has no page limit): saved.
        copy_text(sensor_settings.onewire_temperature[0].name, "after the fault");
        db_save.push_n(15, 0);
        dbsave_batch();
        EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=1"), "after the fault");
        std::printf("fault matrix| %s | save batch, in-process | %s | 1 of 228 statements tried (%d attempts), "
                    "rolled back, memory reloaded, earlier commit kept, next batch saved\n",
                    c.fault, HasFailure() ? "FAILED" : "ok", attempts);
    }
}
