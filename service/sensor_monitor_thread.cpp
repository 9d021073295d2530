// Digital I/O monitor: samples the eight inputs every 100 ms through a
// per-input persistence filter, publishes accepted levels, and announces
// every accepted change of an input or a relay output.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "events.h"

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
        for (int i = 0; i < 8; ++i) levels[i] = dis[i];
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

/*
 * sensor_monitor_thread: parent of the monitor threads.
 * Owns: nothing; starts the DIO monitor and waits for it.
 * Stopped by: its children ending once `control` drops to 0.
 */
void* sensor_monitor_thread(void*)
{
    std::printf("sensor_monitor_thread tid  : %ld\n", thread_tid());
    pthread_t dio;
    bool dio_started = start_thread(&dio, dio_sensor_monitor_thread, "dio_sensor_monitor_thread");
    if (dio_started) pthread_join(dio, nullptr);
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
