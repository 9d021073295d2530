// The data logs: daily CSV files of the sensor values (value logs), of the
// ten-minute averages (trend logs) and of the threshold filter windows
// (filter logs), written in RAM under /tmp and copied hourly to /log; the
// monthly NX40 battery log; and the minute-by-minute extra logs kept in RAM
// only. The rules (paths for a date, line building, retention arithmetic,
// day-change handling) take the time as an argument; the thread bodies are
// thin loops around them.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "monitor_table.h"
#include "settings_table.h"

namespace DATALOG {

// Where a kind's channels come from.
enum Source { SRC_AI, SRC_WIRE_T, SRC_WIRE_H, SRC_VLXA_T, SRC_VLXA_H, SRC_NX40 };

// One kind of the daily logs; the same kinds serve the value, trend and
// filter families.
struct Kind {
    int group;            // 1..9, the log group of a name change
    const char* word;     // directory and file word
    Source source;
    int first, count;     // channel range within the source
    int period_entry;     // sensor_log_cycle entry with the writing period
    int retention_entry;  // sensor_log_cycle entry with the retention in months
    bool started;         // the VLXA kinds have writers but are not started
};
constexpr int KIND_NUM = 9;
constexpr int MAX_CHANNELS = 64;
extern const Kind KINDS[KIND_NUM];  // in group order
// The kind of log group g (1..9), or nullptr.
const Kind* kind_of_group(int g);

// One channel of a kind as the logs see it.
struct Channel {
    const char* name;
    bool log;
    MONITOR_TABLE::SensorElement live;
    const SETTINGS_TABLE::data_list* filter;
};
Channel channel(const Kind& k, int c, const SETTINGS_TABLE::Sensor_settings& ss,
                const MONITOR_TABLE::Sensor_condition& live, const SETTINGS_TABLE::Sensor_sdata& sd);
bool any_log(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss);

enum Family { SENSOR, TREND, FILTER };
// "sensor_log", "trend_log", "filter_log".
const char* family_dir(Family f);

extern const char BOM[];  // EF BB BF

// "<area>/<family>/<D>/%Y/%m/%Y%m%d_<D>.csv" for area "/tmp" or "/log".
std::string day_file(Family f, const char* area, const Kind& k, const std::tm& t);
// Creates the year and month directories of day_file (errors ignored).
void make_day_dirs(Family f, const char* area, const Kind& k, const std::tm& t);
// Appends one line to a daily file, first writing the BOM and the header
// when the file is missing or empty. False when it could not be written.
bool append_day_line(const std::string& path, const std::string& header, const std::string& line);
// "%Y/%m/%d %H:%M:%S".
std::string stamp(const std::tm& t);
// A name as a header cell: its text up to capacity, line breaks as blanks
// so that the header stays the file's first line.
std::string name_cell(const char* name);
// value / 100 as "%.2f".
std::string hundredths_text(int value);

// ---- Value logs -----------------------------------------------------------

std::string sensor_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss);
std::string sensor_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_settings& ss,
                        const MONITOR_TABLE::Sensor_condition& live);

// The value writer's tick counter between lines.
struct PeriodCounter {
    int count = 0;
    int last_day = 0;  // day of month of the last line (or of the start)
};
// One tick on day of month `mday`: true when a line is due now (every
// `period` ticks, and at the first tick of a new day) and some channel is
// logged. The counter restarts whenever a line was due, logged or not.
bool sensor_tick_due(PeriodCounter& c, int period, bool logged, int mday);
// Writes one line of kind k at local time t from the current settings and
// live values (directories and header as needed).
void sensor_log_write(const Kind& k, const std::tm& t);

// ---- NX40 battery log -----------------------------------------------------

std::string bat_log_path(const std::tm& t);
std::string bat_log_header(const SETTINGS_TABLE::Sensor_settings& ss);
std::string bat_log_line(const std::tm& t, const MONITOR_TABLE::Sensor_condition& live);
// The year directory removed at a day change: 11 years back.
std::string bat_log_expired_dir(const std::tm& t);
// The battery logger's day change at local time t: a line when any NX40
// channel is logged, then the expired year removed.
void bat_log_day_change(const std::tm& t);

// ---- Copiers --------------------------------------------------------------

// Directories the value-log copier removes for retention R (months) at
// year/month: the month R + 1 months back, then the whole years before it
// down to 15 years back. `base` is "/log/sensor_log/<D>". A negative R
// removes nothing.
std::vector<std::string> sensor_retention_dirs(const std::string& base, int retention, int year, int month);
// The previous month's directory `years_back` years back (trend logs 15,
// filter logs 1).
std::string month_dir_back(const std::string& base, int years_back, int year, int month);
// Removes a directory with everything in it; true when anything was removed.
bool remove_tree(const std::string& path);
// Start-up: today's /log copy of every started kind back into /tmp, where
// the RAM copy is gone (a reboot).
void copier_restore(Family f, const std::tm& now);
// One hourly pass: t0 the time before the hour's wait, now after it. After
// a day change the finished day's files are copied a last time and removed
// from RAM, and every path is that of t0.
void copier_pass(Family f, const std::tm& t0, const std::tm& now);
// At stop: the RAM files of t0's day and of today copied to /log, so that a
// power-off loses none of the last hour.
void copier_final(Family f, const std::tm& t0, const std::tm& now);
// Bytes the copiers have written below /log since start: only what the
// RAM files gained since their last copy, or whole files where the /log copy
// was missing or did not match.
unsigned long long copied_to_log_bytes();

// ---- Trend logs -----------------------------------------------------------

// The samples of one window, kept as what the line needs.
struct TrendWindow {
    int count = 0;
    long long sum[MAX_CHANNELS] = {};
    int max[MAX_CHANNELS] = {};
    int min[MAX_CHANNELS] = {};
    bool err[MAX_CHANNELS] = {};
    void add(const int* values, int channels);
    void reset() { *this = TrendWindow(); }
};
constexpr int TREND_WINDOW = 600;
// True when the window is to be written: full, or the day changed.
bool trend_window_due(const TrendWindow& w, int last_day, int mday);
// Header of the trend file; `rename_form` is the header a name change
// writes (one more empty cell at the end).
std::string trend_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss, bool rename_form = false);
std::string trend_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_settings& ss,
                       const TrendWindow& w);
void trend_log_write(const Kind& k, const std::tm& t, const TrendWindow& w);

// ---- Filter logs ----------------------------------------------------------

// A minute count of a filter window as a whole percentage of 600 samples.
std::string filter_percent(int samples);
std::string filter_header(const Kind& k, const SETTINGS_TABLE::Sensor_settings& ss);
std::string filter_line(const Kind& k, const std::tm& t, const SETTINGS_TABLE::Sensor_sdata& sd);
void filter_log_write(const Kind& k, const std::tm& t);

// ---- Name changes ---------------------------------------------------------

// The text with its first line (BOM and header) replaced by BOM + header.
std::string replace_header(const std::string& text, const std::string& header);
// Rewrites the headers of the value and trend files of group g dated t.
void sensorlog_namechange_at(int group, const std::tm& t);

// ---- Extra logs -----------------------------------------------------------

struct ExtraGroup {
    const char* word;
    Source source;
    int count;
};
constexpr int EXTRA_NUM = 4;
extern const ExtraGroup EXTRA_GROUPS[EXTRA_NUM];
// State number of the extra logs for live status `code`.
int extra_state_number(int code);
std::string extra_path(const char* group, const std::tm& t);
std::string extra_line(const ExtraGroup& g, const std::tm& t, const MONITOR_TABLE::Sensor_condition& live);
// The file of group G dated two days before t.
std::string extra_old_path(const std::tm& t, const char* group);

// An extra writer's open file between passes.
struct ExtraWriter {
    std::FILE* f = nullptr;
    int day = 0;  // day of month of the open file; 0 before the first
    ~ExtraWriter();
};
// One pass at local time t: a new day's file opened (and the one of two
// days back removed), then one line. False when the day's file could not be
// opened; the day then stays without lines.
bool extra_writer_pass(ExtraWriter& w, const ExtraGroup& g, const std::tm& t);

}  // namespace DATALOG

// A child thread of a starter.
struct LogChild {
    void* (*fn)(void*);
    const char* name;
};
// Starts the children in order (each with the service's policy), then joins
// those that started.
void start_and_join(const LogChild* children, int n);
// The body of a daily family's starter: the family's directories with the
// kind directories below, in /log and /tmp, then the children started in
// order and joined.
void* run_family(const char* name, DATALOG::Family f, const LogChild* children, int n);
// The body of a family's copier.
void* log_copier(const char* name, DATALOG::Family f);

// The local time now, broken down.
std::tm local_now();
// About one second, ending close after the start of a second.
int timer1();
// Microseconds timer1 sleeps at nanosecond `nsec` of the clock.
long timer1_sleep_us(long nsec);
int sensorlog_namechange(int group);
int delete_old_log(const std::tm& t, const char* group);

void* sensor_log_thread(void*);
void* ai_sensor_log_thread(void*);
void* WireT1_sensor_log_thread(void*);
void* WireT2_sensor_log_thread(void*);
void* WireH1_sensor_log_thread(void*);
void* WireH2_sensor_log_thread(void*);
void* NX40_1_sensor_log_thread(void*);
void* NX40_2_sensor_log_thread(void*);
void* NX40_bat_log_thread(void*);
void* cp_logfile_thread(void*);

void* trend_log_thread(void*);
void* ai_trend_log_thread(void*);
void* WireT1_trend_log_thread(void*);
void* WireT2_trend_log_thread(void*);
void* WireH1_trend_log_thread(void*);
void* WireH2_trend_log_thread(void*);
void* NX40_1_trend_log_thread(void*);
void* NX40_2_trend_log_thread(void*);
void* cp_tlogfile_thread(void*);

void* filter_log_thread(void*);
void* ai_filter_log_thread(void*);
void* WireT1_filter_log_thread(void*);
void* WireT2_filter_log_thread(void*);
void* WireH1_filter_log_thread(void*);
void* WireH2_filter_log_thread(void*);
void* NX40_1_filter_log_thread(void*);
void* NX40_2_filter_log_thread(void*);
void* cp_flogfile_thread(void*);

void* extra_log_thread(void*);
void* extra_analog_log_thread(void*);
void* extra_wireT_log_thread(void*);
void* extra_wireH_log_thread(void*);
void* extra_NX40_log_thread(void*);
