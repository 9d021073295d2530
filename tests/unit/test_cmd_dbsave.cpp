// The settings writer against the sandbox's factory database: the statement
// of every section, what a batch leaves in the file, the follow-ups, and the
// log-storage estimate.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>

#include "command.h"
#include "common.h"
#include "sandbox.h"
#include "sim_board.h"

extern sqlite3* db;

namespace {

using namespace SETTINGS_TABLE;

// The service's state over a sandbox with the factory database loaded.
class WriterTest : public ::testing::Test {
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
    std::string peek(const std::string& sql)
    {
        sqlite3* other = nullptr;
        std::string out = "<none>";
        if (sqlite3_open_v2(sb.path("/opt/KVT7400/db.sqlite3").c_str(), &other, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(other, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
                const unsigned char* t = sqlite3_column_text(st, 0);
                out = t ? reinterpret_cast<const char*>(t) : "";
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(other);
        return out;
    }

    void exec_other(const std::string& sql)
    {
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(sb.path("/opt/KVT7400/db.sqlite3").c_str(), &other), SQLITE_OK);
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(other);
    }
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
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, trace_cb, nullptr);
}

template <typename T>
void set_thresholds(T& e, int base)
{
    e.alert_max_val = base + 1;
    e.alert_max_clear = base + 2;
    e.caution_max_val = base + 3;
    e.caution_max_clear = base + 4;
    e.caution_min_val = base + 5;
    e.caution_min_clear = base + 6;
    e.alert_min_val = base + 7;
    e.alert_min_clear = base + 8;
}

// Distinct values in every field the writer saves; texts carry a quote.
void scramble_records()
{
    auto& ss = sensor_settings;
    auto& as = admin_settings;
    auto name = [](const char* p, int i) { return std::string(p) + "'" + std::to_string(i); };
    for (int i = 0; i < DI_NUM; ++i) {
        auto& e = ss.digitalI[i];
        copy_text(e.name, name("di", i));
        copy_text(e.ontext, name("on", i));
        copy_text(e.offtext, name("off", i));
        e.enable = i % 2;
        e.log = !(i % 2);
        e.time = 10 + i;
        e.errortext_id = i % 3;
        e.trend_id = i % 6;
    }
    for (int i = 0; i < DO_NUM; ++i) {
        auto& e = ss.digitalO[i];
        copy_text(e.name, name("do", i));
        copy_text(e.ontext, name("on", i));
        copy_text(e.offtext, name("off", i));
        e.enable = true;
        e.doinit = i % 2;
        e.dokeep = !(i % 2);
        e.ontype = 1;
        e.onsensor = i + 1;
        e.onstate = 3;
        e.onenable = 1;
        e.offtype = 2;
        e.offsensor = i + 2;
        e.offstate = 1;
        e.offenable = 0;
        e.errortext_id = 2;
        e.trend_id = i % 6;
        e.log = true;
    }
    for (int i = 0; i < AI_NUM; ++i) {
        auto& e = ss.analog[i];
        copy_text(e.name, name("ai", i));
        copy_text(e.unit, "m'A");
        e.enable = true;
        e.input_max = 2000;
        e.input_min = 400 + i;
        e.output_max = 10000;
        e.output_min = -i;
        set_thresholds(e, 100 * i);
        e.err_sampling = 10 + i;
        e.trend_id = i % 6;
        e.log = i % 2;
        e.range = i % 3;
    }
    auto probes = [&](auto& arr, const char* p) {
        int i = 0;
        for (auto& e : arr) {
            copy_text(e.name, name(p, i));
            copy_text(e.device_ID, "28FF" + std::to_string(i));
            e.enable = i % 2;
            set_thresholds(e, 1000 + i);
            e.trend_id = i % 6;
            e.log = i % 3 == 0;
            ++i;
        }
    };
    probes(ss.onewire_temperature, "t");
    probes(ss.onewire_humidity, "h");
    probes(ss.kvt_nx40, "nx");
    for (int i = 0; i < VLXA_NUM; ++i) {
        auto& e = ss.veloxa[i];
        copy_text(e.name, name("v", i));
        copy_text(e.device_ID, "00-17-" + std::to_string(i));
        copy_text(e.t_name, name("vt", i));
        copy_text(e.h_name, name("vh", i));
        e.enable = true;
        e.t_alert_max_val = 3000 + i;
        e.t_alert_min_clear = -3000 - i;
        e.h_caution_max_val = 7000 + i;
        e.h_alert_min_clear = 100 + i;
        e.t_trend_id = 1;
        e.h_trend_id = 2;
        e.t_log = true;
        e.h_log = i % 2;
    }
    for (int i = 0; i < SMARTMESH_CYCLE_NUM; ++i) ss.smartMesh_cycle[i].cycle_minutes = 5 + i;
    for (int i = 0; i < TREND_NUM; ++i) {
        auto& e = ss.trend[i];
        e.enable = i % 2;
        e.minutes = 10 * (i + 1);
        e.au_per = 50 + i;
        e.al_per = 60 + i;
        e.cu_per = 70 + i;
        e.cl_per = 80 + i;
    }
    for (int i = 0; i < BATTERY_NUM; ++i) ss.battery[i] = {300 + i, 310 + i, 320 + i, 330 + i, false};
    SM_err_time = 1234;
    for (int i = 0; i < SNMP_NUM; ++i) {
        copy_text(as.snmp[i].ipaddr, "10.0." + std::to_string(i) + ".0/24");
        copy_text(as.snmp[i].community, name("c", i));
        as.snmp[i].enable = i % 2;
    }
    for (int i = 0; i < TRAP_NUM; ++i) {
        copy_text(as.snmp_trap[i].sendto, "192.0.2." + std::to_string(i));
        copy_text(as.snmp_trap[i].community, name("tc", i));
        as.snmp_trap[i].version = i % 2 + 1;
        as.snmp_trap[i].enable = true;
    }
    for (int i = 0; i < 192; ++i) as.snmp_trap_scenario[i] = {i % 9 + 1, i + 1, i % 8, i % 2 == 0, false};
    for (int i = 0; i < MQTT_SCENARIO_NUM; ++i) as.mqtt_scenario[i] = {2, i + 5, 3, true, false};
    for (int i = 0; i < 120; ++i) as.mail_client_scenario[i] = {3, i + 7, 5, i % 3 == 0, false};
    as.mqtt.unitid = 77;
    copy_text(as.mqtt.sendip, "broker.example");
    as.mqtt.port = 8883;
    copy_text(as.mqtt.loginid, "o'neil");
    copy_text(as.mqtt.pwd, "p'w");
    copy_text(as.mail.mail_smtp, "smtp.example");
    as.mail.mail_smtp_port = 587;
    copy_text(as.mail.mail_account, "acct");
    copy_text(as.mail.mail_password, "pa'ss");
    copy_text(as.mail.mail_mailaddr, "ops@example.com");
    copy_text(as.mail.mail_sender, "kvt");
    as.mail.mail_smtp_auth = true;
    as.mail.mail_encode = false;
    as.mail.mail_sendmail = true;
    for (int i = 0; i < MAIL_CLIENT_NUM; ++i) {
        copy_text(as.mail_client[i].mailclient_addr, "u" + std::to_string(i) + "@example.com");
        copy_text(as.mail_client[i].mailclient_subject, name("subj", i));
    }
    for (int i = 0; i < MAIL_REPORT_NUM; ++i) {
        auto& r = as.mail_report[i];
        r.mailreport_addr = i;
        copy_text(r.mailreport_subject, name("rep", i));
        r.mailreport_enable = 1;
        r.mailreport_day = i;
        r.mailreport_week = i + 1;
        r.mailreport_hour = 7;
        r.mailreport_minute = 30;
    }
    for (int i = 0; i < SENSOR_LOG_CYCLE_NUM; ++i) as.sensor_log_cycle[i].cycle_minutes = 60 + i;
    as.onewire_conf = {3, 200, 1, 4, 300, 0};
}

const int SAVED_KINDS[] = {1, 2, 10, 15, 16, 20, 24, 25, 28, 29, 30, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 55, 58};

std::vector<std::string> all_statements(int kind)
{
    std::vector<std::string> out;
    for (int i = 0; i < kind_entries(kind); ++i)
        for (auto& s : update_statements(kind, i, sensor_settings, admin_settings, SM_err_time)) {
            std::string text = s.sql;
            for (const auto& v : s.values)
                text += " | " + (std::holds_alternative<int>(v) ? std::to_string(std::get<int>(v)) : std::get<std::string>(v));
            out.push_back(text);
        }
    return out;
}

}  // namespace

TEST(StatementTextTest, SaveMessagesParseOnlyAsTwoNumbers)
{
    struct Case {
        const char* m;
        bool ok;
        int kind, index;
    } cases[] = {{"15,3,", true, 15, 3}, {"35,999,", true, 35, 999}, {"-5,0,", true, -5, 0}, {"15,3", true, 15, 3},
                 {"15", false, 0, 0},    {",3,", false, 0, 0},        {"a,b,", false, 0, 0}, {"15,x,", false, 0, 0}};
    for (const auto& c : cases) {
        int k = 0, i = 0;
        EXPECT_EQ(parse_save_message(c.m, &k, &i), c.ok) << c.m;
        if (c.ok) {
            EXPECT_EQ(std::make_pair(k, i), std::make_pair(c.kind, c.index)) << c.m;
        }
    }
}

TEST_F(WriterTest, EverySectionRoundTripsThroughTheFactoryDatabase)
{
    scramble_records();
    begin_trans();
    for (int kind : SAVED_KINDS) EXPECT_TRUE(save_message(kind, 999)) << "kind " << kind;
    commit_trans();
    // Network, clock and syslog are reloaded from the system files, not the
    // rows; every other section must read back exactly as it was written.
    std::vector<std::vector<std::string>> before;
    for (int kind : SAVED_KINDS) before.push_back(all_statements(kind));
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    std::memset(&admin_settings, 0, sizeof admin_settings);
    SM_err_time = 0;
    init_structs();
    size_t k = 0;
    for (int kind : SAVED_KINDS) {
        if (kind != 32 && kind != 36 && kind != 55) {
            EXPECT_EQ(all_statements(kind), before[k]) << "kind " << kind;
        }
        ++k;
    }
    EXPECT_EQ(peek("SELECT mqtt_account FROM webapp_mqttconfig WHERE id=1"), "o'neil");
}

TEST_F(WriterTest, TwoSavesOfOneProbeAreTwoStatementsInOneTransaction)
{
    copy_text(sensor_settings.onewire_temperature[3].name, "Rack 4");
    db_save.push_n(15, 3);
    db_save.push_n(15, 3);
    trace_statements();
    EXPECT_EQ(dbsave_batch(), 2);
    ASSERT_EQ(traced.size(), 4u);
    EXPECT_EQ(traced[0], "BEGIN TRANSACTION");
    EXPECT_EQ(traced[1], traced[2]);
    EXPECT_EQ(traced[1].rfind("UPDATE webapp_wire_temp SET name='Rack 4'", 0), 0u) << traced[1];
    EXPECT_EQ(traced[3], "COMMIT");
    EXPECT_EQ(peek("SELECT name FROM webapp_wire_temp WHERE id=4"), "Rack 4");
    EXPECT_EQ(dbsave_batch_count(), 1);
}

TEST_F(WriterTest, WholeTrapScenarioSectionWritesRows1To192)
{
    for (int i = 0; i < 192; ++i) admin_settings.snmp_trap_scenario[i] = {1, i + 1, 3, true, true};
    db_save.push_n(35, 999);
    trace_statements();
    dbsave_batch();
    std::vector<std::string> ids;
    for (const auto& s : traced)
        if (s.rfind("UPDATE webapp_trap_scenario", 0) == 0) ids.push_back(s.substr(s.rfind('=') + 1));
    ASSERT_EQ(ids.size(), 192u);
    for (int i = 0; i < 192; ++i) EXPECT_EQ(ids[i], std::to_string(i + 1));
    EXPECT_EQ(peek("SELECT count(*) FROM webapp_trap_scenario WHERE sensor = id AND enable=1"), "192");
    EXPECT_EQ(peek("SELECT sensor FROM webapp_trap_scenario WHERE id=0"), "0");  // the unused row stays
    EXPECT_FALSE(admin_settings.snmp_trap_scenario[5].changeflg);
}

TEST_F(WriterTest, OneFailingUpdateUndoesTheWholeBatchAndReloadsMemory)
{
    exec_other("CREATE TRIGGER refuse_mqtt BEFORE UPDATE ON webapp_mqttconfig BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    std::string di_name = peek("SELECT name FROM webapp_di WHERE id=1");
    std::string ai_name = peek("SELECT name FROM webapp_ai WHERE id=1");
    std::string port = peek("SELECT mqtt_port FROM webapp_mqttconfig WHERE id=1");
    copy_text(sensor_settings.digitalI[0].name, "changed di");
    copy_text(sensor_settings.analog[0].name, "changed ai");
    admin_settings.mqtt.port = 9999;
    db_save.push_n(1, 0);
    db_save.push_n(37, 999);
    db_save.push_n(10, 0);
    EXPECT_EQ(dbsave_batch(), 3);
    EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=1"), di_name);
    EXPECT_EQ(peek("SELECT name FROM webapp_ai WHERE id=1"), ai_name);
    EXPECT_EQ(peek("SELECT mqtt_port FROM webapp_mqttconfig WHERE id=1"), port);
    EXPECT_STREQ(sensor_settings.digitalI[0].name, di_name.c_str());
    EXPECT_STREQ(sensor_settings.analog[0].name, ai_name.c_str());
    EXPECT_EQ(std::to_string(admin_settings.mqtt.port), port);
    EXPECT_NE(sb.read("/log/app_log/applog1.txt").find("> database rollback\n"), std::string::npos);

    // The connection is usable again for the next batch.
    copy_text(sensor_settings.digitalI[1].name, "after");
    db_save.push_n(1, 1);
    dbsave_batch();
    EXPECT_EQ(peek("SELECT name FROM webapp_di WHERE id=2"), "after");
}

TEST_F(WriterTest, FollowUpsSetTheSectionFlags)
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

TEST_F(WriterTest, ChangeCounterFollowsRelaysTrendsAndChangedNames)
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

TEST_F(WriterTest, MessagesOutsideTheSectionsWriteNothing)
{
    for (const char* m : {"15,128,", "2,-1,", "7,0,", "99,999,", "garbage", "1,x,"}) db_save.push(m);
    trace_statements();
    EXPECT_EQ(dbsave_batch(), 6);
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
    } cases[] = {
        {"nothing logged", [] {}, 2147483647, 0.0f},
        {"eight analog inputs every minute",
         [] {
             for (auto& e : s.analog) e.log = true;
             a.sensor_log_cycle[2].cycle_minutes = 60;
         },
         1042, 0.0047953f},
        {"all 1-Wire temperatures every 10 s and all NX40 every minute",
         [] {
             for (auto& e : s.onewire_temperature) e.log = true;
             for (auto& e : s.kvt_nx40) e.log = true;
             a.sensor_log_cycle[3].cycle_minutes = 10;
             a.sensor_log_cycle[7].cycle_minutes = 60;
         },
         11, 0.4260339f},
        {"analog with cycle 0 counts the header only",
         [] {
             s.analog[0].log = true;
             a.sensor_log_cycle[2].cycle_minutes = 0;
         },
         620963, 0.0000080520f},
        {"VLXA temperature and humidity counted apart",
         [] {
             for (int i = 0; i < 3; ++i) s.veloxa[i].t_log = true;
             for (int i = 10; i < 12; ++i) s.veloxa[i].h_log = true;
             a.sensor_log_cycle[5].cycle_minutes = 300;
             a.sensor_log_cycle[6].cycle_minutes = 60;
         },
         498, 0.0100266f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(&s, 0, sizeof s);
        std::memset(&a, 0, sizeof a);
        c.setup();
        LogStorageEstimate e = estimate_log_storage(s, a);
        EXPECT_EQ(e.retention, c.retention);
        EXPECT_NEAR(e.total, c.total, 1e-6);
        EXPECT_EQ(e.lines.size(), 4u);  // analog, 1-Wire temperature, 1-Wire humidity, total
    }
    std::memset(&s, 0, sizeof s);
    std::memset(&a, 0, sizeof a);
    for (auto& e : s.analog) e.log = true;
    a.sensor_log_cycle[2].cycle_minutes = 60;
    EXPECT_EQ(estimate_log_storage(s, a).lines[0], "8,0.157224,0.000000,0.004795");
}

TEST(LogStorageTest, CycleChangeStoresTheRetentionAndQueuesItsSave)
{
    TestSandbox sb(false);
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    std::memset(&admin_settings, 0, sizeof admin_settings);
    db_save.clear();
    for (auto& e : sensor_settings.analog) e.log = true;
    admin_settings.sensor_log_cycle[2].cycle_minutes = 60;
    admin_settings.sensor_log_cycle[0].cycle_minutes = 5;
    cycle_change();
    EXPECT_EQ(admin_settings.sensor_log_cycle[0].cycle_minutes, 5);
    for (int i = 8; i < 14; ++i) EXPECT_EQ(admin_settings.sensor_log_cycle[i].cycle_minutes, 1042);
    ASSERT_FALSE(db_save.empty());
    EXPECT_EQ(db_save.front(), "43,999,");
}

// The follow-up of an analog save: the port setting runs in the same batch,
// and a range it forces (the switch decides) joins that batch.
TEST_F(WriterTest, SavedAnalogSettingsReachTheConverterInTheSameBatch)
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
    ram_fpga = nullptr;
}
