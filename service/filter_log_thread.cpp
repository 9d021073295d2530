// Filter logs: every minute, for each channel, the newest minute counts of
// its four threshold filter windows as percentages of 600 samples, one
// daily file per kind under /tmp/filter_log, copied hourly to
// /log/filter_log and kept there a year.
#include <cstdio>

#include "common.h"
#include "datalog.h"

namespace DATALOG {

std::string filter_percent(int samples)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.f", samples / 600.0 * 100.0);
    return b;
}

std::string filter_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    std::string h = "日付";
    for (int c = 0; c < k.count; ++c) h += "," + name_cell(channel(k, c, ss, none, sensor_data).name) + ",,,";
    return h + "\n";
}

std::string filter_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_sdata& sd)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    auto newest = [](const SETTINGS_TABLE::MinuteList& l) { return l.size() > 0 ? l.at(0) : 0; };
    std::string out = stamp(t) + ",";
    // Every channel, logged or not: the windows are kept for all of them.
    for (int c = 0; c < k.count; ++c) {
        const SETTINGS_TABLE::data_list& d = *channel(k, c, sensor_settings, none, sd).filter;
        for (const auto* l : {&d.alert_max_ls, &d.alert_min_ls, &d.caution_max_ls, &d.caution_min_ls})
            out += filter_percent(newest(*l)) + ",";
    }
    return out + "\n";
}

void filter_log_write(const Kind& k, const std::tm& t)
{
    make_day_dirs(FILTER, "/tmp", k, t);
    append_day_line(day_file(FILTER, "/tmp", k, t), filter_header(k, sensor_settings),
                    filter_line(k, t, sensor_data));
}

}  // namespace DATALOG

using namespace DATALOG;

namespace {

/*
 * Filter writer of one kind (ai_filter_log_thread and its siblings).
 * Owns: the kind's daily file under /tmp/filter_log.
 * Waits on: whole minutes.
 * Order: one line a minute, from the second whole minute after start.
 * Stopped by: `control` dropping to 0 (its minute wait ends at once).
 */
void* filter_log_writer(const char* name, int group)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    const Kind& k = *kind_of_group(group);
    timer();
    while (control != 0) {
        timer();
        if (control == 0) break;
        filter_log_write(k, local_now());
    }
    std::printf("end %s\n", name);
    return nullptr;
}

}  // namespace

void* ai_filter_log_thread(void*) { return filter_log_writer("ai_filter_log_thread", 1); }
void* WireT1_filter_log_thread(void*) { return filter_log_writer("WireT1_filter_log_thread", 2); }
void* WireT2_filter_log_thread(void*) { return filter_log_writer("WireT2_filter_log_thread", 3); }
void* WireH1_filter_log_thread(void*) { return filter_log_writer("WireH1_filter_log_thread", 4); }
void* WireH2_filter_log_thread(void*) { return filter_log_writer("WireH2_filter_log_thread", 5); }
void* NX40_1_filter_log_thread(void*) { return filter_log_writer("NX40_1_filter_log_thread", 8); }
void* NX40_2_filter_log_thread(void*) { return filter_log_writer("NX40_2_filter_log_thread", 9); }
void* cp_flogfile_thread(void*) { return log_copier("cp_flogfile_thread", FILTER); }

/*
 * filter_log_thread: starter of the filter logs.
 * Owns: the directories of /log/filter_log and /tmp/filter_log.
 * Waits on: its children.
 * Order: the seven writers, then the copier.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* filter_log_thread(void*)
{
    const LogChild children[] = {
        {ai_filter_log_thread, "ai-filter"},
        {WireT1_filter_log_thread, "wireT1-filter"},
        {WireT2_filter_log_thread, "wireT2-filter"},
        {WireH1_filter_log_thread, "wireH1-filter"},
        {WireH2_filter_log_thread, "wireH2-filter"},
        {NX40_1_filter_log_thread, "nx40-1-filter"},
        {NX40_2_filter_log_thread, "nx40-2-filter"},
        {cp_flogfile_thread, "filter-copy"},
    };
    return run_family("filter_log_thread", FILTER, children, static_cast<int>(sizeof children / sizeof children[0]));
}
