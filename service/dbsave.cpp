// The settings writer: every change to the in-memory configuration reaches
// the database through here, one transaction per batch of db_save messages,
// so that the web UI sees it and it survives a restart.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "command.h"
#include "common.h"

namespace {

using namespace SETTINGS_TABLE;

std::atomic<long> batches{0};

// The writer's copy of every channel's name and log flag as last saved;
// empty at start, so the first save of a channel always counts as a change.
struct NameLogCopy {
    char analog[AI_NUM][32];
    bool analog_log[AI_NUM];
    char wire_t[WIRE_T_NUM][32];
    bool wire_t_log[WIRE_T_NUM];
    char wire_h[WIRE_H_NUM][32];
    bool wire_h_log[WIRE_H_NUM];
    char vlxa_t[VLXA_NUM][32];
    bool vlxa_t_log[VLXA_NUM];
    char vlxa_h[VLXA_NUM][32];
    bool vlxa_h_log[VLXA_NUM];
    char nx40[NX40_NUM][32];
    bool nx40_log[NX40_NUM];
};
NameLogCopy saved_copy;

std::string b(bool v) { return v ? "1" : "0"; }
std::string d(int v) { return std::to_string(v); }
std::string t(const char* v) { return sql_text(v); }

template <typename T>
std::string threshold_text(const T& e)
{
    return " , alert_max_val=" + d(e.alert_max_val) + " , alert_max_clear=" + d(e.alert_max_clear) +
           " , caution_max_val=" + d(e.caution_max_val) + " , caution_max_clear=" + d(e.caution_max_clear) +
           " , caution_min_val=" + d(e.caution_min_val) + " , caution_min_clear=" + d(e.caution_min_clear) +
           " , alert_min_val=" + d(e.alert_min_val) + " , alert_min_clear=" + d(e.alert_min_clear);
}

std::string probe_statement(const char* table, const Onewire_temperature& e, int id)
{
    return std::string("UPDATE ") + table + " SET name='" + t(e.name) + "' , enable=" + b(e.enable) +
           " , device_ID='" + t(e.device_ID) + "'" + threshold_text(e) + " , trend_id=" + d(e.trend_id) +
           " , log=" + b(e.log) + " where id=" + d(id);
}

std::string scenario_statement(const char* table, const Scenario& e, int id)
{
    return std::string("UPDATE ") + table + " SET sensortype=" + d(e.sensortype) + " , sensor=" + d(e.sensor) +
           " , state=" + d(e.state) + " , enable=" + b(e.enable) + " where id=" + d(id);
}

bool changed_text(char (&copy)[32], const char* now)
{
    if (std::strncmp(copy, now, sizeof copy) == 0) return false;
    copy_text(copy, now);
    return true;
}

bool changed_flag(bool& copy, bool now)
{
    if (copy == now) return false;
    copy = now;
    return true;
}

// What the name/log check of one saved entry found.
struct Marks {
    bool group[10] = {};  // log groups 1 to 9 whose files carry a changed name
    bool cycle = false;   // a log flag changed: the storage estimate is stale
    bool name = false;    // a name changed: counts as a settings change
};

void check_name_log(int kind, int i, Marks& m)
{
    auto& ss = sensor_settings;
    auto& c = saved_copy;
    auto mark = [&](bool name_changed, bool log_changed, int group) {
        if (name_changed) {
            m.group[group] = true;
            m.name = true;
        }
        if (log_changed) m.cycle = true;
    };
    switch (kind) {
    case 10:
        mark(changed_text(c.analog[i], ss.analog[i].name), changed_flag(c.analog_log[i], ss.analog[i].log), 1);
        break;
    case 15:
        mark(changed_text(c.wire_t[i], ss.onewire_temperature[i].name),
             changed_flag(c.wire_t_log[i], ss.onewire_temperature[i].log), i < 64 ? 2 : 3);
        break;
    case 16:
        mark(changed_text(c.wire_h[i], ss.onewire_humidity[i].name),
             changed_flag(c.wire_h_log[i], ss.onewire_humidity[i].log), i < 8 ? 4 : 5);
        break;
    case 20:
        mark(changed_text(c.vlxa_t[i], ss.veloxa[i].t_name), changed_flag(c.vlxa_t_log[i], ss.veloxa[i].t_log), 6);
        mark(changed_text(c.vlxa_h[i], ss.veloxa[i].h_name), changed_flag(c.vlxa_h_log[i], ss.veloxa[i].h_log), 7);
        break;
    case 25:
        mark(changed_text(c.nx40[i], ss.kvt_nx40[i].name), changed_flag(c.nx40_log[i], ss.kvt_nx40[i].log),
             i < 50 ? 8 : 9);
        break;
    default:
        break;
    }
}

void clear_changeflg(int kind, int i)
{
    auto& ss = sensor_settings;
    auto& as = admin_settings;
    switch (kind) {
    case 1: ss.digitalI[i].changeflg = false; break;
    case 2: ss.digitalO[i].changeflg = false; break;
    case 10: ss.analog[i].changeflg = false; break;
    case 15: ss.onewire_temperature[i].changeflg = false; break;
    case 16: ss.onewire_humidity[i].changeflg = false; break;
    case 20: ss.veloxa[i].changeflg = false; break;
    case 25: ss.kvt_nx40[i].changeflg = false; break;
    case 28: ss.battery[i].changeflg = false; break;
    case 29: ss.smartMesh_cycle[i].changeflg = false; break;
    case 30: ss.trend[i].changeflg = false; break;
    case 33: as.snmp[i].changeflg = false; break;
    case 34: as.snmp_trap[i].changeflg = false; break;
    case 35: as.snmp_trap_scenario[i].changeflg = false; break;
    case 38: as.mqtt_scenario[i].changeflg = false; break;
    case 41: as.mail_client_scenario[i].changeflg = false; break;
    default: break;
    }
}

// The section's own follow-up after its entries were saved.
void section_follow_up(int kind, int first, int last, const Marks& m)
{
    MONITOR_TABLE::RequestFlg* flg = monitor ? monitor->requestflg : nullptr;
    auto set = [flg](int32_t MONITOR_TABLE::RequestFlg::*field, int v) {
        if (flg) flg->*field = v;
    };
    // The sensor sections' flags also carry the settings-file handshake
    // (3 import and 4 export requested, 1 done): "saved" must neither cancel
    // a pending request nor turn a finished import into a reported failure.
    // Compare-and-swap, since the web UI may write a request between the
    // test and the store.
    auto saved = [flg](int32_t MONITOR_TABLE::RequestFlg::*field) {
        if (!flg) return;
        std::atomic_ref<int32_t> f(flg->*field);
        int32_t v = f.load();
        while (v != 0 && v != 1 && v != 3 && v != 4 && !f.compare_exchange_weak(v, 0)) {
        }
    };
    using R = MONITOR_TABLE::RequestFlg;

    // Name/log sections: renamed log groups first (when the sensor logs
    // exist), then the storage estimate, then the change counter.
    if (kind == 10 || kind == 15 || kind == 16 || kind == 20 || kind == 25) {
        if (m.cycle) cycle_change();
        if (m.name && kind != 20) chcntup();
    }
    switch (kind) {
    case 2:
        chcntup();
        saved(&R::digitalio_set_configuration);
        break;
    case 10: saved(&R::analog_set_configuration); break;
    case 15: saved(&R::onewire_temperature_set_configuration); break;
    case 16: saved(&R::onewire_humidity_set_configuration); break;
    case 20: saved(&R::veloxa_set_configuration); break;
    case 25: saved(&R::kvt_nx40_set_configuration); break;
    case 30:
        chcntup();
        set(&R::trend_set_configuration, 0);
        break;
    case 32: set(&R::network_set_configuration, 4); break;
    case 33:
        for (int i = first; i <= last; ++i) snmp_prefix_Set(i);
        set(&R::snmp_set_configuration, 0);
        break;
    case 34: set(&R::snmp_trap_set_configuration, 3); break;
    case 35: set(&R::snmp_trap_set_configuration, 0); break;
    case 36:
        date_sh();
        ntp_sh();
        set(&R::time_set_configuration, 0);
        break;
    case 37:
        mqttconf = 1;
        set(&R::mqtt_set_configuration, 4);
        break;
    case 38: set(&R::mqtt_set_configuration, 0); break;
    case 39: set(&R::mail_set_configuration, 0); break;
    case 40: set(&R::mail_client_set_configuration, 3); break;
    case 41: set(&R::mail_client_set_configuration, 0); break;
    case 42: set(&R::mail_report_set_configuration, 0); break;
    case 55:
        syslog_sh();
        set(&R::syslog_configuration, 0);
        break;
    case 58: set(&R::onewire_id_flg, 0); break;
    default: break;
    }
}

}  // namespace

std::string sql_text(const char* v)
{
    std::string out;
    for (const char* p = v; p && *p; ++p) {
        out += *p;
        if (*p == '\'') out += '\'';
    }
    return out;
}

int kind_entries(int kind)
{
    switch (kind) {
    case 1: return DI_NUM;
    case 2: return DO_NUM;
    case 10: return AI_NUM;
    case 15: return WIRE_T_NUM;
    case 16: return WIRE_H_NUM;
    case 20: return VLXA_NUM;
    case 25: return NX40_NUM;
    case 28: return BATTERY_NUM;
    case 29: return SMARTMESH_CYCLE_NUM;
    case 30: return TREND_NUM;
    case 33: return SNMP_NUM;
    case 34: return TRAP_NUM;
    case 35: return 192;
    case 38: return MQTT_SCENARIO_NUM;
    case 40: return MAIL_CLIENT_NUM;
    case 41: return 120;
    case 42: return MAIL_REPORT_NUM;
    case 43: return SENSOR_LOG_CYCLE_NUM;
    case 24:
    case 32:
    case 36:
    case 37:
    case 39:
    case 55:
    case 58: return 1;
    default: return 0;
    }
}

std::vector<std::string> update_statements(int kind, int i, const Sensor_settings& ss, const Admin_settings& as,
                                           int sm_err_time)
{
    if (i < 0 || i >= kind_entries(kind)) return {};
    const int id = i + 1;  // row ids follow the entries from 1, the loader's order
    switch (kind) {
    case 1: {
        const auto& e = ss.digitalI[i];
        return {"UPDATE webapp_di SET name='" + t(e.name) + "' , enable=" + b(e.enable) + " , time=" + d(e.time) +
                " , ontext='" + t(e.ontext) + "' , offtext='" + t(e.offtext) + "' , errortext_id=" +
                d(e.errortext_id) + " , trend_id=" + d(e.trend_id) + " , log=" + b(e.log) + " where id=" + d(id)};
    }
    case 2: {
        const auto& e = ss.digitalO[i];
        return {"UPDATE webapp_do SET name='" + t(e.name) + "' , enable=" + b(e.enable) + " , ontext='" +
                t(e.ontext) + "' , offtext='" + t(e.offtext) + "' , doinit=" + b(e.doinit) + " , dokeep=" +
                b(e.dokeep) + " , errortext_id=" + d(e.errortext_id) + " , trend_id=" + d(e.trend_id) +
                " , log=" + b(e.log) + " , ontype=" + d(e.ontype) + " , onsensor=" + d(e.onsensor) +
                " , onstate=" + d(e.onstate) + " , onenable=" + d(e.onenable) + " , offtype=" + d(e.offtype) +
                " , offsensor=" + d(e.offsensor) + " , offstate=" + d(e.offstate) + " , offenable=" +
                d(e.offenable) + " where id=" + d(id)};
    }
    case 10: {
        const auto& e = ss.analog[i];
        return {"UPDATE webapp_ai SET name='" + t(e.name) + "' , enable=" + b(e.enable) + " , input_max=" +
                d(e.input_max) + " , input_min=" + d(e.input_min) + " , output_max=" + d(e.output_max) +
                " , output_min=" + d(e.output_min) + threshold_text(e) + " , err_sampling=" + d(e.err_sampling) +
                " , unit='" + t(e.unit) + "' , trend_id=" + d(e.trend_id) + " , log=" + b(e.log) +
                " , range_type=" + d(e.range) + " where id=" + d(id)};
    }
    case 15: return {probe_statement("webapp_wire_temp", ss.onewire_temperature[i], id)};
    case 16: return {probe_statement("webapp_wire_humid", ss.onewire_humidity[i], id)};
    case 25: return {probe_statement("webapp_nx40", ss.kvt_nx40[i], id)};
    case 20: {
        const auto& e = ss.veloxa[i];
        return {"UPDATE webapp_vlxa SET name='" + t(e.name) + "' , enable=" + b(e.enable) + " , device_ID='" +
                t(e.device_ID) + "' , t_name='" + t(e.t_name) + "' , t_alert_max_val=" + d(e.t_alert_max_val) +
                " , t_alert_max_clear=" + d(e.t_alert_max_clear) + " , t_caution_max_val=" +
                d(e.t_caution_max_val) + " , t_caution_max_clear=" + d(e.t_caution_max_clear) +
                " , t_caution_min_val=" + d(e.t_caution_min_val) + " , t_caution_min_clear=" +
                d(e.t_caution_min_clear) + " , t_alert_min_val=" + d(e.t_alert_min_val) +
                " , t_alert_min_clear=" + d(e.t_alert_min_clear) + " , t_trend_id=" + d(e.t_trend_id) +
                " , t_log=" + b(e.t_log) + " , h_name='" + t(e.h_name) + "' , h_alert_max_val=" +
                d(e.h_alert_max_val) + " , h_alert_max_clear=" + d(e.h_alert_max_clear) +
                " , h_caution_max_val=" + d(e.h_caution_max_val) + " , h_caution_max_clear=" +
                d(e.h_caution_max_clear) + " , h_caution_min_val=" + d(e.h_caution_min_val) +
                " , h_caution_min_clear=" + d(e.h_caution_min_clear) + " , h_alert_min_val=" +
                d(e.h_alert_min_val) + " , h_alert_min_clear=" + d(e.h_alert_min_clear) + " , h_trend_id=" +
                d(e.h_trend_id) + " , h_log=" + b(e.h_log) + " where id=" + d(id)};
    }
    case 24: return {"UPDATE webapp_SM_errortime SET time=" + d(sm_err_time) + " where id=1"};
    case 28: {
        const auto& e = ss.battery[i];
        return {"UPDATE webapp_bat_config SET alert=" + d(e.alert) + " , alert_clear=" + d(e.alert_clear) +
                " , caution=" + d(e.caution) + " , caution_clear=" + d(e.caution_clear) + " where id=" + d(id)};
    }
    case 29:
        return {"UPDATE webapp_smartmesh_cycle SET cycle_minutes=" + d(ss.smartMesh_cycle[i].cycle_minutes) +
                " where id=" + d(id)};
    case 30: {
        // The trend table's ids start at 0.
        const auto& e = ss.trend[i];
        return {" UPDATE webapp_trend_list SET enable=" + b(e.enable) + " , minutes=" + d(e.minutes) +
                " , au_per=" + d(e.au_per) + " , al_per=" + d(e.al_per) + " , cu_per=" + d(e.cu_per) +
                " , cl_per=" + d(e.cl_per) + " where id=" + d(i)};
    }
    case 32: {
        const auto& n = as.network;
        return {"UPDATE webapp_network_config SET  net_host='" + t(n.host) + "' , net_dhcp=" + b(n.dhcp) +
                " , net_ipaddr='" + t(n.ipaddr) + "' , net_mask='" + t(n.netmask) + "' , net_broadcast='" +
                t(n.broadcast) + "' , net_gateway='" + t(n.gateway) + "' , net_dns1='" + t(n.dns1) +
                "' , net_dns2='" + t(n.dns2) + "' , net_dns3='" + t(n.dns3) + "' where id=1"};
    }
    case 33: {
        const auto& e = as.snmp[i];
        return {"UPDATE webapp_snmp_config SET  snmp_access_ipaddr='" + t(e.ipaddr) +
                "' , snmp_access_community='" + t(e.community) + "' , snmp_access_enable=" + b(e.enable) +
                " where id=" + d(id)};
    }
    case 34: {
        const auto& e = as.snmp_trap[i];
        return {"UPDATE webapp_snmp_trap_send SET  snmp_trap_send_sendto='" + t(e.sendto) +
                "' , snmp_trap_send_community='" + t(e.community) + "' , snmp_trap_send_version=" +
                d(e.version) + " ,snmp_trap_send_portoid=" + b(e.enable) + " where id=" + d(id)};
    }
    case 35: return {scenario_statement("webapp_trap_scenario", as.snmp_trap_scenario[i], id)};
    case 36: {
        const auto& c = as.time;
        return {"UPDATE webapp_timer SET  time_year=" + d(c.year) + " , time_month=" + d(c.month) +
                " , time_day=" + d(c.day) + " , time_hour=" + d(c.hour) + " , time_minute=" + d(c.minute) +
                " , time_second=" + d(c.second) + " , ntp='" + t(c.ntp[0]) + "' where id=1"};
    }
    case 37: {
        const auto& m = as.mqtt;
        return {"UPDATE webapp_mqttconfig SET  mqtt_id=" + d(m.unitid) + ", mqtt_addr='" + t(m.sendip) +
                "' , mqtt_port=" + d(m.port) + " , mqtt_account='" + t(m.loginid) + "' , mqtt_password='" +
                t(m.pwd) + "' where id=1"};
    }
    case 38: return {scenario_statement("webapp_mqtt_scenario", as.mqtt_scenario[i], id)};
    case 39: {
        const auto& m = as.mail;
        return {"UPDATE webapp_mailconfig SET  mail_smtp='" + t(m.mail_smtp) + "' , mail_smtp_port=" +
                d(m.mail_smtp_port) + " , mail_account='" + t(m.mail_account) + "' , mail_password='" +
                t(m.mail_password) + "' , mail_mailaddr='" + t(m.mail_mailaddr) + "' , mail_sender='" +
                t(m.mail_sender) + "' , mail_smtp_auth=" + b(m.mail_smtp_auth) + " , mail_smtp_method=" +
                b(m.mail_encode) + " , mail_sendmail=" + b(m.mail_sendmail) + " where id=1"};
    }
    case 40: {
        const auto& e = as.mail_client[i];
        return {"UPDATE webapp_mail_client SET  mailclient_addr='" + t(e.mailclient_addr) +
                "' , mailclient_subject='" + t(e.mailclient_subject) + "' where id=" + d(id)};
    }
    case 41: return {scenario_statement("webapp_mail_client_scenario", as.mail_client_scenario[i], id)};
    case 42: {
        const auto& e = as.mail_report[i];
        return {"UPDATE webapp_mailreport SET  mailreport_addr=" + d(e.mailreport_addr) +
                " , mailreport_subject='" + t(e.mailreport_subject) + "' , mailreport_enable=" +
                d(e.mailreport_enable) + " , mailreport_day=" + d(e.mailreport_day) + " , mailreport_week=" +
                d(e.mailreport_week) + " , mailreport_hour=" + d(e.mailreport_hour) + " , mailreport_minute=" +
                d(e.mailreport_minute) + " where id=" + d(id)};
    }
    case 43:
        return {"UPDATE webapp_sensor_log_cycle SET  cycle_minutes=" + d(as.sensor_log_cycle[i].cycle_minutes) +
                " where id=" + d(id)};
    case 55: {
        const auto& s = as.syslog;
        return {"UPDATE webapp_systemlog SET  syslog_destination=" + d(s.destination) + " , syslog_ip='" +
                t(s.ipaddr) + "' , syslog_port='" + d(s.port) + "' where id=1"};
    }
    case 58: {
        const auto& o = as.onewire_conf;
        return {"UPDATE webapp_onewire_conf SET  num=" + d(o.onewire_temp_retry_num) + " , interval='" +
                    d(o.onewire_temp_retry_interval) + "' , log='" + d(o.onewire_temp_retry_log_enable) +
                    "' where id=1",
                "UPDATE webapp_onewire_conf SET  num=" + d(o.onewire_humid_retry_num) + " , interval='" +
                    d(o.onewire_humid_retry_interval) + "' , log='" + d(o.onewire_humid_retry_log_enable) +
                    "' where id=2"};
    }
    default: return {};
    }
}

bool parse_save_message(const std::string& m, int* kind, int* index)
{
    const char* p = m.c_str();
    char* end = nullptr;
    long k = std::strtol(p, &end, 10);
    if (end == p || *end != ',') return false;
    p = end + 1;
    long i = std::strtol(p, &end, 10);
    if (end == p || (*end != ',' && *end != '\0')) return false;
    if (k < INT_MIN || k > INT_MAX || i < INT_MIN || i > INT_MAX) return false;
    *kind = static_cast<int>(k);
    *index = static_cast<int>(i);
    return true;
}

bool save_message(int kind, int index)
{
    const int entries = kind_entries(kind);
    if (entries == 0) return true;  // not a section of the database
    int first = index, last = index;
    if (index == 999 || entries == 1) {
        first = 0;
        last = entries - 1;
    } else if (index < 0 || index >= entries) {
        std::printf("dbsave: kind %d has no entry %d, ignored\n", kind, index);
        return true;
    }
    bool ok = true;
    Marks marks;
    for (int i = first; i <= last; ++i) {
        for (const std::string& sql : update_statements(kind, i, sensor_settings, admin_settings, SM_err_time))
            if (update_db(sql) != 0) ok = false;
        clear_changeflg(kind, i);
        check_name_log(kind, i, marks);
    }
    section_follow_up(kind, first, last, marks);
    return ok;
}

int dbsave_batch()
{
    if (db_save.empty()) return 0;
    begin_trans();
    ++batches;
    bool failed = false;
    int handled = 0;
    // Messages pushed while the batch runs (cycle_change among them) join it.
    while (!db_save.empty()) {
        std::string m = db_save.front();
        int kind = 0, index = 0;
        try {
            if (parse_save_message(m, &kind, &index)) {
                if (!save_message(kind, index)) failed = true;
            } else {
                std::printf("dbsave: malformed message \"%s\", ignored\n", m.c_str());
            }
        } catch (const std::exception&) {
            // The transaction is open: finish the batch and undo it.
            applog("dbsave try error");
            failed = true;
        }
        db_save.pop();
        ++handled;
    }
    // A batch that did not reach the file whole is undone whole, and memory
    // is reloaded so that it agrees with the database again.
    if (failed) {
        applog("database rollback");
        rollback_trans();
        init_structs();
    } else if (commit_trans() != 0) {
        applog("database rollback");
        init_structs();
    }
    return handled;
}

void dbsave_reset_copies() { std::memset(&saved_copy, 0, sizeof saved_copy); }

long dbsave_batch_count() { return batches.load(); }

LogStorageEstimate estimate_log_storage(const Sensor_settings& ss, const Admin_settings& as)
{
    struct Group {
        int n;
        int entry;
        int row_base;
        int header;
        bool printed;
    };
    auto count = [](const auto& arr, auto flag) {
        int n = 0;
        for (const auto& e : arr)
            if (flag(e)) ++n;
        return n;
    };
    const Group groups[] = {
        {count(ss.analog, [](const Analog& e) { return e.log; }), 2, 45, 264, true},
        {count(ss.onewire_temperature, [](const Onewire_temperature& e) { return e.log; }), 3, 405, 4224, true},
        {count(ss.onewire_humidity, [](const Onewire_humidity& e) { return e.log; }), 4, 69, 528, true},
        {count(ss.veloxa, [](const Veloxa& e) { return e.t_log; }), 5, 171, 1650, false},
        {count(ss.veloxa, [](const Veloxa& e) { return e.h_log; }), 6, 171, 1650, false},
        {count(ss.kvt_nx40, [](const KVT_NX40& e) { return e.log; }), 7, 321, 3300, false},
    };
    LogStorageEstimate out;
    char line[128];
    for (const Group& g : groups) {
        float bytes = 0;
        if (g.n > 0) {
            int c = as.sensor_log_cycle[g.entry].cycle_minutes;
            int rows = c == 0 ? 0 : 86400 / c;
            bytes = static_cast<float>(8 * g.n + g.row_base) * static_cast<float>(rows) + static_cast<float>(g.header);
            out.total += bytes / 1000.0f / 1000.0f * 30.5f / 1000.0f;
        }
        if (g.printed) {
            std::snprintf(line, sizeof line, "%d,%f,%f,%f", g.n, bytes / 1000000.0f, 0.0, out.total);
            out.lines.push_back(line);
        }
    }
    std::snprintf(line, sizeof line, "%f", out.total);
    out.lines.push_back(line);
    if (out.total == 0) {
        out.retention = INT_MAX;
    } else {
        double r = 5.0 / out.total;
        // A nonsensical cycle (negative, tiny) must not overflow the month count.
        out.retention = r >= static_cast<double>(INT_MAX) ? INT_MAX
                        : r <= static_cast<double>(INT_MIN) ? INT_MIN
                                                            : static_cast<int>(r);
    }
    return out;
}

int cycle_change()
{
    std::printf("cycle_change\n");
    LogStorageEstimate e = estimate_log_storage(sensor_settings, admin_settings);
    for (const std::string& l : e.lines) std::printf("%s\n", l.c_str());
    for (int i = 8; i <= 13; ++i) admin_settings.sensor_log_cycle[i].cycle_minutes = e.retention;
    db_save.push_n(43, 999);
    return 0;
}

/*
 * dbsave_thread: the settings writer.
 * Owns: the database connection after start-up, the request flags of the
 *   sections it saves, its copy of channel names and log flags.
 * Waits on: db_save, polled every 50 ms while empty.
 * Order: messages are saved in queue order, one transaction per batch; a
 *   failed batch is rolled back whole and memory reloaded from the database.
 * Stopped by: control leaving 1; changes queued up to then are written in
 *   one last batch (main closes the database only after the join).
 */
void* dbsave_thread(void*)
{
    std::printf("dbsave_thread tid  : %ld\n", thread_tid());
    std::fflush(stdout);
    auto batch = [] {
        try {
            dbsave_batch();
        } catch (const std::exception&) {
            applog("dbsave try error");
        }
        std::fflush(stdout);
    };
    while (control == 1) {
        batch();
        sleep_while_running(50);
    }
    batch();
    std::printf("end dbsave thread\n");
    std::fflush(stdout);
    return nullptr;
}
