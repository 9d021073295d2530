// The configuration records and queues every thread shares, the supervisor
// thread that turns the power switch or SIGTERM into an orderly stop, and the
// loading of the settings from the database and the system files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "common.h"
#include "platform.h"

SETTINGS_TABLE::Sensor_settings sensor_settings;
SETTINGS_TABLE::Admin_settings admin_settings;
SETTINGS_TABLE::Sensor_data sensor_data;
REPORT_TABLE::Report_struct report_struct;

TSQueue<std::string> db_save;
TSQueue<std::string> mail_send;
TSQueue<std::string> mqtt_con;
TSQueue<std::string> state_log;
TSQueue<std::string> trap_que;

std::atomic<int> mqttconf{0};
std::atomic<int> SM_err_time{0};

std::atomic<bool> debug_mode{false};
int dis[8];
float ais[8];
float temps[128];
float humids[16];
std::atomic<int> portnum_ok[2];

namespace SETTINGS_TABLE {

void MinuteList::fill_zero(int n)
{
    if (n > CAPACITY) n = CAPACITY;
    if (n < 0) n = 0;
    for (int& x : v_) x = 0;
    head_.store(0, std::memory_order_relaxed);
    count_.store(n, std::memory_order_release);
}

void MinuteList::push_front(int v)
{
    // The slot is written before the head moves onto it: a reader on
    // another thread sees the old list or the new one, never a stale newest
    // entry.
    const int h = (head_.load(std::memory_order_relaxed) + CAPACITY - 1) % CAPACITY;
    v_[h] = v;
    if (count_.load(std::memory_order_relaxed) < CAPACITY) count_.fetch_add(1, std::memory_order_release);
    head_.store(h, std::memory_order_release);
}

int MinuteList::at(int k) const { return v_[(head_.load(std::memory_order_acquire) + k) % CAPACITY]; }

long long MinuteList::sum_newest(int n) const
{
    const int head = head_.load(std::memory_order_acquire);
    const int count = count_.load(std::memory_order_acquire);
    if (n > count) n = count;
    if (n <= 0) return 0;
    // Two straight runs instead of a modulo per entry: the minute step sums
    // up to a day of entries for every trend-judged channel.
    long long sum = 0;
    const int first = n < CAPACITY - head ? n : CAPACITY - head;
    for (int k = 0; k < first; ++k) sum += v_[head + k];
    for (int k = 0; k < n - first; ++k) sum += v_[k];
    return sum;
}

}  // namespace SETTINGS_TABLE

/*
 * cpustate_thread: the supervisor.
 * Owns: nothing but the decision to stop.
 * Waits on: a 100 ms tick; reads the power switch (chip 2 line 68) and the
 *   SIGTERM flag each tick.
 * Order: SIGTERM is checked before the switch, so a SIGTERM during a switch
 *   press still ends as an update (quiet exit).
 * Stopped by: itself, or by anyone clearing `control`.
 */
void* cpustate_thread(void*)
{
    std::printf("cpustate_thread tid  : %ld\n", thread_tid());
    std::fflush(stdout);
    if (control == 0) {
        std::printf("end cpustate_thread\n");
        return nullptr;
    }
    for (;;) {
        int sw = 0;
        gpio_access_7400(0, 2, 68, &sw);
        if (sigterm_received) {
            control = 0;
            updateflg = 1;
            applog("SIGTERM received");
        }
        if (sw == 1) {
            std::printf("シャットダウン\n");
            applog("シャットダウン");
            int off = 0;
            gpio_access_7400(1, 2, 67, &off);
            control = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (control == 0) break;
    }
    std::printf("end cpustate_thread\n");
    std::fflush(stdout);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Loading the configuration from the database and the system files.
//
// Rows are read column by column straight from SQLite, so a stray "$" or ","
// inside a stored text stays in its own field, and texts are cut only to the
// capacity of the field they fill.
// ---------------------------------------------------------------------------

namespace {

const std::string kEmpty;

const std::string& cell(const std::vector<std::string>& row, size_t k)
{
    return k < row.size() ? row[k] : kEmpty;
}

// Base-10 strtol: leading blanks skipped, stops at the first non-digit.
int num(const std::vector<std::string>& row, size_t k)
{
    return static_cast<int>(std::strtol(cell(row, k).c_str(), nullptr, 10));
}

bool flag(const std::vector<std::string>& row, size_t k) { return num(row, k) != 0; }

template <size_t N>
void text(char (&dst)[N], const std::vector<std::string>& row, size_t k)
{
    copy_text(dst, cell(row, k));
}

// Threshold block starting at column k.
template <typename T>
void thresholds(T& r, const std::vector<std::string>& row, size_t k)
{
    r.alert_max_val = num(row, k);
    r.alert_max_clear = num(row, k + 1);
    r.caution_max_val = num(row, k + 2);
    r.caution_max_clear = num(row, k + 3);
    r.caution_min_val = num(row, k + 4);
    r.caution_min_clear = num(row, k + 5);
    r.alert_min_val = num(row, k + 6);
    r.alert_min_clear = num(row, k + 7);
}

// 1-Wire temperature, 1-Wire humidity and NX40 share one row layout.
template <typename T, size_t N>
void load_probe_rows(T (&arr)[N], const DbRows& rows)
{
    for (size_t r = 0; r < rows.size() && r < N; ++r) {
        const auto& row = rows[r];
        T& e = arr[r];
        text(e.name, row, 1);
        text(e.device_ID, row, 2);
        e.enable = flag(row, 3);
        thresholds(e, row, 4);
        e.log = flag(row, 12);
        e.trend_id = num(row, 13);
        e.changeflg = false;
    }
}

// Scenario rows; `skip` leading rows are not configuration entries.
template <typename T, size_t N>
void load_scenario_rows(T (&arr)[N], size_t count, const DbRows& rows, size_t skip)
{
    for (size_t r = skip; r < rows.size() && r - skip < count && r - skip < N; ++r) {
        const auto& row = rows[r];
        T& e = arr[r - skip];
        e.sensortype = num(row, 1);
        e.sensor = num(row, 2);
        e.state = num(row, 3);
        e.enable = flag(row, 4);
        e.changeflg = false;
    }
}

template <typename T>
void lower_threshold_fix(T& e, int kind, int index)
{
    constexpr int kWrongOff = 0x7FFFFFFF;
    constexpr int kLowerOff = static_cast<int>(0x80000000u);
    bool changed = false;
    for (int* v : {&e.caution_min_val, &e.caution_min_clear, &e.alert_min_val, &e.alert_min_clear}) {
        if (*v == kWrongOff) {
            *v = kLowerOff;
            changed = true;
        }
    }
    if (changed) {
        e.changeflg = true;
        db_save.push_n(kind, index);
    }
}

std::string strip_blanks(const std::string& s)
{
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r') out += c;
    return out;
}

// The rest of the line starting at pos (without the line end).
std::string rest_of_line(const std::string& s, size_t pos)
{
    if (pos >= s.size()) return "";
    size_t end = s.find('\n', pos);
    return s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

}  // namespace

std::optional<std::string> read_system_file(const char* path)
{
    std::string out;
    if (!read_text_file(path, out)) return std::nullopt;
    return out;
}

void parse_ntp_conf(const std::string& text, SETTINGS_TABLE::Time& t)
{
    int stored = 0;
    size_t pos = 0;
    while (pos < text.size() && stored < 3) {
        std::string line = rest_of_line(text, pos);
        size_t next = text.find('\n', pos);
        pos = next == std::string::npos ? text.size() : next + 1;
        if (!line.empty() && line[0] == '#') continue;
        size_t s = line.find("server");
        if (s == std::string::npos) continue;
        copy_text(t.ntp[stored], strip_blanks(line.substr(s + 6)));
        ++stored;
    }
    if (stored < 3) t.ntp[stored][0] = '\0';
}

void parse_hostname(const std::string& text, SETTINGS_TABLE::Network& n)
{
    // The file ends in a line break that is not part of the name.
    std::string host = text;
    while (!host.empty() && (host.back() == '\n' || host.back() == '\r')) host.pop_back();
    copy_text(n.host, host);
}

void parse_eth_network(const std::string& text, SETTINGS_TABLE::Network& n)
{
    size_t d = text.find("DHCP");
    n.dhcp = d != std::string::npos && rest_of_line(text, d).find("yes") != std::string::npos;
    std::string gateway;
    size_t g = text.find("Gateway");
    if (g != std::string::npos) {
        size_t eq = text.find('=', g);
        if (eq != std::string::npos) gateway = strip_blanks(rest_of_line(text, eq + 1));
    }
    copy_text(n.gateway, gateway);
}

void parse_ifconfig(const std::string& text, SETTINGS_TABLE::Network& n)
{
    std::string ip, mask;
    size_t a = text.find("inet addr");
    if (a != std::string::npos && a + 10 <= text.size()) {
        size_t end = text.find_first_of(" \t\n", a + 10);
        ip = text.substr(a + 10, end == std::string::npos ? std::string::npos : end - (a + 10));
    }
    size_t m = text.find("Mask");
    if (m != std::string::npos) mask = strip_blanks(rest_of_line(text, m + 5));
    copy_text(n.ipaddr, ip);
    copy_text(n.netmask, mask);
}

void parse_resolv_conf(const std::string& text, SETTINGS_TABLE::Network& n)
{
    char* slots[3] = {n.dns1, n.dns2, n.dns3};
    size_t pos = 0;
    for (char* slot : slots) {
        std::string value;
        size_t f = text.find("nameserver", pos);
        if (f != std::string::npos) {
            value = strip_blanks(rest_of_line(text, f + 10));
            pos = f + 10;
        } else {
            pos = text.size();
        }
        size_t cap = sizeof(n.dns1) - 1;
        size_t len = std::min(value.size(), cap);
        std::memcpy(slot, value.data(), len);
        slot[len] = '\0';
    }
}

void parse_busybox_syslog(const std::string& text, SETTINGS_TABLE::Syslog& s)
{
    size_t o = text.rfind("OPTIONS", 0) == 0 ? 0 : text.find("\nOPTIONS");
    if (o == std::string::npos) return;
    if (text[o] == '\n') ++o;
    std::string options = rest_of_line(text, o + 7);
    if (options.find("-O") != std::string::npos) {
        s.destination = 0;
        s.ipaddr[0] = '\0';
        s.port = 0;
        return;
    }
    size_t r = options.find("-R");
    if (r == std::string::npos) return;
    std::string target = options.substr(r + 2);
    size_t quote = target.find('"');
    if (quote != std::string::npos) target.erase(quote);
    size_t colon = target.find(':');
    copy_text(s.ipaddr, strip_blanks(target.substr(0, colon)));
    s.port = colon == std::string::npos
                 ? 0
                 : static_cast<int>(std::strtol(strip_blanks(target.substr(colon + 1)).c_str(), nullptr, 10));
    s.destination = 1;
}

void read_network_files()
{
    auto& n = admin_settings.network;
    parse_hostname(read_system_file("/etc/hostname").value_or(""), n);
    parse_eth_network(read_system_file("/etc/systemd/network/10-eth.network").value_or(""), n);
    kvt_system("ifconfig > /tmp/ifconfig.txt");
    parse_ifconfig(read_system_file("/tmp/ifconfig.txt").value_or(""), n);
    parse_resolv_conf(read_system_file("/etc/resolv.conf").value_or(""), n);
}

void read_ntp_file()
{
    if (auto t = read_system_file("/etc/ntp.conf")) parse_ntp_conf(*t, admin_settings.time);
}

void read_syslog_file()
{
    if (auto t = read_system_file("/etc/default/busybox-syslog"))
        parse_busybox_syslog(*t, admin_settings.syslog);
}

void set_sensor_data()
{
    constexpr int kDay = SETTINGS_TABLE::MinuteList::CAPACITY;
    auto fill = [](SETTINGS_TABLE::data_list& d) {
        for (auto* ls : {&d.alert_max_ls, &d.alert_min_ls, &d.caution_max_ls, &d.caution_min_ls})
            ls->fill_zero(kDay);
    };
    for (auto& d : sensor_data.analog) fill(d);
    for (auto& d : sensor_data.onewire_temperature) fill(d);
    for (auto& d : sensor_data.onewire_humidity) fill(d);
    for (auto& d : sensor_data.veloxa_t) fill(d);
    for (auto& d : sensor_data.veloxa_h) fill(d);
    for (auto& d : sensor_data.kvt_nx40) fill(d);
    for (auto& d : sensor_data.digitalI) d.alert_max_ls.fill_zero(kDay);
}

void setsettings(const DbRows& rows, const std::string& query)
{
    using namespace SETTINGS_TABLE;
    auto& ss = sensor_settings;
    auto& as = admin_settings;
    const size_t n = rows.size();

    if (query == "SELECT * from webapp_di;") {
        for (size_t r = 0; r < n && r < 8; ++r) {
            const auto& row = rows[r];
            auto& e = ss.digitalI[r];
            text(e.name, row, 1);
            e.time = num(row, 2);
            text(e.ontext, row, 3);
            text(e.offtext, row, 4);
            e.enable = flag(row, 5);
            e.log = flag(row, 6);
            e.errortext_id = num(row, 7);
            e.trend_id = num(row, 8);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_do;") {
        for (size_t r = 0; r < n && r < 8; ++r) {
            const auto& row = rows[r];
            auto& e = ss.digitalO[r];
            text(e.name, row, 1);
            text(e.ontext, row, 2);
            text(e.offtext, row, 3);
            e.doinit = flag(row, 4);
            e.dokeep = flag(row, 5);
            e.enable = flag(row, 6);
            e.ontype = num(row, 7);
            e.onsensor = num(row, 8);
            e.onstate = num(row, 9);
            e.onenable = num(row, 10);
            e.offtype = num(row, 11);
            e.offsensor = num(row, 12);
            e.offstate = num(row, 13);
            e.offenable = num(row, 14);
            e.log = flag(row, 15);
            e.errortext_id = num(row, 16);
            e.trend_id = num(row, 17);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_ai;") {
        for (size_t r = 0; r < n && r < 8; ++r) {
            const auto& row = rows[r];
            auto& e = ss.analog[r];
            text(e.name, row, 1);
            e.enable = flag(row, 2);
            e.input_max = num(row, 3);
            e.input_min = num(row, 4);
            e.output_max = num(row, 5);
            e.output_min = num(row, 6);
            thresholds(e, row, 7);
            e.err_sampling = num(row, 15);
            text(e.unit, row, 16);
            e.log = flag(row, 17);
            e.range = num(row, 18);
            e.trend_id = num(row, 19);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_wire_temp;") {
        load_probe_rows(ss.onewire_temperature, rows);
    } else if (query == "SELECT * from webapp_wire_humid;") {
        load_probe_rows(ss.onewire_humidity, rows);
    } else if (query == "SELECT * from webapp_nx40;") {
        load_probe_rows(ss.kvt_nx40, rows);
    } else if (query == "SELECT * from webapp_vlxa;") {
        for (size_t r = 0; r < n && r < 50; ++r) {
            const auto& row = rows[r];
            auto& e = ss.veloxa[r];
            text(e.name, row, 1);
            text(e.device_ID, row, 2);
            text(e.t_name, row, 3);
            e.enable = flag(row, 4);
            e.t_alert_max_val = num(row, 5);
            e.t_alert_max_clear = num(row, 6);
            e.t_caution_max_val = num(row, 7);
            e.t_caution_max_clear = num(row, 8);
            e.t_caution_min_val = num(row, 9);
            e.t_caution_min_clear = num(row, 10);
            e.t_alert_min_val = num(row, 11);
            e.t_alert_min_clear = num(row, 12);
            e.t_log = flag(row, 13);
            text(e.h_name, row, 14);
            e.h_alert_max_val = num(row, 15);
            e.h_alert_max_clear = num(row, 16);
            e.h_caution_max_val = num(row, 17);
            e.h_caution_max_clear = num(row, 18);
            e.h_caution_min_val = num(row, 19);
            e.h_caution_min_clear = num(row, 20);
            e.h_alert_min_val = num(row, 21);
            e.h_alert_min_clear = num(row, 22);
            e.h_log = flag(row, 23);
            e.h_trend_id = num(row, 24);
            e.t_trend_id = num(row, 25);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_smartmesh_cycle;") {
        for (size_t r = 0; r < n && r < 3; ++r) {
            ss.smartMesh_cycle[r].cycle_minutes = num(rows[r], 2);
            ss.smartMesh_cycle[r].changeflg = false;
        }
    } else if (query == "SELECT * from webapp_trend_list;") {
        for (size_t r = 0; r < n && r < 6; ++r) {
            const auto& row = rows[r];
            auto& e = ss.trend[r];
            e.enable = flag(row, 2);
            e.minutes = num(row, 3);
            e.percentage = num(row, 4);
            e.au_per = num(row, 5);
            e.al_per = num(row, 6);
            e.cu_per = num(row, 7);
            e.cl_per = num(row, 8);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_bat_config;") {
        for (size_t r = 0; r < n && r < 2; ++r) {
            const auto& row = rows[r];
            auto& e = ss.battery[r];
            e.alert = num(row, 1);
            e.alert_clear = num(row, 2);
            e.caution = num(row, 3);
            e.caution_clear = num(row, 4);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_SM_errortime;") {
        if (n > 0) SM_err_time = num(rows[0], 1);
    } else if (query == "SELECT * from webapp_network_config;") {
        // The system files are what is in force, not the stored copy.
        read_network_files();
    } else if (query == "SELECT * from webapp_snmp_config;") {
        for (size_t r = 0; r < n && r < 8; ++r) {
            const auto& row = rows[r];
            auto& e = as.snmp[r];
            text(e.ipaddr, row, 1);
            text(e.community, row, 2);
            e.enable = flag(row, 3);
            e.changeflg = false;
            snmp_prefix_Set(static_cast<int>(r));
        }
    } else if (query == "SELECT * from webapp_snmp_trap_send;") {
        for (size_t r = 0; r < n && r < 8; ++r) {
            const auto& row = rows[r];
            auto& e = as.snmp_trap[r];
            text(e.sendto, row, 1);
            text(e.community, row, 2);
            e.version = num(row, 3);
            e.enable = flag(row, 4);
            e.changeflg = false;
        }
    } else if (query == "SELECT * from webapp_trap_scenario;") {
        load_scenario_rows(as.snmp_trap_scenario, 192, rows, 1);
    } else if (query == "SELECT * from webapp_mqtt_scenario;") {
        load_scenario_rows(as.mqtt_scenario, 24, rows, 0);
    } else if (query == "SELECT * from webapp_mail_client_scenario;") {
        load_scenario_rows(as.mail_client_scenario, 120, rows, 1);
    } else if (query == "SELECT * from webapp_timer;") {
        if (n > 0) {
            const auto& row = rows[0];
            as.time.year = num(row, 1);
            as.time.month = num(row, 2);
            as.time.day = num(row, 3);
            as.time.hour = num(row, 4);
            as.time.minute = num(row, 5);
            as.time.second = num(row, 6);
        }
        read_ntp_file();
    } else if (query == "SELECT * from webapp_mqttconfig;") {
        if (n > 0) {
            const auto& row = rows[0];
            as.mqtt.unitid = num(row, 1);
            text(as.mqtt.sendip, row, 2);
            as.mqtt.port = num(row, 3);
            text(as.mqtt.loginid, row, 4);
            text(as.mqtt.pwd, row, 5);
        }
    } else if (query == "SELECT * from webapp_mailconfig;") {
        if (n > 0) {
            const auto& row = rows[0];
            auto& m = as.mail;
            text(m.mail_smtp, row, 1);
            m.mail_smtp_port = num(row, 2);
            text(m.mail_account, row, 3);
            text(m.mail_password, row, 4);
            text(m.mail_mailaddr, row, 5);
            text(m.mail_sender, row, 6);
            m.mail_encode = flag(row, 7);
            m.mail_smtp_auth = flag(row, 8);
            m.mail_sendmail = flag(row, 9);
        }
    } else if (query == "SELECT * from webapp_mail_client;") {
        for (size_t r = 0; r < n && r < 5; ++r) {
            text(as.mail_client[r].mailclient_addr, rows[r], 1);
            text(as.mail_client[r].mailclient_subject, rows[r], 2);
        }
    } else if (query == "SELECT * from webapp_mailreport;") {
        for (size_t r = 0; r < n && r < 5; ++r) {
            const auto& row = rows[r];
            auto& e = as.mail_report[r];
            e.mailreport_addr = num(row, 1);
            text(e.mailreport_subject, row, 2);
            e.mailreport_enable = num(row, 3);
            e.mailreport_day = num(row, 4);
            e.mailreport_week = num(row, 5);
            e.mailreport_hour = num(row, 6);
            e.mailreport_minute = num(row, 7);
        }
    } else if (query == "SELECT * from webapp_sensor_log_cycle;") {
        for (size_t r = 0; r < n && r < 14; ++r) as.sensor_log_cycle[r].cycle_minutes = num(rows[r], 2);
    } else if (query == "SELECT * from webapp_systemlog;") {
        read_syslog_file();
    } else if (query == "SELECT * from webapp_onewire_conf;") {
        auto& o = as.onewire_conf;
        if (n > 0) {
            o.onewire_temp_retry_num = num(rows[0], 1);
            o.onewire_temp_retry_interval = num(rows[0], 2);
            o.onewire_temp_retry_log_enable = num(rows[0], 3);
        }
        if (n > 1) {
            o.onewire_humid_retry_num = num(rows[1], 1);
            o.onewire_humid_retry_interval = num(rows[1], 2);
            o.onewire_humid_retry_log_enable = num(rows[1], 3);
        }
    }
}

void setsettings(const std::string& result, const std::string& query)
{
    setsettings(parse_result(result), query);
}

int init_structs()
{
    static const char* const kTables[] = {
        "webapp_di",
        "webapp_do",
        "webapp_ai",
        "webapp_wire_temp",
        "webapp_wire_humid",
        "webapp_vlxa",
        "webapp_nx40",
        "webapp_smartmesh_cycle",
        "webapp_trend_list",
        "webapp_bat_config",
        "webapp_network_config",
        "webapp_snmp_config",
        "webapp_snmp_trap_send",
        "webapp_trap_scenario",
        "webapp_timer",
        "webapp_mqttconfig",
        "webapp_mqtt_scenario",
        "webapp_mailconfig",
        "webapp_mail_client",
        "webapp_mail_client_scenario",
        "webapp_mailreport",
        "webapp_sensor_log_cycle",
        "webapp_systemlog",
        "webapp_SM_errortime",
        "webapp_onewire_conf",
    };
    for (const char* table : kTables) {
        std::string query = std::string("SELECT * from ") + table + ";";
        setsettings(select_rows(query), query);
    }
    std::printf("init_structs done\n");
    applog("Struct initialized");
    return 0;
}

int for105update()
{
    static const char* const kRoots[] = {"/log/trend_log/", "/log/filter_log/", "/log/sensor_log/"};
    static const char* const kRanges[] = {"01-50", "51-100"};
    for (const char* root : kRoots)
        for (const char* range : kRanges)
            ::mkdir(kvt_path((std::string(root) + "MeshTemp_" + range).c_str()).c_str(), 0777);
    for (const char* root : kRoots)
        for (const char* range : kRanges)
            kvt_system(
                (std::string("mv -f ") + root + "KVT-MS-NX40_" + range + "/* " + root + "MeshTemp_" + range)
                    .c_str());
    for (const char* root : kRoots)
        for (const char* range : kRanges)
            ::rmdir(kvt_path((std::string(root) + "KVT-MS-NX40_" + range + "/").c_str()).c_str());
    return 0;
}

int for107update()
{
    for (int i = 0; i < 8; ++i) lower_threshold_fix(sensor_settings.analog[i], 10, i);
    for (int i = 0; i < 128; ++i) lower_threshold_fix(sensor_settings.onewire_temperature[i], 15, i);
    for (int i = 0; i < 16; ++i) lower_threshold_fix(sensor_settings.onewire_humidity[i], 16, i);
    for (int i = 0; i < 100; ++i) lower_threshold_fix(sensor_settings.kvt_nx40[i], 25, i);
    return 0;
}
