// The event pipeline's pure steps and per-pass entry points: the digital
// input persistence filter, the state-table rules, the trend share, the
// per-kind judgement pass and minute step, and the status-log record
// handling. Thread bodies stay thin loops over these, so the rules can be
// exercised without clocks.
#pragma once

#include <string>

#include "common.h"

// ---- Digital I/O monitor --------------------------------------------------

// One sample of one input through the persistence filter. `last` is the
// level last accepted, `counter` the consecutive samples that differed from
// it, `need` the samples a new level must persist (time x 10). True when
// `level` is accepted now (the caller publishes it); the counter then
// restarts.
bool di_persist_step(int level, int last, int& counter, long long need, bool bypass);

// Announces one changed digital port (n = 0..15) at `level`: trap text,
// mail, MQTT and relay scenarios, when the port is enabled with
// errortext_id 1.
void dio_announce(int n, long now, int level);

// State of the DIO monitor between passes.
struct DioMonitorState {
    int last[16] = {};    // last processed level per port
    int counter[8] = {};  // persistence counters of the inputs
};

// First reading at start: the current levels, taken without filtering and
// without announcement.
void dio_monitor_start(DioMonitorState& st);
// One 100 ms pass: sample (board or simulation inputs), filter, announce.
void dio_monitor_pass(DioMonitorState& st, long now);

// Text pushed onto trap_que for an announced digital port.
std::string dio_trap_text(int port, int state, int level);

// ---- State judgement ------------------------------------------------------

// State of a digital port with errortext_id `eid` at `level` (0 or 1); any
// other level keeps `prev`.
int dio_state_for(int eid, int level, int prev);
// The level of an input that counts as abnormal for its trend (-1: none).
int dio_abnormal_level(int eid);

// Share in percent of `sum` samples over a window of `minutes` minutes of
// 600 samples each; 0 for a window of no minutes.
double trend_share(long long sum, int minutes);
// True when a share reaches a limit: at or above a non-zero limit, above 0
// for a zero limit.
bool trend_reaches(double p, int limit);

// Trend state of a measured channel from its four shares.
int trend_state(double p_amax, double p_amin, double p_cmax, double p_cmin, const SETTINGS_TABLE::Trend& t);

// Text pushed onto state_log: "T,K,P,S,V,R,".
std::string state_record(long long t, int kind, int port, int state, int value, int prev);

// One judgement pass over every channel of `kind` (1-9) with record time t.
void state_pass(int kind, long long t);
// The minute step of `kind` (1-6, 8): counters into the minute lists, and
// trend judgement of trend-enabled channels.
void state_minute_step(int kind, long long t);
// Clears the analog persistence counters (start of the analog state thread).
void ai_persistence_reset();

// Number of channels of a kind (0 for unknown kinds).
int kind_channels(int kind);

void* dio_sensor_state_thread(void*);
void* ai_sensor_state_thread(void*);
void* wireT_sensor_state_thread(void*);
void* wireH_sensor_state_thread(void*);
void* VLXAT_sensor_state_thread(void*);
void* VLXAH_sensor_state_thread(void*);
void* VLXAB_sensor_state_thread(void*);
void* NX40_sensor_state_thread(void*);
void* NX40B_sensor_state_thread(void*);

// ---- State log ------------------------------------------------------------

// The six fields of a state-change record; missing or unreadable fields
// read 0 and their text "0".
struct StateRecord {
    long long time = 0;
    int type = 0, port = 0, state = 0, prev = 0;
    double value = 0;
    std::string text[6];  // the fields as received
};
StateRecord parse_state_record(const std::string& rec);

// Handles one record: ring entry, trap text, mail/MQTT checks when worth
// announcing, relay scenarios.
void state_log_process(const std::string& rec);

// When the rings were last saved to /log, and whether records came since.
struct StateLogSaver {
    static constexpr int INTERVAL_S = 601;
    long long last_save = 0;
    bool logged = false;
};
// One turn of the state-log thread: requested clears, then every queued
// record in order (a clear asked for meanwhile is done before the next one).
void state_log_drain(StateLogSaver& saver);
// Saves the rings when records came and INTERVAL_S passed since the last
// save at time `now`; true when it saved.
bool state_log_save_due(StateLogSaver& saver, long long now);

// The CSV text of one status-log ring, oldest entry first.
std::string statelog_csv(const MONITOR_TABLE::StatusEntry* entries, int capacity, int r, int w);
