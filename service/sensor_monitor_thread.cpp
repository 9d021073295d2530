// Digital I/O monitor: samples the eight inputs every 100 ms through a
// per-input persistence filter, publishes accepted levels, and announces
// every accepted change of an input or a relay output. Mesh intake: copies
// the wireless sensors' recent reports into the live table.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "events.h"
#include "mesh_report.h"
#include "platform.h"

bool di_persist_step(int level, int last, int& counter, long long need, bool bypass)
{
    if (level != last) ++counter;
    else counter = 0;
    if (bypass || counter >= need) {
        counter = 0;
        return true;
    }
    return false;
}

std::string dio_trap_text(int port, int state, int level)
{
    const std::string s = std::to_string(state);
    return std::to_string(KIND::DIO) + "," + std::to_string(port) + "," + s + "," + std::to_string(level) + ",1," + s + ",";
}

void dio_announce(int n, long now, int level)
{
    if (!monitor || !monitor->sensor_condition || n < 0 || n > 15) return;
    const bool enable = n < 8 ? sensor_settings.digitalI[n].enable : sensor_settings.digitalO[n - 8].enable;
    const int eid = n < 8 ? sensor_settings.digitalI[n].errortext_id : sensor_settings.digitalO[n - 8].errortext_id;
    if (eid != ERRTEXT::LEVEL || !enable) return;
    const int port = n + 1;
    const int state = monitor->sensor_condition->digitalio[n].status;
    trap_que.push(dio_trap_text(port, state, level));
    mail_senario_check(KIND::DIO, port, state, level, 1);
    mqtt_senario_check(static_cast<int>(now), KIND::DIO, port, state, level, 1);
    dio_senario_check(KIND::DIO, port, state, level, 1);
}

namespace {

void read_inputs(int levels[8])
{
    for (int i = 0; i < 8; ++i) {
        int v = 0;
        board_read(BOARD::DI[i], &v);
        levels[i] = v;
    }
}

// Persistence filter on; an enabled trend entry judges the input instead.
bool trend_bypass(int trend_id)
{
    return trend_id >= 0 && trend_id < SETTINGS_TABLE::TREND_NUM && sensor_settings.trend[trend_id].enable;
}

}  // namespace

void dio_monitor_start(DioMonitorState& st)
{
    if (!monitor || !monitor->sensor_condition) return;
    auto* io = monitor->sensor_condition->digitalio;
    int levels[8];
    read_inputs(levels);
    for (int i = 0; i < 8; ++i) io[i].value = levels[i];
    for (int n = 0; n < 16; ++n) st.last[n] = io[n].value;
    for (int& c : st.counter) c = 0;
}

void dio_monitor_pass(DioMonitorState& st, long now)
{
    if (!monitor || !monitor->sensor_condition) return;
    auto* io = monitor->sensor_condition->digitalio;
    int levels[8];
    if (debug_mode) {
        for (int i = 0; i < 8; ++i) levels[i] = debug_inputs.dis[i];
    } else {
        read_inputs(levels);
    }
    for (int i = 0; i < 8; ++i) {
        const auto& in = sensor_settings.digitalI[i];
        const long long need = static_cast<long long>(in.time) * 10;
        if (di_persist_step(levels[i], st.last[i], st.counter[i], need, trend_bypass(in.trend_id)))
            io[i].value = levels[i];
    }
    for (int n = 0; n < 16; ++n) {
        // The level compared is the level announced: a relay switched by
        // another thread meanwhile is seen on the next pass.
        const int v = io[n].value;
        if (v == st.last[n]) continue;
        dio_announce(n, now, v);
        st.last[n] = v;
    }
}

/*
 * dio_sensor_monitor_thread: the DIO monitor.
 * Owns: digitalio[0..7].value (the accepted input levels) and the
 *   announcement of every level change of the 16 ports.
 * Waits on: a 100 ms pause after each pass (longer while a relay with
 *   dokeep holds it inside do_ctl).
 * Order: inputs filtered first, then ports 1 to 16 announced in order.
 * Stopped by: `control` dropping to 0.
 */
void* dio_sensor_monitor_thread(void*)
{
    std::printf("dio_sensor_monitor_thread tid  : %ld\n", thread_tid());
    DioMonitorState st;
    dio_monitor_start(st);
    while (control != 0) {
        dio_monitor_pass(st, static_cast<long>(std::time(nullptr)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("end dio_sensor_monitor_thread\n");
    return nullptr;
}

// ---- Wireless mesh intake ------------------------------------------------

bool read_mesh_report(int kind, const char* id, MESH::Report& out)
{
    const std::string path = MESH::report_path(kind, id);
    if (path.empty() || exist_file(path) != 0) return false;
    FILE* f = std::fopen(kvt_path(path).c_str(), "rb");
    if (!f) return false;
    char line[MESH::FIRST_LINE_MAX + 1];
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) return false;
    out = MESH::parse_report(line);
    return true;
}

void nx40_poll(long long now)
{
    if (!monitor || !monitor->sensor_condition || !monitor->trend_per) return;
    const int max_age = SM_err_time.load();
    for (int i = 0; i < SETTINGS_TABLE::NX40_NUM; ++i) {
        const auto s = settings_copy(sensor_settings.kvt_nx40[i]);  // its identifier whole
        if (!s.enable) continue;
        auto& el = monitor->sensor_condition->kvt_nx40[i];
        auto& con = monitor->trend_per->kvt_nx40[i].con;
        MESH::Report r;
        if (read_mesh_report(MESH::NX40_KIND, s.device_ID, r) && MESH::report_recent(now, r.time, max_age)) {
            el.sensor_temperature.value = r.v[0];
            el.sensor_battery.value = r.v[2];
            con = 1;
        } else {
            // The battery keeps its last reading: it changes slowly and the
            // battery judgement has no use for a gap.
            el.sensor_temperature.value = SETTINGS_TABLE::VALUE_ERROR;
            con = 0;
        }
    }
}

void vlxa_poll(long long now)
{
    if (!monitor || !monitor->sensor_condition || !monitor->trend_per) return;
    for (int i = 0; i < SETTINGS_TABLE::VLXA_NUM; ++i) {
        const auto s = settings_copy(sensor_settings.veloxa[i]);  // its identifier whole
        if (!s.enable) continue;
        auto& el = monitor->sensor_condition->veloxa[i];
        auto& con = monitor->trend_per->veloxa[i].con;
        MESH::Report r;
        const bool recent = read_mesh_report(MESH::VLXA_KIND, s.device_ID, r) &&
                            MESH::report_recent(now, r.time, MESH::VLXA_MAX_AGE_S);
        el.sensor_temperature.value = recent ? r.v[0] : SETTINGS_TABLE::VALUE_ERROR;
        el.sensor_humidity.value = recent ? r.v[1] : SETTINGS_TABLE::VALUE_ERROR;
        el.sensor_battery.value = recent ? r.v[2] : SETTINGS_TABLE::VALUE_ERROR;
        con = recent ? 1 : 0;
    }
}

/*
 * NX40_sensor_monitor_thread: the NX40 report poller.
 * Owns: kvt_nx40[0..99] temperature and battery values and their `con`.
 * Waits on: a 1 s pause after each poll; polls nothing while the
 *   simulation inputs are in use.
 * Order: sensors 1 to 100 in order, each from its own file alone.
 * Stopped by: `control` dropping to 0.
 */
void* NX40_sensor_monitor_thread(void*)
{
    std::printf("NX40_sensor_monitor_thread tid  : %ld\n", thread_tid());
    while (control != 0) {
        if (!debug_mode) nx40_poll(static_cast<long long>(std::time(nullptr)));
        sleep_while_running(1000);
    }
    std::printf("end NX40_sensor_monitor_thread\n");
    return nullptr;
}

/*
 * VLXA_sensor_monitor_thread: the VLXA report poller.
 * Owns: veloxa[0..49] temperature, humidity and battery values and their
 *   `con`.
 * Waits on: thirty 1 s pauses after each poll.
 * Order: sensors 1 to 50 in order, each from its own file alone.
 * Stopped by: `control` dropping to 0 (seen within one pause).
 */
void* VLXA_sensor_monitor_thread(void*)
{
    std::printf("VLXA_sensor_monitor_thread tid  : %ld\n", thread_tid());
    while (control != 0) {
        vlxa_poll(static_cast<long long>(std::time(nullptr)));
        for (int s = 0; s < 30 && control != 0; ++s) sleep_while_running(1000);
    }
    std::printf("end VLXA_sensor_monitor_thread\n");
    return nullptr;
}

/*
 * sensor_monitor_thread: parent of the monitor threads.
 * Owns: nothing; starts the DIO, NX40 and VLXA monitors and waits for them.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* sensor_monitor_thread(void*)
{
    std::printf("sensor_monitor_thread tid  : %ld\n", thread_tid());
    struct Child {
        void* (*fn)(void*);
        const char* name;
    };
    const Child children[] = {
        {dio_sensor_monitor_thread, "dio-monitor"},
        {NX40_sensor_monitor_thread, "nx40-monitor"},
        {VLXA_sensor_monitor_thread, "vlxa-monitor"},
    };
    pthread_t th[3];
    bool started[3] = {};
    for (int k = 0; k < 3; ++k) started[k] = start_thread(&th[k], children[k].fn, children[k].name);
    for (int k = 0; k < 3; ++k)
        if (started[k]) pthread_join(th[k], nullptr);
    std::printf("end sensor_monitor_thread\n");
    return nullptr;
}

int device_id_check(const char* str)
{
    for (const char* p = str; p && *p; ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return 1;
    return 0;
}

// "0A:1B:2C": a group may not stop after its first digit.
int device_id_check_sm(const char* str)
{
    if (!str) return 0;
    size_t i = 0;
    for (; str[i]; ++i) {
        bool ok = i % 3 == 2 ? str[i] == ':' : std::isxdigit(static_cast<unsigned char>(str[i])) != 0;
        if (!ok) return 1;
    }
    return i % 3 == 1 ? 1 : 0;
}
