// Loading the configuration: every column of every table into its field,
// robustness against odd stored texts, and the start-up data fixes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>

#include "common.h"
#include "db_test_support.h"
#include "record_text.h"
#include "sandbox.h"
#include "settings_map.h"

namespace {

auto& ss = sensor_settings;
auto& as = admin_settings;

class SettingsLoadingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_run_flags();
        std::memset(&ss, 0, sizeof ss);
        std::memset(&as, 0, sizeof as);
        SM_err_time = 0;
        db_save.clear();
        ASSERT_FALSE(built_db("db.sqlite3").empty()) << "factory database not built";
    }
    void TearDown() override { close_db(); }

    std::string db_path() const { return sb.path("/opt/KVT7400/db.sqlite3"); }

    // Loads after the statements changed the factory database.
    void load(const std::vector<std::string>& sql = {})
    {
        {
            dbtest::Conn c(db_path());
            for (const auto& q : sql) c.exec(q);
        }
        testing::internal::CaptureStdout();
        ASSERT_EQ(open_db(), 0);
        init_structs();
        testing::internal::GetCapturedStdout();
    }

    TestSandbox sb;
};

TEST_F(SettingsLoadingTest, DistinctRowsLoadWithBooleansNormalisedDerivedFieldsSetAndSpareEntriesUntouched)
{
    {
        dbtest::Conn c(db_path());
        int t = 0;
        for (const auto* sec : SETTINGS_MAP::sections()) c.fill_distinct(sec->table, t++, 1, true);
        c.fill_distinct("webapp_SM_errortime", t, 1, true);
    }
    load();
    // The writer's round trip proves every saved column's way in and out;
    // here what it cannot see: booleans stored as other numbers, and the
    // trend percentage, loaded but never written back.
    dbtest::Conn c(db_path());
    EXPECT_EQ(c.scalar("SELECT doinit||','||dokeep||','||enable FROM webapp_do WHERE id=1", true), "4,0,6");
    EXPECT_EQ(fields(ss.digitalO[0].doinit, ss.digitalO[0].dokeep, ss.digitalO[0].enable), "1|0|1");
    EXPECT_EQ(std::to_string(ss.trend[3].percentage), c.scalar("SELECT percentage FROM webapp_trend_list WHERE id=3", true));
    EXPECT_EQ(std::to_string(SM_err_time.load()), c.rows("SELECT time FROM webapp_SM_errortime ORDER BY id", true)[0][0]);
    // Rows that are not entries leave the spare entries untouched.
    const auto& trap_last = as.snmp_trap_scenario[192];
    EXPECT_EQ(trap_last.sensortype + trap_last.sensor + trap_last.state + trap_last.enable, 0);
    const auto& mail_last = as.mail_client_scenario[120];
    EXPECT_EQ(mail_last.sensortype + mail_last.sensor + mail_last.state + mail_last.enable, 0);
    for (const auto& v : ss.veloxa) EXPECT_FALSE(v.h_enable);
    // The SNMP access entries got their derived fields.
    EXPECT_STREQ(as.snmp[3].ip_noprefix, as.snmp[3].ipaddr);
    EXPECT_EQ(as.snmp[3].prefix, 64);
    // Network and syslog come from the system files, not from their tables.
    EXPECT_STREQ(as.network.host, "kvt7400");
    EXPECT_STREQ(as.network.ipaddr, "192.168.1.200");
    EXPECT_EQ(as.syslog.destination, 0);
    EXPECT_STREQ(as.time.ntp[0], "127.127.1.0");
    EXPECT_NE(sb.read("/log/app_log/applog1.txt").find("Struct initialized"), std::string::npos);
}

TEST_F(SettingsLoadingTest, LongTextsAndStrayDollarOrCommaKeepEveryOtherSettingInPlace)
{
    const std::string addr127 = std::string(115, 'a') + "@example.com";  // 127 characters
    const std::string over = std::string(200, 's');
    load({"UPDATE webapp_mail_client SET mailclient_addr='" + addr127 + "', mailclient_subject='" + over + "' WHERE id=2",
          "UPDATE webapp_mailconfig SET mail_mailaddr='" + addr127 + "', mail_sender='x$y,z', mail_smtp_port=587",
          "UPDATE webapp_mailreport SET mailreport_subject='" + addr127 + "' WHERE id=5",
          "UPDATE webapp_di SET name='a$b,c', time=42, ontext='on,$', offtext='$$', enable=1 WHERE id=1",
          "UPDATE webapp_di SET name='DI2x' WHERE id=2",
          "UPDATE webapp_ai SET unit='" + over + "', log=1, range_type=3 WHERE id=8"});
    EXPECT_EQ(fields(as.mail_client[1].mailclient_addr, as.mail.mail_mailaddr, as.mail_report[4].mailreport_subject),
              fields(addr127, addr127, addr127));
    EXPECT_EQ(std::string(as.mail_client[1].mailclient_subject), over.substr(0, 127));
    EXPECT_EQ(fields(as.mail.mail_sender, as.mail.mail_smtp_port), "x$y,z|587");
    const auto& d = ss.digitalI;
    EXPECT_EQ(fields(d[0].name, d[0].time, d[0].ontext, d[0].offtext, d[0].enable, d[1].name, d[2].name),
              "a$b,c|42|on,$|$$|1|DI2x|DI3");
    EXPECT_EQ(fields(ss.analog[7].unit, ss.analog[7].log, ss.analog[7].range), fields(over.substr(0, 31), 1, 3));
}

TEST_F(SettingsLoadingTest, NullCellsLoadAsEmptyTextAndZero)
{
    std::strcpy(ss.analog[0].name, "before");
    ss.analog[0].input_max = 7;
    ss.analog[0].enable = true;
    load({"UPDATE webapp_ai SET name=NULL, input_max=NULL, enable=NULL WHERE id=1",
          "UPDATE webapp_mqttconfig SET mqtt_addr=NULL, mqtt_port=NULL"});
    // The rest of the row still loads.
    EXPECT_EQ(fields(ss.analog[0].name, ss.analog[0].input_max, ss.analog[0].enable, ss.analog[0].input_min), "|0|0|400");
    EXPECT_EQ(fields(as.mqtt.sendip, as.mqtt.port), "|0");
}

TEST_F(SettingsLoadingTest, FewerRowsLeaveTheOtherElementsAsTheyWereAndLoadedOnesLoseTheirChangeFlag)
{
    std::strcpy(ss.digitalI[5].name, "keep");
    ss.digitalI[5].time = 99;
    ss.digitalI[5].changeflg = true;
    as.snmp_trap_scenario[10].sensortype = 4;
    for (auto& d : ss.onewire_temperature) d.changeflg = true;
    for (auto& t : ss.trend) t.changeflg = true;
    for (auto& s : as.mqtt_scenario) s.changeflg = true;
    load({"DELETE FROM webapp_di WHERE id > 3", "DELETE FROM webapp_trap_scenario WHERE id > 5"});
    EXPECT_EQ(fields(ss.digitalI[2].name, ss.digitalI[5].name, ss.digitalI[5].time, ss.digitalI[5].changeflg), "DI3|keep|99|1");
    EXPECT_EQ(as.snmp_trap_scenario[10].sensortype, 4);
    for (auto& d : ss.onewire_temperature) EXPECT_FALSE(d.changeflg);
    for (auto& t : ss.trend) EXPECT_FALSE(t.changeflg);
    for (auto& s : as.mqtt_scenario) EXPECT_FALSE(s.changeflg);
}

TEST_F(SettingsLoadingTest, ResultTextFormLoadsLikeRows)
{
    setsettings("1$60$,2$120$,", "webapp_bat_config");
    EXPECT_EQ(ss.battery[0].alert, 60);
    EXPECT_EQ(ss.battery[1].alert, 120);
    EXPECT_EQ(ss.battery[1].alert_clear, 0);  // cells beyond the result read as 0
}

// ---- System files --------------------------------------------------------

TEST(SettingsLoadingFileTest, ParseEachFileGivesItsFieldsAndLeavesTheRest)
{
    // Every parser starts from fields holding "pre" (or 7 and 9).
    auto ntp = [](const char* text) {
        SETTINGS_TABLE::Time t{};
        for (auto& s : t.ntp) std::strcpy(s, "pre");
        parse_ntp_conf(text, t);
        return fields(t.ntp[0], t.ntp[1], t.ntp[2]);
    };
    auto dns = [](const char* text) {
        SETTINGS_TABLE::Network n{};
        std::strcpy(n.dns3, "pre");
        parse_resolv_conf(text, n);
        return fields(n.dns1, n.dns2, n.dns3);
    };
    auto syslog = [](const char* text) {
        SETTINGS_TABLE::Syslog s{7, "pre", 9};
        parse_busybox_syslog(text, s);
        return fields(s.destination, s.ipaddr, s.port);
    };
    auto eth = [](const char* text) {
        SETTINGS_TABLE::Network n{};
        n.dhcp = true;
        std::strcpy(n.gateway, "pre");
        parse_eth_network(text, n);
        return fields(n.dhcp, n.gateway);
    };
    auto ifc = [](const char* text) {
        SETTINGS_TABLE::Network n{};
        std::strcpy(n.ipaddr, "pre");
        parse_ifconfig(text, n);
        return fields(n.ipaddr, n.netmask);
    };
    struct Case {
        std::function<std::string(const char*)> parse;
        const char* text;
        const char* expected;
    } cases[] = {
        // up to three servers that are not commented out, blanks removed
        {ntp, "server  ntp1.example.org \nserver\tntp2 iburst\n", "ntp1.example.org|ntp2iburst|"},
        {ntp, "# server commented.example\nserver a\n", "a||pre"},
        {ntp, "server a\nserver b\nserver c\nserver d\n", "a|b|c"},
        {ntp, "driftfile /x\n", "|pre|pre"},
        // name servers fill the slots in order and empty the rest
        {dns, "nameserver 192.0.2.1\nnameserver 192.0.2.2\n", "192.0.2.1|192.0.2.2|"},
        {dns, "search lan\nnameserver  8.8.8.8 \nnameserver 1.1.1.1\nnameserver 9.9.9.9\nnameserver 4.4.4.4\n",
         "8.8.8.8|1.1.1.1|9.9.9.9"},
        {dns, "", "||"},
        // syslog: a remote target, the local file, or nothing
        {syslog, "OPTIONS=\"-R 192.0.2.5:514\"\n", "1|192.0.2.5|514"},
        {syslog, "# comment\nOPTIONS=\"-C128 -R 192.0.2.9 : 1514\"\n", "1|192.0.2.9|1514"},
        {syslog, "OPTIONS=\"-O /opt/syslog/messages -s 200 -b 7\"\n", "0||0"},
        {syslog, "#OPTIONS=\"-R 192.0.2.5:514\"\n", "7|pre|9"},
        {syslog, "OPTIONS=\"-C128\"\n", "7|pre|9"},
        {syslog, "MY_OPTIONS=\"-R 10.0.0.1:1\"\n", "7|pre|9"},
        // the network unit and the ifconfig output
        {eth, "[Network]\nDHCP=yes\n", "1|"},
        {eth, "[Network]\nDHCP=no\nAddress=10.1.2.3/8\nGateway = 10.0.0.254 \n", "0|10.0.0.254"},
        {eth, "DHCP=no\n# yes on another line\n", "0|"},
        {ifc, "eth0      Link encap:Ethernet\n          inet addr:10.1.2.3  Bcast:10.255.255.255  Mask:255.0.0.0\n",
         "10.1.2.3|255.0.0.0"},
        {ifc, "", "|"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.parse(c.text), c.expected) << c.text;
    SETTINGS_TABLE::Network n{};
    parse_hostname("kvt-room3\n", n);
    EXPECT_STREQ(n.host, "kvt-room3");
}

TEST(SettingsLoadingFileTest, ReadMissingFilesLeaveNtpAndSyslogAndEmptyTheHost)
{
    reset_run_flags();
    TestSandbox sb(false);
    std::remove(sb.path("/etc/ntp.conf").c_str());
    std::remove(sb.path("/etc/default/busybox-syslog").c_str());
    std::remove(sb.path("/etc/hostname").c_str());
    EXPECT_FALSE(read_system_file("/etc/ntp.conf").has_value());
    std::memset(&admin_settings, 0, sizeof admin_settings);
    std::strcpy(admin_settings.time.ntp[0], "kept");
    admin_settings.syslog = {1, "192.0.2.1", 514};
    std::strcpy(admin_settings.network.host, "old");
    read_ntp_file();
    read_syslog_file();
    read_network_files();
    const auto& as = admin_settings;
    EXPECT_EQ(fields(as.time.ntp[0], as.syslog.destination, as.syslog.ipaddr, as.network.host), "kept|1|192.0.2.1|");
    // The address comes from the ifconfig output the system writes for us.
    EXPECT_EQ(fields(as.network.ipaddr, as.network.netmask, as.network.gateway, as.network.dns1),
              "192.168.1.200|255.255.255.0|192.168.1.1|192.168.1.1");
    EXPECT_EQ(count_of(sb.read("/sim/commands.log"), "ifconfig > /tmp/ifconfig.txt"), 1);
}

// ---- Start-up data fixes and derived fields -------------------------------

TEST(For107UpdateTest, QueuesExactlyTheRecordsWhoseLowerThresholdsWereWrong)
{
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    db_save.clear();
    constexpr int WRONG = 2147483647;
    constexpr int OFF = -2147483647 - 1;
    sensor_settings.analog[2].alert_min_val = WRONG;
    sensor_settings.analog[3].alert_max_val = WRONG;  // upper: correct as is
    sensor_settings.onewire_temperature[5].caution_min_clear = WRONG;
    sensor_settings.onewire_humidity[15].caution_min_val = WRONG;
    auto& nx = sensor_settings.kvt_nx40[99];
    nx.caution_min_val = nx.caution_min_clear = nx.alert_min_val = nx.alert_min_clear = WRONG;
    sensor_settings.veloxa[0].t_alert_min_val = WRONG;

    for107update();

    EXPECT_EQ(drain(db_save), (std::vector<std::string>{"10,2,", "15,5,", "16,15,", "25,99,"}));
    const auto& s = sensor_settings;
    EXPECT_EQ(fields(s.analog[2].alert_min_val, s.analog[2].changeflg, s.analog[3].alert_max_val, s.analog[3].changeflg),
              fields(OFF, 1, WRONG, 0));
    EXPECT_EQ(fields(s.onewire_temperature[5].caution_min_clear, s.onewire_humidity[15].caution_min_val,
                     nx.caution_min_val, nx.alert_min_clear, nx.changeflg),
              fields(OFF, OFF, OFF, OFF, 1));
    EXPECT_EQ(s.veloxa[0].t_alert_min_val, WRONG);
    // A second run finds nothing left to fix.
    for107update();
    EXPECT_TRUE(db_save.empty());
}

TEST(SetSensorDataTest, TrendListsHoldADayOfZerosExceptDigitalOutputs)
{
    set_sensor_data();
    auto full = [](const SETTINGS_TABLE::data_list& d) {
        for (auto* l : {&d.alert_max_ls, &d.alert_min_ls, &d.caution_max_ls, &d.caution_min_ls})
            if (l->size() != 1440 || l->sum_newest(1440) != 0) return false;
        return true;
    };
    auto& sd = sensor_data;
    for (const auto* arr : {sd.analog, sd.onewire_temperature, sd.onewire_humidity, sd.veloxa_t, sd.veloxa_h, sd.kvt_nx40})
        EXPECT_TRUE(full(arr[0]) && full(arr[7]));
    EXPECT_TRUE(full(sd.onewire_temperature[127]) && full(sd.kvt_nx40[99]) && full(sd.veloxa_h[49]));
    EXPECT_EQ(fields(sd.digitalI[7].alert_max_ls.size(), sd.digitalI[7].alert_min_ls.size(), sd.digitalO[0].alert_max_ls.size()),
              "1440|0|0");
}

TEST(For105UpdateTest, OldNx40LogFoldersMoveToNewNamesAndDisappear)
{
    reset_run_flags();
    TestSandbox sb(false);
    for (const char* root : {"/log/trend_log", "/log/filter_log", "/log/sensor_log"}) {
        ::mkdir(sb.path(root).c_str(), 0777);
        ::mkdir(sb.path(std::string(root) + "/KVT-MS-NX40_01-50").c_str(), 0777);
        sb.write(std::string(root) + "/KVT-MS-NX40_01-50/day1.csv", "x");
    }
    for105update();
    for (const char* root : {"/log/trend_log", "/log/filter_log", "/log/sensor_log"}) {
        std::string r(root);
        EXPECT_TRUE(sb.exists(r + "/MeshTemp_01-50/day1.csv")) << r;
        EXPECT_TRUE(sb.exists(r + "/MeshTemp_51-100")) << r;
        EXPECT_FALSE(sb.exists(r + "/KVT-MS-NX40_01-50")) << r;
    }
    EXPECT_EQ(count_of(sb.read("/sim/commands.log"), "mv -f /log/"), 6);
    // A second start finds nothing to move and keeps the files.
    for105update();
    EXPECT_TRUE(sb.exists("/log/sensor_log/MeshTemp_01-50/day1.csv"));
}

}  // namespace
