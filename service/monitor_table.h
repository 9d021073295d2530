// Tables shared with the web UI through four memory-mapped files in /tmp.
// The layouts are a contract with another process: native byte order,
// 32-bit ints, no padding beyond what is written here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace MONITOR_TABLE {

struct RequestFlg {
    int32_t digitalio_set_configuration;
    int32_t analog_set_configuration;
    int32_t onewire_temperature_set_configuration;
    int32_t onewire_humidity_set_configuration;
    int32_t veloxa_set_configuration;
    int32_t kvt_nx40_set_configuration;
    int32_t trend_set_configuration;
    int32_t network_set_configuration;
    int32_t snmp_set_configuration;
    int32_t snmp_trap_set_configuration;
    int32_t time_set_configuration;
    int32_t mqtt_set_configuration;
    int32_t mail_set_configuration;
    int32_t mail_client_set_configuration;
    int32_t mail_report_set_configuration;
    int32_t syslog_configuration;
    int32_t onewire_id_flg;
    int32_t state_log_flg;
    int32_t ai_connection;
    int32_t is_7400;
    int32_t ini_account;
};

struct SensorElement {
    int32_t value;
    int32_t status;
};

struct VeloxaElement {
    SensorElement sensor_temperature;
    SensorElement sensor_humidity;
    SensorElement sensor_battery;
};

struct NX40Element {
    SensorElement sensor_temperature;
    SensorElement sensor_battery;
};

struct Sensor_condition {
    SensorElement digitalio[16];  // 0-7 inputs, 8-15 relay outputs
    SensorElement analog[8];
    SensorElement onewire_temperature[128];
    SensorElement onewire_humidity[16];
    VeloxaElement veloxa[50];
    NX40Element kvt_nx40[100];
};

struct StatusEntry {
    int32_t time;
    int32_t type;
    int32_t port;
    int32_t state;
    int32_t value;
};

constexpr int ALL_LOG_NUM = 10000;
constexpr int DIO_LOG_NUM = 2000;

struct ALL_Status_Log {
    int32_t r;
    int32_t w;
    StatusEntry all[ALL_LOG_NUM];
};

struct DIO_Status_Log {
    int32_t r;
    int32_t w;
    StatusEntry dio[DIO_LOG_NUM];
};

struct Status_Log {
    ALL_Status_Log all_status_log;
    DIO_Status_Log dio_status_log;
};

struct TrendElement {
    int32_t alert_max;
    int32_t alert_min;
    int32_t caution_max;
    int32_t caution_min;
    int32_t con;
};

struct Trend_per {
    TrendElement analog[8];
    TrendElement onewire_temperature[128];
    TrendElement onewire_humidity[16];
    TrendElement veloxa[50];
    TrendElement kvt_nx40[100];
};

static_assert(sizeof(RequestFlg) == 84);
static_assert(offsetof(RequestFlg, digitalio_set_configuration) == 0);
static_assert(offsetof(RequestFlg, network_set_configuration) == 28);
static_assert(offsetof(RequestFlg, syslog_configuration) == 60);
static_assert(offsetof(RequestFlg, onewire_id_flg) == 64);
static_assert(offsetof(RequestFlg, state_log_flg) == 68);
static_assert(offsetof(RequestFlg, ai_connection) == 72);
static_assert(offsetof(RequestFlg, is_7400) == 76);
static_assert(offsetof(RequestFlg, ini_account) == 80);

static_assert(sizeof(SensorElement) == 8);
static_assert(sizeof(VeloxaElement) == 24);
static_assert(sizeof(NX40Element) == 16);
static_assert(sizeof(Sensor_condition) == 4144);
static_assert(offsetof(Sensor_condition, digitalio) == 0);
static_assert(offsetof(Sensor_condition, analog) == 128);
static_assert(offsetof(Sensor_condition, onewire_temperature) == 192);
static_assert(offsetof(Sensor_condition, onewire_humidity) == 1216);
static_assert(offsetof(Sensor_condition, veloxa) == 1344);
static_assert(offsetof(Sensor_condition, kvt_nx40) == 2544);

static_assert(sizeof(StatusEntry) == 20);
static_assert(sizeof(ALL_Status_Log) == 200008);
static_assert(sizeof(DIO_Status_Log) == 40008);
static_assert(sizeof(Status_Log) == 240016);
static_assert(offsetof(Status_Log, all_status_log) == 0);
static_assert(offsetof(Status_Log, dio_status_log) == 200008);
static_assert(offsetof(ALL_Status_Log, all) == 8);
static_assert(offsetof(DIO_Status_Log, dio) == 8);

static_assert(sizeof(TrendElement) == 20);
static_assert(sizeof(Trend_per) == 6040);
static_assert(offsetof(Trend_per, analog) == 0);
static_assert(offsetof(Trend_per, onewire_temperature) == 160);
static_assert(offsetof(Trend_per, onewire_humidity) == 2720);
static_assert(offsetof(Trend_per, veloxa) == 3040);
static_assert(offsetof(Trend_per, kvt_nx40) == 4040);

// Appends one entry to a status-log ring of `capacity` entries: r is the
// oldest entry, w the next slot, r == w an empty ring. The entry is complete
// before w moves past it, so a concurrent reader never sees a half entry.
void ring_append(int32_t& r, int32_t& w, StatusEntry* entries, int capacity, const StatusEntry& e);

// True when r and w are usable indices of a ring of `capacity` entries.
bool ring_indices_valid(int32_t r, int32_t w, int capacity);

}  // namespace MONITOR_TABLE

class MONITOR_TABLE_CLASS {
public:
    MONITOR_TABLE::RequestFlg* requestflg = nullptr;
    MONITOR_TABLE::Sensor_condition* sensor_condition = nullptr;
    MONITOR_TABLE::Status_Log* status_log = nullptr;
    MONITOR_TABLE::Trend_per* trend_per = nullptr;

    int fd_flg = -1;
    int fd_monitor = -1;
    int fd_status = -1;
    int fd_trend = -1;

    void initializeData();
    void setDummyData();
    int getDitigalIOValue(int i);
    int getDitigalIOStatus(int i);
    // True when all four tables are mapped.
    bool ready() const { return requestflg && sensor_condition && status_log && trend_per; }
};

// Set by start-up (map_tables) before the threads start, cleared after they
// end; each table field has its own writer thread (see the tables above).
extern MONITOR_TABLE_CLASS* monitor;

// The live tables for readers that may run before they are mapped (or
// without them): an all-zero table then.
const MONITOR_TABLE::Sensor_condition& live_condition();
const MONITOR_TABLE::Trend_per& live_trends();

int mmap_open();
int mmap_close();
// Start-up: makes `monitor`, maps the tables and clears the flags and live
// values of every table that mapped, even when another did not (the
// previous run's pending requests must not act on this one). 0 when all
// four mapped.
int shared_tables_start();
int copy_statelog();
int backup_statelog();
// Resets a status-log ring whose indices lie outside it (a damaged or foreign
// /log copy) to an empty ring; returns true when it had to.
bool statelog_repair(MONITOR_TABLE::Status_Log* log);
