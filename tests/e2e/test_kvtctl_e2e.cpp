// kvtctl, the web UI's stand-in: the command texts it sends, its views of
// the shared tables, and its settings-file commands against a file thread
// answering through the mapped request-flag table.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <thread>

#include "../../tools/kvtctl_files.h"
#include "common.h"
#include "db_test_support.h"
#include "fileupdown.h"
#include "process.h"
#include "sandbox.h"

namespace {

int kvtctl(const TestSandbox& sb, const std::vector<std::string>& args, std::string* out = nullptr)
{
    return run_tool("kvtctl", sb.root(), args, out);
}

int queue_of(const TestSandbox& sb) { return msgget(ftok(sb.path("/msgq.key").c_str(), 'X'), IPC_CREAT | 0666); }

// The shared tables mapped in the sandbox and the file thread running.
class FileService {
public:
    FileService()
    {
        reset_run_flags();
        monitor = new MONITOR_TABLE_CLASS();
        ok_ = mmap_open() == 0;
        if (ok_) th_ = std::thread(file_thread, nullptr);
    }
    ~FileService()
    {
        stop_running();
        if (th_.joinable()) th_.join();
        mmap_close();
        delete monitor;
        monitor = nullptr;
        reset_run_flags();
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    std::thread th_;
};

}  // namespace

TEST(KvtctlE2E, SendsTheWebUiTextsAndReadsTheTables)
{
    TestSandbox sb(false);
    QueueCleanup cleanup{sb.root()};
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
        {{"snmp-v1v2c", "off"}, "63,0,"},
        {{"snmp-v1v2c", "on"}, "63,1,"},
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
    const std::string KVTCTL = std::string(KVT_BIN_DIR) + "/kvtctl";
    std::string out;
    ASSERT_EQ(run_program({KVTCTL, "send", "24,600,"}, &out, {"KVT_ROOT=" + sb.root()}), 0) << out;
    ASSERT_GT(msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT), 0);
    EXPECT_STREQ(m.text, "24,600,");

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {}, {"relay", "9", "toggle"}, {"relay", "1", "pulse", "x"}, {"clear-log", "some"}, {"bogus"},
             {"send"}, {"show", "moon"}, {"flags", "no_such_flag"}, {"watch", "-1"}})
        EXPECT_EQ(kvtctl(sb, bad), 2) << (bad.empty() ? "(none)" : bad[0]);

    // SNMPv3 users and the MQTT broker: the secrets come on standard input and are never
    // printed, not even when refused.
    struct UserCase {
        std::string stdin_text, args;
        int exit;
        std::string text;  // the message sent
    } users[] = {
        {"Auth-Phrase-1\nPriv-Phrase-1\n", "snmp-user 3 ops SHA-256 AES rw on", 0, "62,3,ops,3,Auth-Phrase-1,1,Priv-Phrase-1,1,1,"},
        {"Auth-Phrase-1\n", "snmp-user 8 mon SHA none ro off", 0, "62,8,mon,1,Auth-Phrase-1,0,,0,0,"},
        {"", "snmp-user 1 guest none none ro on", 0, "62,1,guest,0,,0,,0,1,"},
        {"Auth-Phrase-1\nPriv-Phrase-1\n", "snmp-user 2 x SHA-512 AES-256 ro on", 0, "62,2,x,5,Auth-Phrase-1,3,Priv-Phrase-1,0,1,"},
        {"Phrase7\n", "snmp-user 3 ops SHA ro on", 2, ""},
        {"Auth-Phrase-1\nPriv,Phrase-1\n", "snmp-user 3 ops SHA AES ro on", 2, ""},
        {"Auth-Phrase-1\n", "snmp-user 9 ops SHA none ro on", 2, ""},
        {"Auth-Phrase-1\n", "snmp-user 3 ops MD5 none ro on", 2, ""},
        {"Priv-Phrase-1\n", "snmp-user 3 ops none AES ro on", 2, ""},
        // The MQTT broker: the password likewise.
        {"Mqtt-Phrase\n", "mqtt 12 broker.example 8883 kvt tls-client /opt/KVT7400/certs/ca.crt /c/k.crt /c/k.key", 0,
         "37,0,12,broker.example,8883,kvt,Mqtt-Phrase,2,/opt/KVT7400/certs/ca.crt,/c/k.crt,/c/k.key,"},
        {"\n", "mqtt 3 10.0.0.5 1883 - off", 0, "37,0,3,10.0.0.5,1883,,,0,,,,"},
        {"Mqtt-Phrase\n", "mqtt 3 10.0.0.5 8883 - tls", 0, "37,0,3,10.0.0.5,8883,,Mqtt-Phrase,1,,,,"},
        {"Mqtt-Phrase\n", "mqtt 3 10.0.0.5 8883 - tls-client /ca.crt", 2, ""},
        {"Mqtt-Phrase\n", "mqtt 3 10.0.0.5 8883 - tls certs/ca.crt", 2, ""},
        {"Mqtt,Phrase\n", "mqtt 3 10.0.0.5 8883 - tls", 2, ""},
        {"Mqtt-Phrase\n", "mqtt 3 10.0.0.5 1883 - plain", 2, ""},
    };
    for (const UserCase& c : users) {
        SCOPED_TRACE(c.args);
        std::string printed;
        const std::string line = "printf '" + c.stdin_text + "' | " + KVTCTL + " -r " + sb.root() + " " + c.args;
        EXPECT_EQ(run_program({"/bin/sh", "-c", line}, &printed), c.exit);
        EXPECT_EQ(printed.find("Phrase"), std::string::npos) << printed;
        ssize_t n = msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT);
        if (c.exit != 0) {
            EXPECT_LT(n, 0) << "nothing sent";
            continue;
        }
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(m.text), c.text);
    }
    EXPECT_EQ(kvtctl(sb, {"snmp-v1v2c", "maybe"}), 2);

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

TEST(KvtctlE2E, FileCommandsRefuseBadUsageAndMissingFiles)
{
    TestSandbox sb;
    FileService svc;
    ASSERT_TRUE(svc.ok());
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"export-settings"},
        {"export-settings", "ai"},
        {"export-settings", "temperature", "/tmp/x"},
        {"file-flag", "ai", "extra"},
        {"send", "1,2"},
    };
    for (const auto& args : usage) EXPECT_EQ(kvtctl_file_command(sb.root(), args), 2) << testing::PrintToString(args);

    EXPECT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "dio", sb.root() + "/missing.csv"}), 1);
    // Nothing was requested (the settings-file thread clears its flags meanwhile).
    EXPECT_EQ(std::atomic_ref<int32_t>(monitor->requestflg->digitalio_set_configuration).load(), 0);
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"export-settings", "dio", sb.root() + "/no/such/dir/x.csv"}), 1);
    EXPECT_EQ(kvtctl_file_command(sb.root() + "/nowhere", {"file-flag", "dio"}), 1);

    // A refused file: flag 0 with its reason logged.
    sb.write("/nx40.csv", FILE_UPDOWN::export_text(FILE_UPDOWN::KIND_AI));
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"import-settings", "nx40", sb.root() + "/nx40.csv"}), 1);
    EXPECT_FALSE(sb.exists("/tmp/MeshT_config.csv"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(kvtctl_file_command(sb.root(), {"file-flag", "nx40"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n");
}

// kvtctl config against the running service: every kind read, one field
// changed through the web UI's command, read back, and the row the settings
// writer saved checked by its column.
TEST(KvtctlE2E, ConfigRoundTripsEveryKind)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    dbtest::Conn db(sb.path("/opt/KVT7400/db.sqlite3"));
    SimProcess p(sb.root());
    ASSERT_TRUE(p.wait_started(20000)) << p.console();
    struct Case {
        std::vector<std::string> element;
        std::string set, table, column;
        int id;
        std::string row, printed;  // the saved cell; the line kvtctl prints
    } cases[] = {
        {{"di", "2"}, "name=Door", "webapp_di", "name", 2, "Door", "name=Door"},
        {{"do", "4"}, "ontext=OPEN", "webapp_do", "ontext", 4, "OPEN", "ontext=OPEN"},
        {{"relay", "5"}, "dokeep=1", "webapp_do", "dokeep", 5, "1", "dokeep=1"},
        {{"ai", "3"}, "alert_max_val=7000", "webapp_ai", "alert_max_val", 3, "7000", "alert_max_val=7000"},
        {{"ow", "5"}, "device_ID=28FF000000000001", "webapp_wire_temp", "device_ID", 5, "28FF000000000001",
         "device_ID=28FF000000000001"},
        {{"ow-humid", "2"}, "enable=1", "webapp_wire_humid", "enable", 2, "1", "enable=1"},
        {{"mesh", "7"}, "name=Rack7", "webapp_nx40", "name", 7, "Rack7", "name=Rack7"},
        {{"vlxa", "3"}, "h_name=Hum3", "webapp_vlxa", "h_name", 3, "Hum3", "h_name=Hum3"},
        {{"mesh-cycle", "2"}, "cycle_minutes=17", "webapp_smartmesh_cycle", "cycle_minutes", 2, "17",
         "cycle_minutes=17"},
        {{"battery", "2"}, "caution=3.55", "webapp_bat_config", "caution", 2, "355", "caution=3.55"},
        {{"trend", "4"}, "minutes=30", "webapp_trend_list", "minutes", 3, "30", "minutes=30"},
        {{"snmp-manager", "2"}, "snmp_access_ipaddr=127.0.0.2", "webapp_snmp_config", "snmp_access_ipaddr", 2,
         "127.0.0.2", "snmp_access_ipaddr=127.0.0.2"},
        {{"trap", "3"}, "snmp_trap_send_community=Trap-Secret", "webapp_snmp_trap_send", "snmp_trap_send_community",
         3, "Trap-Secret", "snmp_trap_send_community=***"},
        {{"trap-scenario", "5"}, "sensor=4", "webapp_trap_scenario", "sensor", 5, "4", "sensor=4"},
        {{"snmp-user", "2"}, "snmp_user_name=ops", "webapp_snmp_user", "snmp_user_name", 2, "ops",
         "snmp_user_name=ops"},
        {{"snmp-agent"}, "snmp_v1v2c_enable=0", "webapp_snmp_agent", "snmp_v1v2c_enable", 1, "0",
         "snmp_v1v2c_enable=0"},
        {{"mqtt"}, "mqtt_password=Mqtt-Secret", "webapp_mqttconfig", "mqtt_password", 1, "Mqtt-Secret",
         "mqtt_password=***"},
        {{"mqtt-scenario", "3"}, "state=16", "webapp_mqtt_scenario", "state", 3, "16", "state=16"},
        {{"mail", "1"}, "mail_smtp=127.0.0.1", "webapp_mailconfig", "mail_smtp", 1, "127.0.0.1",
         "mail_smtp=127.0.0.1"},
        {{"mail-recipient", "2"}, "mailclient_addr=ops@example.com", "webapp_mail_client", "mailclient_addr", 2,
         "ops@example.com", "mailclient_addr=ops@example.com"},
        {{"scenario", "4"}, "enable=1", "webapp_mail_client_scenario", "enable", 4, "1", "enable=1"},
        {{"mail-report", "2"}, "mailreport_hour=7", "webapp_mailreport", "mailreport_hour", 2, "7",
         "mailreport_hour=7"},
        {{"logcycle", "3"}, "cycle_minutes=5", "webapp_sensor_log_cycle", "cycle_minutes", 3, "5", "cycle_minutes=5"},
        {{"syslog"}, "syslog_port=1514", "webapp_systemlog", "syslog_port", 1, "1514", "syslog_port=1514"},
        {{"ow-retry", "2"}, "num=12", "webapp_onewire_conf", "num", 2, "12", "num=12"},
        // Last: a network change is applied by a restart.
        {{"network"}, "net_host=KVTLAB", "webapp_network_config", "net_host", 1, "KVTLAB", "net_host=KVTLAB"},
    };
    auto has_line = [](const std::string& out, const std::string& line) {
        return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        std::vector<std::string> read{"config"};
        read.insert(read.end(), c.element.begin(), c.element.end());
        std::vector<std::string> change = read;
        change.push_back(c.set);
        std::string out;
        ASSERT_EQ(kvtctl(sb, read, &out), 0) << out;
        EXPECT_NE(("\n" + out).find("\n" + c.column + "="), std::string::npos) << out;
        const bool secret = c.printed.ends_with("***");
        EXPECT_TRUE(secret || !has_line(out, c.printed)) << "already set:\n" << out;
        ASSERT_EQ(kvtctl(sb, change, &out), 0) << out << p.console();
        EXPECT_TRUE(has_line(out, c.printed)) << out;
        ASSERT_EQ(kvtctl(sb, read, &out), 0);
        EXPECT_TRUE(has_line(out, c.printed)) << out;
        EXPECT_TRUE(!secret || out.find(c.row) == std::string::npos) << out;
        EXPECT_EQ(db.scalar("SELECT " + c.column + " FROM " + c.table + " WHERE id=" + std::to_string(c.id), true),
                  c.row);
    }
    for (const char* secret : {"Trap-Secret", "Mqtt-Secret"}) {
        EXPECT_EQ(p.console().find(secret), std::string::npos) << secret;
        EXPECT_EQ(sb.applog().find(secret), std::string::npos) << secret;
    }
}

// Commands queued while the service is not running say so; a bad config
// line is refused whole before anything is read or sent.
TEST(KvtctlE2E, QueuedCommandWarnsWhenServiceNotRunningAndConfigRefusesBadLines)
{
    TestSandbox sb;
    QueueCleanup cleanup{sb.root()};
    const int qid = queue_of(sb);
    ASSERT_GE(qid, 0);
    const std::string KVTCTL = std::string(KVT_BIN_DIR) + "/kvtctl";
    struct {
        long type;
        char text[2048];
    } m;
    std::string out, err;
    for (int run : {0, 1}) {
        sb.set_gpio(2, 67, run);  // the run indication
        ASSERT_EQ(run_program_split({KVTCTL, "-r", sb.root(), "relay", "3", "toggle"}, &out, &err), 0) << err;
        EXPECT_EQ(err.find("not running (run indication off); the command waits in the queue") != std::string::npos,
                  run == 0)
            << err;
        ASSERT_GT(msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT), 0);
        EXPECT_STREQ(m.text, "3,10,0,");
    }
    struct {
        std::vector<std::string> args;
        std::string says;
    } bad[] = {
        {{"config", "moon", "1"}, "unknown kind moon"},
        {{"config", "ai", "9"}, "no element 9"},
        {{"config", "ai", "3", "nosuch=1"}, "no field nosuch"},
        {{"config", "ai", "3", "enable=5"}, "enable: 0 or 1"},
        {{"config", "ai", "3", "input_max=1.5"}, "input_max: a whole number"},
        {{"config", "di", "1", "name=" + std::string(40, 'x')}, "name: at most"},
        {{"config", "trap", "1", "snmp_trap_send_community=a,b"}, "no comma"},
        {{"config", "snmp-agent", "snmp_engine_boots=3"}, "snmp_engine_boots is read only"},
    };
    for (const auto& b : bad) {
        std::vector<std::string> argv{KVTCTL, "-r", sb.root()};
        argv.insert(argv.end(), b.args.begin(), b.args.end());
        EXPECT_EQ(run_program_split(argv, &out, &err), 2) << b.says;
        EXPECT_NE(err.find(b.says), std::string::npos) << err;
    }
    EXPECT_LT(msgrcv(qid, &m, sizeof m.text, 0, IPC_NOWAIT), 0) << "a refused line sent something";
    ASSERT_EQ(kvtctl(sb, {"config", "--help"}, &out), 0);
    EXPECT_NE(out.find("snmp-manager"), std::string::npos) << out;
    ASSERT_EQ(kvtctl(sb, {"config", "ai", "--help"}, &out), 0);
    EXPECT_NE(out.find("alert_max_val"), std::string::npos) << out;
}
