/*
 * state_log_thread: the one consumer of `state_log`.
 * Owns: every write of the status-log rings (appends, and the clears the
 *   command channel asks for), the periodic save of the rings to /log.
 * Waits on: the queue or a clear request, at most 1 s at a time; drains
 *   the whole queue before each wait, so records are handled in the order
 *   the state threads pushed them.
 * Order: a requested clear before the next record; per record, ring entry,
 *   trap text, mail check, MQTT check, relay scenarios.
 * Stopped by: `control` dropping to 0; it saves the rings once more on the way out.
 */
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "events.h"

namespace {

// Clears asked for and not yet done: CLEAR_DIO, CLEAR_ALL.
constexpr int CLEAR_DIO = 1, CLEAR_ALL = 2;
std::atomic<int> clear_requests{0};

void run_clear_requests()
{
    int req = clear_requests.exchange(0);
    if (req == 0) return;
    if (!monitor || !monitor->status_log) {
        std::printf("state_log_thread: status log not mapped, clear dropped\n");
        return;
    }
    if (req & CLEAR_ALL) {
        std::memset(monitor->status_log, 0, sizeof *monitor->status_log);
    } else {
        std::memset(&monitor->status_log->dio_status_log, 0, sizeof monitor->status_log->dio_status_log);
    }
    backup_statelog();
    if (req & CLEAR_DIO) applog("clear dio status log");
    if (req & CLEAR_ALL) applog("clear all status log");
}

}  // namespace

void statelog_request_clear(bool dio_only)
{
    clear_requests.fetch_or(dio_only ? CLEAR_DIO : CLEAR_ALL);
    state_log.wake();
}

StateRecord parse_state_record(const std::string& rec)
{
    StateRecord r;
    size_t pos = 0;
    for (int f = 0; f < 6; ++f) {
        if (pos >= rec.size()) {
            r.text[f].assign(1, '0');
            continue;
        }
        size_t comma = rec.find(',', pos);
        std::string field = rec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? rec.size() : comma + 1;
        if (field.empty()) r.text[f].assign(1, '0');
        else r.text[f] = field;
    }
    auto as_ll = [](const std::string& s) { return std::strtoll(s.c_str(), nullptr, 10); };
    auto as_int = [&](const std::string& s) { return static_cast<int>(as_ll(s)); };
    r.time = as_ll(r.text[0]);
    r.type = as_int(r.text[1]);
    r.port = as_int(r.text[2]);
    r.state = as_int(r.text[3]);
    r.value = std::strtod(r.text[4].c_str(), nullptr);
    r.prev = as_int(r.text[5]);
    return r;
}

void state_log_process(const std::string& rec)
{
    StateRecord r = parse_state_record(rec);
    const int value = static_cast<int>(std::strtol(r.text[4].c_str(), nullptr, 10));

    if (monitor && monitor->status_log) {
        // The web UI shares the rings; indices it damaged are reset, not followed.
        statelog_repair(monitor->status_log);
        MONITOR_TABLE::StatusEntry e{static_cast<int32_t>(r.time), r.type, r.port, r.state, value};
        if (r.type == KIND::DIO) {
            auto& l = monitor->status_log->dio_status_log;
            MONITOR_TABLE::ring_append(l.r, l.w, l.dio, MONITOR_TABLE::DIO_LOG_NUM, e);
        } else {
            auto& l = monitor->status_log->all_status_log;
            MONITOR_TABLE::ring_append(l.r, l.w, l.all, MONITOR_TABLE::ALL_LOG_NUM, e);
        }
    }

    std::string trap;
    for (int f = 1; f <= 4; ++f) trap.append(r.text[f]).append(",");
    trap.append("0,").append(r.text[5]).append(",");
    trap_que.push(trap);

    const bool announce = check_change_state(r.prev, r.state) == 1;
    if (announce) mail_senario_check(r.type, r.port, r.state, r.value, 0);
    if (announce) mqtt_senario_check(static_cast<int>(r.time), r.type, r.port, r.state, value, 0);
    dio_senario_check(r.type, r.port, r.state, r.value, 0);
}

void state_log_drain(StateLogSaver& saver)
{
    run_clear_requests();
    while (!state_log.empty()) {
        run_clear_requests();
        state_log_process(state_log.front());
        state_log.pop();
        saver.logged = true;
    }
}

bool state_log_save_due(StateLogSaver& saver, long long now)
{
    if (!saver.logged || now - saver.last_save < StateLogSaver::INTERVAL_S) return false;
    backup_statelog();
    saver.last_save = now;
    saver.logged = false;
    return true;
}

void* state_log_thread(void*)
{
    std::printf("state_log_thread tid  : %ld\n", thread_tid());
    StateLogSaver saver{static_cast<long long>(std::time(nullptr))};
    while (control != 0) {
        state_log_drain(saver);
        // A push or a clear request wakes it at once; the bound keeps the
        // periodic save of the rings on time.
        state_log.wait_for(std::chrono::seconds(1), [] { return control == 0 || clear_requests != 0; });
        state_log_save_due(saver, static_cast<long long>(std::time(nullptr)));
    }
    run_clear_requests();
    backup_statelog();
    std::printf("end state_log thread\n");
    return nullptr;
}
