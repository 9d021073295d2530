// State judgement: one thread per sensor kind turns live values into state
// codes every pass, counts threshold exceedances for the trend windows, and
// queues one record per state change on `state_log`.
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "events.h"

using SETTINGS_TABLE::VALUE_ERROR;

namespace {

constexpr int PASSES_PER_MINUTE = 600;
constexpr int SAMPLES_PER_MINUTE = 600;

struct Thresholds {
    int amax, amax_c, cmax, cmax_c, cmin, cmin_c, amin, amin_c;
};

template <typename S>
Thresholds thresholds_of(const S& s)
{
    return {s.alert_max_val, s.alert_max_clear, s.caution_max_val, s.caution_max_clear,
            s.caution_min_val, s.caution_min_clear, s.alert_min_val, s.alert_min_clear};
}

Thresholds t_thresholds(const SETTINGS_TABLE::Veloxa& v)
{
    return {v.t_alert_max_val, v.t_alert_max_clear, v.t_caution_max_val, v.t_caution_max_clear,
            v.t_caution_min_val, v.t_caution_min_clear, v.t_alert_min_val, v.t_alert_min_clear};
}

Thresholds h_thresholds(const SETTINGS_TABLE::Veloxa& v)
{
    return {v.h_alert_max_val, v.h_alert_max_clear, v.h_caution_max_val, v.h_caution_max_clear,
            v.h_caution_min_val, v.h_caution_min_clear, v.h_alert_min_val, v.h_alert_min_clear};
}

// One measured channel as the judgement sees it.
struct Measured {
    MONITOR_TABLE::SensorElement* el = nullptr;
    bool enable = false;
    int trend_id = 0;
    Thresholds th{};
    SETTINGS_TABLE::data_list* data = nullptr;
    MONITOR_TABLE::TrendElement* tp = nullptr;  // trend table element, if the kind has one
    bool owns_con = false;  // the mesh intake owns `con` of the wireless kinds
};

bool measured_at(int kind, int i, Measured& m)
{
    auto* c = monitor->sensor_condition;
    auto* tp = monitor->trend_per;
    auto& ss = sensor_settings;
    switch (kind) {
    case KIND::AI:
        m = {&c->analog[i], ss.analog[i].enable, ss.analog[i].trend_id, thresholds_of(ss.analog[i]),
             &sensor_data.analog[i], tp ? &tp->analog[i] : nullptr, true};
        return true;
    case KIND::WIRE_T:
        m = {&c->onewire_temperature[i], ss.onewire_temperature[i].enable, ss.onewire_temperature[i].trend_id,
             thresholds_of(ss.onewire_temperature[i]), &sensor_data.onewire_temperature[i],
             tp ? &tp->onewire_temperature[i] : nullptr, true};
        return true;
    case KIND::WIRE_H:
        m = {&c->onewire_humidity[i], ss.onewire_humidity[i].enable, ss.onewire_humidity[i].trend_id,
             thresholds_of(ss.onewire_humidity[i]), &sensor_data.onewire_humidity[i],
             tp ? &tp->onewire_humidity[i] : nullptr, true};
        return true;
    case KIND::VLXA_T:
        m = {&c->veloxa[i].sensor_temperature, ss.veloxa[i].enable, ss.veloxa[i].t_trend_id,
             t_thresholds(ss.veloxa[i]), &sensor_data.veloxa_t[i], tp ? &tp->veloxa[i] : nullptr, false};
        return true;
    case KIND::VLXA_H:
        // Judged by the sensor's own enable; the trend element belongs to the temperature side.
        m = {&c->veloxa[i].sensor_humidity, ss.veloxa[i].enable, ss.veloxa[i].h_trend_id,
             h_thresholds(ss.veloxa[i]), &sensor_data.veloxa_h[i], nullptr, false};
        return true;
    case KIND::NX40_T:
        m = {&c->kvt_nx40[i].sensor_temperature, ss.kvt_nx40[i].enable, ss.kvt_nx40[i].trend_id,
             thresholds_of(ss.kvt_nx40[i]), &sensor_data.kvt_nx40[i], tp ? &tp->kvt_nx40[i] : nullptr, false};
        return true;
    default:
        return false;
    }
}

const SETTINGS_TABLE::Trend* enabled_trend(int trend_id)
{
    if (trend_id < 0 || trend_id >= SETTINGS_TABLE::TREND_NUM) return nullptr;
    const auto& t = sensor_settings.trend[trend_id];
    return t.enable ? &t : nullptr;
}

// Consecutive samples of each analog input beyond each threshold: alert
// max, alert min, caution max, caution min.
int ai_run[SETTINGS_TABLE::AI_NUM][4];

void push_record(long long t, int kind, int port, int state, int value, int prev)
{
    state_log.push(state_record(t, kind, port, state, value, prev));
}

void count_exceedances(SETTINGS_TABLE::data_list& d, const Thresholds& th, int v)
{
    if (v == VALUE_ERROR) return;
    if (v >= th.amax) ++d.alert_max;
    if (v <= th.amin) ++d.alert_min;
    if (v >= th.cmax) ++d.caution_max;
    if (v <= th.cmin) ++d.caution_min;
}

void update_ai_runs(int i, const Thresholds& th, int v)
{
    // A missing reading breaks every run: persistence is about real readings.
    const bool ok = v != VALUE_ERROR;
    const bool hit[4] = {ok && v >= th.amax, ok && v <= th.amin, ok && v >= th.cmax, ok && v <= th.cmin};
    for (int k = 0; k < 4; ++k) ai_run[i][k] = hit[k] ? ai_run[i][k] + 1 : 0;
}

bool ai_persisted(int i)
{
    const long long need = static_cast<long long>(sensor_settings.analog[i].err_sampling) * 10;
    for (int k = 0; k < 4; ++k)
        if (ai_run[i][k] >= need) return true;
    return false;
}

void measured_pass(int kind, long long t)
{
    const int n = kind_channels(kind);
    for (int i = 0; i < n; ++i) {
        Measured m;
        measured_at(kind, i, m);
        const int v = m.el->value;
        const int r = m.el->status;
        count_exceedances(*m.data, m.th, v);
        if (kind == KIND::AI) update_ai_runs(i, m.th, v);
        if (enabled_trend(m.trend_id)) continue;
        if (!m.enable) {
            m.el->status = STATE::NONE;
            continue;
        }
        const Thresholds& th = m.th;
        int s = judge_state(v, r, th.amax, th.cmax, th.cmin, th.amin, th.amax_c, th.cmax_c, th.cmin_c, th.amin_c);
        if (kind == KIND::AI && s >= STATE::UPPER_ALERT && s <= STATE::LOWER_ALERT && !ai_persisted(i)) continue;
        m.el->status = s;
        if (s != STATE::NONE && s != r) push_record(t, kind, i + 1, s, v, r);
    }
}

void battery_pass(int kind, long long t)
{
    const bool nx40 = kind == KIND::NX40_BAT;
    const auto& b = sensor_settings.battery[nx40 ? 1 : 0];
    const int n = kind_channels(kind);
    for (int i = 0; i < n; ++i) {
        auto& el = nx40 ? monitor->sensor_condition->kvt_nx40[i].sensor_battery
                        : monitor->sensor_condition->veloxa[i].sensor_battery;
        const bool enable = nx40 ? sensor_settings.kvt_nx40[i].enable : sensor_settings.veloxa[i].enable;
        const int v = el.value;
        const int r = el.status;
        if (!enable || (nx40 && v == VALUE_ERROR)) {
            el.status = STATE::NONE;
            continue;
        }
        int s = judge_state(v, r, 10000, 10000, b.caution, b.alert, 10000, 10000, b.caution_clear, b.alert_clear);
        el.status = s;
        if (s == STATE::NONE || s == r) continue;
        if (nx40 && r == STATE::NONE && s == STATE::NORMAL) continue;
        push_record(t, kind, i + 1, s, v, r);
    }
}

struct DioPort {
    bool enable;
    int eid;
    int trend_id;
};

DioPort dio_port(int n)
{
    if (n < 8) {
        const auto& d = sensor_settings.digitalI[n];
        return {d.enable, d.errortext_id, d.trend_id};
    }
    const auto& d = sensor_settings.digitalO[n - 8];
    return {d.enable, d.errortext_id, d.trend_id};
}

void dio_pass(long long t)
{
    auto* io = monitor->sensor_condition->digitalio;
    for (int n = 0; n < 16; ++n) {
        const DioPort p = dio_port(n);
        const int v = io[n].value;
        const int r = io[n].status;
        if (n < 8) {
            if (v == dio_abnormal_level(p.eid)) ++sensor_data.digitalI[n].alert_max;
            if (enabled_trend(p.trend_id)) continue;  // judged at the minute step
        }
        if (!p.enable) {
            io[n].status = STATE::NONE;
            continue;
        }
        const int s = dio_state_for(p.eid, v, r);
        io[n].status = s;
        if (s != STATE::NONE && s != r) push_record(t, KIND::DIO, n + 1, s, v, r);
    }
}

void dio_minute_step(long long t)
{
    auto* io = monitor->sensor_condition->digitalio;
    for (int n = 0; n < 8; ++n) {
        auto& d = sensor_data.digitalI[n];
        d.alert_max_ls.push_front(d.alert_max);
        d.alert_max = 0;
        const DioPort p = dio_port(n);
        const SETTINGS_TABLE::Trend* tr = enabled_trend(p.trend_id);
        if (!tr) continue;
        const int r = io[n].status;
        int s;
        const double share = trend_share(d.alert_max_ls.sum_newest(tr->minutes), tr->minutes);
        if (!p.enable) s = STATE::NONE;
        else if (p.eid == ERRTEXT::ALERT_ON || p.eid == ERRTEXT::ALERT_OFF)
            s = trend_reaches(share, tr->au_per) ? STATE::ALERT : STATE::NORMAL;
        else if (p.eid == ERRTEXT::CAUTION_ON || p.eid == ERRTEXT::CAUTION_OFF)
            s = trend_reaches(share, tr->cu_per) ? STATE::CAUTION : STATE::NORMAL;
        else if (p.eid == ERRTEXT::LEVEL) s = STATE::NORMAL;
        else s = STATE::ERROR;
        io[n].status = s;
        if (s != STATE::NONE && s != r) push_record(t, KIND::DIO, n + 1, s, io[n].value, r);
    }
}

void measured_minute_step(int kind, long long t)
{
    const int n = kind_channels(kind);
    for (int i = 0; i < n; ++i) {
        Measured m;
        measured_at(kind, i, m);
        auto& d = *m.data;
        d.alert_max_ls.push_front(d.alert_max);
        d.alert_min_ls.push_front(d.alert_min);
        d.caution_max_ls.push_front(d.caution_max);
        d.caution_min_ls.push_front(d.caution_min);
        d.alert_max = d.alert_min = d.caution_max = d.caution_min = 0;

        const SETTINGS_TABLE::Trend* tr = enabled_trend(m.trend_id);
        if (!tr) continue;
        const int w = tr->minutes;
        const double pa_max = trend_share(d.alert_max_ls.sum_newest(w), w);
        const double pa_min = trend_share(d.alert_min_ls.sum_newest(w), w);
        const double pc_max = trend_share(d.caution_max_ls.sum_newest(w), w);
        const double pc_min = trend_share(d.caution_min_ls.sum_newest(w), w);
        const int v = m.el->value;
        const int r = m.el->status;
        int s;
        if (!m.enable) s = STATE::NONE;
        else if (v == VALUE_ERROR) s = STATE::ERROR;
        else s = trend_state(pa_max, pa_min, pc_max, pc_min, *tr);
        if (m.tp) {
            m.tp->alert_max = static_cast<int32_t>(pa_max);
            m.tp->alert_min = static_cast<int32_t>(pa_min);
            m.tp->caution_max = static_cast<int32_t>(pc_max);
            m.tp->caution_min = static_cast<int32_t>(pc_min);
            if (m.owns_con) m.tp->con = s;
        }
        m.el->status = s;
        if (s != STATE::NONE && s != r) push_record(t, kind, i + 1, s, v, r);
    }
}

int pause_ms()
{
    // Keeps the passes near the tenth-of-a-second boundaries instead of drifting.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_usec % 100000 > 15000 ? 90 : 100;
}

void run_state_loop(const char* name, int kind, bool minute_step, int period_ms)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    int passes = 0;
    while (control != 0) {
        const long long t = static_cast<long long>(std::time(nullptr));
        state_pass(kind, t);
        if (minute_step && ++passes >= PASSES_PER_MINUTE) {
            passes = 0;
            state_minute_step(kind, t);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(period_ms == 100 ? pause_ms() : period_ms));
    }
    std::printf("end %s\n", name);
}

}  // namespace

int kind_channels(int kind)
{
    switch (kind) {
    case KIND::DIO: return 16;
    case KIND::AI: return SETTINGS_TABLE::AI_NUM;
    case KIND::WIRE_T: return SETTINGS_TABLE::WIRE_T_NUM;
    case KIND::WIRE_H: return SETTINGS_TABLE::WIRE_H_NUM;
    case KIND::VLXA_T: case KIND::VLXA_H: case KIND::VLXA_BAT: return SETTINGS_TABLE::VLXA_NUM;
    case KIND::NX40_T: case KIND::NX40_BAT: return SETTINGS_TABLE::NX40_NUM;
    default: return 0;
    }
}

int dio_state_for(int eid, int level, int prev)
{
    if (level != 0 && level != 1) return prev;
    switch (eid) {
    case ERRTEXT::LEVEL: return STATE::NORMAL;
    case ERRTEXT::CAUTION_ON: return level ? STATE::CAUTION : STATE::NORMAL;
    case ERRTEXT::ALERT_ON: return level ? STATE::ALERT : STATE::NORMAL;
    case ERRTEXT::CAUTION_OFF: return level ? STATE::NORMAL : STATE::CAUTION;
    case ERRTEXT::ALERT_OFF: return level ? STATE::NORMAL : STATE::ALERT;
    default: return STATE::ERROR;
    }
}

int dio_abnormal_level(int eid)
{
    switch (eid) {
    case ERRTEXT::LEVEL: case ERRTEXT::CAUTION_ON: case ERRTEXT::ALERT_ON: return 1;
    case ERRTEXT::CAUTION_OFF: case ERRTEXT::ALERT_OFF: return 0;
    default: return -1;
    }
}

double trend_share(long long sum, int minutes)
{
    if (minutes <= 0) return 0.0;
    return static_cast<double>(sum) / (static_cast<double>(minutes) * SAMPLES_PER_MINUTE) * 100.0;
}

bool trend_reaches(double p, int limit) { return limit != 0 ? p >= limit : p > 0; }

int trend_state(double p_amax, double p_amin, double p_cmax, double p_cmin, const SETTINGS_TABLE::Trend& t)
{
    if (trend_reaches(p_amax, t.au_per)) return STATE::UPPER_ALERT;
    if (trend_reaches(p_amin, t.al_per)) return STATE::LOWER_ALERT;
    if (trend_reaches(p_cmax, t.cu_per)) return STATE::UPPER_CAUTION;
    if (trend_reaches(p_cmin, t.cl_per)) return STATE::LOWER_CAUTION;
    return STATE::NORMAL;
}

std::string state_record(long long t, int kind, int port, int state, int value, int prev)
{
    return std::to_string(t) + "," + std::to_string(kind) + "," + std::to_string(port) + "," +
           std::to_string(state) + "," + std::to_string(value) + "," + std::to_string(prev) + ",";
}

void ai_persistence_reset()
{
    for (auto& r : ai_run)
        for (int& c : r) c = 0;
}

void state_pass(int kind, long long t)
{
    if (!monitor || !monitor->sensor_condition) return;
    switch (kind) {
    case KIND::DIO: dio_pass(t); break;
    case KIND::VLXA_BAT: case KIND::NX40_BAT: battery_pass(kind, t); break;
    default:
        if (kind_channels(kind) > 0) measured_pass(kind, t);
        break;
    }
}

void state_minute_step(int kind, long long t)
{
    if (!monitor || !monitor->sensor_condition) return;
    if (kind == KIND::DIO) dio_minute_step(t);
    else if (kind != KIND::VLXA_BAT && kind != KIND::NX40_BAT && kind_channels(kind) > 0) measured_minute_step(kind, t);
}

/*
 * The nine state threads.
 * Each owns the `status` fields of its kind and the exceedance counters and
 * minute lists of its channels. Each waits on its own pass period (100 ms,
 * 1 s for the VLXA batteries) and pushes records in channel order within a
 * pass. All are stopped by `control` dropping to 0.
 */
void* dio_sensor_state_thread(void*)
{
    run_state_loop("dio_sensor_state_thread", KIND::DIO, true, 100);
    return nullptr;
}

void* ai_sensor_state_thread(void*)
{
    ai_persistence_reset();
    run_state_loop("ai_sensor_state_thread", KIND::AI, true, 100);
    return nullptr;
}

void* wireT_sensor_state_thread(void*)
{
    run_state_loop("wireT_sensor_state_thread", KIND::WIRE_T, true, 100);
    return nullptr;
}

void* wireH_sensor_state_thread(void*)
{
    run_state_loop("wireH_sensor_state_thread", KIND::WIRE_H, true, 100);
    return nullptr;
}

void* VLXAT_sensor_state_thread(void*)
{
    run_state_loop("VLXAT_sensor_state_thread", KIND::VLXA_T, true, 100);
    return nullptr;
}

void* VLXAH_sensor_state_thread(void*)
{
    run_state_loop("VLXAH_sensor_state_thread", KIND::VLXA_H, true, 100);
    return nullptr;
}

void* VLXAB_sensor_state_thread(void*)
{
    run_state_loop("VLXAB_sensor_state_thread", KIND::VLXA_BAT, false, 1000);
    return nullptr;
}

void* NX40_sensor_state_thread(void*)
{
    run_state_loop("NX40_sensor_state_thread", KIND::NX40_T, true, 100);
    return nullptr;
}

void* NX40B_sensor_state_thread(void*)
{
    run_state_loop("NX40B_sensor_state_thread", KIND::NX40_BAT, false, 100);
    return nullptr;
}

/*
 * sensor_state_thread: parent of the state threads.
 * Waits for the next whole minute so the minute steps line up with the
 * clock, then starts the nine state threads in kind order and waits for them.
 * Stopped by its children ending once `control` drops to 0.
 */
void* sensor_state_thread(void*)
{
    std::printf("sensor_state_thread tid  : %ld\n", thread_tid());
    timer();
    struct Child {
        const char* name;
        void* (*fn)(void*);
    };
    static const Child CHILDREN[] = {
        {"dio-state", dio_sensor_state_thread},
        {"ai-state", ai_sensor_state_thread},
        {"wireT-state", wireT_sensor_state_thread},
        {"wireH-state", wireH_sensor_state_thread},
        {"vlxaT-state", VLXAT_sensor_state_thread},
        {"vlxaH-state", VLXAH_sensor_state_thread},
        {"vlxaBat-state", VLXAB_sensor_state_thread},
        {"nx40-state", NX40_sensor_state_thread},
        {"nx40Bat-state", NX40B_sensor_state_thread},
    };
    constexpr int N = sizeof CHILDREN / sizeof CHILDREN[0];
    pthread_t th[N];
    bool started[N] = {};
    for (int i = 0; i < N && control != 0; ++i) started[i] = start_thread(&th[i], CHILDREN[i].fn, CHILDREN[i].name);
    for (int i = 0; i < N; ++i)
        if (started[i]) pthread_join(th[i], nullptr);
    std::printf("end sensor_state_thread\n");
    return nullptr;
}
