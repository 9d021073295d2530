// Command texts from the web UI: splitting, what each settings command
// changes in the records and what it asks the settings writer to save.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "command.h"
#include "common.h"
#include "record_text.h"
#include "sandbox.h"

namespace {

using namespace SETTINGS_TABLE;

// "cmd,n,102,103,...,<last>,": every data field carries 100 + its own
// number, so a value in the wrong field shows which field it came from.
std::string numbered(int cmd, int n, int last)
{
    std::string s = std::to_string(cmd) + "," + std::to_string(n) + ",";
    for (int k = 2; k <= last; ++k) s += std::to_string(100 + k) + ",";
    return s;
}

std::vector<std::string> split(const std::string& s) { return split_fields(s.data(), s.size()); }

struct Region {
    const void* base;
    size_t size;
};

// First byte of the records that differs from the snapshot outside the
// regions the command may change; -1 when there is none.
long changed_outside(const void* now, const void* before, size_t n, const std::vector<Region>& allowed)
{
    const auto* a = static_cast<const unsigned char*>(now);
    const auto* b = static_cast<const unsigned char*>(before);
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        bool ok = false;
        for (const Region& r : allowed) {
            auto* lo = static_cast<const unsigned char*>(r.base);
            if (a + i >= lo && a + i < lo + r.size) ok = true;
        }
        if (!ok) return static_cast<long>(i);
    }
    return -1;
}

Sensor_settings snap_s;
Admin_settings snap_a;

void clear_records()
{
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    std::memset(&admin_settings, 0, sizeof admin_settings);
    db_save.clear();
    mail_send.clear();
}

struct CommandCase {
    const char* name;
    std::string text;
    std::vector<Region> may_change;
    std::vector<std::string> saves;
    std::function<void()> check;
};

template <typename T>
Region region(const T& r)
{
    return {&r, sizeof r};
}

// The values from..to as fields() writes them: "108|109|...|115".
std::string seq(int from, int to)
{
    std::string s;
    for (int v = from; v <= to; ++v) s += (v > from ? "|" : "") + std::to_string(v);
    return s;
}

// The eight thresholds stand one after another from alert_max_val on.
std::string levels(const int* t) { return fields(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]); }

template <typename T>
std::string probe(const T& e)
{
    return fields(e.name, e.enable, e.device_ID, levels(&e.alert_max_val), e.trend_id, e.log, e.changeflg);
}

std::string groups(int cmd, int count, int width, int first_field, const std::function<std::string(int, int)>& cell)
{
    std::string s = std::to_string(cmd) + ",";
    if (first_field == 2) s += "0,";
    for (int g = 0; g < count; ++g)
        for (int c = 0; c < width; ++c) s += cell(g, c) + ",";
    return s;
}

std::vector<CommandCase> command_cases()
{
    auto& ss = sensor_settings;
    auto& as = admin_settings;
    static const std::string probe_fields = "102|1|104|" + seq(105, 112) + "|113|1|1";
    std::vector<CommandCase> cases;
    cases.push_back({"digital input 3", numbered(1, 3, 9), {region(ss.digitalI[2])}, {"1,2,"}, [&] {
                         const auto& e = ss.digitalI[2];
                         EXPECT_EQ(fields(e.name, e.enable, e.time, e.ontext, e.offtext, e.errortext_id, e.trend_id,
                                          e.log, e.changeflg),
                                   "102|1|104|105|106|107|108|1|1");
                     }});
    cases.push_back({"relay output 8", numbered(2, 8, 18), {region(ss.digitalO[7])}, {"2,7,"}, [&] {
                         const auto& e = ss.digitalO[7];
                         EXPECT_EQ(fields(e.name, e.enable, e.ontext, e.offtext, e.doinit, e.dokeep, e.errortext_id,
                                          e.trend_id, e.log, e.ontype, e.onsensor, e.onstate, e.onenable, e.offtype,
                                          e.offsensor, e.offstate, e.offenable, e.changeflg),
                                   "102|1|104|105|1|1|108|109|1|" + seq(111, 118) + "|1");
                     }});
    cases.push_back({"analog input 1", numbered(10, 1, 20), {region(ss.analog[0])}, {"10,0,"}, [&] {
                         const auto& e = ss.analog[0];
                         EXPECT_EQ(fields(e.name, e.enable, e.input_max, e.input_min, e.output_max, e.output_min,
                                          levels(&e.alert_max_val), e.err_sampling, e.unit, e.trend_id, e.log, e.range,
                                          e.changeflg),
                                   "102|1|" + seq(104, 117) + "|118|1|120|1");
                     }});
    cases.push_back({"1-Wire temperature 128", numbered(15, 128, 14), {region(ss.onewire_temperature[127])},
                     {"15,127,"}, [&] { EXPECT_EQ(probe(ss.onewire_temperature[127]), probe_fields); }});
    cases.push_back({"1-Wire humidity 16", numbered(16, 16, 14), {region(ss.onewire_humidity[15])}, {"16,15,"},
                     [&] { EXPECT_EQ(probe(ss.onewire_humidity[15]), probe_fields); }});
    cases.push_back({"NX40 1", numbered(25, 1, 14), {region(ss.kvt_nx40[0])}, {"25,0,"},
                     [&] { EXPECT_EQ(probe(ss.kvt_nx40[0]), probe_fields); }});
    cases.push_back({"1-Wire id to temperature probe", "18,5,28FF00112233,1,", {region(ss.onewire_temperature[4])},
                     {"15,4,"}, [&] {
                         EXPECT_EQ(fields(ss.onewire_temperature[4].device_ID, ss.onewire_temperature[4].changeflg),
                                   "28FF00112233|1");
                     }});
    // 31 bytes into the 31-byte label fields and 32 into a 32-byte
    // identifier: each text is cut at its last whole UTF-8 character.
    cases.push_back({"digital input 2 texts too long: cut at a whole character",
                     "1,2,名前,1,0,aあいうえおかきくけこ,abc😀😀😀😀😀😀😀,0,0,0,", {region(ss.digitalI[1])},
                     {"1,1,"}, [&] {
                         EXPECT_EQ(fields(ss.digitalI[1].ontext, ss.digitalI[1].offtext),
                                   "aあいうえおかきくけ|abc😀😀😀😀😀😀");
                     }});
    cases.push_back({"1-Wire id too long: cut at a whole character", "18,6,xyあいうえおかきくけこ,1,",
                     {region(ss.onewire_temperature[5])}, {"15,5,"},
                     [&] { EXPECT_STREQ(ss.onewire_temperature[5].device_ID, "xyあいうえおかきくけ"); }});
    cases.push_back({"1-Wire id to humidity probe", "18,16,26AA,0,", {region(ss.onewire_humidity[15])},
                     {"16,15,"}, [&] { EXPECT_STREQ(ss.onewire_humidity[15].device_ID, "26AA"); }});
    cases.push_back({"VLXA 50", numbered(20, 50, 26), {region(ss.veloxa[49])}, {"20,49,"}, [&] {
                         const auto& e = ss.veloxa[49];
                         EXPECT_EQ(fields(e.name, e.enable, e.device_ID, e.t_name, levels(&e.t_alert_max_val),
                                          e.t_trend_id, e.t_log, e.h_name, levels(&e.h_alert_max_val), e.h_trend_id,
                                          e.h_log, e.changeflg),
                                   "102|1|" + seq(104, 114) + "|1|" + seq(116, 125) + "|1|1");
                     }});
    cases.push_back({"VLXA identifier", "21,2,00-17-0D,", {region(ss.veloxa[1])}, {"20,1,"},
                     [&] { EXPECT_STREQ(ss.veloxa[1].device_ID, "00-17-0D"); }});
    cases.push_back({"NX40 identifier", "26,100,NX-9,", {region(ss.kvt_nx40[99])}, {"25,99,"},
                     [&] { EXPECT_STREQ(ss.kvt_nx40[99].device_ID, "NX-9"); }});
    cases.push_back({"mesh error time", "24,600,", {}, {"24,999,"}, [&] { EXPECT_EQ(SM_err_time.load(), 600); }});
    cases.push_back({"battery thresholds in volts", "28,3.35,3.4,3.45,3.5,2.9,0.29,3.456,-1.5,",
                     {region(ss.battery)}, {"28,999,"}, [&] {
                         const auto& b = ss.battery;
                         EXPECT_EQ(fields(b[0].alert, b[0].alert_clear, b[0].caution, b[0].caution_clear, b[1].alert,
                                          b[1].alert_clear, b[1].caution, b[1].caution_clear, b[0].changeflg,
                                          b[1].changeflg),
                                   "335|340|345|350|290|29|345|-150|1|1");
                     }});
    cases.push_back({"SmartMesh cycle 3", "29,3,15,", {region(ss.smartMesh_cycle[2])}, {"29,2,"},
                     [&] { EXPECT_EQ(ss.smartMesh_cycle[2].cycle_minutes, 15); }});
    cases.push_back({"trend rules by index", "30,5,1,11,12,13,14,15,0,1,21,22,23,24,25,",
                     {region(ss.trend[5]), region(ss.trend[0])}, {"30,999,"}, [&] {
                         const auto& t = ss.trend;
                         EXPECT_EQ(fields(t[5].enable, t[5].minutes, t[5].au_per, t[5].al_per, t[5].cu_per, t[5].cl_per),
                                   "1|11|12|13|14|15");
                         EXPECT_EQ(fields(t[0].minutes, t[0].cl_per), "21|25");
                     }});
    cases.push_back({"network", "32,0,kvt-host,1,10.0.0.5,255.0.0.0,10.255.255.255,10.0.0.1,8.8.8.8,8.8.4.4,1.1.1.1,",
                     {region(as.network)}, {"32,999,"}, [&] {
                         const auto& n = as.network;
                         EXPECT_EQ(fields(n.host, n.dhcp, n.ipaddr, n.netmask, n.broadcast, n.gateway, n.dns1, n.dns2,
                                          n.dns3),
                                   "kvt-host|1|10.0.0.5|255.0.0.0|10.255.255.255|10.0.0.1|8.8.8.8|8.8.4.4|1.1.1.1");
                     }});
    cases.push_back({"SNMP access by entry number",
                     groups(33, 8, 4, 1,
                            [](int g, int c) {
                                return c == 0 ? std::to_string(8 - g) : c == 3 ? "1" : "e" + std::to_string(8 - g) + "c" + std::to_string(c);
                            }),
                     {region(as.snmp)}, {"33,999,"}, [&] {
                         for (int i = 0; i < 8; ++i) {
                             const std::string e = "e" + std::to_string(i + 1);
                             EXPECT_EQ(fields(as.snmp[i].ipaddr, as.snmp[i].community, as.snmp[i].enable, as.snmp[i].changeflg),
                                       e + "c1|" + e + "c2|1|1");
                         }
                     }});
    cases.push_back({"trap receivers with their SNMPv3 user", groups(34, 8, 6, 1, [](int g, int c) {
                         return c == 0 ? std::to_string(g + 1) : c == 3 ? std::to_string(g % 2 + 2) : c == 4 ? "1" : c == 5 ? std::to_string(8 - g) : "r" + std::to_string(g) + "c" + std::to_string(c);
                     }),
                     {region(as.snmp_trap)}, {"34,999,"}, [&] {
                         const auto& t = as.snmp_trap;
                         EXPECT_EQ(fields(t[7].sendto, t[7].community, t[7].version, t[0].version, t[3].enable, t[0].user, t[7].user),
                                   "r7c1|r7c2|3|2|1|8|1");
                     }});
    cases.push_back({"SNMPv3 user 8", "62,8,ops,3,auth-pass-1,1,priv-pass-1,1,1,", {region(as.snmp_user[7])}, {"62,7,"}, [&] {
                         const auto& u = as.snmp_user[7];
                         EXPECT_EQ(fields(u.snmp_user_name, u.snmp_user_auth, u.snmp_user_auth_pass, u.snmp_user_priv,
                                          u.snmp_user_priv_pass, u.snmp_user_access, u.snmp_user_enable, u.changeflg),
                                   "ops|3|auth-pass-1|1|priv-pass-1|1|1|1");
                     }});
    cases.push_back({"SNMPv1/v2c switch", "63,0,", {region(as.snmp_agent)}, {"63,999,"}, [&] {
                         EXPECT_EQ(fields(as.snmp_agent.snmp_v1v2c_enable, as.snmp_agent.snmp_engine_boots, as.snmp_agent.changeflg), "0|0|1");
                     }});
    cases.push_back({"trap scenarios", groups(35, 192, 4, 1, [](int g, int c) { return std::to_string(c == 3 ? 1 : g * 10 + c); }),
                     {{&as.snmp_trap_scenario[0], sizeof(Scenario) * 192}}, {"35,999,"}, [&] {
                         const auto& t = as.snmp_trap_scenario;
                         EXPECT_EQ(fields(t[0].sensortype, t[191].sensortype, t[191].sensor, t[191].state, t[191].enable),
                                   "0|1910|1911|1912|1");
                     }});
    cases.push_back({"clock and NTP", "36,0,2026,3,5,12,7,9,ntp1.example,,ntp3.example,", {region(as.time)}, {"36,999,"},
                     [&] {
                         const auto& t = as.time;
                         EXPECT_EQ(fields(t.year, t.month, t.day, t.hour, t.minute, t.second, t.ntp[0], t.ntp[1], t.ntp[2]),
                                   "2026|3|5|12|7|9|ntp1.example||ntp3.example");
                     }});
    cases.push_back({"MQTT connection", "37,0,42,broker.example,1883,user,secret,", {region(as.mqtt)}, {"37,999,"}, [&] {
                         const auto& m = as.mqtt;
                         EXPECT_EQ(fields(m.unitid, m.sendip, m.port, m.loginid, m.pwd, m.tls, m.cafile),
                                   "42|broker.example|1883|user|secret|0|");
                     }});
    cases.push_back({"MQTT over TLS with a client certificate",
                     "37,0,42,broker.example,8883,user,secret,2,/opt/KVT7400/certs/ca.crt,/opt/KVT7400/certs/c.crt,"
                     "/opt/KVT7400/certs/c.key,",
                     {region(as.mqtt)}, {"37,999,"}, [&] {
                         const auto& m = as.mqtt;
                         EXPECT_EQ(fields(m.port, m.pwd, m.tls, m.cafile, m.certfile, m.keyfile),
                                   "8883|secret|2|/opt/KVT7400/certs/ca.crt|/opt/KVT7400/certs/c.crt|"
                                   "/opt/KVT7400/certs/c.key");
                     }});
    cases.push_back({"MQTT scenarios skip the unused field",
                     groups(38, 24, 5, 2, [](int g, int c) { return c == 4 ? "999" : std::to_string(g * 10 + c + 1); }),
                     {region(as.mqtt_scenario)}, {"38,999,"}, [&] {
                         const auto& m = as.mqtt_scenario;
                         EXPECT_EQ(fields(m[23].sensortype, m[23].sensor, m[23].state, m[1].sensortype), "231|232|233|11");
                     }});
    cases.push_back({"mail server", "39,0,smtp.example,587,acct,pw,a@example.com,sender,1,0,1,", {region(as.mail)},
                     {"39,999,"}, [&] {
                         const auto& m = as.mail;
                         EXPECT_EQ(fields(m.mail_smtp, m.mail_smtp_port, m.mail_account, m.mail_password, m.mail_mailaddr,
                                          m.mail_sender, m.mail_smtp_auth, m.mail_encode, m.mail_sendmail),
                                   "smtp.example|587|acct|pw|a@example.com|sender|1|0|1");
                     }});
    cases.push_back({"mail recipients", groups(40, 5, 3, 2, [](int g, int c) { return "m" + std::to_string(g) + "c" + std::to_string(c); }),
                     {region(as.mail_client)}, {"40,999,"}, [&] {
                         EXPECT_EQ(fields(as.mail_client[4].mailclient_addr, as.mail_client[4].mailclient_subject), "m4c0|m4c1");
                     }});
    cases.push_back({"mail scenarios", groups(41, 120, 5, 2, [](int g, int c) { return std::to_string(g * 10 + c + 1); }),
                     {{&as.mail_client_scenario[0], sizeof(Scenario) * 120}}, {"41,999,"}, [&] {
                         EXPECT_EQ(fields(as.mail_client_scenario[119].sensortype, as.mail_client_scenario[119].state), "1191|1193");
                     }});
    cases.push_back({"mail reports", groups(42, 5, 8, 2, [](int g, int c) { return std::to_string(g * 10 + c + 1); }),
                     {region(as.mail_report)}, {"42,999,"}, [&] {
                         const auto& r = as.mail_report[4];
                         EXPECT_EQ(fields(r.mailreport_addr, r.mailreport_subject, r.mailreport_enable, r.mailreport_day,
                                          r.mailreport_week, r.mailreport_hour, r.mailreport_minute),
                                   seq(41, 47));
                     }});
    cases.push_back({"sensor-log cycles recompute the retention", "43,30,31,32,33,34,35,36,37,90,91,92,93,94,95,",
                     {region(as.sensor_log_cycle)}, {"43,999,"}, [&] {
                         EXPECT_EQ(fields(as.sensor_log_cycle[0].cycle_minutes, as.sensor_log_cycle[7].cycle_minutes), "30|37");
                         // No channel logs: the estimate is 0 and retention unlimited.
                         for (int i = 8; i < 14; ++i) EXPECT_EQ(as.sensor_log_cycle[i].cycle_minutes, 2147483647);
                     }});
    cases.push_back({"remote syslog", "55,1,192.0.2.5,514,", {region(as.syslog)}, {"55,999,"}, [&] {
                         EXPECT_EQ(fields(as.syslog.destination, as.syslog.ipaddr, as.syslog.port), "1|192.0.2.5|514");
                     }});
    cases.push_back({"1-Wire retries", "58,3,200,1,4,300,0,", {region(as.onewire_conf)}, {"58,999,"}, [&] {
                         const auto& o = as.onewire_conf;
                         EXPECT_EQ(fields(o.onewire_temp_retry_num, o.onewire_temp_retry_interval, o.onewire_temp_retry_log_enable,
                                          o.onewire_humid_retry_num, o.onewire_humid_retry_interval,
                                          o.onewire_humid_retry_log_enable),
                                   "3|200|1|4|300|0");
                     }});
    return cases;
}

void run_cases(const std::vector<CommandCase>& cases, bool expect_refusal)
{
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        clear_records();
        snap_s = sensor_settings;
        snap_a = admin_settings;
        int refusals = 0;
        EXPECT_TRUE(apply_settings_command(split(c.text), &refusals));
        EXPECT_EQ(refusals, expect_refusal ? 1 : 0);
        c.check();
        EXPECT_EQ(changed_outside(&sensor_settings, &snap_s, sizeof snap_s, c.may_change), -1) << "sensor_settings";
        EXPECT_EQ(changed_outside(&admin_settings, &snap_a, sizeof snap_a, c.may_change), -1) << "admin_settings";
        EXPECT_EQ(drain(db_save), c.saves);
    }
}

}  // namespace

TEST(CommandQueueTest, SplittingFollowsTheCommas)
{
    struct Case {
        std::string text;
        std::vector<std::string> fields;
    } cases[] = {
        {"1,3,abc,", {"1", "3", "abc"}},
        {"61", {"61"}},                       // no comma: field 0 alone
        {"31,4", {"31", "4"}},                // text after the last comma is a field
        {"1,,x,", {"1", "", "x"}},
        {"", {}},
        {",", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.text), c.fields) << c.text;
}

TEST(CommandQueueTest, EchoShowsEveryFieldButTheSecrets)
{
    // Communities of the access list (33) and of the trap receivers (34),
    // the MQTT password (37), the mail password (39) and the SNMPv3 users'
    // passphrases (62) never reach the console; everything else is echoed
    // as it came.
    struct Case {
        std::string text, echo;
    } cases[] = {
        {"33,1,10.0.0.1,public,1,2,10.0.0.2,private,0,", "33, 1, 10.0.0.1, ***, 1, 2, 10.0.0.2, ***, 0, "},
        {"34,1,127.0.0.1,public,2,1,1,2,10.0.0.9,trapc,3,0,2,", "34, 1, 127.0.0.1, ***, 2, 1, 1, 2, 10.0.0.9, ***, 3, 0, 2, "},
        {"37,0,42,broker,1883,user,pw,", "37, 0, 42, broker, 1883, user, ***, "},
        {"39,0,smtp.example,587,acct,pw,a@b,", "39, 0, smtp.example, 587, acct, ***, a@b, "},
        {"62,3,ops,3,Auth-Phrase-1,1,Priv-Phrase-1,1,1,", "62, 3, ops, 3, ***, 1, ***, 1, 1, "},
        {"62,3,ops,3,Auth-Phrase-1,", "62, 3, ops, 3, ***, "},
        {"1,37,a,b,c,d,e,", "1, 37, a, b, c, d, e, "},
        {"1,62,a,b,c,d,e,", "1, 62, a, b, c, d, e, "},
    };
    for (const Case& c : cases) EXPECT_EQ(fields_echo(c.text.data(), c.text.size()), c.echo) << c.text;
}

TEST(CommandQueueTest, FieldCountAndLengthAreBounded)
{
    std::string many;
    for (int i = 0; i < 1500; ++i) many += "7,";
    EXPECT_EQ(split(many).size(), CMD_MAX_FIELDS);

    std::string longf = "1,3," + std::string(5000, 'x') + ",9,";
    auto f = split(longf);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[2].size(), CMD_FIELD_MAX);
    EXPECT_EQ(f[3], "9");

    // A text without its terminator ends where its length says.
    char raw[4] = {'2', ',', '5', 'X'};
    EXPECT_EQ(split_fields(raw, 3), (std::vector<std::string>{"2", "5"}));
}

TEST(CommandQueueTest, EachCommandSetsExactlyItsFieldsAndQueuesItsSave)
{
    TestSandbox sb(false);
    run_cases(command_cases(), false);
}

TEST(CommandQueueTest, RecordsOutsideTheArraysAreRefused)
{
    TestSandbox sb(false);
    std::vector<CommandCase> cases = {
        {"input 0", numbered(1, 0, 9), {}, {}, [] {}},
        {"input 9", numbered(1, 9, 9), {}, {}, [] {}},
        {"letters for the number", "1,three,a,1,", {}, {}, [] {}},
        {"relay 9", numbered(2, 9, 18), {}, {}, [] {}},
        {"analog -1", numbered(10, -1, 20), {}, {}, [] {}},
        {"1-Wire temperature 129", numbered(15, 129, 14), {}, {}, [] {}},
        {"1-Wire humidity 17", numbered(16, 17, 14), {}, {}, [] {}},
        {"humidity id 17", "18,17,26AA,0,", {}, {}, [] {}},
        {"VLXA 51", numbered(20, 51, 26), {}, {}, [] {}},
        {"VLXA id 2147483647", "21,2147483647,x,", {}, {}, [] {}},
        {"NX40 101", numbered(25, 101, 14), {}, {}, [] {}},
        {"NX40 id 0", "26,0,x,", {}, {}, [] {}},
        {"mesh cycle 4", "29,4,15,", {}, {}, [] {}},
        {"record without fields", "1,3,", {}, {}, [] {}},
        {"network without fields", "32,0,", {}, {}, [] {}},
        {"syslog without fields", "55", {}, {}, [] {}},
        {"SNMPv3 user 9", "62,9,ops,1,maplesyrup,0,,0,1,", {}, {}, [] {}},
        {"SNMPv3 user 0", "62,0,ops,1,maplesyrup,0,,0,1,", {}, {}, [] {}},
        {"v1/v2c switch without its value", "63", {}, {}, [] {}},
    };
    run_cases(cases, true);
}

TEST(CommandQueueTest, BadGroupsAreRefusedAndTheirNeighboursStillApplied)
{
    TestSandbox sb(false);
    auto& ss = sensor_settings;
    auto& as = admin_settings;
    std::vector<CommandCase> cases = {
        {"trend rule 6 among good ones", "30,6,1,1,1,1,1,1,2,1,40,41,42,43,44,", {region(ss.trend[2])}, {"30,999,"},
         [&] { EXPECT_EQ(ss.trend[2].minutes, 40); }},
        {"SNMP entry 9 among good ones", "33,9,x,y,1,2,10.0.0.0/8,priv,1,", {region(as.snmp[1])}, {"33,999,"},
         [&] { EXPECT_STREQ(as.snmp[1].ipaddr, "10.0.0.0/8"); }},
        {"trap receiver 0", "34,0,x,y,2,1,", {}, {"34,999,"}, [] {}},
    };
    run_cases(cases, true);
}

TEST(CommandQueueTest, ShortGroupMessagesLeaveTheUnsentEntriesAlone)
{
    TestSandbox sb(false);
    auto& as = admin_settings;
    std::vector<CommandCase> cases = {
        {"two trap scenarios", "35,1,2,3,1,4,5,6,0,", {{&as.snmp_trap_scenario[0], 2 * sizeof(Scenario)}},
         {"35,999,"}, [&] { EXPECT_EQ(as.snmp_trap_scenario[1].state, 6); }},
        {"one mail recipient", "40,0,a@example.com,subject,", {region(as.mail_client[0])}, {"40,999,"},
         [&] { EXPECT_STREQ(as.mail_client[0].mailclient_subject, "subject"); }},
    };
    run_cases(cases, false);
}

TEST(CommandQueueTest, OtherCommandNumbersAreNotSettings)
{
    TestSandbox sb(false);
    for (const char* t : {"3,8,0,", "17,", "99,1,2,", "", "abc,1,"}) {
        clear_records();
        EXPECT_FALSE(apply_settings_command(split(t))) << t;
        EXPECT_TRUE(db_save.empty()) << t;
    }
}

TEST(CommandQueueTest, MailTestsGoToTheQueueAndTheScriptWithEachValueQuoted)
{
    TestSandbox sb(false);
    clear_records();
    dispatch_command(split("51,3,"));
    dispatch_command(split("51"));  // nothing to send
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"3,0,"}));
    copy_text(admin_settings.mail.mail_smtp, "smtp.example; rm -rf / 'x'");
    admin_settings.mail.mail_smtp_port = 25;
    dispatch_command(split("27,"));
    EXPECT_TRUE(sb.journal_has("python3 /opt/kvt/sbin/mailsend.py 'smtp.example; rm -rf / '\\''x'\\''' '25'"));
}

TEST(CommandQueueTest, ShellQuotingAndHundredths)
{
    struct Q {
        const char* in;
        const char* out;
    } quotes[] = {{"", "''"}, {"a b", "'a b'"}, {"it's", "'it'\\''s'"}, {"$(x)`y`", "'$(x)`y`'"}};
    for (const auto& q : quotes) EXPECT_EQ(shell_quote(q.in), q.out) << q.in;

    struct H {
        const char* in;
        int out;
    } hs[] = {{"3.456", 345}, {"-1.5", -150}, {"abc", 0}, {"", 0}, {"1e30", 2147483647}, {"nan", 0}, {"4", 400}};
    for (const auto& h : hs) EXPECT_EQ(hundredths(h.in), h.out) << h.in;
}

TEST(CommandQueueTest, SimulationFileReadsBackIntoTheSimulationArrays)
{
    static Sensor_settings s;
    static MONITOR_TABLE::Sensor_condition c;
    static MONITOR_TABLE::RequestFlg flg;
    std::memset(&s, 0, sizeof s);
    copy_text(s.digitalI[0].name, "入力,1");  // a comma in a name does not shift the value
    for (int i = 0; i < 16; ++i) c.digitalio[i].value = i % 2;
    for (int i = 0; i < 8; ++i) c.analog[i].value = 1000 + i;
    for (int i = 0; i < 128; ++i) c.onewire_temperature[i].value = 2000 + i;
    for (int i = 0; i < 16; ++i) c.onewire_humidity[i].value = 5000 + i;
    flg.ai_connection = 1;
    std::string text = debug_file_text(s, c, flg);
    EXPECT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_NE(text.find("\nAI接続,1\n"), std::string::npos);

    int di[8] = {};
    float ai[8] = {}, temp[128] = {}, humid[16] = {};
    EXPECT_EQ(parse_debug_text(text, di, ai, temp, humid), 169);
    EXPECT_EQ(fields(di[0], di[1], di[7], ai[7], temp[0], temp[127], humid[15]), "0|1|1|1007|2000|2127|5015");
}
