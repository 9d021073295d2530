// The private MIB of the SNMP agent and its walk order.
//
// The MIB is described by const tables: every group or table is a node
// whose children are numbered lo..hi, and every object a leaf with its type,
// its getter and, where it is writable, its SET rule. A status-table column
// is a leaf that repeats over its rows. One generic successor walks the
// tables in order; the status branch adds its jumps between tables (after
// the 1-Wire humidity table the KVT-7400 continues at the NX40 names, the
// VLXA tables and the NX40 battery column being reached only from inside
// them).
#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "codes.h"
#include "common.h"
#include "snmp.h"
#include "snmp_v3.h"

// The private root of the model, as text and as numbers; oid_change sets
// them at start-up, before the agent and the trap thread read them.
static char oid_root[32];
static int oid_number_head[8] = {1, 3, 6, 1, 4, 1, 58213, 22};
const char oid_head_7400[] = "1.3.6.1.4.1.58213.22.";
const char oid_head_6100[] = "1.3.6.1.4.1.58213.23.";
const char oid_basic_head[] = "1.3.6.1.2.1.1.";

namespace {

using namespace SETTINGS_TABLE;

bool g_7400 = true;

constexpr int OK = 0;
constexpr int WRONG_LENGTH = RESP::WRONG_LENGTH;
constexpr int WRONG_VALUE = RESP::WRONG_VALUE;
constexpr int INCONSISTENT = RESP::INCONSISTENT_VALUE;
constexpr int MAX_NUMS = SNMP_OID_SUBIDS_MAX;

enum class Ty : uint8_t { NONE, INT, STR, OID, NUL };

// ix: the numbers after the root (branch, group or table, then entry or
// column, then row); i and s carry the integer and string value.
using Getter = void (*)(const int* ix, int& i, char* s);
using Setter = int (*)(const int* ix, int& i, char* s);

// The persistence message of a record changed by SET, and its change flag.
struct SaveRef {
    int code;
    int index;
    bool* changeflg;
};
using SaveFn = SaveRef (*)(const int* ix);

struct Node {
    // An object: its type and getter; `set` null means read-only; `keeps`
    // marks a SET that needs no persistence message.
    Ty type = Ty::NONE;
    Getter get = nullptr;
    Setter set = nullptr;
    bool keeps = false;
    // Children lo..hi (hi_6100 on the KVT-6100 when not -1): all `each`, or
    // kids[k - lo]. An object with hi > 0 is a column repeating over rows.
    int lo = 0, hi = 0, hi_6100 = -1;
    const Node* each = nullptr;
    const Node* kids = nullptr;
    SaveFn save = nullptr;  // persistence of a SET below
    bool only_7400 = false;
};

bool is_object(const Node* n) { return n->get != nullptr; }
bool is_column(const Node* n) { return n->get && n->hi > 0; }
int hi_of(const Node* n) { return !g_7400 && n->hi_6100 >= 0 ? n->hi_6100 : n->hi; }
bool present(const Node* n) { return n && !(n->only_7400 && !g_7400); }
const Node* child(const Node* n, int k) { return n->each ? n->each : n->kids ? &n->kids[k - n->lo] : nullptr; }

// A string result: cut to the 127 characters a value holds.
void put(char* s, const char* v)
{
    size_t n = strnlen(v, SNMP_STR_SIZE - 1);
    std::memcpy(s, v, n);
    s[n] = '\0';
}

const MONITOR_TABLE::Sensor_condition& live() { return live_condition(); }
const MONITOR_TABLE::Trend_per& trends() { return live_trends(); }

// ---- Checking a SET ---------------------------------------------------------
// While the bindings of a SET are checked, the records they touch are
// copies: each binding is checked against what the bindings before it left,
// and nothing the other threads read changes unless every binding passes.
// Relay actions are only reserved then, one binding per output.
struct Stage {
    struct Entry {
        const void* live;
        std::shared_ptr<void> copy;
    };
    std::vector<Entry> entries;
    unsigned relays = 0;
};
// Written by snmp_set around its check pass, read by the record accessors
// below, both on the calling thread only.
thread_local Stage* g_stage = nullptr;

bool checking() { return g_stage != nullptr; }

template <class R>
R& staged(R& rec)
{
    if (!g_stage) return rec;
    for (const auto& e : g_stage->entries)
        if (e.live == &rec) return *static_cast<R*>(e.copy.get());
    // The copy is taken under the settings lock: other threads write the
    // record's fields (change flags, texts) under it meanwhile.
    auto copy = std::make_shared<R>(settings_copy(rec));
    g_stage->entries.push_back({&rec, copy});
    return *copy;
}

// ---- Rows and fields ------------------------------------------------------

int row(const int* ix) { return ix[3]; }
DigitalI& di(const int* ix) { return staged(sensor_settings.digitalI[row(ix) - 1]); }
DigitalO& dout(const int* ix) { return staged(sensor_settings.digitalO[row(ix) - 9]); }
Analog& ai(const int* ix) { return staged(sensor_settings.analog[row(ix) - 1]); }
Onewire_temperature& wt(const int* ix) { return staged(sensor_settings.onewire_temperature[row(ix) - 1]); }
Onewire_humidity& wh(const int* ix) { return staged(sensor_settings.onewire_humidity[row(ix) - 1]); }
Veloxa& vl(const int* ix) { return staged(sensor_settings.veloxa[row(ix) - 1]); }
KVT_NX40& nx(const int* ix) { return staged(sensor_settings.kvt_nx40[row(ix) - 1]); }
Trend& tr(const int* ix) { return staged(sensor_settings.trend[row(ix)]); }
SmartMesh_cycle& mesh_cycle() { return staged(sensor_settings.smartMesh_cycle[1]); }
Battery& nx_battery() { return staged(sensor_settings.battery[1]); }
bool is_input(const int* ix) { return row(ix) <= 8; }

template <class R>
std::array<int*, 8> th(R& e)
{
    return {&e.alert_max_val, &e.alert_max_clear, &e.caution_max_val, &e.caution_max_clear,
            &e.caution_min_val, &e.caution_min_clear, &e.alert_min_val, &e.alert_min_clear};
}
std::array<int*, 8> th_t(Veloxa& e)
{
    return {&e.t_alert_max_val, &e.t_alert_max_clear, &e.t_caution_max_val, &e.t_caution_max_clear,
            &e.t_caution_min_val, &e.t_caution_min_clear, &e.t_alert_min_val, &e.t_alert_min_clear};
}
std::array<int*, 8> th_h(Veloxa& e)
{
    return {&e.h_alert_max_val, &e.h_alert_max_clear, &e.h_caution_max_val, &e.h_caution_max_clear,
            &e.h_caution_min_val, &e.h_caution_min_clear, &e.h_alert_min_val, &e.h_alert_min_clear};
}

// ---- SET rules ----------------------------------------------------------------

// Name-type texts: 1 to 31 characters (and the field's room: a text is
// refused, never cut), no forbidden character.
template <size_t N>
int set_name(char (&f)[N], const char* s)
{
    size_t n = std::strlen(s);
    if (n < 1 || n > 31 || n + 1 > N) return WRONG_LENGTH;
    if (check_ban_char(s)) return WRONG_VALUE;
    copy_text(f, s);
    return OK;
}

// A sensor identifier of `len` characters passing `check`; an empty one
// only while the sensor is disabled (when `empty_ok`).
template <size_t N>
int set_device_id(char (&f)[N], const char* s, size_t len, int (*check)(const char*), bool empty_ok)
{
    size_t n = std::strlen(s);
    if (n == 0) {
        if (!empty_ok) return INCONSISTENT;
    } else {
        if (n != len || n + 1 > N) return WRONG_LENGTH;
        if (check(s) != 0) return WRONG_VALUE;
    }
    copy_text(f, s);
    return OK;
}

template <auto Rec, auto Field>
void int_get(const int* ix, int& i, char*)
{
    i = static_cast<int>(Rec(ix).*Field);
}
template <auto Rec, auto Field, int LO, int HI>
int int_set(const int* ix, int& i, char*)
{
    if (i < LO || i > HI) return WRONG_VALUE;
    Rec(ix).*Field = i;
    return OK;
}
template <auto Rec, auto Field>
void str_get(const int* ix, int&, char* s)
{
    put(s, Rec(ix).*Field);
}
template <auto Rec, auto Field>
int name_set(const int* ix, int&, char* s)
{
    return set_name(Rec(ix).*Field, s);
}

template <auto Rec, int K>
void th_get(const int* ix, int& i, char*)
{
    i = *th(Rec(ix))[K];
}
template <auto Rec, int K, int LO, int HI, bool AI>
int th_set(const int* ix, int& i, char*)
{
    auto t = th(Rec(ix));
    int cur[8];
    for (int j = 0; j < 8; ++j) cur[j] = *t[j];
    const int unset = K < 4 ? THRESHOLD_OFF_MAX : THRESHOLD_OFF_MIN;
    if (i != unset && (i < LO || i > HI)) return WRONG_VALUE;
    if (!threshold_ok(cur, K, i, LO, HI, AI)) return INCONSISTENT;
    *t[K] = i;
    return OK;
}

template <bool HUMID, int K>
void vth_get(const int* ix, int& i, char*)
{
    i = *(HUMID ? th_h(vl(ix)) : th_t(vl(ix)))[K];
}
template <bool HUMID, int K>
int vth_set(const int* ix, int& i, char*)
{
    auto t = HUMID ? th_h(vl(ix)) : th_t(vl(ix));
    int cur[8];
    for (int j = 0; j < 8; ++j) cur[j] = *t[j];
    if (i != THRESHOLD_OFF_MAX && (i < 0 || i > 10000)) return WRONG_VALUE;
    if (!vlxa_threshold_apply(cur, K, i)) return INCONSISTENT;
    for (int j = 0; j < 8; ++j) *t[j] = cur[j];
    return OK;
}

constexpr Node col_i(Getter g, Setter s, int lo, int hi, bool keeps = false)
{
    return Node{.type = Ty::INT, .get = g, .set = s, .keeps = keeps, .lo = lo, .hi = hi};
}
constexpr Node col_s(Getter g, Setter s, int lo, int hi)
{
    return Node{.type = Ty::STR, .get = g, .set = s, .lo = lo, .hi = hi};
}
template <size_t N>
constexpr Node group(const Node (&kids)[N], SaveFn save = nullptr, bool only_7400 = false)
{
    return Node{.lo = 1, .hi = static_cast<int>(N), .kids = kids, .save = save, .only_7400 = only_7400};
}

// ---- Persistence messages -------------------------------------------------------

SaveRef save_dio(const int* ix)
{
    if (is_input(ix)) return {SAVE::DI, row(ix) - 1, &di(ix).changeflg};
    return {SAVE::DO, row(ix) - 9, &dout(ix).changeflg};
}
SaveRef save_ai(const int* ix) { return {SAVE::AI, row(ix) - 1, &ai(ix).changeflg}; }
SaveRef save_wire_t(const int* ix) { return {SAVE::WIRE_T, row(ix) - 1, &wt(ix).changeflg}; }
SaveRef save_wire_h(const int* ix) { return {SAVE::WIRE_H, row(ix) - 1, &wh(ix).changeflg}; }
// Column 1 of the VLXA tables is the mesh reporting cycle, which lives in its
// own section: saving the sensor row would not keep it.
SaveRef save_vlxa(const int* ix)
{
    if (ix[2] == 1) return {SAVE::SMARTMESH_CYCLE, 1, &mesh_cycle().changeflg};
    return {SAVE::VLXA, row(ix) - 1, &vl(ix).changeflg};
}
SaveRef save_nx40(const int* ix)
{
    if (ix[2] == 1) return {SAVE::BATTERY, 1, &nx_battery().changeflg};
    return {SAVE::NX40, row(ix) - 1, &nx(ix).changeflg};
}
SaveRef save_trend(const int* ix) { return {SAVE::TREND, row(ix), &tr(ix).changeflg}; }

// ---- Relay pulses -------------------------------------------------------------------

// A pulse holds its output for up to 10 s; it runs beside the agent so that
// the manager gets its answer at once and other requests are served meanwhile.
std::atomic<bool> g_pulse[DO_NUM];

int start_pulse(int k, int seconds)
{
    bool idle = false;
    if (!g_pulse[k].compare_exchange_strong(idle, true)) return INCONSISTENT;
    try {
        std::thread([k, seconds] {
            pthread_setname_np(pthread_self(), "snmp-pulse");
            do_pulse(k, seconds);
            g_pulse[k] = false;
        }).detach();
    } catch (...) {
        g_pulse[k] = false;
        report_error("snmp: pulse thread", "output " + std::to_string(k + 1));
        return RESP::RESOURCE_UNAVAILABLE;
    }
    return OK;
}

// While a SET is checked, a relay action only reserves its output: one
// binding per output and request.
int relay_reserve(int k)
{
    if (g_stage->relays & 1u << k) return INCONSISTENT;
    g_stage->relays |= 1u << k;
    return OK;
}

// ---- Table 2.1: digital I/O ---------------------------------------------------------

void dio_name_get(const int* ix, int&, char* s) { put(s, is_input(ix) ? di(ix).name : dout(ix).name); }
int dio_name_set(const int* ix, int&, char* s) { return is_input(ix) ? set_name(di(ix).name, s) : set_name(dout(ix).name, s); }
void dio_on_get(const int* ix, int&, char* s) { put(s, is_input(ix) ? di(ix).ontext : dout(ix).ontext); }
int dio_on_set(const int* ix, int&, char* s) { return is_input(ix) ? set_name(di(ix).ontext, s) : set_name(dout(ix).ontext, s); }
void dio_off_get(const int* ix, int&, char* s) { put(s, is_input(ix) ? di(ix).offtext : dout(ix).offtext); }
int dio_off_set(const int* ix, int&, char* s) { return is_input(ix) ? set_name(di(ix).offtext, s) : set_name(dout(ix).offtext, s); }
void dio_enable_get(const int* ix, int& i, char*) { i = is_input(ix) ? di(ix).enable : dout(ix).enable; }
int dio_enable_set(const int* ix, int& i, char*)
{
    if (i != 0 && i != 1) return WRONG_VALUE;
    (is_input(ix) ? di(ix).enable : dout(ix).enable) = i;
    return OK;
}
void dio_etext_get(const int* ix, int& i, char*) { i = is_input(ix) ? di(ix).errortext_id : dout(ix).errortext_id; }
int dio_etext_set(const int* ix, int& i, char*)
{
    if (i < 1 || i > 5) return WRONG_VALUE;
    (is_input(ix) ? di(ix).errortext_id : dout(ix).errortext_id) = i;
    return OK;
}
void dio_onrule_get(const int* ix, int& i, char*)
{
    const DigitalO& o = dout(ix);
    i = scenario_word(o.ontype, o.onsensor, o.onstate, o.onenable != 0);
}
void dio_offrule_get(const int* ix, int& i, char*)
{
    const DigitalO& o = dout(ix);
    i = scenario_word(o.offtype, o.offsensor, o.offstate, o.offenable != 0);
}
// The rule word as the scenario word packs it: kind in bits 0-7, port in
// bits 8-23, states in bits 24-29, enable in bit 31.
int dio_rule_set(const int* ix, int i, bool on)
{
    DigitalO& o = dout(ix);
    const auto w = static_cast<unsigned>(i);
    (on ? o.ontype : o.offtype) = static_cast<int>(w & 0xFFu);
    (on ? o.onsensor : o.offsensor) = static_cast<int>((w >> 8) & 0xFFFFu);
    (on ? o.onstate : o.offstate) = static_cast<int>((w >> 24) & 0x3Fu);
    (on ? o.onenable : o.offenable) = static_cast<int>((w >> 31) & 1u);
    return OK;
}
int dio_onrule_set(const int* ix, int& i, char*) { return dio_rule_set(ix, i, true); }
int dio_offrule_set(const int* ix, int& i, char*) { return dio_rule_set(ix, i, false); }
void dio_value_get(const int* ix, int& i, char*) { i = live().digitalio[row(ix) - 1].value; }
int dio_value_set(const int* ix, int& i, char*)
{
    if (is_input(ix)) return RESP::NOT_WRITABLE;
    if (i != 0 && i != 1) return WRONG_VALUE;
    const int k = row(ix) - 9;
    const bool on = live().digitalio[row(ix) - 1].value != 0;
    if ((i == 1) == on || g_pulse[k]) return INCONSISTENT;
    if (checking()) return relay_reserve(k);
    do_ctl(k, i);
    return OK;
}
void zero_get(const int*, int& i, char*) { i = 0; }
int dio_pulse_set(const int* ix, int& i, char*)
{
    if (is_input(ix)) return RESP::NOT_WRITABLE;
    if (i < 0 || i > 9) return WRONG_VALUE;
    const int k = row(ix) - 9;
    if (g_pulse[k]) return INCONSISTENT;
    if (checking()) return relay_reserve(k);
    return start_pulse(k, i + 1);
}
void dio_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().digitalio[row(ix) - 1].status); }

void dio_levels_get(const int*, int&, char* s)
{
    int n = 0;
    for (int p = 0; p < 16 && n < SNMP_STR_SIZE - 1; ++p) {
        int w = std::snprintf(s + n, static_cast<size_t>(SNMP_STR_SIZE - n), "%d", live().digitalio[p].value);
        n = w < 0 ? SNMP_STR_SIZE - 1 : n + w;
    }
}
// Characters 1-8: wanted state of outputs 1-8; character 9 the action.
int dio_levels_set(const int*, int&, char* s)
{
    const size_t len = std::strlen(s);
    const char action = len >= 9 ? s[8] : '\0';
    int code_one = 1, code_zero = 0;
    if (action == '0') code_one = 1, code_zero = 2;
    else if (action == '1') code_one = 0, code_zero = 2;
    else if (action == '3') code_one = 3, code_zero = 2;
    int code[DO_NUM];
    for (int k = 0; k < DO_NUM; ++k) {
        const char c = static_cast<size_t>(k) < len ? s[k] : '\0';
        code[k] = c == '1' ? code_one : c == '0' ? code_zero : 2;
        if (code[k] != 2 && g_pulse[k]) return INCONSISTENT;
    }
    for (int k = 0; k < DO_NUM && checking(); ++k)
        if (code[k] != 2 && relay_reserve(k) != OK) return INCONSISTENT;
    if (checking()) return OK;
    // Code 2 keeps the level: nothing to switch.
    for (int k = 0; k < DO_NUM; ++k)
        if (code[k] != 2) do_ctl(k, code[k]);
    return OK;
}

const Node DIO_COLUMNS[] = {
    col_s(dio_name_get, dio_name_set, 1, 16),
    col_i(int_get<di, &DigitalI::time>, int_set<di, &DigitalI::time, 0, 3600>, 1, 8),
    col_s(dio_on_get, dio_on_set, 1, 16),
    col_s(dio_off_get, dio_off_set, 1, 16),
    col_i(int_get<dout, &DigitalO::doinit>, int_set<dout, &DigitalO::doinit, 0, 1>, 9, 16),
    col_i(int_get<dout, &DigitalO::dokeep>, int_set<dout, &DigitalO::dokeep, 0, 1>, 9, 16),
    col_i(dio_enable_get, dio_enable_set, 1, 16),
    col_i(dio_onrule_get, dio_onrule_set, 9, 16),
    col_i(dio_offrule_get, dio_offrule_set, 9, 16),
    col_i(dio_etext_get, dio_etext_set, 1, 16),
    col_i(int_get<di, &DigitalI::trend_id>, int_set<di, &DigitalI::trend_id, 0, 5>, 1, 8),
    col_i(dio_value_get, dio_value_set, 1, 16, true),
    col_i(zero_get, dio_pulse_set, 1, 16, true),
    col_i(dio_status_get, nullptr, 1, 16),
    Node{.type = Ty::STR, .get = dio_levels_get, .set = dio_levels_set, .keeps = true},
};

// ---- Table 2.2: analog inputs -----------------------------------------------------

constexpr int AI_MIN = -1000000, AI_MAX = 1000000;

// A bound of the input or output span: within the range, and the upper one
// not below the lower one.
int ai_span_set(int& field, int v, int lower, int upper)
{
    if (v < AI_MIN || v > AI_MAX) return WRONG_VALUE;
    if (v < lower || v > upper) return INCONSISTENT;
    field = v;
    return OK;
}
int ai_in_max_set(const int* ix, int& i, char*) { return ai_span_set(ai(ix).input_max, i, ai(ix).input_min, INT_MAX); }
int ai_in_min_set(const int* ix, int& i, char*) { return ai_span_set(ai(ix).input_min, i, INT_MIN, ai(ix).input_max); }
int ai_out_max_set(const int* ix, int& i, char*) { return ai_span_set(ai(ix).output_max, i, ai(ix).output_min, INT_MAX); }
int ai_out_min_set(const int* ix, int& i, char*) { return ai_span_set(ai(ix).output_min, i, INT_MIN, ai(ix).output_max); }
int ai_unit_set(const int* ix, int&, char* s)
{
    const size_t n = std::strlen(s);
    if (n > 16 || n + 1 > sizeof ai(ix).unit) return WRONG_LENGTH;
    if (check_ban_char(s)) return WRONG_VALUE;
    copy_text(ai(ix).unit, s);
    return OK;
}
// Range 0 is the current input, selected by the board's switch.
int ai_range_set(const int* ix, int& i, char*)
{
    if (i < 0 || i > 5) return WRONG_VALUE;
    if ((i == 0) != (get_ai_switching(row(ix) - 1) == 1)) return INCONSISTENT;
    ai(ix).range = i;
    return OK;
}
void ai_value_get(const int* ix, int& i, char*) { i = live().analog[row(ix) - 1].value; }
void ai_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().analog[row(ix) - 1].status); }
void ai_error_get(const int* ix, int& i, char*) { i = live().analog[row(ix) - 1].status == STATE::ERROR ? 1 : 0; }

#define AI_TH(K) col_i(th_get<ai, K>, th_set<ai, K, AI_MIN, AI_MAX, true>, 1, 8)
const Node AI_COLUMNS[] = {
    col_s(str_get<ai, &Analog::name>, name_set<ai, &Analog::name>, 1, 8),
    col_i(int_get<ai, &Analog::enable>, int_set<ai, &Analog::enable, 0, 1>, 1, 8),
    col_i(int_get<ai, &Analog::input_max>, ai_in_max_set, 1, 8),
    col_i(int_get<ai, &Analog::input_min>, ai_in_min_set, 1, 8),
    col_i(int_get<ai, &Analog::output_max>, ai_out_max_set, 1, 8),
    col_i(int_get<ai, &Analog::output_min>, ai_out_min_set, 1, 8),
    AI_TH(0), AI_TH(1), AI_TH(2), AI_TH(3), AI_TH(4), AI_TH(5), AI_TH(6), AI_TH(7),
    col_i(int_get<ai, &Analog::err_sampling>, int_set<ai, &Analog::err_sampling, 0, 10000>, 1, 8),
    col_s(str_get<ai, &Analog::unit>, ai_unit_set, 1, 8),
    col_i(int_get<ai, &Analog::trend_id>, int_set<ai, &Analog::trend_id, INT_MIN, INT_MAX>, 1, 8),
    col_i(int_get<ai, &Analog::log>, int_set<ai, &Analog::log, 0, 1>, 1, 8),
    col_i(int_get<ai, &Analog::range>, ai_range_set, 1, 8),
    col_i(ai_value_get, nullptr, 1, 8),
    col_i(ai_status_get, nullptr, 1, 8),
    col_i(ai_error_get, nullptr, 1, 8),
};
#undef AI_TH

// ---- Tables 2.3 and 2.4: 1-Wire temperature and humidity ------------------------------

template <auto Rec>
int wire_id_set(const int* ix, int&, char* s)
{
    return set_device_id(Rec(ix).device_ID, s, 16, device_id_check, !Rec(ix).enable);
}
void wt_value_get(const int* ix, int& i, char*) { i = live().onewire_temperature[row(ix) - 1].value; }
void wt_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().onewire_temperature[row(ix) - 1].status); }
void wt_conn_get(const int* ix, int& i, char*)
{
    const int st = live().onewire_temperature[row(ix) - 1].status;
    i = st == STATE::NONE || st == STATE::ERROR ? 0 : 1;
}
void wh_value_get(const int* ix, int& i, char*) { i = live().onewire_humidity[row(ix) - 1].value; }
void wh_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().onewire_humidity[row(ix) - 1].status); }
void wh_conn_get(const int* ix, int& i, char*)
{
    const int st = live().onewire_humidity[row(ix) - 1].status;
    i = st == STATE::NONE || st == STATE::ERROR ? 0 : 1;
}

#define WIRE_TH(REC, K, LO, HI, ROWS) col_i(th_get<REC, K>, th_set<REC, K, LO, HI, false>, 1, ROWS)
#define WIRE_COLUMNS(REC, LO, HI, ROWS, VALUE, STATUS, CONN, TREND_LO, TREND_HI)                              \
    {                                                                                                    \
        col_s(str_get<REC, &Onewire_temperature::name>, name_set<REC, &Onewire_temperature::name>, 1, ROWS), \
            col_i(int_get<REC, &Onewire_temperature::enable>, int_set<REC, &Onewire_temperature::enable, 0, 1>, \
                  1, ROWS),                                                                              \
            WIRE_TH(REC, 0, LO, HI, ROWS), WIRE_TH(REC, 1, LO, HI, ROWS), WIRE_TH(REC, 2, LO, HI, ROWS),  \
            WIRE_TH(REC, 3, LO, HI, ROWS), WIRE_TH(REC, 4, LO, HI, ROWS), WIRE_TH(REC, 5, LO, HI, ROWS),  \
            WIRE_TH(REC, 6, LO, HI, ROWS), WIRE_TH(REC, 7, LO, HI, ROWS),                                \
            col_s(str_get<REC, &Onewire_temperature::device_ID>, wire_id_set<REC>, 1, ROWS),             \
            col_i(VALUE, nullptr, 1, ROWS), col_i(STATUS, nullptr, 1, ROWS), col_i(CONN, nullptr, 1, ROWS), \
            col_i(int_get<REC, &Onewire_temperature::trend_id>,                                          \
                  int_set<REC, &Onewire_temperature::trend_id, TREND_LO, TREND_HI>, 1, ROWS),           \
            col_i(int_get<REC, &Onewire_temperature::log>, int_set<REC, &Onewire_temperature::log, 0, 1>, 1, \
                  ROWS),                                                                                 \
    }

const Node WIRE_T_COLUMNS[] =
    WIRE_COLUMNS(wt, -1000000, 1000000, WIRE_T_NUM, wt_value_get, wt_status_get, wt_conn_get, 0, 5);
const Node WIRE_H_COLUMNS[] =
    WIRE_COLUMNS(wh, 0, 10000, WIRE_H_NUM, wh_value_get, wh_status_get, wh_conn_get, INT_MIN, INT_MAX);

// ---- Tables 2.5 and 2.6: VLXA temperature and humidity ---------------------------------

// Rows 1-5 show the mesh reporting cycle; the other rows have nothing behind
// them and take no SET.
void vl_cycle_get(const int* ix, int& i, char*) { i = row(ix) <= 5 ? mesh_cycle().cycle_minutes : 0; }
int vl_cycle_set(const int* ix, int& i, char*)
{
    if (row(ix) > 5) return RESP::NOT_WRITABLE;
    if (i != 0 && i != 1) return WRONG_VALUE;
    mesh_cycle().cycle_minutes = i;
    return OK;
}
// A VLXA sensor always has its identifier.
int vl_id_set(const int* ix, int&, char* s)
{
    return *s ? set_device_id(vl(ix).device_ID, s, 16, device_id_check, false) : WRONG_LENGTH;
}
void vl_t_value_get(const int* ix, int& i, char*) { i = live().veloxa[row(ix) - 1].sensor_temperature.value; }
void vl_h_value_get(const int* ix, int& i, char*) { i = live().veloxa[row(ix) - 1].sensor_humidity.value; }
void vl_t_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().veloxa[row(ix) - 1].sensor_temperature.status); }
void vl_h_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().veloxa[row(ix) - 1].sensor_humidity.status); }
void vl_con_get(const int* ix, int& i, char*) { i = trends().veloxa[row(ix) - 1].con; }
void vl_battery_get(const int* ix, int& i, char*) { i = live().veloxa[row(ix) - 1].sensor_battery.status; }

#define VL_TH(H, K) col_i(vth_get<H, K>, vth_set<H, K>, 1, VLXA_NUM)
#define VLXA_COLUMNS(H, NAME, TREND, LOG, VALUE, STATUS)                                                   \
    {                                                                                                    \
        col_i(vl_cycle_get, vl_cycle_set, 1, VLXA_NUM), col_s(str_get<vl, &Veloxa::name>, name_set<vl, &Veloxa::name>, 1, VLXA_NUM), \
            col_s(str_get<vl, &Veloxa::NAME>, name_set<vl, &Veloxa::NAME>, 1, VLXA_NUM),                 \
            col_i(int_get<vl, &Veloxa::enable>, int_set<vl, &Veloxa::enable, 0, 1>, 1, VLXA_NUM),        \
            VL_TH(H, 0), VL_TH(H, 1), VL_TH(H, 2), VL_TH(H, 3), VL_TH(H, 4), VL_TH(H, 5), VL_TH(H, 6),    \
            VL_TH(H, 7), col_s(str_get<vl, &Veloxa::device_ID>, vl_id_set, 1, VLXA_NUM),                 \
            col_i(VALUE, nullptr, 1, VLXA_NUM), col_i(STATUS, nullptr, 1, VLXA_NUM),                     \
            col_i(vl_con_get, nullptr, 1, VLXA_NUM), col_i(vl_battery_get, nullptr, 1, VLXA_NUM),        \
            col_i(int_get<vl, &Veloxa::TREND>, int_set<vl, &Veloxa::TREND, INT_MIN, INT_MAX>, 1, VLXA_NUM), \
            col_i(int_get<vl, &Veloxa::LOG>, int_set<vl, &Veloxa::LOG, 0, 1>, 1, VLXA_NUM),              \
    }

const Node VLXA_T_COLUMNS[] = VLXA_COLUMNS(false, t_name, t_trend_id, t_log, vl_t_value_get, vl_t_status_get);
const Node VLXA_H_COLUMNS[] = VLXA_COLUMNS(true, h_name, h_trend_id, h_log, vl_h_value_get, vl_h_status_get);

// ---- Table 2.7: NX40 sensors ---------------------------------------------------------------

// Column 1, rows 2-5: the battery thresholds of the second battery set.
int* nx_battery_field(int r)
{
    Battery& b = nx_battery();
    int* f[] = {nullptr, nullptr, &b.alert, &b.alert_clear, &b.caution, &b.caution_clear};
    return f[r];
}
void nx_battery_get(const int* ix, int& i, char*)
{
    int* f = nx_battery_field(row(ix));
    i = f ? *f : 0;
}
int nx_battery_set(const int* ix, int& i, char*)
{
    int* f = nx_battery_field(row(ix));
    if (!f) return RESP::NO_CREATION;  // row 1 only holds the column's place
    *f = i;
    return OK;
}
int nx_id_set(const int* ix, int&, char* s)
{
    return set_device_id(nx(ix).device_ID, s, 23, device_id_check_sm, !nx(ix).enable);
}
void nx_value_get(const int* ix, int& i, char*) { i = live().kvt_nx40[row(ix) - 1].sensor_temperature.value; }
void nx_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().kvt_nx40[row(ix) - 1].sensor_temperature.status); }
void nx_con_get(const int* ix, int& i, char*) { i = trends().kvt_nx40[row(ix) - 1].con; }
void nx_battery_status_get(const int* ix, int& i, char*) { i = STATE::shown(live().kvt_nx40[row(ix) - 1].sensor_battery.status); }

#define NX_TH(K) col_i(th_get<nx, K>, th_set<nx, K, 0, 10000, false>, 1, NX40_NUM)
const Node NX40_COLUMNS[] = {
    col_i(nx_battery_get, nx_battery_set, 1, 5),
    col_s(str_get<nx, &KVT_NX40::name>, name_set<nx, &KVT_NX40::name>, 1, NX40_NUM),
    col_i(int_get<nx, &KVT_NX40::enable>, int_set<nx, &KVT_NX40::enable, 0, 1>, 1, NX40_NUM),
    NX_TH(0), NX_TH(1), NX_TH(2), NX_TH(3), NX_TH(4), NX_TH(5), NX_TH(6), NX_TH(7),
    col_s(str_get<nx, &KVT_NX40::device_ID>, nx_id_set, 1, NX40_NUM),
    col_i(nx_value_get, nullptr, 1, NX40_NUM),
    col_i(nx_status_get, nullptr, 1, NX40_NUM),
    col_i(nx_con_get, nullptr, 1, NX40_NUM),
    col_i(nx_battery_status_get, nullptr, 1, NX40_NUM),
    col_i(int_get<nx, &KVT_NX40::trend_id>, int_set<nx, &KVT_NX40::trend_id, INT_MIN, INT_MAX>, 1, NX40_NUM),
    col_i(int_get<nx, &KVT_NX40::log>, int_set<nx, &KVT_NX40::log, 0, 1>, 1, NX40_NUM),
};
#undef NX_TH

// ---- Table 2.8: trend groups -------------------------------------------------------------------

#define TR_PER(F) col_i(int_get<tr, &Trend::F>, int_set<tr, &Trend::F, 0, 99>, 1, 5)
const Node TREND_COLUMNS[] = {
    col_i(int_get<tr, &Trend::enable>, int_set<tr, &Trend::enable, 0, 1>, 1, 5),
    col_i(int_get<tr, &Trend::minutes>, int_set<tr, &Trend::minutes, 1, 1440>, 1, 5),
    TR_PER(au_per), TR_PER(al_per), TR_PER(cu_per), TR_PER(cl_per),
};
#undef TR_PER

const Node STATUS_TABLES[] = {
    group(DIO_COLUMNS, save_dio),       group(AI_COLUMNS, save_ai),
    group(WIRE_T_COLUMNS, save_wire_t), group(WIRE_H_COLUMNS, save_wire_h),
    group(VLXA_T_COLUMNS, save_vlxa, true), group(VLXA_H_COLUMNS, save_vlxa, true),
    group(NX40_COLUMNS, save_nx40, true),   group(TREND_COLUMNS, save_trend),
};

const Node CHANGE_COUNTER{.type = Ty::INT, .get = [](const int*, int& i, char*) { i = chcnt.load(); }};

// ---- The settings branch (read-only) ------------------------------------------------------------

#define RO_S(EXPR) Node{.type = Ty::STR, .get = [](const int* ix, int&, char* s) { (void)ix; put(s, (EXPR)); }}
#define RO_I(EXPR) Node{.type = Ty::INT, .get = [](const int* ix, int& i, char*) { (void)ix; i = static_cast<int>(EXPR); }}
#define RO_COL(LO, HI, EXPR)                                                                               \
    Node{.type = Ty::INT, .get = [](const int* ix, int& i, char*) { (void)ix; i = static_cast<int>(EXPR); }, .lo = LO, .hi = HI}
// Communities and passwords: present in the tree, never read back.
#define SECRET Node{.type = Ty::STR, .get = [](const int*, int&, char* s) { s[0] = '\0'; }}

const Admin_settings& as() { return admin_settings; }
int word_of(const Scenario& e) { return scenario_word(e.sensortype, e.sensor, e.state, e.enable); }

const Node SYSTEM_INFO[] = {
    RO_S(software_ver), RO_S(hardware_ver),
    RO_I(monitor && monitor->requestflg ? monitor->requestflg->is_7400 : 0), RO_S(updatetime),
};
const Node NETWORK[] = {
    RO_S(as().network.host),    RO_I(as().network.dhcp),    RO_S(as().network.ipaddr), RO_S(as().network.netmask),
    RO_S(as().network.gateway), RO_S(as().network.dns1),    RO_S(as().network.dns2),   RO_S(as().network.dns3),
};
const Node SNMP_ACCESS[] = {
    RO_S(as().snmp[ix[2] - 1].ipaddr), SECRET, RO_I(as().snmp[ix[2] - 1].enable),
};
const Node TRAP_RECEIVER[] = {
    RO_S(as().snmp_trap[ix[2] - 1].sendto), SECRET,
    RO_I(as().snmp_trap[ix[2] - 1].version), RO_COL(1, 24, word_of(as().snmp_trap_scenario[(ix[2] - 1) * 24 + ix[4] - 1])),
};
const Node NTP[] = {RO_S(as().time.ntp[0]), RO_S(as().time.ntp[1]), RO_S(as().time.ntp[2])};
const Node MQTT[] = {
    RO_I(as().mqtt.unitid),  RO_S(as().mqtt.sendip), RO_I(as().mqtt.port),
    RO_S(as().mqtt.loginid), SECRET,                 RO_COL(1, 24, word_of(as().mqtt_scenario[ix[3] - 1])),
};
const Node MAIL[] = {
    RO_S(as().mail.mail_smtp),     RO_I(as().mail.mail_smtp_port), RO_S(as().mail.mail_account),
    SECRET,                        RO_S(as().mail.mail_mailaddr),  RO_S(as().mail.mail_sender),
    RO_I(as().mail.mail_smtp_auth), RO_I(as().mail.mail_encode),   RO_I(as().mail.mail_sendmail),
};
const Node MAIL_CLIENT[] = {
    RO_S(as().mail_client[ix[2] - 1].mailclient_addr), RO_S(as().mail_client[ix[2] - 1].mailclient_subject),
    RO_COL(1, 24, word_of(as().mail_client_scenario[(ix[2] - 1) * 24 + ix[4] - 1])),
};
const Node MAIL_REPORT[] = {
    RO_I(as().mail_report[ix[2] - 1].mailreport_addr),   RO_S(as().mail_report[ix[2] - 1].mailreport_subject),
    RO_I(as().mail_report[ix[2] - 1].mailreport_enable), RO_I(as().mail_report[ix[2] - 1].mailreport_day),
    RO_I(as().mail_report[ix[2] - 1].mailreport_week),   RO_I(as().mail_report[ix[2] - 1].mailreport_hour),
    RO_I(as().mail_report[ix[2] - 1].mailreport_minute),
};
// 1.10.1 is the cycle entry 1, 1.10.2 entry 0, then 1.10.3 to 1.10.8 the
// entries 2 to 7.
int log_cycle_entry(int n) { return n == 1 ? 1 : n == 2 ? 0 : n - 1; }
const Node SYSLOG[] = {RO_S(as().syslog.ipaddr), RO_I(as().syslog.port), RO_I(as().syslog.destination)};

const Node SETTINGS_GROUPS[] = {
    group(SYSTEM_INFO),
    group(NETWORK),
    Node{.lo = 1, .hi = SNMP_NUM, .each = &SETTINGS_GROUPS[11]},
    Node{.lo = 1, .hi = TRAP_NUM, .each = &SETTINGS_GROUPS[12]},
    group(NTP),
    group(MQTT),
    group(MAIL),
    Node{.lo = 1, .hi = MAIL_CLIENT_NUM, .each = &SETTINGS_GROUPS[13]},
    Node{.lo = 1, .hi = MAIL_REPORT_NUM, .each = &SETTINGS_GROUPS[14]},
    Node{.type = Ty::INT,
         .get = [](const int* ix, int& i, char*) { i = as().sensor_log_cycle[log_cycle_entry(ix[2])].cycle_minutes; },
         .lo = 1, .hi = 8, .hi_6100 = 5},
    group(SYSLOG),
    // Entries of the groups above, not children of the branch.
    group(SNMP_ACCESS), group(TRAP_RECEIVER), group(MAIL_CLIENT), group(MAIL_REPORT),
};
const Node SETTINGS{.lo = 1, .hi = 11, .kids = SETTINGS_GROUPS};

#undef RO_S
#undef RO_I
#undef RO_COL
#undef SECRET

// ---- The system group -------------------------------------------------------------------

int system_get(int n, int& i, char* s)
{
    const bool m7400 = monitor && monitor->requestflg && monitor->requestflg->is_7400;
    switch (n) {
    case 1:
        std::snprintf(s, SNMP_STR_SIZE, "%s%s", m7400 ? "KVT-7400 ver " : "KVT-6100 ver ", software_ver);
        return RESP::OCTETS;
    case 2: put(s, m7400 ? "1.3.6.1.4.1.58213.22" : "1.3.6.1.4.1.58213.23"); return RESP::OID;
    case 3: return RESP::NUL;
    case 4: put(s, ""); return RESP::OCTETS;
    case 5: put(s, admin_settings.network.host); return RESP::OCTETS;
    case 6: put(s, ""); return RESP::OCTETS;
    case 7: i = 154; return RESP::INTEGER;
    default: return RESP::NO_SUCH_NAME;
    }
}

// ---- Walking the tables -------------------------------------------------------------------

enum Walk { FOUND, PAST, NONE };

// First object at or below n; the numbers of its name from `depth` on go
// into out, len gets the name's length.
Walk first(const Node* n, int* out, int depth, int& len)
{
    if (is_object(n) && !is_column(n)) {
        len = depth;
        return FOUND;
    }
    if (depth >= MAX_NUMS) return NONE;
    if (is_column(n)) {
        out[depth] = n->lo;
        len = depth + 1;
        return FOUND;
    }
    for (int k = n->lo; k <= hi_of(n); ++k) {
        const Node* c = child(n, k);
        if (!present(c)) continue;
        out[depth] = k;
        Walk w = first(c, out, depth + 1, len);
        if (w != PAST) return w;
    }
    return PAST;
}

// First object of n after the name in[0..n_in); in[0..depth) selects n and
// is already in out.
Walk after(const Node* n, const int* in, int n_in, int depth, int* out, int& len)
{
    if (is_object(n) && !is_column(n)) return PAST;  // the name is the object or lies below it
    if (depth >= n_in) return first(n, out, depth, len);
    const int k = in[depth];
    if (k > hi_of(n)) return NONE;
    if (k < n->lo) return first(n, out, depth, len);
    if (is_column(n)) {
        if (k == hi_of(n)) return PAST;
        out[depth] = k + 1;
        len = depth + 1;
        return FOUND;
    }
    const Node* c = child(n, k);
    if (!present(c)) return NONE;
    out[depth] = k;
    Walk w = after(c, in, n_in, depth + 1, out, len);
    if (w != PAST) return w;
    for (int j = k + 1; j <= hi_of(n); ++j) {
        c = child(n, j);
        if (!present(c)) continue;
        out[depth] = j;
        w = first(c, out, depth + 1, len);
        if (w != PAST) return w;
    }
    return PAST;
}

// Where the walk goes after the last object of status table t, as the
// numbers after the root; {} is the end of the MIB.
std::array<int, 4> after_table(int t)
{
    if (t == 4) return g_7400 ? std::array<int, 4>{2, 7, 2, 1} : std::array<int, 4>{2, 8, 1, 1};
    if (t == 8) return {};
    return {2, t + 1, 1, 1};
}

Walk after_status(const int* in, int n_in, int* out, int& len)
{
    const Node* tables = STATUS_TABLES;
    const int t = n_in >= 2 ? in[1] : 0;
    if (t < 1) {
        out[1] = 1;
        return first(&tables[0], out, 2, len);
    }
    if (t > 8 || !present(&tables[t - 1])) return NONE;
    const Node* table = &tables[t - 1];
    out[1] = t;
    // A table named alone (or with column 0) starts at its first column;
    // the NX40 table at its second, as the walk reaches it.
    if (n_in == 2 || in[2] == 0) {
        if (t == 7) {
            out[2] = 2, out[3] = 1, len = 4;
            return FOUND;
        }
        return first(table, out, 2, len);
    }
    Walk w = after(table, in, n_in, 2, out, len);
    if (w != PAST) return w;
    std::array<int, 4> next = after_table(t);
    if (next[0] == 0) return PAST;
    for (int i = 0; i < 4; ++i) out[i] = next[i];
    len = 4;
    return FOUND;
}

// Why a name has no object: no object of that type, or an object without
// that instance; `column` is the column the name fell into, if any.
struct Miss {
    int word = RESP::NO_SUCH_OBJECT;
    const Node* column = nullptr;
};

// The object named by the numbers after the root; save gets the
// persistence of a SET of it.
const Node* find(const int* in, int n_in, SaveFn* save, Miss& miss)
{
    *save = nullptr;
    miss = Miss{};
    if (n_in < 1) return nullptr;
    const Node* n = nullptr;
    if (in[0] == 1) n = &SETTINGS;
    if (in[0] == 2) {
        if (n_in >= 2 && in[1] == 20) {
            if (n_in == 2) return &CHANGE_COUNTER;
            miss.word = RESP::NO_SUCH_INSTANCE;
            return nullptr;
        }
        static const Node status{.lo = 1, .hi = 8, .kids = STATUS_TABLES};
        n = &status;
    }
    for (int depth = 1; n; ++depth) {
        if (n->save) *save = n->save;
        if (is_object(n) && !is_column(n)) {
            if (depth == n_in) return n;
            miss.word = RESP::NO_SUCH_INSTANCE;
            return nullptr;
        }
        if (is_column(n)) {
            miss.word = RESP::NO_SUCH_INSTANCE;
            miss.column = n;
            if (depth + 1 != n_in) return nullptr;
            return in[depth] >= n->lo && in[depth] <= hi_of(n) ? n : nullptr;
        }
        if (depth >= n_in) return nullptr;
        const int k = in[depth];
        if (k < n->lo || k > hi_of(n)) return nullptr;
        n = child(n, k);
        if (!present(n)) return nullptr;
    }
    return nullptr;
}

// Dotted numbers into v; false unless the whole text is such.
bool parse_numbers(const char* text, uint32_t* v, int& n, int max)
{
    n = 0;
    const char* p = text;
    while (true) {
        if (n == max || *p < '0' || *p > '9') return false;
        uint64_t acc = 0;
        while (*p >= '0' && *p <= '9') {
            acc = acc * 10 + static_cast<unsigned>(*p++ - '0');
            if (acc > 0xFFFFFFFFull) return false;
        }
        v[n++] = static_cast<uint32_t>(acc);
        if (*p == '\0') return true;
        if (*p != '.') return false;
        ++p;
    }
}

// dst (SNMP_NAME_SIZE bytes) = a followed by b, cut to fit.
void join_name(char* dst, const char* a, const char* b)
{
    size_t n = strnlen(a, SNMP_NAME_SIZE - 1);
    std::memmove(dst, a, n);
    size_t m = strnlen(b, SNMP_NAME_SIZE - 1 - n);
    std::memmove(dst + n, b, m);
    dst[n + m] = '\0';
}

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// a < b in name order (a shorter name that is a prefix of the other comes first).
bool name_less(const uint32_t* a, int na, const uint32_t* b, int nb)
{
    for (int i = 0; i < na && i < nb; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return na < nb;
}

// ---- The SNMPv3 engine and its usmStats counters --------------------------------------------
// Scalars after the private tree in the walk: snmpEngineID, snmpEngineBoots,
// snmpEngineTime, snmpEngineMaxMessageSize, then the six usmStats counters.

const char oid_engine_head[] = "1.3.6.1.6.3.10.2.1.";
const char oid_usm_stats_head[] = "1.3.6.1.6.3.15.1.1.";
constexpr int ENGINE_OBJECTS = 4;
constexpr int USM_STATS_OBJECTS = 6;
constexpr int V3_SCALARS = ENGINE_OBJECTS + USM_STATS_OBJECTS;

// The name of scalar k (0-based, in walk order) without its instance.
void v3_scalar(int k, uint32_t* v, int& n)
{
    static const uint32_t engine[9] = {1, 3, 6, 1, 6, 3, 10, 2, 1};
    static const uint32_t stats[9] = {1, 3, 6, 1, 6, 3, 15, 1, 1};
    std::memcpy(v, k < ENGINE_OBJECTS ? engine : stats, sizeof engine);
    v[9] = static_cast<uint32_t>(k < ENGINE_OBJECTS ? k + 1 : k - ENGINE_OBJECTS + 1);
    n = 10;
}

// The scalar after the name v, written as text; 1 when none follows.
int v3_next(const uint32_t* v, int n, char* next)
{
    for (int k = 0; k < V3_SCALARS; ++k) {
        uint32_t s[10];
        int ns = 0;
        v3_scalar(k, s, ns);
        if (name_less(v, n, s, ns)) {
            std::snprintf(next, SNMP_NAME_SIZE, "%s%u", k < ENGINE_OBJECTS ? oid_engine_head : oid_usm_stats_head,
                          s[9]);
            return 0;
        }
    }
    return 1;
}

// Scalar number (1-based in walk order) of a name below one of the two
// heads, 0 when no object, -1 for an object without that instance.
int v3_object(const char* name)
{
    const bool engine = starts_with(name, oid_engine_head);
    if (!engine && !starts_with(name, oid_usm_stats_head)) return 0;
    uint32_t n[MAX_NUMS];
    int count = 0;
    if (!parse_numbers(name + std::strlen(oid_engine_head), n, count, MAX_NUMS)) return 0;
    const uint32_t last = engine ? ENGINE_OBJECTS : USM_STATS_OBJECTS;
    if (n[0] < 1 || n[0] > last) return 0;
    if (count != 1) return -1;
    return static_cast<int>(engine ? n[0] : ENGINE_OBJECTS + n[0]);
}

int v3_get(int k, int& i, char* s)
{
    switch (k) {
    case 1: {
        const USM::Bytes& id = usm_engine_id();
        const size_t len = id.size() < SNMP_STR_SIZE ? id.size() : SNMP_STR_SIZE - 1;
        std::memcpy(s, id.data(), len);
        i = static_cast<int>(len);
        return RESP::OCTETS_N;
    }
    case 2: i = usm_engine_boots(); return RESP::INTEGER;
    case 3: i = usm_engine_time(); return RESP::INTEGER;
    case 4: i = V3::MAX_MESSAGE_SIZE; return RESP::INTEGER;
    default: i = static_cast<int>(usm_stat(static_cast<V3::Stat>(k - ENGINE_OBJECTS - 1))); return RESP::COUNTER32;
    }
}

void write_name(char* dst, const char* head, const int* nums, int n)
{
    int len = std::snprintf(dst, SNMP_NAME_SIZE, "%s", head);
    for (int i = 0; i < n && len < SNMP_NAME_SIZE; ++i)
        len += std::snprintf(dst + len, static_cast<size_t>(SNMP_NAME_SIZE - len), i ? ".%d" : "%d", nums[i]);
}

int word_of_type(Ty t)
{
    switch (t) {
    case Ty::INT: return RESP::INTEGER;
    case Ty::STR: return RESP::OCTETS;
    case Ty::OID: return RESP::OID;
    default: return RESP::NUL;
    }
}

}  // namespace

const char* oid_head() { return oid_root; }

void oid_change()
{
    g_7400 = monitor && monitor->requestflg && monitor->requestflg->is_7400 != 0;
    copy_text(oid_root, g_7400 ? oid_head_7400 : oid_head_6100);
    oid_number_head[7] = g_7400 ? 22 : 23;
}

bool threshold_ok(const int th[8], int k, int v, int lo, int hi, bool analog)
{
    const bool upper = k < 4;
    const int unset = upper ? SETTINGS_TABLE::THRESHOLD_OFF_MAX : SETTINGS_TABLE::THRESHOLD_OFF_MIN;
    if (v == unset) return true;
    if (v < lo || v > hi) return false;
    const bool is_val = k % 2 == 0;
    const int pair = k - k % 2;               // _val of this pair
    const int opposite = 6 - pair;  // _val of the same level's pair on the other side
    const int own_clear = th[pair + 1];
    const int own_val = th[pair];
    const int other_clear = th[opposite + 1];
    const int off_own = unset;
    const int off_other = upper ? SETTINGS_TABLE::THRESHOLD_OFF_MIN : SETTINGS_TABLE::THRESHOLD_OFF_MAX;
    if (is_val) {
        if (own_clear != off_own) return upper ? v >= own_clear : v <= own_clear;
        if (analog && other_clear != off_other) return upper ? v >= other_clear : v <= other_clear;
        return true;
    }
    if (other_clear != off_other && (upper ? v < other_clear : v > other_clear)) return false;
    if (own_val != off_own && (upper ? v > own_val : v < own_val)) return false;
    return true;
}

bool vlxa_threshold_apply(int th[8], int k, int v)
{
    constexpr int UNSET = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
    const bool upper = k < 4;
    const int val = k - k % 2, clear = val + 1;
    if (v == UNSET) {
        th[val] = th[clear] = UNSET;
        return true;
    }
    if (v < 0 || v > 10000) return false;
    if (k == val) {
        if (th[clear] == UNSET) {
            th[val] = th[clear] = v;
            return true;
        }
        if (upper ? v < th[clear] : v > th[clear]) return false;
        th[val] = v;
        return true;
    }
    if (th[clear] != UNSET && (upper ? v < th[clear] : v > th[clear])) return false;
    if (th[val] == UNSET) {
        th[val] = th[clear] = v;
        return true;
    }
    if (upper ? v > th[val] : v < th[val]) return false;
    th[clear] = v;
    return true;
}

int scenario_word(int sensortype, int sensor, int state, bool enable)
{
    uint32_t w = static_cast<uint32_t>(sensortype) | static_cast<uint32_t>(sensor) << 8 |
                 static_cast<uint32_t>(state) << 24 | (enable ? 1u << 31 : 0u);
    return static_cast<int>(w);
}

bool snmp_pulse_running(int output) { return output >= 0 && output < SETTINGS_TABLE::DO_NUM && g_pulse[output]; }

bool relay_pulse_start(int output, int seconds)
{
    return output >= 0 && output < SETTINGS_TABLE::DO_NUM && start_pulse(output, seconds) == OK;
}

void snmp_pulses_wait()
{
    // A stop cuts a pulse short; what is left is the output's hold time.
    for (int waited = 0; waited < 5000; waited += 10) {
        bool any = false;
        for (auto& p : g_pulse) any = any || p;
        if (!any) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("snmp: a relay pulse did not end within 5 s\n");
}

int remove_oid_zero(char* str)
{
    size_t n = std::strlen(str);
    if (n < 2 || std::strcmp(str + n - 2, ".0") != 0) return 0;
    str[n - 2] = '\0';
    return 1;
}

int get_next_oid(const int* nums, int n, char* dst)
{
    int out[MAX_NUMS] = {};
    int len = 0;
    Walk w;
    if (n < 1 || nums[0] < 1) {
        out[0] = 1;
        w = first(&SETTINGS, out, 1, len);
    } else if (nums[0] == 1) {
        out[0] = 1;
        w = after(&SETTINGS, nums, n, 1, out, len);
        if (w == PAST) {
            out[0] = 2, out[1] = 1, out[2] = 1, out[3] = 1, len = 4;
            w = FOUND;
        }
    } else if (nums[0] == 2) {
        out[0] = 2;
        w = after_status(nums, n, out, len);
    } else {
        w = NONE;
    }
    if (w == NONE) return -1;
    if (w == PAST) return 1;
    write_name(dst, "", out, len);
    return 0;
}

int check_oid_num(const char* oid, char* next)
{
    uint32_t v[MAX_NUMS];
    int n = 0;
    if (!parse_numbers(oid, v, n, MAX_NUMS) || n - 1 > 14) return -1;
    static const uint32_t SYS_DESCR[8] = {1, 3, 6, 1, 2, 1, 1, 1};
    uint32_t head[8];
    for (int i = 0; i < 8; ++i) head[i] = static_cast<uint32_t>(oid_number_head[i]);
    auto to_head_start = [&] {
        std::snprintf(next, SNMP_NAME_SIZE, "%s1.1.1", oid_root);
        return 0;
    };
    // Below the system group: its first object.
    if (name_less(v, n, SYS_DESCR, 8)) {
        std::snprintf(next, SNMP_NAME_SIZE, "1.3.6.1.2.1.1.1");
        return 0;
    }
    // Inside the system group: the next object; after sysServices the walk
    // passes into the private tree.
    if (n >= 8 && std::memcmp(v, SYS_DESCR, 7 * sizeof v[0]) == 0) {
        if (v[7] < 7) {
            std::snprintf(next, SNMP_NAME_SIZE, "1.3.6.1.2.1.1.%u", v[7] + 1);
            return 0;
        }
        return to_head_start();
    }
    if (n >= 8 && std::memcmp(v, head, sizeof head) == 0) {
        if (n == 8) return to_head_start();
        int rest[MAX_NUMS];
        for (int i = 8; i < n; ++i) rest[i - 8] = v[i] > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(v[i]);
        char tail[SNMP_NAME_SIZE];
        int r = get_next_oid(rest, n - 8, tail);
        if (r == 0) join_name(next, oid_root, tail);
        // After the private tree come the engine group and usmStats.
        if (r == 1) return v3_next(v, n, next);
        return r;
    }
    // Between the system group and the private root: the private tree.
    if (name_less(v, n, head, 8)) return to_head_start();
    return v3_next(v, n, next);
}

namespace {

// Numbers after the root of a private name into ix (each capped above every
// range); false when the text is no such name.
bool private_numbers(const char* name, int* ix, int& n)
{
    if (!oid_root[0] || !starts_with(name, oid_root)) return false;
    uint32_t v[MAX_NUMS];
    if (!parse_numbers(name + std::strlen(oid_root), v, n, MAX_NUMS)) return false;
    for (int i = 0; i < n; ++i) ix[i] = v[i] > 100000 ? 100001 : static_cast<int>(v[i]);
    return true;
}

// System group: the object number of a name below it, 0 when the object
// does not exist, -1 for an existing object without that instance.
int system_object(const char* name)
{
    uint32_t n[MAX_NUMS];
    int count = 0;
    if (!parse_numbers(name + std::strlen(oid_basic_head), n, count, MAX_NUMS) || n[0] < 1 || n[0] > 7) return 0;
    return count == 1 ? static_cast<int>(n[0]) : -1;
}

// GET, GET-NEXT and GET-BULK of one name, in the SNMPv2c vocabulary.
int lookup(char* oid, int type, char* str_data, int& int_data)
{
    char name[SNMP_NAME_SIZE];
    copy_text(name, oid);
    if (std::strcmp(name, "0.0") == 0) copy_text(name, "1.0");
    const bool had_zero = remove_oid_zero(name) == 1;
    const bool walk = type == BER::GETNEXT || type == BER::GETBULK;
    if (walk) {
        char next[SNMP_NAME_SIZE];
        int r = check_oid_num(name, next);
        if (r == 1) return RESP::END_OF_MIB;
        if (r < 0) return RESP::NO_SUCH_NAME;
        copy_text(name, next);
        join_name(oid, next, had_zero ? ".0" : "");
    }
    if (starts_with(name, oid_basic_head)) {
        const int n = system_object(name);
        if (n <= 0) return n < 0 ? RESP::NO_SUCH_INSTANCE : RESP::NO_SUCH_OBJECT;
        // A GET names the instance in its answer.
        if (!walk && !had_zero && std::strlen(oid) + 2 < SNMP_NAME_SIZE) std::strcat(oid, ".0");
        return system_get(n, int_data, str_data);
    }
    if (const int k = v3_object(name); k != 0) {
        if (k < 0) return RESP::NO_SUCH_INSTANCE;
        if (!walk && !had_zero && std::strlen(oid) + 2 < SNMP_NAME_SIZE) std::strcat(oid, ".0");
        return v3_get(k, int_data, str_data);
    }
    int ix[MAX_NUMS] = {};
    int n = 0;
    if (!private_numbers(name, ix, n)) return RESP::NO_SUCH_OBJECT;
    SaveFn save = nullptr;
    Miss miss;
    const Node* obj = find(ix, n, &save, miss);
    if (!obj) return miss.word;
    obj->get(ix, int_data, str_data);
    return word_of_type(obj->type);
}

// The object a SET names, with what it takes to save it.
struct Target {
    const Node* obj = nullptr;
    SaveFn save = nullptr;
    int ix[MAX_NUMS] = {};
};

int resolve_set(const char* oid, Target& t)
{
    char name[SNMP_NAME_SIZE];
    copy_text(name, oid);
    remove_oid_zero(name);
    if (starts_with(name, oid_basic_head)) return system_object(name) > 0 ? RESP::NOT_WRITABLE : RESP::NO_SUCH_NAME;
    if (const int k = v3_object(name); k != 0) return k > 0 ? RESP::NOT_WRITABLE : RESP::NO_SUCH_NAME;
    int n = 0;
    if (!private_numbers(name, t.ix, n)) return RESP::NO_SUCH_NAME;
    Miss miss;
    t.obj = find(t.ix, n, &t.save, miss);
    if (!t.obj) return miss.column && miss.column->set ? RESP::NO_CREATION : RESP::NO_SUCH_NAME;
    return t.obj->set ? 0 : RESP::NOT_WRITABLE;
}

// One binding through its object's SET rule.
int set_value(const Set_binding& b, const Target& t)
{
    const bool integer = t.obj->type == Ty::INT;
    if (b.value_type != (integer ? BER::INTEGER : BER::OCTET_STRING)) return RESP::WRONG_TYPE;
    int i = b.int_data;
    char s[SNMP_STR_SIZE] = {};
    if (integer) {
        if (!b.int_fits) return WRONG_VALUE;
    } else {
        const size_t len = strnlen(b.str_data, SNMP_STR_SIZE);
        // A NUL inside the value would cut the text short.
        if (len >= SNMP_STR_SIZE || static_cast<int>(len) != b.str_length) return WRONG_VALUE;
        std::memcpy(s, b.str_data, len);
    }
    return t.obj->set(t.ix, i, s);
}

// The whole SET in the SNMPv2c vocabulary; type_word gets the type word of
// the last binding.
int run_set(const Set_binding* b, int n, int& error_index, int* type_word)
{
    error_index = 0;
    std::vector<Target> targets(static_cast<size_t>(n));
    Stage stage;
    g_stage = &stage;
    for (int i = 0; i < n; ++i) {
        int r = resolve_set(b[i].name, targets[i]);
        if (r == 0) r = set_value(b[i], targets[i]);
        if (r != 0) {
            g_stage = nullptr;
            error_index = i + 1;
            return r;
        }
    }
    g_stage = nullptr;

    // Every binding passed: apply them in order. Only a change by another
    // thread in between, or a relay pulse that cannot be started, fails here.
    std::vector<SaveRef> saves;
    int failed = 0;
    for (int i = 0; i < n && !failed; ++i) {
        const Target& t = targets[i];
        const int r = set_value(b[i], t);
        if (r != 0) {
            report_error("snmp SET: applying", b[i].name);
            failed = i == 0 ? RESP::COMMIT_FAILED : RESP::UNDO_FAILED;
            error_index = i == 0 ? 1 : 0;
            break;
        }
        if (!t.save || t.obj->keeps) continue;
        const SaveRef ref = t.save(t.ix);
        bool seen = false;
        for (const auto& s : saves) seen = seen || (s.code == ref.code && s.index == ref.index);
        if (!seen) saves.push_back(ref);
    }
    // The messages follow the changes, one per record.
    for (const auto& s : saves) {
        *s.changeflg = true;
        db_save.push_n(s.code, s.index);
    }
    if (!failed && type_word && n > 0) *type_word = word_of_type(targets[static_cast<size_t>(n - 1)].obj->type);
    return failed;
}

}  // namespace

int snmp_set(const Set_binding* b, int n, int version, int& error_index)
{
    const int r = run_set(b, n, error_index, nullptr);
    return r ? snmp_error_model(r, version, BER::SET) : 0;
}

int check_oid(char* oid, int type, char* str_data, int& int_data, int value_type, int version)
{
    if (type == BER::SET) {
        const Set_binding b{oid, value_type, int_data, true, str_data,
                            static_cast<int>(strnlen(str_data, SNMP_STR_SIZE - 1))};
        int index = 0, word = 0;
        const int r = run_set(&b, 1, index, &word);
        return r ? snmp_error_model(r, version, type) : word;
    }
    return snmp_error_model(lookup(oid, type, str_data, int_data), version, type);
}

int snmp_error_model(int word, int version, int pdu)
{
    const int status = word & 0xFF;
    if (version == 0) {
        // SNMPv1 has no exceptions and five error codes.
        if (status == 0) return (word >> 8 & 0xFF) >= BER::NO_SUCH_OBJECT ? RESP::NO_SUCH_NAME : word;
        switch (word) {
        case RESP::WRONG_TYPE:
        case RESP::WRONG_LENGTH:
        case RESP::WRONG_VALUE:
        case RESP::INCONSISTENT_VALUE: return RESP::BAD_VALUE;
        case RESP::NOT_WRITABLE: return RESP::READ_ONLY;
        case RESP::NO_CREATION: return RESP::NO_SUCH_NAME;
        case RESP::RESOURCE_UNAVAILABLE:
        case RESP::COMMIT_FAILED:
        case RESP::UNDO_FAILED: return RESP::GEN_ERR;
        default: return word;
        }
    }
    // SNMPv2c: a SET of a name without an object is notWritable.
    if (word == RESP::NO_SUCH_NAME && pdu == BER::SET) return RESP::NOT_WRITABLE;
    if (word == RESP::READ_ONLY) return RESP::NOT_WRITABLE;
    if (word == RESP::BAD_VALUE) return RESP::WRONG_VALUE;
    return word;
}
