// Start-up migration from every schema version the appliance has shipped to
// the current one, compared table by table with the factory database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "common.h"
#include "db_test_support.h"
#include "sandbox.h"

namespace {

struct LadderCase {
    const char* version;
    const char* fixture;
    std::vector<std::string> log_lines;
};

void PrintTo(const LadderCase& c, std::ostream* os) { *os << c.fixture; }

const std::string k101 = "DB version update 1.0.1->1.0.2";
const std::string k102 = "DB version update 1.0.2->1.0.3";
const std::string k103 = "DB version update 1.0.3->1.0.13";
const std::string k113 = "DB version update 1.0.13->1.0.14";
const std::string k114 = "DB version update 1.0.14->1.1.1";
const std::string k111 = "DB version update 1.1.1->1.1.2";
const std::string k112 = "DB version update 1.1.2->1.1.3";
const std::string kOk = "DB version OK";

const LadderCase kCases[] = {
    {"1_0_1", "db-1.0.1.sqlite3", {k101, k102, k103, k113, k114, k111, k112}},
    {"1_0_2", "db-1.0.2.sqlite3", {k102, k103, k113, k114, k111, k112}},
    {"1_0_3", "db-1.0.3.sqlite3", {k103, k113, k114, k111, k112}},
    {"1_0_13", "db-1.0.13.sqlite3", {k113, k114, k111, k112}},
    {"1_0_14", "db-1.0.14.sqlite3", {k114, k111, k112}},
    {"1_1_1", "db-1.1.1.sqlite3", {k111, k112}},
    {"1_1_2", "db-1.1.2.sqlite3", {k112}},
    {"1_1_3", "db.sqlite3", {kOk}},
};

// The messages of the application log, without their time stamps.
std::vector<std::string> log_messages(const TestSandbox& sb)
{
    std::vector<std::string> out;
    std::ifstream in(sb.path("/log/app_log/applog1.txt"));
    std::string line;
    while (std::getline(in, line)) {
        size_t p = line.find("> ");
        out.push_back(p == std::string::npos ? line : line.substr(p + 2));
    }
    return out;
}

void copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

// One start's database steps: open, version check and migration, close.
void start_once()
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(open_db(), 0);
    EXPECT_EQ(check_db(), 0);
    close_db();
    testing::internal::GetCapturedStdout();
}

class SchemaMigrationTest : public ::testing::TestWithParam<LadderCase> {};

TEST_P(SchemaMigrationTest, StartFromOldVersionEndsWithFactoryTablesAndSecondStartChangesNothing)
{
    const LadderCase& c = GetParam();
    reset_run_flags();
    std::string fixture = built_db(c.fixture);
    ASSERT_FALSE(fixture.empty()) << c.fixture << " not built";
    TestSandbox sb;
    std::string live = sb.path("/opt/KVT7400/db.sqlite3");
    copy_file(fixture, live);
    std::remove(sb.path("/log/app_log/applog1.txt").c_str());

    start_once();

    EXPECT_EQ(log_messages(sb), c.log_lines);
    std::string factory = dbtest::Conn(built_db("db.sqlite3")).dump();
    std::string migrated = dbtest::Conn(live).dump();
    EXPECT_EQ(migrated, factory);

    // The values the ladder itself puts in, spelled out.
    dbtest::Conn m(live);
    EXPECT_EQ(m.rows("SELECT * FROM webapp_bat_config WHERE id=2"),
              (std::vector<std::vector<std::string>>{{"2", "335", "340", "345", "350"}}));
    EXPECT_EQ(m.rows("SELECT * FROM webapp_onewire_conf ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"1", "30", "1000", "0"}, {"2", "30", "1000", "0"}}));
    EXPECT_EQ(m.scalar("SELECT count(*) FROM webapp_trend_list WHERE au_per=percentage AND "
                       "al_per=percentage AND cu_per=percentage AND cl_per=percentage"),
              "6");
    // The SNMPv3 tables: eight empty, disabled users; v1/v2c on, no boots
    // counted yet; every trap receiver sends as user 1.
    EXPECT_EQ(m.scalar("SELECT count(*) FROM webapp_snmp_user WHERE id BETWEEN 1 AND 8 AND snmp_user_name='' AND "
                       "snmp_user_auth=0 AND snmp_user_auth_pass='' AND snmp_user_priv=0 AND "
                       "snmp_user_priv_pass='' AND snmp_user_access=0 AND snmp_user_enable=0"),
              "8");
    EXPECT_EQ(m.rows("SELECT * FROM webapp_snmp_agent"), (std::vector<std::vector<std::string>>{{"1", "1", "0"}}));
    EXPECT_EQ(m.scalar("SELECT count(*) FROM webapp_snmp_trap_send WHERE snmp_trap_send_user=1"), "8");
    // MQTT over TLS: off, the system's CA bundle, no client certificate.
    EXPECT_EQ(m.rows("SELECT mqtt_tls, mqtt_cafile, mqtt_certfile, mqtt_keyfile FROM webapp_mqttconfig"),
              (std::vector<std::vector<std::string>>{{"0", "'/etc/ssl/certs/ca-certificates.crt'", "''", "''"}}));
    EXPECT_EQ(m.scalar("SELECT version FROM db_version WHERE id=1"), "'1.1.3'");

    // Second start: only the version check is logged, nothing changes.
    std::remove(sb.path("/log/app_log/applog1.txt").c_str());
    start_once();
    EXPECT_EQ(log_messages(sb), std::vector<std::string>{kOk});
    EXPECT_EQ(dbtest::Conn(live).dump(), migrated);
}

INSTANTIATE_TEST_SUITE_P(Versions, SchemaMigrationTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.version); });

TEST(SchemaMigrationRowsTest, TrendPercentagesSeedNewColumnsDespiteOddNamesAndNull)
{
    reset_run_flags();
    TestSandbox sb;
    std::string live = sb.path("/opt/KVT7400/db.sqlite3");
    copy_file(built_db("db-1.0.2.sqlite3"), live);
    {
        dbtest::Conn c(live);
        c.exec("UPDATE webapp_trend_list SET name='a$b,c', percentage=70 WHERE id=0");
        c.exec("UPDATE webapp_trend_list SET name=',,$$', percentage=15 WHERE id=1");
        c.exec("UPDATE webapp_trend_list SET percentage=NULL WHERE id=2");
    }
    start_once();
    dbtest::Conn m(live);
    EXPECT_EQ(m.rows("SELECT au_per, al_per, cu_per, cl_per FROM webapp_trend_list WHERE id<=2 ORDER BY id"),
              (std::vector<std::vector<std::string>>{
                  {"70", "70", "70", "70"}, {"15", "15", "15", "15"}, {"NULL", "NULL", "NULL", "NULL"}}));
    EXPECT_EQ(m.scalar("SELECT count(*) FROM webapp_trend_list WHERE au_per=50"), "3");
}

TEST(SchemaMigrationRowsTest, FailedStepStopsTheLadderAtTheLastGoodVersion)
{
    // Tables and columns the web UI already made clash with a step's own.
    struct Case {
        const char* fixture;
        const char* clash;
        const char* failure;        // the last line logged
        const char* version_after;  // "" when db_version does not exist
        const char* table;
        std::vector<std::string> columns;  // the table's columns after the start
    } cases[] = {
        {"db-1.0.13.sqlite3", "CREATE TABLE webapp_onewire_conf (id integer primary key, probes text)",
         "check_db: DB version update 1.0.13->1.0.14 failed, version stays 1.0.13 in /opt/KVT7400/db.sqlite3",
         "'1.0.13'", "webapp_onewire_conf", {"id", "probes"}},
        {"db-1.0.3.sqlite3", "CREATE TABLE webapp_onewire_conf (id integer primary key, probes text)",
         "check_db: DB version update 1.0.13->1.0.14 failed, version stays 1.0.13 in /opt/KVT7400/db.sqlite3",
         "'1.0.13'", "webapp_SM_errortime", {"id", "time"}},
        // Two of the four new columns go in before the third clashes: the
        // step leaves neither behind.
        {"db-1.0.2.sqlite3", "ALTER TABLE webapp_trend_list ADD COLUMN cu_per integer",
         "check_db: DB version update 1.0.2->1.0.3 failed, version stays 1.0.2 in /opt/KVT7400/db.sqlite3", "",
         "webapp_trend_list", {"id", "name", "enable", "minutes", "percentage", "cu_per"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        reset_run_flags();
        TestSandbox sb;
        const std::string live = sb.path("/opt/KVT7400/db.sqlite3");
        copy_file(built_db(c.fixture), live);
        dbtest::Conn(live).exec(c.clash);
        std::remove(sb.path("/log/app_log/applog1.txt").c_str());

        start_once();

        dbtest::Conn m(live);
        EXPECT_EQ(m.scalar("SELECT count(*) FROM sqlite_master WHERE name='db_version'") == "1"
                      ? m.scalar("SELECT version FROM db_version WHERE id=1")
                      : "",
                  c.version_after);
        EXPECT_EQ(m.columns_of(c.table), c.columns);
        EXPECT_EQ(m.rows("SELECT * FROM webapp_bat_config WHERE id=2"),
                  (std::vector<std::vector<std::string>>{{"2", "260", "270", "280", "290"}}));
        const std::vector<std::string> log = log_messages(sb);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), c.failure);
        EXPECT_EQ(std::count(log.begin(), log.end(), k114), 0) << "no step after the failed one";
    }
}

TEST(SchemaMigrationFactoryTest, ThresholdsShipSwitchedOffAndInputsDisabled)
{
    std::string p = built_db("db.sqlite3");
    ASSERT_FALSE(p.empty());
    dbtest::Conn c(p);
    // Thresholds ship switched off: upper at the top, lower at the bottom.
    EXPECT_EQ(c.scalar("SELECT count(*) FROM webapp_wire_temp WHERE alert_max_val=2147483647 AND "
                       "alert_min_val=-2147483648 AND caution_min_clear=-2147483648"),
              "128");
    EXPECT_EQ(c.scalar("SELECT count(*) FROM webapp_ai WHERE enable<>0"), "0");
}

}  // namespace
