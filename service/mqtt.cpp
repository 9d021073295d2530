// What a remote party reads and writes over MQTT: the groups, each one field
// of one sensor kind over all its ports (or one single value), the checks of
// written values, the write itself and the status mapping.
//
// A group is a list of spans in member order. A span is one field of one
// section's records (walked through the section's field map), a live value,
// or a system text; some spans act on the relays instead of storing.
#include "mqtt.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "snmp.h"

namespace {

using SETTINGS_MAP::Field;
using SETTINGS_MAP::Section;
using SETTINGS_MAP::Type;

enum class Src : unsigned char { Field, Live, Text };
// How a read writes a number: plain, or its digits as a JSON string.
enum class Form : unsigned char { Num, Quoted };
enum class Act : unsigned char { None, Store, Relay, Pulse, OnRule, OffRule };
enum class Check : unsigned char { None, Text, Range, Ref, Id };
enum class Cmp : unsigned char { NotBelow, NotAbove };

constexpr long long OFF_MAX = SETTINGS_TABLE::THRESHOLD_OFF_MAX;
constexpr long long OFF_MIN = SETTINGS_TABLE::THRESHOLD_OFF_MIN;
constexpr long long AI_LIM = 1000000;

struct Rule {
    Check check = Check::None;
    long long lo = 0, hi = 0;  // Text: length; Range, Ref: the value; Id: the exact length
    long long off = 0;         // Ref: accepted as is (a switched-off threshold); 0 none
    Cmp cmp = Cmp::NotBelow;
    const char* ref = nullptr;  // Ref: field of the same record compared with
    long long ref_off = 0;      // Ref: the value at which ref is switched off; 0 none
    const char* alt = nullptr;  // Ref: compared with instead while ref is off; none: no comparison
    int (*id_format)(const char*) = nullptr;  // Id: 0 when the identifier is well formed
};

constexpr Rule none() { return {}; }
constexpr Rule text(long long lo, long long hi) { return {Check::Text, lo, hi}; }
constexpr Rule range(long long lo, long long hi) { return {Check::Range, lo, hi}; }
constexpr Rule ref(Cmp cmp, const char* field, long long lim_lo, long long lim_hi, long long off = 0,
                   long long ref_off = 0, const char* alt = nullptr)
{
    return {Check::Ref, lim_lo, lim_hi, off, cmp, field, ref_off, alt};
}
constexpr Rule id(long long len, int (*format)(const char*))
{
    Rule r{Check::Id, len, len};
    r.id_format = format;
    return r;
}
constexpr Rule NAME = text(1, 31);
constexpr Rule FLAG = range(0, 1);
// Mesh-sensor texts have no format of their own; they only keep the
// characters out that the settings files and logs separate fields with.
constexpr Rule PLAIN = text(0, 127);

// The upper and lower alert pair of 1-Wire and NX40 channels.
constexpr Rule upper_val(long long lo, long long hi)
{
    return ref(Cmp::NotBelow, "alert_max_clear", lo, hi, OFF_MAX, OFF_MAX);
}
constexpr Rule upper_clear(long long lo, long long hi) { return ref(Cmp::NotAbove, "alert_max_val", lo, hi, OFF_MAX); }
constexpr Rule lower_val(long long lo, long long hi)
{
    return ref(Cmp::NotAbove, "alert_min_clear", lo, hi, OFF_MIN, OFF_MIN);
}
constexpr Rule lower_clear(long long lo, long long hi) { return ref(Cmp::NotBelow, "alert_min_val", lo, hi, OFF_MIN); }

struct Span {
    int id;
    int rfirst, rlast;  // members read (0: none)
    int wfirst, wlast;  // members written (0: none)
    Src src;
    Form form;
    int save;           // Src::Field: the section, by its settings-writer kind
    const char* field;  // Src::Field: the record's field
    int base;           // Src::Field: member n is element n - base
    long long (*live)(int n);
    const char* (*text)();
    Act act;
    Rule rule;
};

// ---- Live values ----------------------------------------------------------------

const MONITOR_TABLE::Sensor_condition& live() { return live_condition(); }
const MONITOR_TABLE::Trend_per& trends() { return live_trends(); }

template <auto A>
long long value_of(int n)
{
    return (live().*A)[n - 1].value;
}
template <auto A>
long long status_of(int n)
{
    return send_status((live().*A)[n - 1].status);
}
// 1-Wire probes: connected while judged and not in error.
template <auto A>
long long connected(int n)
{
    const int s = (live().*A)[n - 1].status;
    return s != STATE::NONE && s != STATE::ERROR;
}
template <auto A, auto E>
long long mesh_value(int n)
{
    return ((live().*A)[n - 1].*E).value;
}
template <auto A, auto E>
long long mesh_status(int n)
{
    return send_status(((live().*A)[n - 1].*E).status);
}
template <auto A>
long long trend_con(int n)
{
    return (trends().*A)[n - 1].con;
}

using MONITOR_TABLE::NX40Element;
using MONITOR_TABLE::Sensor_condition;
using MONITOR_TABLE::Trend_per;
using MONITOR_TABLE::VeloxaElement;

long long zero(int) { return 0; }
long long one(int) { return 1; }
long long ai_connection(int) { return monitor && monitor->requestflg ? monitor->requestflg->ai_connection : 0; }
long long nx_battery_raw(int n) { return live().kvt_nx40[n - 1].sensor_battery.status; }
long long on_rule(int n)
{
    const auto& o = sensor_settings.digitalO[n - 9];
    return static_cast<uint32_t>(scenario_word(o.ontype, o.onsensor, o.onstate, o.onenable != 0));
}
long long off_rule(int n)
{
    const auto& o = sensor_settings.digitalO[n - 9];
    return static_cast<uint32_t>(scenario_word(o.offtype, o.offsensor, o.offstate, o.offenable != 0));
}
const char* software() { return software_ver; }
const char* hardware() { return hardware_ver; }
const char* updated() { return updatetime; }

// ---- The groups -------------------------------------------------------------------

// A field read and written over members FIRST..LAST; member n is element
// n - BASE of the section.
#define FIELD_AT(ID, SEC, NAME, FIRST, LAST, BASE, FORM, RULE) \
    Span{ID, FIRST, LAST, FIRST, LAST, Src::Field, Form::FORM, SEC, NAME, BASE, nullptr, nullptr, Act::Store, RULE}
#define FIELD(ID, SEC, NAME, FIRST, LAST, FORM, RULE) FIELD_AT(ID, SEC, NAME, FIRST, LAST, FIRST, FORM, RULE)
#define LIVE(ID, FIRST, LAST, FN, FORM) \
    Span{ID, FIRST, LAST, 0, 0, Src::Live, Form::FORM, 0, nullptr, 0, FN, nullptr, Act::None, none()}
#define ACTION(ID, RFIRST, RLAST, FN, ACT) \
    Span{ID, RFIRST, RLAST, 9, 16, Src::Live, Form::Num, 0, nullptr, 0, FN, nullptr, ACT, none()}
#define TEXT(ID, FN) Span{ID, 1, 1, 0, 0, Src::Text, Form::Num, 0, nullptr, 0, nullptr, FN, Act::None, none()}

// Inputs are d1-d8, relay outputs d9-d16.
#define DIO_FIELD(ID, NAME, RULE) FIELD(ID, SAVE::DI, NAME, 1, 8, Num, RULE), FIELD(ID, SAVE::DO, NAME, 9, 16, Num, RULE)

// 1-Wire temperature (3xx) and humidity (4xx) probes.
#define PROBE_GROUPS(P, SEC, N, LO, HI, ARR)                                                                     \
    FIELD(P##01, SEC, "name", 1, N, Num, NAME), FIELD(P##02, SEC, "enable", 1, N, Num, FLAG),                   \
        FIELD(P##03, SEC, "alert_max_val", 1, N, Num, upper_val(LO, HI)),                                        \
        FIELD(P##04, SEC, "alert_max_clear", 1, N, Num, upper_clear(LO, HI)),                                    \
        FIELD(P##05, SEC, "caution_max_val", 1, N, Num, none()),                                                 \
        FIELD(P##06, SEC, "caution_max_clear", 1, N, Num, none()),                                               \
        FIELD(P##07, SEC, "caution_min_val", 1, N, Num, none()),                                                 \
        FIELD(P##08, SEC, "caution_min_clear", 1, N, Num, none()),                                               \
        FIELD(P##09, SEC, "alert_min_val", 1, N, Num, lower_val(LO, HI)),                                        \
        FIELD(P##10, SEC, "alert_min_clear", 1, N, Num, lower_clear(LO, HI)),                                    \
        FIELD(P##11, SEC, "device_ID", 1, N, Num, id(16, device_id_check)),                                      \
        LIVE(P##12, 1, N, value_of<&Sensor_condition::ARR>, Num), LIVE(P##13, 1, N, status_of<&Sensor_condition::ARR>, Num), \
        LIVE(P##14, 1, N, connected<&Sensor_condition::ARR>, Num),                                               \
        FIELD(P##15, SEC, "trend_id", 1, N, Num, none()), FIELD(P##16, SEC, "log", 1, N, Num, FLAG)

// VLXA sensors: 5xx the temperature side, 6xx the humidity side; every value
// is read as a JSON string. CH is the channel's field prefix, E its element.
#define VLXA_GROUPS(P, CH, E)                                                                                    \
    FIELD(P##01, SAVE::SMARTMESH_CYCLE, "cycle_minutes", 1, 1, Quoted, none()),                                  \
        FIELD(P##02, SAVE::BATTERY, "alert", 1, 1, Quoted, none()),                                              \
        FIELD(P##03, SAVE::BATTERY, "alert_clear", 1, 1, Quoted, none()),                                        \
        FIELD(P##04, SAVE::BATTERY, "caution", 1, 1, Quoted, none()),                                            \
        FIELD(P##05, SAVE::BATTERY, "caution_clear", 1, 1, Quoted, none()),                                      \
        FIELD(P##06, SAVE::VLXA, "name", 1, 50, Quoted, PLAIN), FIELD(P##07, SAVE::VLXA, CH "name", 1, 50, Quoted, PLAIN), \
        FIELD(P##08, SAVE::VLXA, "enable", 1, 50, Quoted, none()),                                               \
        FIELD(P##09, SAVE::VLXA, CH "alert_max_val", 1, 50, Quoted, none()),                                     \
        FIELD(P##10, SAVE::VLXA, CH "alert_max_clear", 1, 50, Quoted, none()),                                   \
        FIELD(P##11, SAVE::VLXA, CH "caution_max_val", 1, 50, Quoted, none()),                                   \
        FIELD(P##12, SAVE::VLXA, CH "caution_max_clear", 1, 50, Quoted, none()),                                 \
        FIELD(P##13, SAVE::VLXA, CH "caution_min_val", 1, 50, Quoted, none()),                                   \
        FIELD(P##14, SAVE::VLXA, CH "caution_min_clear", 1, 50, Quoted, none()),                                 \
        FIELD(P##15, SAVE::VLXA, CH "alert_min_val", 1, 50, Quoted, none()),                                     \
        FIELD(P##16, SAVE::VLXA, CH "alert_min_clear", 1, 50, Quoted, none()),                                   \
        FIELD(P##17, SAVE::VLXA, "device_ID", 1, 50, Quoted, PLAIN),                                             \
        LIVE(P##18, 1, 50, (mesh_value<&Sensor_condition::veloxa, &VeloxaElement::E>), Quoted),                 \
        LIVE(P##19, 1, 50, (mesh_status<&Sensor_condition::veloxa, &VeloxaElement::E>), Quoted),                \
        LIVE(P##20, 1, 1, trend_con<&Trend_per::veloxa>, Quoted),                                                \
        LIVE(P##21, 1, 50, (mesh_status<&Sensor_condition::veloxa, &VeloxaElement::sensor_battery>), Quoted),   \
        FIELD(P##22, SAVE::VLXA, CH "trend_id", 1, 50, Quoted, none()),                                          \
        FIELD(P##23, SAVE::VLXA, CH "log", 1, 50, Quoted, none())

const Span SPANS[] = {
    TEXT(11, software), TEXT(12, hardware), LIVE(13, 1, 1, one, Num), TEXT(14, updated),

    DIO_FIELD(101, "name", NAME),
    FIELD(102, SAVE::DI, "time", 1, 8, Num, range(0, 3600)),
    DIO_FIELD(103, "ontext", NAME),
    DIO_FIELD(104, "offtext", NAME),
    FIELD(105, SAVE::DO, "doinit", 9, 16, Num, FLAG),
    FIELD(106, SAVE::DO, "dokeep", 9, 16, Num, FLAG),
    DIO_FIELD(107, "enable", FLAG),
    ACTION(108, 9, 16, on_rule, Act::OnRule),
    ACTION(109, 9, 16, off_rule, Act::OffRule),
    DIO_FIELD(110, "errortext_id", range(1, 5)),
    // The outputs' trend rule is written but not read.
    FIELD(111, SAVE::DI, "trend_id", 1, 8, Num, range(0, 5)),
    Span{111, 0, 0, 9, 16, Src::Field, Form::Num, SAVE::DO, "trend_id", 9, nullptr, nullptr, Act::Store, range(0, 5)},
    ACTION(112, 1, 16, value_of<&Sensor_condition::digitalio>, Act::Relay),
    // A pulse length of 0 leaves its output alone; a negative one is refused.
    Span{113, 1, 16, 9, 16, Src::Live, Form::Num, 0, nullptr, 0, zero, nullptr, Act::Pulse, range(0, INT_MAX)},
    LIVE(114, 1, 16, status_of<&Sensor_condition::digitalio>, Num),

    FIELD(201, SAVE::AI, "name", 1, 8, Num, NAME),
    FIELD(202, SAVE::AI, "enable", 1, 8, Num, FLAG),
    FIELD(203, SAVE::AI, "input_max", 1, 8, Num, ref(Cmp::NotBelow, "input_min", -AI_LIM, AI_LIM)),
    FIELD(204, SAVE::AI, "input_min", 1, 8, Num, ref(Cmp::NotAbove, "input_max", -AI_LIM, AI_LIM)),
    FIELD(205, SAVE::AI, "output_max", 1, 8, Num, ref(Cmp::NotBelow, "output_min", -AI_LIM, AI_LIM)),
    FIELD(206, SAVE::AI, "output_min", 1, 8, Num, ref(Cmp::NotAbove, "output_max", -AI_LIM, AI_LIM)),
    // An analog alert level with its clear level switched off is held
    // against the other side's clear level.
    FIELD(207, SAVE::AI, "alert_max_val", 1, 8, Num,
          ref(Cmp::NotBelow, "alert_max_clear", -AI_LIM, AI_LIM, OFF_MAX, OFF_MAX, "alert_min_clear")),
    FIELD(208, SAVE::AI, "alert_max_clear", 1, 8, Num, upper_clear(-AI_LIM, AI_LIM)),
    FIELD(209, SAVE::AI, "caution_max_val", 1, 8, Num, none()),
    FIELD(210, SAVE::AI, "caution_max_clear", 1, 8, Num, none()),
    FIELD(211, SAVE::AI, "caution_min_val", 1, 8, Num, none()),
    FIELD(212, SAVE::AI, "caution_min_clear", 1, 8, Num, none()),
    FIELD(213, SAVE::AI, "alert_min_val", 1, 8, Num,
          ref(Cmp::NotAbove, "alert_min_clear", -AI_LIM, AI_LIM, OFF_MIN, OFF_MIN, "alert_max_clear")),
    FIELD(214, SAVE::AI, "alert_min_clear", 1, 8, Num, lower_clear(-AI_LIM, AI_LIM)),
    FIELD(215, SAVE::AI, "err_sampling", 1, 8, Num, none()),
    FIELD(216, SAVE::AI, "unit", 1, 8, Num, text(0, 16)),
    FIELD(217, SAVE::AI, "trend_id", 1, 8, Num, none()),
    FIELD(218, SAVE::AI, "log", 1, 8, Num, FLAG),
    FIELD(219, SAVE::AI, "range", 1, 8, Num, none()),
    LIVE(220, 1, 8, value_of<&Sensor_condition::analog>, Num),
    LIVE(221, 1, 8, status_of<&Sensor_condition::analog>, Num),
    LIVE(222, 1, 1, ai_connection, Num),

    PROBE_GROUPS(3, SAVE::WIRE_T, 128, -AI_LIM, AI_LIM, onewire_temperature),
    PROBE_GROUPS(4, SAVE::WIRE_H, 16, 0, 10000, onewire_humidity),
    VLXA_GROUPS(5, "t_", sensor_temperature),
    VLXA_GROUPS(6, "h_", sensor_humidity),

    // NX40 sensors; their cycle and battery thresholds are element 1.
    FIELD_AT(701, SAVE::SMARTMESH_CYCLE, "cycle_minutes", 1, 1, 0, Quoted, none()),
    FIELD_AT(702, SAVE::BATTERY, "alert", 1, 1, 0, Num, none()),
    FIELD_AT(703, SAVE::BATTERY, "alert_clear", 1, 1, 0, Num, none()),
    FIELD_AT(704, SAVE::BATTERY, "caution", 1, 1, 0, Num, none()),
    FIELD_AT(705, SAVE::BATTERY, "caution_clear", 1, 1, 0, Num, none()),
    FIELD(706, SAVE::NX40, "name", 1, 100, Num, NAME),
    FIELD(707, SAVE::NX40, "enable", 1, 100, Num, FLAG),
    FIELD(708, SAVE::NX40, "alert_max_val", 1, 100, Num, upper_val(0, 10000)),
    FIELD(709, SAVE::NX40, "alert_max_clear", 1, 100, Num, upper_clear(0, 10000)),
    FIELD(710, SAVE::NX40, "caution_max_val", 1, 100, Num, none()),
    FIELD(711, SAVE::NX40, "caution_max_clear", 1, 100, Num, none()),
    FIELD(712, SAVE::NX40, "caution_min_val", 1, 100, Num, none()),
    FIELD(713, SAVE::NX40, "caution_min_clear", 1, 100, Num, none()),
    FIELD(714, SAVE::NX40, "alert_min_val", 1, 100, Num, lower_val(0, 10000)),
    FIELD(715, SAVE::NX40, "alert_min_clear", 1, 100, Num, lower_clear(0, 10000)),
    FIELD(716, SAVE::NX40, "device_ID", 1, 100, Num, id(23, device_id_check_sm)),
    LIVE(717, 1, 100, (mesh_value<&Sensor_condition::kvt_nx40, &NX40Element::sensor_temperature>), Num),
    LIVE(718, 1, 100, (mesh_status<&Sensor_condition::kvt_nx40, &NX40Element::sensor_temperature>), Num),
    LIVE(719, 1, 100, trend_con<&Trend_per::kvt_nx40>, Num),
    LIVE(720, 1, 100, nx_battery_raw, Num),
    FIELD(721, SAVE::NX40, "trend_id", 1, 100, Num, none()),
    FIELD(722, SAVE::NX40, "log", 1, 100, Num, FLAG),

    // Trend rules 1-5 are d1-d5.
    FIELD_AT(801, SAVE::TREND, "enable", 1, 5, 0, Quoted, FLAG),
    FIELD_AT(802, SAVE::TREND, "minutes", 1, 5, 0, Num, range(1, 1440)),
    FIELD_AT(803, SAVE::TREND, "au_per", 1, 5, 0, Num, range(0, 99)),
    FIELD_AT(804, SAVE::TREND, "al_per", 1, 5, 0, Num, range(0, 99)),
    FIELD_AT(805, SAVE::TREND, "cu_per", 1, 5, 0, Num, range(0, 99)),
    FIELD_AT(806, SAVE::TREND, "cl_per", 1, 5, 0, Num, range(0, 99)),
};

#undef FIELD_AT
#undef FIELD
#undef LIVE
#undef ACTION
#undef TEXT
#undef DIO_FIELD
#undef PROBE_GROUPS
#undef VLXA_GROUPS

// The spans of a group, in member order.
struct Group {
    const Span* first = nullptr;
    const Span* last = nullptr;  // one past
    bool empty() const { return first == last; }
};
Group group_of(int id)
{
    Group g;
    for (const Span& s : SPANS) {
        if (s.id != id) continue;
        if (!g.first) g.first = &s;
        g.last = &s + 1;
    }
    return g;
}

const Span* writer_of(const Group& g, int member)
{
    for (const Span* s = g.first; s != g.last; ++s)
        if (s->wfirst && member >= s->wfirst && member <= s->wlast) return s;
    return nullptr;
}

const Field* field_of(const Section& sec, const char* name)
{
    for (int k = 0; k < sec.record->count; ++k)
        if (std::strcmp(sec.record->fields[k].name, name) == 0) return &sec.record->fields[k];
    return nullptr;
}

// Where a field span's member n lives.
struct Place {
    const Section* sec = nullptr;
    const Field* f = nullptr;
    char* elem = nullptr;
    explicit operator bool() const { return f != nullptr; }
};
Place place_of(const Span& s, int n, const char* field = nullptr)
{
    Place p;
    p.sec = SETTINGS_MAP::section_of_save(s.save);
    if (!p.sec) return p;
    const int i = n - s.base;
    if (i < 0 || i >= p.sec->entries) return p;
    p.f = field_of(*p.sec, field ? field : s.field);
    p.elem = SETTINGS_MAP::element(*p.sec, i);
    return p;
}

int other_field(const Span& s, int n, const char* name)
{
    Place p = place_of(s, n, name);
    return p ? SETTINGS_MAP::get_int(p.elem, *p.f) : 0;
}

void append_number(std::string& out, long long v, Form form)
{
    if (form == Form::Quoted) out += '"';
    out += std::to_string(v);
    if (form == Form::Quoted) out += '"';
}

void append_string(std::string& out, const std::string& v)
{
    out += '"';
    out += json_escape(v);
    out += '"';
}

void append_member(std::string& out, const Span& s, int n)
{
    out += "\"d" + std::to_string(n) + "\":";
    switch (s.src) {
    case Src::Field: {
        Place p = place_of(s, n);
        if (!p) out += "0";
        else if (p.f->type == Type::Text) append_string(out, SETTINGS_MAP::get_text(p.elem, *p.f));
        else append_number(out, SETTINGS_MAP::get_int(p.elem, *p.f), s.form);
        break;
    }
    case Src::Live: append_number(out, s.live(n), s.form); break;
    case Src::Text: append_string(out, s.text()); break;
    }
    out += ',';
}

// ---- Writing ----------------------------------------------------------------------

bool is_int32(const picojson::value& v)
{
    if (!v.is<int64_t>()) return false;
    const int64_t i = v.get<int64_t>();
    return i >= INT32_MIN && i <= INT32_MAX;
}

// The value a member must arrive as: texts as JSON strings, numbers as JSON
// integers that fit the field (a relay rule is a 32-bit word, signed or not).
bool type_ok(const Span& s, int n, const picojson::value& v)
{
    switch (s.act) {
    case Act::Store: {
        Place p = place_of(s, n);
        if (!p) return false;
        return p.f->type == Type::Text ? v.is<std::string>() : is_int32(v);
    }
    case Act::Relay: case Act::Pulse: return is_int32(v);
    case Act::OnRule: case Act::OffRule:
        return v.is<int64_t>() && v.get<int64_t>() >= INT32_MIN && v.get<int64_t>() <= UINT32_MAX;
    case Act::None: return false;
    }
    return false;
}

bool rule_ok(const Span& s, int n, const picojson::value& v)
{
    const Rule& r = s.rule;
    // Read both ways, as the web UI's checks do: a text of at most 127
    // characters (empty when not a string), a number (0 when not an integer).
    const std::string t = v.is<std::string>() ? v.get<std::string>().substr(0, 127) : std::string();
    const long long i = v.is<int64_t>() ? v.get<int64_t>() : 0;
    switch (r.check) {
    case Check::None: return true;
    case Check::Text:
        return static_cast<long long>(t.size()) >= r.lo && static_cast<long long>(t.size()) <= r.hi &&
               !check_ban_char(t.c_str());
    case Check::Range: return i >= r.lo && i <= r.hi;
    case Check::Ref: {
        if (r.off && i == r.off) return true;
        if (i < r.lo || i > r.hi) return false;
        long long other = other_field(s, n, r.ref);
        if (r.ref_off && other == r.ref_off) {
            if (!r.alt) return true;
            other = other_field(s, n, r.alt);
        }
        return r.cmp == Cmp::NotBelow ? i >= other : i <= other;
    }
    case Check::Id:
        if (t.empty()) return other_field(s, n, "enable") == 0;
        return static_cast<long long>(std::strlen(t.c_str())) == r.lo && r.id_format(t.c_str()) == 0;
    }
    return false;
}

// A text is stored whole or not at all: one that does not fit its field
// with the NUL is refused, never cut.
bool fits_field(const Span& s, int n, const picojson::value& v)
{
    if (s.act != Act::Store || !v.is<std::string>()) return true;
    const Place p = place_of(s, n);
    return !p || p.f->type != Type::Text || v.get<std::string>().size() < p.f->size;
}

const picojson::value& member(const picojson::object& data, const std::string& key)
{
    static const picojson::value null_value;
    auto it = data.find(key);
    return it == data.end() ? null_value : it->second;
}

// Logs a pulse refused because pulse member n's relay output (d9-d16 are
// outputs 1-8) is pulsing already.
void report_pulse_busy(int n)
{
    report_error("mqtt_data_write: pulse refused, a pulse is already running on",
                 "relay output " + std::to_string(n - 8) + " (d" + std::to_string(n) + ")");
}

// A pulse member that would start a second pulse on its output.
bool pulse_busy(const Span& s, int n, const picojson::value& v)
{
    return s.act == Act::Pulse && v.get<int64_t>() > 0 && snmp_pulse_running(n - 9);
}

// False when a pulse could not be started.
bool apply(const Span& s, int n, const picojson::value& v)
{
    switch (s.act) {
    case Act::Store: {
        Place p = place_of(s, n);
        if (p.f->type == Type::Text) SETTINGS_MAP::set_text(p.elem, *p.f, v.get<std::string>());
        else SETTINGS_MAP::set_int(p.elem, *p.f, static_cast<int>(v.get<int64_t>()));
        SETTINGS_MAP::mark_changed(*p.sec, p.elem, true);
        break;
    }
    case Act::Relay: do_ctl(n - 9, static_cast<int>(v.get<int64_t>())); break;
    case Act::Pulse: {
        // The pulse runs beside the subscriber, which keeps answering.
        const int seconds = static_cast<int>(v.get<int64_t>());
        if (seconds > 0 && !relay_pulse_start(n - 9, seconds)) {
            // Another agent started one since the check: this one is lost.
            report_pulse_busy(n);
            return false;
        }
        break;
    }
    case Act::OnRule: case Act::OffRule:
        check_scenario_do(static_cast<unsigned>(static_cast<uint32_t>(v.get<int64_t>())), static_cast<unsigned>(n),
                          s.act == Act::OnRule ? 1 : 0);
        break;
    case Act::None: break;
    }
    return true;
}

}  // namespace

const char MQTT_DATA_ERROR[] = "MQTT data error";

int send_status(int state)
{
    if (state > STATE::LOWER_ALERT) return STATE::CAUTION;
    if (state < STATE::NONE) return 5;
    return STATE::shown(state);
}

std::string mqtt_data(int mqtt_id)
{
    std::string out = "{";
    const Group g = group_of(mqtt_id);
    for (const Span* s = g.first; s != g.last; ++s)
        if (s->rfirst)
            for (int n = s->rfirst; n <= s->rlast; ++n) append_member(out, *s, n);
    return out + "}";
}

bool mqtt_member_valid(int mqtt_id, const picojson::value& v, int index)
{
    const Span* s = writer_of(group_of(mqtt_id), index + 1);
    return s && rule_ok(*s, index + 1, v) && fits_field(*s, index + 1, v);
}

int data_check(int mqtt_id, const picojson::object& data, const std::string& key, int index)
{
    if (mqtt_member_valid(mqtt_id, member(data, key), index)) return 0;
    // Nothing has changed yet (every member is checked before the first is
    // stored), so memory is left as it is: reloading it from the database
    // would throw away other threads' changes not yet saved.
    report("mqtt_data_write: data error" + std::to_string(mqtt_id) + "(" + key + ")");
    return 1;
}

int mqtt_data_write(const picojson::object& data, int mqtt_id)
{
    const Group g = group_of(mqtt_id);
    bool writes = false;
    for (const Span* s = g.first; s != g.last; ++s) writes = writes || s->wfirst;
    if (!writes) return 0;

    // Every member is checked before anything changes, so that a request
    // is taken whole or not at all.
    for (const Span* s = g.first; s != g.last; ++s) {
        for (int n = s->wfirst; s->wfirst && n <= s->wlast; ++n) {
            const std::string key = "d" + std::to_string(n);
            if (data_check(mqtt_id, data, key, n - 1) != 0) return MQTT_WRITE_REFUSED;
            if (!type_ok(*s, n, member(data, key))) {
                std::printf("mqtt_data_write: group %d member %s missing or of the wrong type\n", mqtt_id,
                            key.c_str());
                return MQTT_WRITE_BAD_TYPE;
            }
            if (pulse_busy(*s, n, member(data, key))) {
                report_pulse_busy(n);
                return MQTT_WRITE_BUSY;
            }
        }
    }
    bool applied = true;
    for (const Span* s = g.first; s != g.last; ++s)
        for (int n = s->wfirst; s->wfirst && n <= s->wlast; ++n)
            applied = apply(*s, n, member(data, "d" + std::to_string(n))) && applied;
    if (!applied) return MQTT_WRITE_BUSY;
    // Relay rules queue their own save; switching and pulses save nothing.
    for (const Span* s = g.first; s != g.last; ++s)
        if (s->wfirst && s->act == Act::Store) db_save.push_n(s->save, SAVE::WHOLE);
    return 0;
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (lead byte 0x80 or
// above), 0 when it is not one.
size_t utf8_sequence(const std::string& s, size_t i)
{
    const auto b = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    const unsigned c = b(i);
    const auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return b(k) >= lo && b(k) <= hi; };
    if (c >= 0xC2 && c <= 0xDF) return cont(i + 1) ? 2 : 0;
    if (c == 0xE0) return cont(i + 1, 0xA0) && cont(i + 2) ? 3 : 0;
    if (c == 0xED) return cont(i + 1, 0x80, 0x9F) && cont(i + 2) ? 3 : 0;
    if (c >= 0xE1 && c <= 0xEF) return cont(i + 1) && cont(i + 2) ? 3 : 0;
    if (c == 0xF0) return cont(i + 1, 0x90) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    if (c == 0xF4) return cont(i + 1, 0x80, 0x8F) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    return 0;
}

}  // namespace

std::string json_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // A name cut to its field can end inside a character.
            const size_t n = utf8_sequence(text, i);
            if (n) out.append(text, i, n);
            else out += "\xEF\xBF\xBD";
            i += n ? n : 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}
