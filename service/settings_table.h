// Configuration and live-threshold records shared by every thread, and the
// string queues that hand work between threads.
//
// The records are plain fixed-size structs in static storage: the web UI and
// the database fix their capacities, and nothing here allocates after start-up
// except the queues.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace SETTINGS_TABLE {

constexpr int DI_NUM = 8;
constexpr int DO_NUM = 8;
constexpr int AI_NUM = 8;
constexpr int WIRE_T_NUM = 128;
constexpr int WIRE_H_NUM = 16;
constexpr int VLXA_NUM = 50;
constexpr int NX40_NUM = 100;
constexpr int SMARTMESH_CYCLE_NUM = 3;
constexpr int TREND_NUM = 6;
constexpr int BATTERY_NUM = 2;

constexpr int SNMP_NUM = 8;
constexpr int TRAP_NUM = 8;
constexpr int TRAP_SCENARIO_NUM = 193;
constexpr int MQTT_SCENARIO_NUM = 24;
constexpr int MAIL_CLIENT_NUM = 5;
constexpr int MAIL_SCENARIO_NUM = 121;
constexpr int MAIL_REPORT_NUM = 5;
constexpr int SENSOR_LOG_CYCLE_NUM = 14;
constexpr int SNMP_USER_NUM = 8;

// Threshold sentinels: an upper threshold at INT32_MAX or a lower one at
// INT32_MIN is switched off.
constexpr int THRESHOLD_OFF_MAX = 2147483647;
constexpr int THRESHOLD_OFF_MIN = (-2147483647 - 1);
constexpr int VALUE_ERROR = 65535;  // live value without a valid reading

struct DigitalI {
    char name[32];
    int time;
    char ontext[31];
    char offtext[31];
    bool enable;
    bool log;
    int errortext_id;
    int trend_id;
    bool changeflg;
};

struct DigitalO {
    char name[32];
    char ontext[31];
    char offtext[31];
    bool enable;
    bool doinit;
    bool dokeep;
    int ontype, onsensor, onstate, onenable;
    int offtype, offsensor, offstate, offenable;
    int errortext_id;
    int trend_id;
    bool log;
    bool changeflg;
};

struct Analog {
    char name[32];
    bool enable;
    int input_max, input_min, output_max, output_min;
    int alert_max_val, alert_max_clear, caution_max_val, caution_max_clear;
    int caution_min_val, caution_min_clear, alert_min_val, alert_min_clear;
    int err_sampling;
    char unit[32];
    int trend_id;
    bool log;
    int range;
    bool changeflg;
};

// 1-Wire temperature, 1-Wire humidity and NX40 sensors share one layout.
struct Onewire_temperature {
    char name[32];
    char device_ID[32];
    bool enable;
    int alert_max_val, alert_max_clear, caution_max_val, caution_max_clear;
    int caution_min_val, caution_min_clear, alert_min_val, alert_min_clear;
    int trend_id;
    bool log;
    bool changeflg;
};
using Onewire_humidity = Onewire_temperature;
using KVT_NX40 = Onewire_temperature;

struct Veloxa {
    char name[32];
    char device_ID[32];
    bool enable;
    char t_name[32];
    int t_alert_max_val, t_alert_max_clear, t_caution_max_val, t_caution_max_clear;
    int t_caution_min_val, t_caution_min_clear, t_alert_min_val, t_alert_min_clear;
    int t_trend_id;
    bool t_log;
    char h_name[32];
    bool h_enable;
    int h_alert_max_val, h_alert_max_clear, h_caution_max_val, h_caution_max_clear;
    int h_caution_min_val, h_caution_min_clear, h_alert_min_val, h_alert_min_clear;
    int h_trend_id;
    bool h_log;
    bool changeflg;
};

struct SmartMesh_cycle {
    char name[32];
    int cycle_minutes;
    bool changeflg;
};

struct Trend {
    bool enable;
    int minutes;
    int percentage;
    int au_per, al_per, cu_per, cl_per;
    bool changeflg;
};

struct Battery {
    int alert, alert_clear, caution, caution_clear;
    bool changeflg;
};

struct Sensor_settings {
    DigitalI digitalI[DI_NUM];
    DigitalO digitalO[DO_NUM];
    Analog analog[AI_NUM];
    Onewire_temperature onewire_temperature[WIRE_T_NUM];
    Onewire_humidity onewire_humidity[WIRE_H_NUM];
    Veloxa veloxa[VLXA_NUM];
    KVT_NX40 kvt_nx40[NX40_NUM];
    SmartMesh_cycle smartMesh_cycle[SMARTMESH_CYCLE_NUM];
    Trend trend[TREND_NUM];
    Battery battery[BATTERY_NUM];
};

struct Snmp {
    char ipaddr[32];
    char community[32];
    bool enable;
    bool changeflg;
    int prefix;
    char ip_noprefix[32];
};

struct Network {
    char host[32];
    bool dhcp;
    char ipaddr[32], netmask[32], broadcast[32], gateway[32];
    char dns1[32], dns2[32], dns3[32];
};

struct Snmp_trap {
    char sendto[32];
    char community[32];
    int version;
    bool enable;
    bool changeflg;
    int user;  // SNMPv3 user (1 to 8) the receiver's notifications go out as
};

// An SNMPv3 user. Protocol numbers: auth 0 none, 1 SHA-1, 2 SHA-224,
// 3 SHA-256, 4 SHA-384, 5 SHA-512; priv 0 none, 1 AES-128, 2 AES-192,
// 3 AES-256. The passphrases are secrets: they go to the database and into
// the key table (snmp_usm), nowhere else.
struct Snmp_user {
    char snmp_user_name[40];  // 32 characters at most; longer is refused
    int snmp_user_auth;
    char snmp_user_auth_pass[72];  // 8 to 64 characters; longer is refused, not cut
    int snmp_user_priv;
    char snmp_user_priv_pass[72];
    int snmp_user_access;  // 0 read-only, 1 read-write
    bool snmp_user_enable;
    bool changeflg;
};

struct Snmp_agent {
    bool snmp_v1v2c_enable;
    int snmp_engine_boots;  // the service's own count, one more at every start
    bool changeflg;
};

struct Scenario {
    int sensortype;
    int sensor;
    int state;
    bool enable;
    bool changeflg;
};

// tls: MQTT_TLS_OFF, MQTT_TLS_VERIFY (the broker's certificate checked
// against cafile, its name or address against the host) or MQTT_TLS_CLIENT
// (the same, and certfile/keyfile presented to the broker). The paths are
// appliance paths; an empty cafile means the system's CA bundle.
struct Mqtt {
    int unitid;
    char sendip[32];
    int port;
    char loginid[32];
    char pwd[32];
    int tls;
    char cafile[128];
    char certfile[128];
    char keyfile[128];
};
constexpr int MQTT_TLS_OFF = 0;
constexpr int MQTT_TLS_VERIFY = 1;
constexpr int MQTT_TLS_CLIENT = 2;
constexpr const char* MQTT_SYSTEM_CAFILE = "/etc/ssl/certs/ca-certificates.crt";

struct Time {
    int year, month, day, hour, minute, second;
    char ntp[3][32];
};

struct Mail {
    char mail_smtp[32];
    int mail_smtp_port;
    char mail_account[32];
    char mail_password[32];
    char mail_mailaddr[128];
    char mail_sender[32];
    bool mail_smtp_auth;
    bool mail_encode;
    bool mail_sendmail;
};

struct Mail_client {
    char mailclient_addr[128];
    char mailclient_subject[128];
};

struct Mail_report {
    int mailreport_addr;
    char mailreport_subject[128];
    int mailreport_enable, mailreport_day, mailreport_week, mailreport_hour, mailreport_minute;
};

struct Sensor_log_cycle {
    char name[32];
    int cycle_minutes;
};

struct Syslog {
    int destination;
    char ipaddr[32];
    int port;
};

struct Statelog {
    int cycle;
};

struct Onewire_conf {
    int onewire_temp_retry_num, onewire_temp_retry_interval, onewire_temp_retry_log_enable;
    int onewire_humid_retry_num, onewire_humid_retry_interval, onewire_humid_retry_log_enable;
};

struct Admin_settings {
    Snmp snmp[SNMP_NUM];
    Network network;
    Snmp_trap snmp_trap[TRAP_NUM];
    Scenario snmp_trap_scenario[TRAP_SCENARIO_NUM];
    Mqtt mqtt;
    Scenario mqtt_scenario[MQTT_SCENARIO_NUM];
    Time time;
    Mail mail;
    Mail_client mail_client[MAIL_CLIENT_NUM];
    Scenario mail_client_scenario[MAIL_SCENARIO_NUM];
    Mail_report mail_report[MAIL_REPORT_NUM];
    Sensor_log_cycle sensor_log_cycle[SENSOR_LOG_CYCLE_NUM];
    Syslog syslog;
    Statelog statelog;
    Onewire_conf onewire_conf;
    Snmp_user snmp_user[SNMP_USER_NUM];
    Snmp_agent snmp_agent;
};

// One day of per-minute counts, newest first, in a fixed ring: the trend
// judgement only ever sums the newest entries, and a day of minutes for
// every channel must not cost a heap node per minute. A minute holds at most
// 600 samples, so a count takes 16 bits; the day of slots is allocated only
// when the first non-zero count arrives; until then every entry reads 0 and
// the list costs no more than its head and count.
class MinuteList {
public:
    static constexpr int CAPACITY = 1440;

    MinuteList() = default;
    ~MinuteList();
    MinuteList(const MinuteList&) = delete;
    MinuteList& operator=(const MinuteList&) = delete;

    // Empties the list and appends n zeros (n is clamped to the capacity).
    void fill_zero(int n);
    // Adds v as the newest entry; the oldest is dropped past 1440 entries.
    // v is held in 16 bits: below 0 counts as 0, above 65535 as 65535.
    void push_front(int v);
    int size() const { return count_.load(std::memory_order_acquire); }
    // Entry k counted from the newest (k = 0); k must be below size().
    int at(int k) const;
    // Sum of the newest n entries, or of all of them when fewer are held.
    long long sum_newest(int n) const;
    // Whether the day of slots is held in memory (a non-zero count came).
    bool allocated() const { return v_.load(std::memory_order_acquire) != nullptr; }

private:
    // One writer (the state thread of the kind); the logs read from other
    // threads. The slots are published before the head that first points at
    // a non-zero entry, and head and count after the slot is written, so a
    // reader that loads head first sees the old list or the new one.
    std::atomic<uint16_t*> v_{nullptr};
    std::atomic<int> head_{0};  // index of the newest entry
    std::atomic<int> count_{0};
};

struct data_list {
    int alert_max = 0, alert_min = 0, caution_max = 0, caution_min = 0;
    MinuteList alert_max_ls, alert_min_ls, caution_max_ls, caution_min_ls;
};

struct Sensor_sdata {
    data_list digitalI[DI_NUM];
    data_list digitalO[DO_NUM];
    data_list analog[AI_NUM];
    data_list onewire_temperature[WIRE_T_NUM];
    data_list onewire_humidity[WIRE_H_NUM];
    data_list veloxa_t[VLXA_NUM];
    data_list veloxa_h[VLXA_NUM];
    data_list kvt_nx40[NX40_NUM];
};
using Sensor_data = Sensor_sdata;

}  // namespace SETTINGS_TABLE

namespace REPORT_TABLE {

struct SensorElement {
    int64_t average;  // running sum
    int min;
    int max;
    int64_t num;      // sample count
};

struct VeloxaReport {
    SensorElement sensor_temperature, sensor_humidity, sensor_battery;
};

struct NX40Report {
    SensorElement sensor_temperature, sensor_battery;
};

struct Report_sensor_data {
    SensorElement digitalio[16];
    SensorElement analog[SETTINGS_TABLE::AI_NUM];
    SensorElement onewire_temperature[SETTINGS_TABLE::WIRE_T_NUM];
    SensorElement onewire_humidity[SETTINGS_TABLE::WIRE_H_NUM];
    VeloxaReport veloxa[SETTINGS_TABLE::VLXA_NUM];
    NX40Report kvt_nx40[SETTINGS_TABLE::NX40_NUM];
};

struct Report_struct {
    Report_sensor_data mailreport[SETTINGS_TABLE::MAIL_REPORT_NUM];
};

}  // namespace REPORT_TABLE

// Thread-safe FIFO of texts with one consumer. Producers never block.
template <typename T>
class TSQueue {
public:
    void push(const T& item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(item);
        m_cond.notify_one();
    }

    // The db_save message form: "a,b,".
    void push_n(int a, int b)
    {
        push(std::to_string(a) + "," + std::to_string(b) + ",");
    }

    // Copy of the oldest element; waits while the queue is empty.
    T front()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return !m_queue.empty(); });
        return m_queue.front();
    }

    // Waits up to `timeout` for an element; true as soon as there is one.
    template <typename Rep, typename Period>
    bool wait_for(const std::chrono::duration<Rep, Period>& timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [this] { return !m_queue.empty(); });
    }

    // As above, and also returns at once when `stop()` holds; whoever makes
    // it hold calls wake() afterwards.
    template <typename Rep, typename Period, typename Stop>
    bool wait_for(const std::chrono::duration<Rep, Period>& timeout, Stop stop)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [this, &stop] { return !m_queue.empty() || stop(); }) &&
               !m_queue.empty();
    }

    // Makes a waiting consumer look at its stop condition again.
    void wake()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cond.notify_all();
    }

    void pop()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_queue.empty()) m_queue.pop_front();
    }

    bool empty()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.empty();
    }

    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
    }

private:
    std::deque<T> m_queue;
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

// The configuration: the loader at start-up and after a failed save, then
// the command, SNMP, MQTT and settings-file threads (field by field under
// settings_mutex) and the acquisition threads' forced values write it;
// every thread reads it.
extern SETTINGS_TABLE::Sensor_settings sensor_settings;
extern SETTINGS_TABLE::Admin_settings admin_settings;
// Threshold counters: the state threads write their kind's; the trend and
// filter log threads read them.
extern SETTINGS_TABLE::Sensor_data sensor_data;
// Mail-report statistics: the acquisition threads add samples; the mail
// report thread reads and restarts them.
extern REPORT_TABLE::Report_struct report_struct;

// Each queue has many producers and the one consumer named.
extern TSQueue<std::string> db_save;    // settings to persist: settings writer
extern TSQueue<std::string> mail_send;  // mail requests: mail thread
extern TSQueue<std::string> mqtt_con;   // MQTT notifications: MQTT publisher
extern TSQueue<std::string> state_log;  // state changes: state log thread
extern TSQueue<std::string> trap_que;   // trap requests: trap thread

// MQTT settings saved: the settings writer sets it, the MQTT thread takes it
// and reconnects.
extern std::atomic<int> mqttconf;
// Mesh-sensor error time: the loader and the command thread write it, the
// mesh intake (sensor monitor thread) reads it.
extern std::atomic<int> SM_err_time;

// Simulation ("debug") inputs that replace the board's readings while
// debug_mode is set; filled from the simulation file by the command queue.
// debug_mode: the command thread writes it, the acquisition threads read it.
extern std::atomic<bool> debug_mode;
// Writers: the command thread (simulation file) and the analog thread (ais
// holds its conversions too); readers: the DIO, analog and 1-Wire threads.
struct Debug_inputs {
    int dis[8];
    float ais[8];
    float temps[128];
    float humids[16];
};
extern Debug_inputs debug_inputs;
// 1-Wire search finished, per bus: the bus thread sets it, the command
// thread (command 17) reads and clears it to request a new search.
extern std::atomic<int> portnum_ok[2];

// Guards every field write of the configuration records and every copy of
// a text into or out of them. Writers: the command queue, SNMP SET, MQTT
// writes, the settings files and the loader, each field by field through
// SETTINGS_MAP::set_int / set_text or copy_text. Readers that copy a text
// (get_text, copy_text) hold it too, so they never see half of a new text.
// Whole-int fields are still read without it.
std::mutex& settings_mutex();

// A whole record copied under the settings lock: its texts and numbers as
// they stood at one moment, for a reader that uses several of them.
template <class T>
T settings_copy(const T& r)
{
    std::lock_guard<std::mutex> lock(settings_mutex());
    return r;
}

// Bytes of a text of `len` bytes that fit a field of `capacity` bytes with
// its NUL. A cut never falls inside a UTF-8 character: it steps back over
// the continuation bytes of the character there (bytes that are not UTF-8
// are cut where they reach the end of the field).
size_t text_fit(const char* s, size_t len, size_t capacity);

// Copies src into a fixed text field, cut to capacity on a character
// boundary and NUL-terminated.
template <size_t N>
inline void copy_text(char (&dst)[N], const char* src)
{
    std::lock_guard<std::mutex> lock(settings_mutex());
    const size_t n = src ? text_fit(src, strnlen(src, N), N) : 0;
    std::memmove(dst, src ? src : "", n);
    dst[n] = '\0';
}
template <size_t N>
inline void copy_text(char (&dst)[N], const std::string& src)
{
    copy_text(dst, src.c_str());
}
