// Mail reports: per report the value, average, maximum and minimum of every
// enabled channel since its previous report, written as text at the
// report's minute and handed to the mail thread.
#include <pthread.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "common.h"
#include "mail.h"

namespace {

using REPORT_TABLE::Report_sensor_data;
using REPORT_TABLE::SensorElement;
using SETTINGS_TABLE::VALUE_ERROR;

// The acquisition loops add samples while the report minute reads and
// resets them: one lock keeps a report and its reset one step.
std::mutex report_mutex;

constexpr int DAILY = 1, WEEKLY = 2, MONTHLY = 4;

bool report_on(int n) { return admin_settings.mail_report[n].mailreport_enable != 0; }

// The statistics element of channel `index` of `kind` in one report, or
// nullptr for kinds the reports do not keep.
SensorElement* element(Report_sensor_data& r, int kind, int index)
{
    auto in = [index](int n) { return index >= 0 && index < n; };
    switch (kind) {
    case KIND::AI: return in(SETTINGS_TABLE::AI_NUM) ? &r.analog[index] : nullptr;
    case KIND::WIRE_T: return in(SETTINGS_TABLE::WIRE_T_NUM) ? &r.onewire_temperature[index] : nullptr;
    case KIND::WIRE_H: return in(SETTINGS_TABLE::WIRE_H_NUM) ? &r.onewire_humidity[index] : nullptr;
    case KIND::VLXA_T: return in(SETTINGS_TABLE::VLXA_NUM) ? &r.veloxa[index].sensor_temperature : nullptr;
    case KIND::VLXA_H: return in(SETTINGS_TABLE::VLXA_NUM) ? &r.veloxa[index].sensor_humidity : nullptr;
    case KIND::NX40_T: return in(SETTINGS_TABLE::NX40_NUM) ? &r.kvt_nx40[index].sensor_temperature : nullptr;
    default: return nullptr;
    }
}

bool channel_enabled(int kind, int index)
{
    const auto& s = sensor_settings;
    switch (kind) {
    case KIND::AI: return s.analog[index].enable;
    case KIND::WIRE_T: return s.onewire_temperature[index].enable;
    case KIND::WIRE_H: return s.onewire_humidity[index].enable;
    case KIND::VLXA_T: case KIND::VLXA_H: return s.veloxa[index].enable;
    case KIND::NX40_T: return s.kvt_nx40[index].enable;
    default: return false;
    }
}

// Live value of a kept channel, 65535 without the live table.
int live_value(int kind, int index)
{
    if (!monitor || !monitor->sensor_condition) return VALUE_ERROR;
    const auto& c = *monitor->sensor_condition;
    switch (kind) {
    case KIND::AI: return c.analog[index].value;
    case KIND::WIRE_T: return c.onewire_temperature[index].value;
    case KIND::WIRE_H: return c.onewire_humidity[index].value;
    case KIND::VLXA_T: return c.veloxa[index].sensor_temperature.value;
    case KIND::VLXA_H: return c.veloxa[index].sensor_humidity.value;
    case KIND::NX40_T: return c.kvt_nx40[index].sensor_temperature.value;
    default: return VALUE_ERROR;
    }
}

struct Block {
    int kind;
    int count;
};
constexpr Block KEPT[] = {
    {KIND::AI, SETTINGS_TABLE::AI_NUM},         {KIND::WIRE_T, SETTINGS_TABLE::WIRE_T_NUM},
    {KIND::WIRE_H, SETTINGS_TABLE::WIRE_H_NUM}, {KIND::VLXA_T, SETTINGS_TABLE::VLXA_NUM},
    {KIND::VLXA_H, SETTINGS_TABLE::VLXA_NUM},   {KIND::NX40_T, SETTINGS_TABLE::NX40_NUM},
};

void reset_locked(int n)
{
    for (const Block& b : KEPT)
        for (int i = 0; i < b.count; ++i) {
            SensorElement* e = element(report_struct.mailreport[n], b.kind, i);
            e->average = 0;
            e->num = 0;
            e->min = e->max = live_value(b.kind, i);
        }
}

void write_locked(int n)
{
    static const MONITOR_TABLE::Sensor_condition NO_READINGS = [] {
        MONITOR_TABLE::Sensor_condition c{};
        for (auto& e : c.analog) e.value = VALUE_ERROR;
        for (auto& e : c.onewire_temperature) e.value = VALUE_ERROR;
        for (auto& e : c.onewire_humidity) e.value = VALUE_ERROR;
        for (auto& e : c.veloxa) e.sensor_temperature.value = e.sensor_humidity.value = VALUE_ERROR;
        for (auto& e : c.kvt_nx40) e.sensor_temperature.value = VALUE_ERROR;
        return c;
    }();
    const auto& live = monitor && monitor->sensor_condition ? *monitor->sensor_condition : NO_READINGS;
    // A file that cannot be written is reported; the request still goes and
    // the mail then has an empty body.
    write_text_file(report_file(n), report_text(sensor_settings, live, report_struct.mailreport[n]));
}

// " name\n      " and the four figures of one channel in hundredths.
std::string figures_line(const char* name, const SensorElement& e, int live)
{
    auto fmt = [](long long v, bool missing) {
        if (missing) return std::string("ERROR");
        char buf[32];
        std::snprintf(buf, sizeof buf, "%6.2f", static_cast<double>(v) / 100.0);
        return std::string(buf);
    };
    const long long avg = e.num ? e.average / e.num : 0;
    return std::string(" ") + name + "\n      " + fmt(live, live == VALUE_ERROR) + " " + fmt(avg, e.num == 0) +
           " " + fmt(e.max, e.max == VALUE_ERROR) + " " + fmt(e.min, e.min == VALUE_ERROR) + "\n";
}

// The same for a VLXA channel: whole hundredths, eight characters each.
std::string counts_line(const char* name, const SensorElement& e, int live)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%8d %8lld %8d %8d", live, static_cast<long long>(e.num ? e.average / e.num : 0),
                  e.max, e.min);
    return std::string(" ") + name + "\n      " + buf + "\n";
}

}  // namespace

void report_add(SensorElement& e, int v)
{
    if (v == VALUE_ERROR) return;
    if (e.num == 0) e.min = e.max = v;
    e.average += v;
    e.num += 1;
    if (v > e.max) e.max = v;
    if (v < e.min) e.min = v;
}

void mailreport_sample(int kind, int index, int value)
{
    std::lock_guard<std::mutex> lock(report_mutex);
    for (int n = 0; n < SETTINGS_TABLE::MAIL_REPORT_NUM; ++n) {
        if (!report_on(n)) continue;
        SensorElement* e = element(report_struct.mailreport[n], kind, index);
        if (e && channel_enabled(kind, index)) report_add(*e, value);
    }
}

bool report_due(const SETTINGS_TABLE::Mail_report& r, const struct tm& t)
{
    if (r.mailreport_enable != DAILY && r.mailreport_enable != WEEKLY && r.mailreport_enable != MONTHLY) return false;
    if (r.mailreport_hour != t.tm_hour || r.mailreport_minute != t.tm_min) return false;
    if (r.mailreport_enable == WEEKLY) return r.mailreport_week == t.tm_wday;
    if (r.mailreport_enable == MONTHLY) return r.mailreport_day == t.tm_mday;
    return true;
}

std::string report_text(const SETTINGS_TABLE::Sensor_settings& s, const MONITOR_TABLE::Sensor_condition& c,
                        const Report_sensor_data& r)
{
    std::string out = " 名称   瞬時値   平均値   最大値   最小値 \n";
    out += "------------------------------------------\n";
    for (int p = 0; p < SETTINGS_TABLE::DI_NUM + SETTINGS_TABLE::DO_NUM; ++p) {
        const bool input = p < SETTINGS_TABLE::DI_NUM;
        const auto& in = s.digitalI[input ? p : 0];
        const auto& o = s.digitalO[input ? 0 : p - SETTINGS_TABLE::DI_NUM];
        if (!(input ? in.enable : o.enable)) continue;
        const bool on = c.digitalio[p].value == 1;
        out += std::string(" ") + (input ? in.name : o.name) + "\n        " +
               (input ? (on ? in.ontext : in.offtext) : (on ? o.ontext : o.offtext)) + "\n";
    }
    for (int i = 0; i < SETTINGS_TABLE::AI_NUM; ++i)
        if (s.analog[i].enable) out += figures_line(s.analog[i].name, r.analog[i], c.analog[i].value);
    for (int i = 0; i < SETTINGS_TABLE::WIRE_T_NUM; ++i)
        if (s.onewire_temperature[i].enable)
            out += figures_line(s.onewire_temperature[i].name, r.onewire_temperature[i], c.onewire_temperature[i].value);
    for (int i = 0; i < SETTINGS_TABLE::WIRE_H_NUM; ++i)
        if (s.onewire_humidity[i].enable)
            out += figures_line(s.onewire_humidity[i].name, r.onewire_humidity[i], c.onewire_humidity[i].value);
    for (int i = 0; i < SETTINGS_TABLE::VLXA_NUM; ++i)
        if (s.veloxa[i].enable)
            out += counts_line(s.veloxa[i].t_name, r.veloxa[i].sensor_temperature, c.veloxa[i].sensor_temperature.value);
    for (int i = 0; i < SETTINGS_TABLE::VLXA_NUM; ++i)
        if (s.veloxa[i].enable)
            out += counts_line(s.veloxa[i].h_name, r.veloxa[i].sensor_humidity, c.veloxa[i].sensor_humidity.value);
    for (int i = 0; i < SETTINGS_TABLE::NX40_NUM; ++i)
        if (s.kvt_nx40[i].enable)
            out += figures_line(s.kvt_nx40[i].name, r.kvt_nx40[i].sensor_temperature, c.kvt_nx40[i].sensor_temperature.value);
    return out;
}

std::string report_file(int n) { return "/tmp/report_message" + std::to_string(n + 1) + ".txt"; }

int ini_mailreport(int n)
{
    if (n < 0 || n >= SETTINGS_TABLE::MAIL_REPORT_NUM) return 0;
    std::lock_guard<std::mutex> lock(report_mutex);
    reset_locked(n);
    return 0;
}

int make_message(int n)
{
    if (n < 0 || n >= SETTINGS_TABLE::MAIL_REPORT_NUM) return 0;
    std::lock_guard<std::mutex> lock(report_mutex);
    write_locked(n);
    return 0;
}

int mailreport_minute(const struct tm& t)
{
    int made = 0;
    for (int n = 0; n < SETTINGS_TABLE::MAIL_REPORT_NUM; ++n) {
        if (!report_due(admin_settings.mail_report[n], t)) continue;
        std::lock_guard<std::mutex> lock(report_mutex);
        write_locked(n);
        mail_send.push(std::to_string(n + 1) + ",2,");
        reset_locked(n);
        ++made;
    }
    return made;
}

/*
 * mailreport_data: statistics of the mesh sensors.
 * Adds the live VLXA temperature and humidity and the NX40 temperature of
 * every enabled sensor to each switched-on report, every 10 s. Stopped by
 * `control`.
 */
void* mailreport_data(void*)
{
    std::printf("mailreport_data tid  : %ld\n", thread_tid());
    while (control) {
        for (int i = 0; i < SETTINGS_TABLE::VLXA_NUM; ++i) {
            mailreport_sample(KIND::VLXA_T, i, live_value(KIND::VLXA_T, i));
            mailreport_sample(KIND::VLXA_H, i, live_value(KIND::VLXA_H, i));
        }
        for (int i = 0; i < SETTINGS_TABLE::NX40_NUM; ++i) mailreport_sample(KIND::NX40_T, i, live_value(KIND::NX40_T, i));
        sleep_while_running(10000);
    }
    std::printf("end mailreport_data\n");
    return nullptr;
}

/*
 * mailreport_data_save: the report schedules.
 * Wakes just after each whole minute of local time, makes the reports due
 * in that minute in report order (text, mail request, reset) and queues
 * them on mail_send. A minute is handled once even if the clock wakes it
 * twice. Stopped by `control`.
 */
void* mailreport_data_save(void*)
{
    std::printf("mailreport_data_save tid  : %ld\n", thread_tid());
    timer();
    time_t last_minute = -1;
    while (control) {
        const time_t now = std::time(nullptr);
        struct tm lt;
        localtime_r(&now, &lt);
        if (now / 60 != last_minute) mailreport_minute(lt);
        last_minute = now / 60;
        timer();
    }
    std::printf("end mailreport_data_save\n");
    return nullptr;
}

/*
 * mailreport_thread: parent of the two report workers.
 * Starts the statistics at the next whole minute, then runs the mesh
 * statistics and the schedules until both end with `control`.
 */
void* mailreport_thread(void*)
{
    std::printf("mailreport_thread tid  : %ld\n", thread_tid());
    timer();
    for (int n = 0; n < SETTINGS_TABLE::MAIL_REPORT_NUM; ++n) ini_mailreport(n);
    pthread_t data, save;
    const bool data_started = control && start_thread(&data, mailreport_data, "mailreport-data");
    const bool save_started = control && start_thread(&save, mailreport_data_save, "mailreport-save");
    if (data_started) pthread_join(data, nullptr);
    if (save_started) pthread_join(save, nullptr);
    std::printf("end mailreport_thread\n");
    return nullptr;
}
