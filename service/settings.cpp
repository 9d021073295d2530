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

#include "codes.h"
#include "common.h"
#include "settings_map.h"
#include "platform.h"
#include "snmp_usm.h"

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
Debug_inputs debug_inputs;
std::atomic<int> portnum_ok[2];

namespace SETTINGS_TABLE {

MinuteList::~MinuteList() { delete[] v_.load(std::memory_order_relaxed); }

void MinuteList::fill_zero(int n)
{
    if (n > CAPACITY) n = CAPACITY;
    if (n < 0) n = 0;
    // Slots once allocated are kept (a reader may hold them) and zeroed.
    if (uint16_t* v = v_.load(std::memory_order_relaxed)) std::memset(v, 0, CAPACITY * sizeof *v);
    head_.store(0, std::memory_order_relaxed);
    count_.store(n, std::memory_order_release);
}

void MinuteList::push_front(int v)
{
    const uint16_t c = static_cast<uint16_t>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v);
    uint16_t* slots = v_.load(std::memory_order_relaxed);
    if (!slots && c != 0) {
        // Every entry so far was 0: a zeroed day stands for them wherever
        // the head is.
        slots = new uint16_t[CAPACITY]();
        v_.store(slots, std::memory_order_release);
    }
    // The slot is written before the head moves onto it: a reader on
    // another thread sees the old list or the new one, never a stale newest
    // entry.
    const int h = (head_.load(std::memory_order_relaxed) + CAPACITY - 1) % CAPACITY;
    if (slots) slots[h] = c;
    if (count_.load(std::memory_order_relaxed) < CAPACITY) count_.fetch_add(1, std::memory_order_release);
    head_.store(h, std::memory_order_release);
}

int MinuteList::at(int k) const
{
    const int head = head_.load(std::memory_order_acquire);
    const uint16_t* v = v_.load(std::memory_order_acquire);
    return v ? v[(head + k) % CAPACITY] : 0;
}

long long MinuteList::sum_newest(int n) const
{
    const int head = head_.load(std::memory_order_acquire);
    const int count = count_.load(std::memory_order_acquire);
    const uint16_t* v = v_.load(std::memory_order_acquire);
    if (n > count) n = count;
    if (n <= 0 || !v) return 0;
    // Two straight runs instead of a modulo per entry: the minute step sums
    // up to a day of entries for every trend-judged channel.
    long long sum = 0;
    const int first = n < CAPACITY - head ? n : CAPACITY - head;
    for (int k = 0; k < first; ++k) sum += v[head + k];
    for (int k = 0; k < n - first; ++k) sum += v[k];
    return sum;
}

}  // namespace SETTINGS_TABLE

/*
 * cpustate_thread: the supervisor.
 * Owns: nothing but the decision to stop.
 * Waits on: a 100 ms tick; reads the power switch and the
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
        board_read(BOARD::POWER_SWITCH, &sw);
        if (sigterm_received) {
            stop_running();
            updateflg = 1;
            applog("SIGTERM received");
        }
        if (sw == 1) {
            std::printf("シャットダウン\n");
            applog("シャットダウン");
            board_write(BOARD::RUN, 0);
            stop_running();
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

template <typename T>
void lower_threshold_fix(T& e, int kind, int index)
{
    // Older web UIs switched a lower threshold off with the upper sentinel.
    constexpr int kWrongOff = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
    constexpr int kLowerOff = SETTINGS_TABLE::THRESHOLD_OFF_MIN;
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

void setsettings(const DbRows& rows, const std::string& table)
{
    // The mesh-sensor error time is a single value, not a record.
    if (table == "webapp_SM_errortime") {
        if (!rows.empty()) SM_err_time = num(rows[0], 1);
        return;
    }
    const SETTINGS_MAP::Section* s = SETTINGS_MAP::section_of_table(table);
    if (!s) return;
    const SETTINGS_MAP::Record& rec = *s->record;
    for (size_t r = static_cast<size_t>(s->skip_rows); r < rows.size(); ++r) {
        const int i = static_cast<int>(r) - s->skip_rows;
        if (i >= s->entries) break;
        char* elem = SETTINGS_MAP::element(*s, i);
        for (int k = 0; k < rec.count; ++k) {
            const SETTINGS_MAP::Field& f = rec.fields[k];
            if (f.load == SETTINGS_MAP::NONE) continue;
            if (f.type == SETTINGS_MAP::Type::Text) SETTINGS_MAP::set_text(elem, f, cell(rows[r], f.load));
            else SETTINGS_MAP::set_int(elem, f, num(rows[r], f.load));
        }
        SETTINGS_MAP::mark_changed(*s, elem, false);
        if (s->save == SAVE::SNMP) snmp_prefix_Set(i);
        if (s->save == SAVE::SNMP_USER) usm_user_set(i);
    }
    // What is in force for these comes from the system files, not the rows.
    if (s->save == SAVE::NETWORK) read_network_files();
    if (s->save == SAVE::TIME) read_ntp_file();
    if (s->save == SAVE::SYSLOG) read_syslog_file();
    if (s->save == SAVE::SNMP_AGENT) usm_agent_loaded();
}

void setsettings(const std::string& result, const std::string& table)
{
    setsettings(parse_result(result), table);
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
        "webapp_snmp_user",
        "webapp_snmp_agent",
    };
    for (const char* table : kTables) setsettings(select_rows(std::string("SELECT * from ") + table + ";"), table);
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
    using namespace SETTINGS_TABLE;
    for (int i = 0; i < AI_NUM; ++i) lower_threshold_fix(sensor_settings.analog[i], SAVE::AI, i);
    for (int i = 0; i < WIRE_T_NUM; ++i) lower_threshold_fix(sensor_settings.onewire_temperature[i], SAVE::WIRE_T, i);
    for (int i = 0; i < WIRE_H_NUM; ++i) lower_threshold_fix(sensor_settings.onewire_humidity[i], SAVE::WIRE_H, i);
    for (int i = 0; i < NX40_NUM; ++i) lower_threshold_fix(sensor_settings.kvt_nx40[i], SAVE::NX40, i);
    return 0;
}
