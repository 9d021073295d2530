// The status log as it comes back at start from its copy in /log: the
// input is laid over an empty log file (the read and write indices of both
// rings, then entries from the start of each ring), which start-up copies
// into place and maps. Both rings are then exported and two new records
// appended, as the state-log thread does.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common.h"
#include "events.h"
#include "harness.h"
#include "platform.h"

namespace {

using MONITOR_TABLE::ALL_LOG_NUM;
using MONITOR_TABLE::DIO_LOG_NUM;
using MONITOR_TABLE::Status_Log;

constexpr size_t INDEX_BYTES = 16;
std::unique_ptr<Status_Log> image;

void setup(const std::string& root)
{
    fuzz_sandbox(root, false);
    std::memset(&sensor_settings, 0, sizeof sensor_settings);
    std::memset(&admin_settings, 0, sizeof admin_settings);
    image = std::make_unique<Status_Log>();
}

void unmap_tables()
{
    munmap(monitor->sensor_condition, sizeof *monitor->sensor_condition);
    munmap(monitor->requestflg, sizeof *monitor->requestflg);
    munmap(monitor->status_log, sizeof *monitor->status_log);
    munmap(monitor->trend_per, sizeof *monitor->trend_per);
    mmap_close();
}

// Lines of a ring's export: the header, then one per entry from r to w.
long export_lines(const std::string& path)
{
    std::string csv;
    if (!read_text_file(path, csv)) fuzz_fail("make_statelog wrote no " + path);
    return std::count(csv.begin(), csv.end(), '\n');
}

long ring_entries(int32_t r, int32_t w, int capacity) { return (w - r + capacity) % capacity; }

int feed(const uint8_t* data, size_t size)
{
    std::memset(image.get(), 0, sizeof *image);
    int32_t idx[4] = {0, 0, 0, 0};
    std::memcpy(idx, data, std::min(size, INDEX_BYTES));
    image->all_status_log.r = idx[0];
    image->all_status_log.w = idx[1];
    image->dio_status_log.r = idx[2];
    image->dio_status_log.w = idx[3];
    if (size > INDEX_BYTES) {
        std::memcpy(image->all_status_log.all, data + INDEX_BYTES,
                    std::min(size - INDEX_BYTES, sizeof image->all_status_log.all));
        std::memcpy(image->dio_status_log.dio, data + INDEX_BYTES,
                    std::min(size - INDEX_BYTES, sizeof image->dio_status_log.dio));
    }
    const std::string file(reinterpret_cast<const char*>(image.get()), sizeof *image);
    if (!fuzz_put_file("/log/mmapfile_status", file)) fuzz_fail("write /log/mmapfile_status");

    copy_statelog();
    monitor = new MONITOR_TABLE_CLASS();
    if (mmap_open() != 0) fuzz_fail("mmap_open");
    Status_Log& log = *monitor->status_log;
    const bool repaired = log.all_status_log.r != idx[0] || log.all_status_log.w != idx[1] ||
                          log.dio_status_log.r != idx[2] || log.dio_status_log.w != idx[3];
    if (!MONITOR_TABLE::ring_indices_valid(log.all_status_log.r, log.all_status_log.w, ALL_LOG_NUM) ||
        !MONITOR_TABLE::ring_indices_valid(log.dio_status_log.r, log.dio_status_log.w, DIO_LOG_NUM))
        fuzz_fail("restored status log indices outside the rings");

    make_statelog(1);
    make_statelog(2);
    if (export_lines("/log/state_log/statelog_all.csv") !=
        1 + ring_entries(log.all_status_log.r, log.all_status_log.w, ALL_LOG_NUM))
        fuzz_fail("the all-ring export has other lines than the ring has entries");
    if (export_lines("/log/state_log/statelog_dio.csv") !=
        1 + ring_entries(log.dio_status_log.r, log.dio_status_log.w, DIO_LOG_NUM))
        fuzz_fail("the DIO-ring export has other lines than the ring has entries");

    state_log_process("1767225600,1,3,3,1,1,");
    state_log_process("1767225601,2,1,5,2500,1,");
    if (!MONITOR_TABLE::ring_indices_valid(log.all_status_log.r, log.all_status_log.w, ALL_LOG_NUM) ||
        !MONITOR_TABLE::ring_indices_valid(log.dio_status_log.r, log.dio_status_log.w, DIO_LOG_NUM) ||
        log.all_status_log.r == log.all_status_log.w || log.dio_status_log.r == log.dio_status_log.w)
        fuzz_fail("appending to a restored status log lost its place");

    // The record text itself, as the state threads queue it.
    const StateRecord rec = parse_state_record(std::string(reinterpret_cast<const char*>(data), size));
    for (const std::string& t : rec.text)
        if (t.empty()) fuzz_fail("a record field parsed to an empty text");

    unmap_tables();
    trap_que.clear();
    mail_send.clear();
    mqtt_con.clear();
    return repaired ? FUZZ_REFUSED : FUZZ_TAKEN;
}

}  // namespace

extern const FuzzHarness STATE_LOG_HARNESS{"state_log", setup, feed, 4096, false};
