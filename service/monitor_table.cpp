// The four tables shared with the web UI through files mapped from /tmp, and
// the copy of the status log kept in /log across reboots.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common.h"
#include "platform.h"

MONITOR_TABLE_CLASS* monitor = nullptr;

const MONITOR_TABLE::Sensor_condition& live_condition()
{
    static const MONITOR_TABLE::Sensor_condition none{};
    return monitor && monitor->sensor_condition ? *monitor->sensor_condition : none;
}

const MONITOR_TABLE::Trend_per& live_trends()
{
    static const MONITOR_TABLE::Trend_per none{};
    return monitor && monitor->trend_per ? *monitor->trend_per : none;
}

namespace MONITOR_TABLE {

void ring_append(int32_t& r, int32_t& w, StatusEntry* entries, int capacity, const StatusEntry& e)
{
    entries[w] = e;
    int32_t nw = w + 1;
    if (nw >= capacity) nw = 0;
    // The web UI walks r to w from another process: the entry is complete
    // before w moves past it, and on a full ring the oldest entry is given up
    // (r moves) before w reaches it, so the ring never looks empty meanwhile.
    if (r == nw) {
        int32_t nr = r + 1;
        if (nr > capacity - 1) nr = 0;
        std::atomic_ref<int32_t>(r).store(nr, std::memory_order_release);
    }
    std::atomic_ref<int32_t>(w).store(nw, std::memory_order_release);
}

bool ring_indices_valid(int32_t r, int32_t w, int capacity)
{
    return r >= 0 && r < capacity && w >= 0 && w < capacity;
}

}  // namespace MONITOR_TABLE

namespace {

void led_blink()
{
    kvt_system("echo \"timer\" > /sys/class/leds/STATUS_LED/trigger");
    kvt_system("echo 670 > /sys/class/leds/STATUS_LED/delay_on");
    kvt_system("echo 670 > /sys/class/leds/STATUS_LED/delay_off");
}

// Opens (creating with 0666) and sizes one table file; -1 on failure, with
// its messages: a file that cannot be opened prints `console` and logs
// `logged`, one that cannot be sized is reported with the reason.
int open_table(const char* path, size_t size, int& fd, bool& size_failed, const char* console, const char* logged)
{
    size_failed = false;
    fd = open(kvt_path(path).c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        std::printf("%s\n", console);
        applog(logged);
        return -1;
    }
    fchmod(fd, 0666);  // the web UI runs as another user and writes the flags

    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        size_failed = true;
        report_error("mmap_open: ftruncate", path, errno);
        return -1;
    }
    return 0;
}

template <typename T>
T* map_table(int fd)
{
    void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<T*>(p);
}

bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(kvt_path(from), std::ios::binary);
    if (!in) return false;
    std::ofstream out(kvt_path(to), std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

}  // namespace

int mmap_open()
{
    using namespace MONITOR_TABLE;
    MONITOR_TABLE_CLASS* m = monitor;
    if (!m) return -1;
    bool size_failed = false;

    if (open_table("/tmp/mmapfile_monitor", sizeof(Sensor_condition), m->fd_monitor, size_failed, "fd open error. ",
                   "fd sensor open error.") != 0) {
        led_blink();
        return -1;
    }
    m->sensor_condition = map_table<Sensor_condition>(m->fd_monitor);
    if (!m->sensor_condition) {
        report("Error : mmap_monitor failed ");
        return -1;
    }

    if (open_table("/tmp/mmapfile_flg", sizeof(RequestFlg), m->fd_flg, size_failed, "fd open error. ",
                   "fd flg open error.") != 0)
        return -1;
    m->requestflg = map_table<RequestFlg>(m->fd_flg);
    if (!m->requestflg) {
        report("Error : mmap_monitor failed ");
        return -1;
    }

    if (open_table("/tmp/mmapfile_status", sizeof(Status_Log), m->fd_status, size_failed,
                   "fd open error. state_log_thread", "fd state open error.") != 0) {
        // Only a status file that cannot be sized (or mapped) blinks the LED.
        if (size_failed) led_blink();
        return -1;
    }
    m->status_log = map_table<Status_Log>(m->fd_status);
    if (!m->status_log) {
        std::printf("Error : mmap_monitor failed state_log_thread\n");
        applog("Error : mmap_monitor failed");
        led_blink();
        return -1;
    }
    statelog_repair(m->status_log);

    if (open_table("/tmp/mmapfile_trend", sizeof(Trend_per), m->fd_trend, size_failed, "fd open error. ",
                   "fd trend open error.") != 0)
        return -1;
    m->trend_per = map_table<Trend_per>(m->fd_trend);
    if (!m->trend_per) {
        report("Error : mmap_monitor failed ");
        return -1;
    }
    return 0;
}

int shared_tables_start()
{
    if (!monitor) monitor = new MONITOR_TABLE_CLASS();
    int rc = mmap_open();
    monitor->initializeData();
    return rc;
}

int mmap_close()
{
    if (!monitor) return 0;
    for (int fd : {monitor->fd_monitor, monitor->fd_flg, monitor->fd_status, monitor->fd_trend})
        if (fd >= 0) close(fd);
    // The mappings stay until the process ends: a thread still finishing its
    // last pass may touch them.
    delete monitor;
    monitor = nullptr;
    return 0;
}

bool statelog_repair(MONITOR_TABLE::Status_Log* log)
{
    using namespace MONITOR_TABLE;
    if (!log) return false;
    ALL_Status_Log& all = log->all_status_log;
    DIO_Status_Log& dio = log->dio_status_log;
    bool all_bad = !ring_indices_valid(all.r, all.w, ALL_LOG_NUM);
    bool dio_bad = !ring_indices_valid(dio.r, dio.w, DIO_LOG_NUM);
    if (!all_bad && !dio_bad) return false;
    // Used as they are, the indices would write outside the ring; one line
    // for the whole restored log, whichever of its two rings was damaged.
    char msg[160];
    std::snprintf(msg, sizeof msg, "status log index out of range (all r=%d w=%d, dio r=%d w=%d): log reset",
                  static_cast<int>(all.r), static_cast<int>(all.w), static_cast<int>(dio.r),
                  static_cast<int>(dio.w));
    report(msg);
    if (all_bad) all.r = all.w = 0;
    if (dio_bad) dio.r = dio.w = 0;
    return true;
}

int copy_statelog()
{
    if (exist_file("/log/mmapfile_status") == 0) copy_file("/log/mmapfile_status", "/tmp/mmapfile_status");
    return 0;
}

int backup_statelog()
{
    // write_text_file puts the copy beside the saved one, flushes it to the
    // medium and renames it over, one writer at a time: a power cut during
    // the copy leaves the previous copy rather than half a log.
    std::string text;
    if (!read_text_file("/tmp/mmapfile_status", text)) {
        report_error("backup_statelog: read", "/tmp/mmapfile_status");
        return -1;
    }
    return write_text_file("/log/mmapfile_status", text) ? 0 : -1;
}

void MONITOR_TABLE_CLASS::initializeData()
{
    if (requestflg) std::memset(requestflg, 0, sizeof *requestflg);
    if (sensor_condition) std::memset(sensor_condition, 0, sizeof *sensor_condition);
    if (trend_per) std::memset(trend_per, 0, sizeof *trend_per);
}

void MONITOR_TABLE_CLASS::setDummyData()
{
    using SETTINGS_TABLE::VALUE_ERROR;
    MONITOR_TABLE::Sensor_condition* c = sensor_condition;
    if (!c) return;
    for (int i = 0; i < 8; ++i) c->digitalio[i] = {0, STATE::NONE};
    for (int i = 0; i < 8; ++i) {
        int init = sensor_settings.digitalO[i].doinit ? 1 : 0;
        do_ctl(i, init);
        c->digitalio[8 + i] = {init, STATE::NONE};
    }
    for (auto& e : c->analog) e = {VALUE_ERROR, STATE::NONE};
    for (auto& e : c->onewire_temperature) e = {VALUE_ERROR, STATE::NONE};
    for (auto& e : c->onewire_humidity) e = {VALUE_ERROR, STATE::NONE};
    for (auto& e : c->veloxa) {
        e.sensor_temperature = {VALUE_ERROR, STATE::NONE};
        e.sensor_humidity = {VALUE_ERROR, STATE::NONE};
        e.sensor_battery = {VALUE_ERROR, STATE::NONE};
    }
    for (auto& e : c->kvt_nx40) {
        e.sensor_temperature = {VALUE_ERROR, STATE::NONE};
        e.sensor_battery = {VALUE_ERROR, STATE::NONE};
    }
}

int MONITOR_TABLE_CLASS::getDitigalIOValue(int i)
{
    return sensor_condition && i >= 0 && i < 16 ? sensor_condition->digitalio[i].value : 0;
}

int MONITOR_TABLE_CLASS::getDitigalIOStatus(int i)
{
    return sensor_condition && i >= 0 && i < 16 ? sensor_condition->digitalio[i].status : 0;
}
