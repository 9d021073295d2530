// Extra logs: every channel's value and state once a minute for four sensor
// groups, whatever their log flags, kept in RAM only under /tmp/extra_log
// for the current and the previous day.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "datalog.h"
#include "platform.h"

namespace DATALOG {

const ExtraGroup EXTRA_GROUPS[EXTRA_NUM] = {
    {"analog", SRC_AI, 8},
    {"1WireTemp", SRC_WIRE_T, 128},
    {"1WireHumid", SRC_WIRE_H, 16},
    {"MeshTemp", SRC_NX40, 100},
};

namespace {

const char* const EXTRA_ROOT = "/tmp/extra_log";

const MONITOR_TABLE::SensorElement& extra_element(const ExtraGroup& g, int i,
                                                  const MONITOR_TABLE::Sensor_condition& live)
{
    switch (g.source) {
    case SRC_WIRE_T: return live.onewire_temperature[i];
    case SRC_WIRE_H: return live.onewire_humidity[i];
    case SRC_NX40: return live.kvt_nx40[i].sensor_temperature;
    default: return live.analog[i];
    }
}

}  // namespace

int extra_state_number(int code)
{
    static const int NUMBERS[] = {128, 0, 999, 999, 16, 1, 4, 8, 2};
    return code >= 0 && code <= 8 ? NUMBERS[code] : 999;
}

std::string extra_path(const char* group, const std::tm& t)
{
    char b[128];
    std::snprintf(b, sizeof b, "%s/%s/extra%04d%02d%02d.csv", EXTRA_ROOT, group, t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday);
    return b;
}

std::string extra_line(const ExtraGroup& g, const std::tm& t, const MONITOR_TABLE::Sensor_condition& live)
{
    std::string cells;
    char b[48];
    for (int i = 0; i < g.count; ++i) {
        const auto& e = extra_element(g, i, live);
        if (e.value == SETTINGS_TABLE::VALUE_ERROR)
            std::snprintf(b, sizeof b, "65535,%d,", extra_state_number(e.status));
        else
            std::snprintf(b, sizeof b, "%.2f,%d,", e.value / 100.0, extra_state_number(e.status));
        cells += b;
    }
    char head[80];
    std::snprintf(head, sizeof head, "%04d/%02d/%02d %02d:%02d:00,", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min);
    return std::string(head) + cells + "\n";
}

std::string extra_old_path(const std::tm& t, const char* group)
{
    // Noon keeps the normalisation clear of daylight-saving shifts.
    std::tm back = t;
    back.tm_mday -= 2;
    back.tm_hour = 12;
    back.tm_min = back.tm_sec = 0;
    back.tm_isdst = -1;
    std::mktime(&back);
    return extra_path(group, back);
}

ExtraWriter::~ExtraWriter()
{
    if (f) std::fclose(f);
}

bool extra_writer_pass(ExtraWriter& w, const ExtraGroup& g, const std::tm& t)
{
    if (t.tm_mday != w.day) {
        if (w.f) std::fclose(w.f);
        w.day = t.tm_mday;
        const std::string path = extra_path(g.word, t);
        w.f = std::fopen(kvt_path(path).c_str(), "a");
        if (!w.f) {
            report_error("fopen", path, errno);
            return false;
        }
        delete_old_log(t, g.word);
    }
    if (!w.f || !monitor || !monitor->sensor_condition) return true;
    const std::string line = extra_line(g, t, *monitor->sensor_condition);
    std::fwrite(line.data(), 1, line.size(), w.f);
    std::fflush(w.f);
    return true;
}

}  // namespace DATALOG

using namespace DATALOG;

int delete_old_log(const std::tm& t, const char* group)
{
    std::remove(kvt_path(extra_old_path(t, group)).c_str());
    return 0;
}

namespace {

/*
 * Extra writer of one group (extra_analog_log_thread and its siblings).
 * Owns: the group's files under /tmp/extra_log, today's kept open.
 * Waits on: the next whole minute after each line.
 * Order: one line a minute stamped with the minute; a new day's file first
 *   removes the one of two days back.
 * Stopped by: `control` dropping to 0 (its sleep ends within 100 ms).
 */
void* extra_log_writer(const char* name, int group)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    const ExtraGroup& g = EXTRA_GROUPS[group];
    ExtraWriter w;
    while (control != 0) {
        if (!extra_writer_pass(w, g, local_now())) sleep_while_running(60000);
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm now{};
        localtime_r(&ts.tv_sec, &now);
        // To the next whole minute, not 60 s: the line times never drift.
        sleep_while_running(static_cast<int>((60 - now.tm_sec) * 1000L - ts.tv_nsec / 1000000));
    }
    std::printf("end %s\n", name);
    return nullptr;
}

}  // namespace

void* extra_analog_log_thread(void*) { return extra_log_writer("extra_analog_log_thread", 0); }
void* extra_wireT_log_thread(void*) { return extra_log_writer("extra_wireT_log_thread", 1); }
void* extra_wireH_log_thread(void*) { return extra_log_writer("extra_wireH_log_thread", 2); }
void* extra_NX40_log_thread(void*) { return extra_log_writer("extra_NX40_log_thread", 3); }

/*
 * extra_log_thread: starter of the extra logs.
 * Owns: the directories under /tmp/extra_log.
 * Waits on: the next whole minute, then its children.
 * Order: the four writers in group order.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* extra_log_thread(void*)
{
    std::printf("extra_log_thread tid  : %ld\n", thread_tid());
    ::mkdir(kvt_path("/tmp/extra_log").c_str(), 0777);
    for (const ExtraGroup& g : EXTRA_GROUPS)
        ::mkdir(kvt_path(std::string("/tmp/extra_log/") + g.word).c_str(), 0777);
    timer();
    const LogChild children[] = {
        {extra_analog_log_thread, "extra-ai"},
        {extra_wireT_log_thread, "extra-wireT"},
        {extra_wireH_log_thread, "extra-wireH"},
        {extra_NX40_log_thread, "extra-nx40"},
    };
    if (control != 0) start_and_join(children, 4);
    std::printf("end extra log thread\n");
    return nullptr;
}
