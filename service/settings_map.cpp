#include "settings_map.h"

#include <cstring>
#include <mutex>

#include "codes.h"

namespace SETTINGS_MAP {

namespace {

using namespace SETTINGS_TABLE;

constexpr signed char N = NONE;

#define TEXT(S, f, col, load, file, cmd) \
    Field{#f, Type::Text, offsetof(S, f), sizeof(S::f), col, load, file, cmd, false}
#define INT(S, f, col, load, file, cmd) Field{#f, Type::Int, offsetof(S, f), sizeof(int), col, load, file, cmd, false}
#define BOOL(S, f, col, load, file, cmd) Field{#f, Type::Bool, offsetof(S, f), sizeof(bool), col, load, file, cmd, false}
// The eight thresholds in their fixed order, from load column l, file
// position p and command field c on.
#define THRESHOLDS(S, pre, l, p, c)                                                  \
    INT(S, pre##alert_max_val, #pre "alert_max_val", l, p, c),                       \
        INT(S, pre##alert_max_clear, #pre "alert_max_clear", l + 1, p + 1, c + 1),   \
        INT(S, pre##caution_max_val, #pre "caution_max_val", l + 2, p + 2, c + 2),   \
        INT(S, pre##caution_max_clear, #pre "caution_max_clear", l + 3, p + 3, c + 3), \
        INT(S, pre##caution_min_val, #pre "caution_min_val", l + 4, p + 4, c + 4),   \
        INT(S, pre##caution_min_clear, #pre "caution_min_clear", l + 5, p + 5, c + 5), \
        INT(S, pre##alert_min_val, #pre "alert_min_val", l + 6, p + 6, c + 6),       \
        INT(S, pre##alert_min_clear, #pre "alert_min_clear", l + 7, p + 7, c + 7)

// Fields in the order of the writer's statement. Where the columns, the
// loader's positions and the file's positions do not follow the record,
// the map says so: that is the database's and the web UI's layout.
const Field DI[] = {
    TEXT(DigitalI, name, "name", 1, 0, 2),          BOOL(DigitalI, enable, "enable", 5, 1, 3),
    INT(DigitalI, time, "time", 2, 2, 4),           TEXT(DigitalI, ontext, "ontext", 3, 3, 5),
    TEXT(DigitalI, offtext, "offtext", 4, 4, 6),    INT(DigitalI, errortext_id, "errortext_id", 7, 5, 7),
    INT(DigitalI, trend_id, "trend_id", 8, 6, 8),   BOOL(DigitalI, log, "log", 6, N, 9),
};

const Field DO[] = {
    TEXT(DigitalO, name, "name", 1, 0, 2),             BOOL(DigitalO, enable, "enable", 6, 1, 3),
    TEXT(DigitalO, ontext, "ontext", 2, 2, 4),         TEXT(DigitalO, offtext, "offtext", 3, 3, 5),
    BOOL(DigitalO, doinit, "doinit", 4, 4, 6),         BOOL(DigitalO, dokeep, "dokeep", 5, 5, 7),
    INT(DigitalO, errortext_id, "errortext_id", 16, 6, 8), INT(DigitalO, trend_id, "trend_id", 17, N, 9),
    BOOL(DigitalO, log, "log", 15, N, 10),             INT(DigitalO, ontype, "ontype", 7, 7, 11),
    INT(DigitalO, onsensor, "onsensor", 8, 8, 12),     INT(DigitalO, onstate, "onstate", 9, 9, 13),
    INT(DigitalO, onenable, "onenable", 10, 10, 14),   INT(DigitalO, offtype, "offtype", 11, 11, 15),
    INT(DigitalO, offsensor, "offsensor", 12, 12, 16), INT(DigitalO, offstate, "offstate", 13, 13, 17),
    INT(DigitalO, offenable, "offenable", 14, 14, 18),
};

const Field AI[] = {
    TEXT(Analog, name, "name", 1, 0, 2),
    BOOL(Analog, enable, "enable", 2, 1, 3),
    INT(Analog, input_max, "input_max", 3, 2, 4),
    INT(Analog, input_min, "input_min", 4, 3, 5),
    INT(Analog, output_max, "output_max", 5, 4, 6),
    INT(Analog, output_min, "output_min", 6, 5, 7),
    THRESHOLDS(Analog, , 7, 6, 8),
    INT(Analog, err_sampling, "err_sampling", 15, 14, 16),
    TEXT(Analog, unit, "unit", 16, 15, 17),
    INT(Analog, trend_id, "trend_id", 19, 16, 18),
    BOOL(Analog, log, "log", 17, 17, 19),
    INT(Analog, range, "range_type", 18, 18, 20),
};

// 1-Wire temperature, 1-Wire humidity and NX40 share one layout.
const Field PROBE[] = {
    TEXT(Onewire_temperature, name, "name", 1, 0, 2),
    BOOL(Onewire_temperature, enable, "enable", 3, 1, 3),
    TEXT(Onewire_temperature, device_ID, "device_ID", 2, 2, 4),
    THRESHOLDS(Onewire_temperature, , 4, 3, 5),
    INT(Onewire_temperature, trend_id, "trend_id", 13, 11, 13),
    BOOL(Onewire_temperature, log, "log", 12, 12, 14),
};

// The database keeps the two trend ids last, humidity first.
const Field VLXA[] = {
    TEXT(Veloxa, name, "name", 1, 0, 2),
    BOOL(Veloxa, enable, "enable", 4, 1, 3),
    TEXT(Veloxa, device_ID, "device_ID", 2, 2, 4),
    TEXT(Veloxa, t_name, "t_name", 3, 3, 5),
    THRESHOLDS(Veloxa, t_, 5, 4, 6),
    INT(Veloxa, t_trend_id, "t_trend_id", 25, 12, 14),
    BOOL(Veloxa, t_log, "t_log", 13, 13, 15),
    TEXT(Veloxa, h_name, "h_name", 14, 14, 16),
    THRESHOLDS(Veloxa, h_, 15, 15, 17),
    INT(Veloxa, h_trend_id, "h_trend_id", 24, 23, 25),
    BOOL(Veloxa, h_log, "h_log", 23, 24, 26),
};

const Field MESH_CYCLE[] = {INT(SmartMesh_cycle, cycle_minutes, "cycle_minutes", 2, N, 2)};

// `percentage` is loaded but never written back; commands and the writer
// use the four per-threshold limits.
const Field TREND[] = {
    BOOL(Trend, enable, "enable", 2, N, 1),    INT(Trend, minutes, "minutes", 3, N, 2),
    INT(Trend, percentage, nullptr, 4, N, N), INT(Trend, au_per, "au_per", 5, N, 3),
    INT(Trend, al_per, "al_per", 6, N, 4),     INT(Trend, cu_per, "cu_per", 7, N, 5),
    INT(Trend, cl_per, "cl_per", 8, N, 6),
};

const Field BATTERY[] = {
    INT(Battery, alert, "alert", 1, N, 0),
    INT(Battery, alert_clear, "alert_clear", 2, N, 1),
    INT(Battery, caution, "caution", 3, N, 2),
    INT(Battery, caution_clear, "caution_clear", 4, N, 3),
};

// Loaded from the system files, not from the database.
const Field NETWORK[] = {
    TEXT(Network, host, "net_host", N, N, 2),
    BOOL(Network, dhcp, "net_dhcp", N, N, 3),
    TEXT(Network, ipaddr, "net_ipaddr", N, N, 4),
    TEXT(Network, netmask, "net_mask", N, N, 5),
    TEXT(Network, broadcast, "net_broadcast", N, N, 6),
    TEXT(Network, gateway, "net_gateway", N, N, 7),
    TEXT(Network, dns1, "net_dns1", N, N, 8),
    TEXT(Network, dns2, "net_dns2", N, N, 9),
    TEXT(Network, dns3, "net_dns3", N, N, 10),
};

const Field SNMP[] = {
    TEXT(Snmp, ipaddr, "snmp_access_ipaddr", 1, N, 1),
    TEXT(Snmp, community, "snmp_access_community", 2, N, 2),
    BOOL(Snmp, enable, "snmp_access_enable", 3, N, 3),
};

// The receiver's enable lives in a column named for something else.
const Field SNMP_TRAP[] = {
    TEXT(Snmp_trap, sendto, "snmp_trap_send_sendto", 1, N, 1),
    TEXT(Snmp_trap, community, "snmp_trap_send_community", 2, N, 2),
    INT(Snmp_trap, version, "snmp_trap_send_version", 3, N, 3),
    BOOL(Snmp_trap, enable, "snmp_trap_send_portoid", 4, N, 4),
    INT(Snmp_trap, user, "snmp_trap_send_user", 5, N, 5),
};

// Command 62 numbers the user in field 1. The passphrases are saved and
// loaded like any text; nothing else reads them back.
const Field SNMP_USER[] = {
    TEXT(Snmp_user, snmp_user_name, "snmp_user_name", 1, N, 2),
    INT(Snmp_user, snmp_user_auth, "snmp_user_auth", 2, N, 3),
    TEXT(Snmp_user, snmp_user_auth_pass, "snmp_user_auth_pass", 3, N, 4),
    INT(Snmp_user, snmp_user_priv, "snmp_user_priv", 4, N, 5),
    TEXT(Snmp_user, snmp_user_priv_pass, "snmp_user_priv_pass", 5, N, 6),
    INT(Snmp_user, snmp_user_access, "snmp_user_access", 6, N, 7),
    BOOL(Snmp_user, snmp_user_enable, "snmp_user_enable", 7, N, 8),
};

// The boots count is the service's own: no command sets it.
const Field SNMP_AGENT[] = {
    BOOL(Snmp_agent, snmp_v1v2c_enable, "snmp_v1v2c_enable", 1, N, 1),
    INT(Snmp_agent, snmp_engine_boots, "snmp_engine_boots", 2, N, N),
};

const Field SCENARIO[] = {
    INT(Scenario, sensortype, "sensortype", 1, N, 0),
    INT(Scenario, sensor, "sensor", 2, N, 1),
    INT(Scenario, state, "state", 3, N, 2),
    BOOL(Scenario, enable, "enable", 4, N, 3),
};

// Only the first NTP server has a column; the servers in force are read
// from ntp.conf.
const Field TIME[] = {
    INT(Time, year, "time_year", 1, N, 2),
    INT(Time, month, "time_month", 2, N, 3),
    INT(Time, day, "time_day", 3, N, 4),
    INT(Time, hour, "time_hour", 4, N, 5),
    INT(Time, minute, "time_minute", 5, N, 6),
    INT(Time, second, "time_second", 6, N, 7),
    Field{"ntp[0]", Type::Text, offsetof(Time, ntp), sizeof(Time::ntp[0]), "ntp", N, N, 8, false},
    Field{"ntp[1]", Type::Text, offsetof(Time, ntp) + sizeof(Time::ntp[0]), sizeof(Time::ntp[0]), nullptr, N, N, 9,
          false},
    Field{"ntp[2]", Type::Text, offsetof(Time, ntp) + 2 * sizeof(Time::ntp[0]), sizeof(Time::ntp[0]), nullptr, N, N,
          10, false},
};

const Field MQTT[] = {
    INT(Mqtt, unitid, "mqtt_id", 1, N, 2),
    TEXT(Mqtt, sendip, "mqtt_addr", 2, N, 3),
    INT(Mqtt, port, "mqtt_port", 3, N, 4),
    TEXT(Mqtt, loginid, "mqtt_account", 4, N, 5),
    TEXT(Mqtt, pwd, "mqtt_password", 5, N, 6),
    INT(Mqtt, tls, "mqtt_tls", 6, N, 7),
    TEXT(Mqtt, cafile, "mqtt_cafile", 7, N, 8),
    TEXT(Mqtt, certfile, "mqtt_certfile", 8, N, 9),
    TEXT(Mqtt, keyfile, "mqtt_keyfile", 9, N, 10),
};

// The encryption flag is the column mail_smtp_method, loaded before the
// authentication flag.
const Field MAIL[] = {
    TEXT(Mail, mail_smtp, "mail_smtp", 1, N, 2),
    INT(Mail, mail_smtp_port, "mail_smtp_port", 2, N, 3),
    TEXT(Mail, mail_account, "mail_account", 3, N, 4),
    TEXT(Mail, mail_password, "mail_password", 4, N, 5),
    TEXT(Mail, mail_mailaddr, "mail_mailaddr", 5, N, 6),
    TEXT(Mail, mail_sender, "mail_sender", 6, N, 7),
    BOOL(Mail, mail_smtp_auth, "mail_smtp_auth", 8, N, 8),
    BOOL(Mail, mail_encode, "mail_smtp_method", 7, N, 9),
    BOOL(Mail, mail_sendmail, "mail_sendmail", 9, N, 10),
};

const Field MAIL_CLIENT[] = {
    TEXT(Mail_client, mailclient_addr, "mailclient_addr", 1, N, 0),
    TEXT(Mail_client, mailclient_subject, "mailclient_subject", 2, N, 1),
};

const Field MAIL_REPORT[] = {
    INT(Mail_report, mailreport_addr, "mailreport_addr", 1, N, 0),
    TEXT(Mail_report, mailreport_subject, "mailreport_subject", 2, N, 1),
    INT(Mail_report, mailreport_enable, "mailreport_enable", 3, N, 2),
    INT(Mail_report, mailreport_day, "mailreport_day", 4, N, 3),
    INT(Mail_report, mailreport_week, "mailreport_week", 5, N, 4),
    INT(Mail_report, mailreport_hour, "mailreport_hour", 6, N, 5),
    INT(Mail_report, mailreport_minute, "mailreport_minute", 7, N, 6),
};

const Field LOG_CYCLE[] = {INT(Sensor_log_cycle, cycle_minutes, "cycle_minutes", 2, N, 0)};

// Loaded from the syslog defaults file; the port is stored as a text.
const Field SYSLOG[] = {
    INT(Syslog, destination, "syslog_destination", N, N, 1),
    TEXT(Syslog, ipaddr, "syslog_ip", N, N, 2),
    Field{"port", Type::Int, offsetof(Syslog, port), sizeof(int), "syslog_port", N, N, 3, true},
};

// The retry settings are two rows (temperature, humidity) of three values;
// in the record the humidity triple follows the temperature one, so each
// row is one element of three ints. Interval and log are stored as texts.
struct RetryRow {
    int num, interval, log;
};
static_assert(offsetof(Onewire_conf, onewire_temp_retry_interval) == offsetof(RetryRow, interval));
static_assert(offsetof(Onewire_conf, onewire_temp_retry_log_enable) == offsetof(RetryRow, log));
static_assert(offsetof(Onewire_conf, onewire_humid_retry_num) == sizeof(RetryRow));
static_assert(sizeof(Onewire_conf) == 2 * sizeof(RetryRow));
const Field RETRY[] = {
    INT(RetryRow, num, "num", 1, N, 0),
    Field{"interval", Type::Int, offsetof(RetryRow, interval), sizeof(int), "interval", 2, N, 1, true},
    Field{"log", Type::Int, offsetof(RetryRow, log), sizeof(int), "log", 3, N, 2, true},
};

#undef TEXT
#undef INT
#undef BOOL
#undef THRESHOLDS

template <typename T, size_t K>
constexpr int count_of(const T (&)[K])
{
    return static_cast<int>(K);
}

#define RECORD(name, fields, S, flag) const Record name{fields, count_of(fields), sizeof(S), flag}
#define FLAG(S) static_cast<signed short>(offsetof(S, changeflg))
RECORD(DI_RECORD, DI, DigitalI, FLAG(DigitalI));
RECORD(DO_RECORD, DO, DigitalO, FLAG(DigitalO));
RECORD(AI_RECORD, AI, Analog, FLAG(Analog));
RECORD(PROBE_RECORD, PROBE, Onewire_temperature, FLAG(Onewire_temperature));
RECORD(VLXA_RECORD, VLXA, Veloxa, FLAG(Veloxa));
RECORD(MESH_CYCLE_RECORD, MESH_CYCLE, SmartMesh_cycle, FLAG(SmartMesh_cycle));
RECORD(TREND_RECORD, TREND, Trend, FLAG(Trend));
RECORD(BATTERY_RECORD, BATTERY, Battery, FLAG(Battery));
RECORD(NETWORK_RECORD, NETWORK, Network, NONE);
RECORD(SNMP_RECORD, SNMP, Snmp, FLAG(Snmp));
RECORD(SNMP_TRAP_RECORD, SNMP_TRAP, Snmp_trap, FLAG(Snmp_trap));
RECORD(SCENARIO_RECORD, SCENARIO, Scenario, FLAG(Scenario));
RECORD(TIME_RECORD, TIME, Time, NONE);
RECORD(MQTT_RECORD, MQTT, Mqtt, NONE);
RECORD(MAIL_RECORD, MAIL, Mail, NONE);
RECORD(MAIL_CLIENT_RECORD, MAIL_CLIENT, Mail_client, NONE);
RECORD(MAIL_REPORT_RECORD, MAIL_REPORT, Mail_report, NONE);
RECORD(LOG_CYCLE_RECORD, LOG_CYCLE, Sensor_log_cycle, NONE);
RECORD(SYSLOG_RECORD, SYSLOG, Syslog, NONE);
RECORD(RETRY_RECORD, RETRY, RetryRow, NONE);
RECORD(SNMP_USER_RECORD, SNMP_USER, Snmp_user, FLAG(Snmp_user));
RECORD(SNMP_AGENT_RECORD, SNMP_AGENT, Snmp_agent, FLAG(Snmp_agent));
#undef RECORD
#undef FLAG

template <typename T>
char* bytes(T& v)
{
    return reinterpret_cast<char*>(&v);
}

#define SS(member) [](const Records& r) { return bytes(r.first->member); }
#define AS(member) [](const Records& r) { return bytes(r.second->member); }

// In the loader's table order.
const Section SECTIONS[] = {
    {SAVE::DI, "webapp_di", &DI_RECORD, SS(digitalI), DI_NUM, 1, 0, ""},
    {SAVE::DO, "webapp_do", &DO_RECORD, SS(digitalO), DO_NUM, 1, 0, ""},
    {SAVE::AI, "webapp_ai", &AI_RECORD, SS(analog), AI_NUM, 1, 0, ""},
    {SAVE::WIRE_T, "webapp_wire_temp", &PROBE_RECORD, SS(onewire_temperature), WIRE_T_NUM, 1, 0, ""},
    {SAVE::WIRE_H, "webapp_wire_humid", &PROBE_RECORD, SS(onewire_humidity), WIRE_H_NUM, 1, 0, ""},
    {SAVE::VLXA, "webapp_vlxa", &VLXA_RECORD, SS(veloxa), VLXA_NUM, 1, 0, ""},
    {SAVE::NX40, "webapp_nx40", &PROBE_RECORD, SS(kvt_nx40), NX40_NUM, 1, 0, ""},
    {SAVE::SMARTMESH_CYCLE, "webapp_smartmesh_cycle", &MESH_CYCLE_RECORD, SS(smartMesh_cycle), SMARTMESH_CYCLE_NUM,
     1, 0, ""},
    // The trend rules' row ids start at 0, and their statement with a blank.
    {SAVE::TREND, "webapp_trend_list", &TREND_RECORD, SS(trend), TREND_NUM, 0, 0, " "},
    {SAVE::BATTERY, "webapp_bat_config", &BATTERY_RECORD, SS(battery), BATTERY_NUM, 1, 0, ""},
    {SAVE::NETWORK, "webapp_network_config", &NETWORK_RECORD, AS(network), 1, 1, 0, ""},
    {SAVE::SNMP, "webapp_snmp_config", &SNMP_RECORD, AS(snmp), SNMP_NUM, 1, 0, ""},
    {SAVE::SNMP_TRAP, "webapp_snmp_trap_send", &SNMP_TRAP_RECORD, AS(snmp_trap), TRAP_NUM, 1, 0, ""},
    // Both scenario tables keep an unused row 0 ahead of entry 0 (row id 1).
    {SAVE::TRAP_SCENARIO, "webapp_trap_scenario", &SCENARIO_RECORD, AS(snmp_trap_scenario), TRAP_SCENARIO_NUM - 1, 1,
     1, ""},
    {SAVE::TIME, "webapp_timer", &TIME_RECORD, AS(time), 1, 1, 0, ""},
    {SAVE::MQTT, "webapp_mqttconfig", &MQTT_RECORD, AS(mqtt), 1, 1, 0, ""},
    {SAVE::MQTT_SCENARIO, "webapp_mqtt_scenario", &SCENARIO_RECORD, AS(mqtt_scenario), MQTT_SCENARIO_NUM, 1, 0, ""},
    {SAVE::MAIL, "webapp_mailconfig", &MAIL_RECORD, AS(mail), 1, 1, 0, ""},
    {SAVE::MAIL_CLIENT, "webapp_mail_client", &MAIL_CLIENT_RECORD, AS(mail_client), MAIL_CLIENT_NUM, 1, 0, ""},
    {SAVE::MAIL_SCENARIO, "webapp_mail_client_scenario", &SCENARIO_RECORD, AS(mail_client_scenario),
     MAIL_SCENARIO_NUM - 1, 1, 1, ""},
    {SAVE::MAIL_REPORT, "webapp_mailreport", &MAIL_REPORT_RECORD, AS(mail_report), MAIL_REPORT_NUM, 1, 0, ""},
    {SAVE::SENSOR_LOG_CYCLE, "webapp_sensor_log_cycle", &LOG_CYCLE_RECORD, AS(sensor_log_cycle),
     SENSOR_LOG_CYCLE_NUM, 1, 0, ""},
    {SAVE::SYSLOG, "webapp_systemlog", &SYSLOG_RECORD, AS(syslog), 1, 1, 0, ""},
    {SAVE::ONEWIRE_CONF, "webapp_onewire_conf", &RETRY_RECORD, AS(onewire_conf), 2, 1, 0, ""},
    {SAVE::SNMP_USER, "webapp_snmp_user", &SNMP_USER_RECORD, AS(snmp_user), SNMP_USER_NUM, 1, 0, ""},
    {SAVE::SNMP_AGENT, "webapp_snmp_agent", &SNMP_AGENT_RECORD, AS(snmp_agent), 1, 1, 0, ""},
};
#undef SS
#undef AS

// How each settings command reaches its section; commands that set single
// fields or scalars (18, 21, 24, 26) are handled by the command channel.
const Command COMMANDS[] = {
    {1, SAVE::DI, Index::numbered, 0, 0, 0, false, true, false},
    {2, SAVE::DO, Index::numbered, 0, 0, 0, false, true, false},
    {10, SAVE::AI, Index::numbered, 0, 0, 0, false, true, false},
    {15, SAVE::WIRE_T, Index::numbered, 0, 0, 0, false, true, false},
    {16, SAVE::WIRE_H, Index::numbered, 0, 0, 0, false, true, false},
    {20, SAVE::VLXA, Index::numbered, 0, 0, 0, false, true, false},
    {25, SAVE::NX40, Index::numbered, 0, 0, 0, false, true, false},
    {28, SAVE::BATTERY, Index::group, 1, 4, 2, true, true, true},
    {29, SAVE::SMARTMESH_CYCLE, Index::numbered, 0, 0, 0, false, true, false},
    {30, SAVE::TREND, Index::group_index, 1, 7, 5, false, true, false},
    {32, SAVE::NETWORK, Index::single, 0, 0, 0, false, true, false},
    {33, SAVE::SNMP, Index::group_number, 1, 4, 8, false, true, false},
    {34, SAVE::SNMP_TRAP, Index::group_number, 1, 6, 8, false, true, false},
    {35, SAVE::TRAP_SCENARIO, Index::group, 1, 4, TRAP_SCENARIO_NUM - 1, false, true, false},
    {36, SAVE::TIME, Index::single, 0, 0, 0, false, true, false},
    {37, SAVE::MQTT, Index::single, 0, 0, 0, false, true, false},
    // The scenario and recipient groups carry one field the service does not use.
    {38, SAVE::MQTT_SCENARIO, Index::group, 2, 5, MQTT_SCENARIO_NUM, false, true, false},
    {39, SAVE::MAIL, Index::single, 0, 0, 0, false, true, false},
    {40, SAVE::MAIL_CLIENT, Index::group, 2, 3, MAIL_CLIENT_NUM, false, true, false},
    {41, SAVE::MAIL_SCENARIO, Index::group, 2, 5, MAIL_SCENARIO_NUM - 1, false, true, false},
    {42, SAVE::MAIL_REPORT, Index::group, 2, 8, MAIL_REPORT_NUM, false, true, false},
    // Entry 0 is field 1, entry k field k + 1; the log-storage estimate follows.
    {43, SAVE::SENSOR_LOG_CYCLE, Index::group, 1, 1, SENSOR_LOG_CYCLE_NUM, false, false, true},
    {55, SAVE::SYSLOG, Index::single, 0, 0, 0, false, true, false},
    {58, SAVE::ONEWIRE_CONF, Index::group, 1, 3, 2, false, true, true},
    {62, SAVE::SNMP_USER, Index::numbered, 0, 0, 0, false, true, false},
    {63, SAVE::SNMP_AGENT, Index::single, 0, 0, 0, false, true, false},
};

}  // namespace

const std::vector<const Section*>& sections()
{
    static const std::vector<const Section*> all = [] {
        std::vector<const Section*> v;
        for (const Section& s : SECTIONS) v.push_back(&s);
        return v;
    }();
    return all;
}

const Section* section_of_save(int save)
{
    for (const Section& s : SECTIONS)
        if (s.save == save) return &s;
    return nullptr;
}

const Section* section_of_table(const std::string& table)
{
    for (const Section& s : SECTIONS)
        if (table == s.table) return &s;
    return nullptr;
}

const Command* command_layout(int cmd)
{
    for (const Command& c : COMMANDS)
        if (c.cmd == cmd) return &c;
    return nullptr;
}

std::string command_text(const Command& c, int i, const std::function<std::string(int, const Field&)>& value)
{
    const Section& s = *section_of_save(c.save);
    std::vector<std::string> f{std::to_string(c.cmd)};
    auto put = [&](size_t k, const std::string& v) {
        if (f.size() <= k) f.resize(k + 1);
        f[k] = v;
    };
    auto entry = [&](int e, size_t base) {
        for (int k = 0; k < s.record->count; ++k) {
            const Field& fd = s.record->fields[k];
            if (fd.cmd != NONE) put(base + static_cast<size_t>(fd.cmd), value(e, fd));
        }
    };
    const size_t first = static_cast<size_t>(c.first);
    switch (c.index) {
    case Index::single: entry(i, 0); break;
    case Index::numbered: put(1, std::to_string(i + 1)), entry(i, 0); break;
    case Index::group_number: put(first, std::to_string(i + 1)), entry(i, first); break;
    case Index::group_index: put(first, std::to_string(i)), entry(i, first); break;
    case Index::group:
        for (int g = 0; g <= i; ++g) entry(g, first + static_cast<size_t>(g * c.width));
        break;
    }
    std::string text;
    for (const std::string& v : f) text += v + ",";
    return text;
}

char* element(const Section& s, const Records& r, int i)
{
    return s.first(r) + s.record->stride * static_cast<size_t>(i);
}

void mark_changed(const Section& s, char* elem, bool changed)
{
    if (s.record->changeflg == NONE) return;
    std::lock_guard<std::mutex> lock(settings_mutex());
    *reinterpret_cast<bool*>(elem + s.record->changeflg) = changed;
}

int get_int(const char* elem, const Field& f)
{
    std::lock_guard<std::mutex> lock(settings_mutex());
    if (f.type == Type::Bool) return *reinterpret_cast<const bool*>(elem + f.offset) ? 1 : 0;
    int v;
    std::memcpy(&v, elem + f.offset, sizeof v);
    return v;
}

std::string get_text(const char* elem, const Field& f)
{
    std::lock_guard<std::mutex> lock(settings_mutex());
    return std::string(elem + f.offset, strnlen(elem + f.offset, f.size));
}

void set_int(char* elem, const Field& f, int v)
{
    std::lock_guard<std::mutex> lock(settings_mutex());
    if (f.type == Type::Bool) *reinterpret_cast<bool*>(elem + f.offset) = v != 0;
    else std::memcpy(elem + f.offset, &v, sizeof v);
}

void set_text(char* elem, const Field& f, const std::string& v)
{
    const size_t n = text_fit(v.data(), v.size(), f.size);
    std::lock_guard<std::mutex> lock(settings_mutex());
    std::memcpy(elem + f.offset, v.data(), n);
    elem[f.offset + n] = '\0';
}

Statement update_statement(const Section& s, const Records& r, int i)
{
    Statement st;
    st.sql = std::string(s.lead) + "UPDATE " + s.table + " SET ";
    const char* elem = element(s, r, i);
    bool first = true;
    for (int k = 0; k < s.record->count; ++k) {
        const Field& f = s.record->fields[k];
        if (!f.column) continue;
        st.sql += (first ? "" : " , ") + std::string(f.column) + "=?";
        first = false;
        if (f.type == Type::Text) st.values.emplace_back(get_text(elem, f));
        else if (f.stored_as_text) st.values.emplace_back(std::to_string(get_int(elem, f)));
        else st.values.emplace_back(get_int(elem, f));
    }
    st.sql += " where id=?";
    st.values.emplace_back(i + s.first_id);
    return st;
}

}  // namespace SETTINGS_MAP

std::mutex& settings_mutex()
{
    static std::mutex m;
    return m;
}

size_t text_fit(const char* s, size_t len, size_t capacity)
{
    if (capacity == 0) return 0;
    if (len < capacity) return len;
    const size_t n = capacity - 1;  // the first byte left out
    for (size_t back = 0; back < 4 && back <= n; ++back) {
        const unsigned char b = static_cast<unsigned char>(s[n - back]);
        if ((b & 0xC0) != 0x80) return b >= 0xC0 ? n - back : n;
    }
    return n;
}
