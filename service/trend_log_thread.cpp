// Trend logs: for every window of 600 one-second samples the average,
// maximum and minimum of each channel, one daily file per kind under
// /tmp/trend_log, copied hourly to /log/trend_log and kept there 15 years.
#include <cstdio>

#include "common.h"
#include "datalog.h"

namespace DATALOG {

namespace {

std::string mean_text(long long sum, int count)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", static_cast<double>(sum) / count / 100.0);
    return b;
}

}  // namespace

void TrendWindow::add(const int* values, int channels)
{
    for (int c = 0; c < channels && c < MAX_CHANNELS; ++c) {
        const int v = values[c];
        if (v == SETTINGS_TABLE::VALUE_ERROR) err[c] = true;
        sum[c] += v;
        if (count == 0 || v > max[c]) max[c] = v;
        if (count == 0 || v < min[c]) min[c] = v;
    }
    ++count;
}

bool trend_window_due(const TrendWindow& w, int last_day, int mday)
{
    return w.count >= TREND_WINDOW || mday != last_day;
}

std::string trend_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss, bool rename_form)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    std::string h = rename_form ? "日付," : "日付";
    for (int c = 0; c < k.count; ++c) {
        const std::string name = name_cell(channel(k, c, ss, none, sensor_data).name);
        h += rename_form ? name + ",,," : "," + name + ",,";
    }
    return h + "\n";
}

std::string trend_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_settings& ss,
                       const TrendWindow& w)
{
    static const MONITOR_TABLE::Sensor_condition none{};
    std::string out = stamp(t) + ",";
    for (int c = 0; c < k.count && c < MAX_CHANNELS; ++c) {
        if (!channel(k, c, ss, none, sensor_data).log) {
            out += ",,,";
        } else if (w.err[c] || w.count == 0) {
            out += "ERR,ERR,ERR,";
        } else {
            out += mean_text(w.sum[c], w.count) + "," + hundredths_text(w.max[c]) + "," +
                   hundredths_text(w.min[c]) + ",";
        }
    }
    return out + "\n";
}

void trend_log_write(const Kind& k, const std::tm& t, const TrendWindow& w)
{
    make_day_dirs(TREND, "/tmp", k, t);
    append_day_line(day_file(TREND, "/tmp", k, t), trend_header(k, sensor_settings),
                    trend_line(k, t, sensor_settings, w));
}

}  // namespace DATALOG

using namespace DATALOG;

namespace {

/*
 * Trend writer of one kind (ai_trend_log_thread and its siblings).
 * Owns: the kind's daily file under /tmp/trend_log and its sample window.
 * Waits on: the next whole minute at start, then timer1 ticks.
 * Order: one sample of every channel per tick; a line per full window and
 *   at a day change, the partial window then opening the new day's file.
 * Stopped by: `control` dropping to 0 (within a tick).
 */
void* trend_log_writer(const char* name, int group)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    const Kind& k = *kind_of_group(group);
    timer();
    int last_day = local_now().tm_mday;
    TrendWindow w;
    while (control != 0) {
        int values[MAX_CHANNELS];
        for (int c = 0; c < k.count; ++c)
            values[c] = monitor && monitor->sensor_condition
                            ? channel(k, c, sensor_settings, *monitor->sensor_condition, sensor_data).live.value
                            : SETTINGS_TABLE::VALUE_ERROR;
        const bool logged = any_log(k, sensor_settings);
        w.add(values, k.count);
        timer1();
        if (control == 0) break;
        const std::tm now = local_now();
        if (!trend_window_due(w, last_day, now.tm_mday)) continue;
        if (logged) trend_log_write(k, now, w);
        w.reset();
        last_day = now.tm_mday;
    }
    std::printf("end %s\n", name);
    return nullptr;
}

}  // namespace

void* ai_trend_log_thread(void*) { return trend_log_writer("ai_trend_log_thread", 1); }
void* WireT1_trend_log_thread(void*) { return trend_log_writer("WireT1_trend_log_thread", 2); }
void* WireT2_trend_log_thread(void*) { return trend_log_writer("WireT2_trend_log_thread", 3); }
void* WireH1_trend_log_thread(void*) { return trend_log_writer("WireH1_trend_log_thread", 4); }
void* WireH2_trend_log_thread(void*) { return trend_log_writer("WireH2_trend_log_thread", 5); }
void* NX40_1_trend_log_thread(void*) { return trend_log_writer("NX40_1_trend_log_thread", 8); }
void* NX40_2_trend_log_thread(void*) { return trend_log_writer("NX40_2_trend_log_thread", 9); }
void* cp_tlogfile_thread(void*) { return log_copier("cp_tlogfile_thread", TREND); }

/*
 * trend_log_thread: starter of the trend logs.
 * Owns: the directories of /log/trend_log and /tmp/trend_log.
 * Waits on: its children.
 * Order: the seven writers, then the copier.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* trend_log_thread(void*)
{
    const LogChild children[] = {
        {ai_trend_log_thread, "ai-trend"},
        {WireT1_trend_log_thread, "wireT1-trend"},
        {WireT2_trend_log_thread, "wireT2-trend"},
        {WireH1_trend_log_thread, "wireH1-trend"},
        {WireH2_trend_log_thread, "wireH2-trend"},
        {NX40_1_trend_log_thread, "nx40-1-trend"},
        {NX40_2_trend_log_thread, "nx40-2-trend"},
        {cp_tlogfile_thread, "trend-copy"},
    };
    return run_family("trend_log_thread", TREND, children, static_cast<int>(sizeof children / sizeof children[0]));
}
