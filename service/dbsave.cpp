// The settings writer: every change to the in-memory configuration reaches
// the database through here, one transaction per batch of db_save messages,
// so that the web UI sees it and it survives a restart.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "codes.h"
#include "command.h"
#include "common.h"
#include "datalog.h"
#include "settings_map.h"
#include "snmp_usm.h"

namespace {

using namespace SETTINGS_TABLE;

std::atomic<long> batches{0};

// The writer's copy of every channel's name and log flag as last saved;
// empty at start, so the first save of a channel always counts as a change.
struct NameLogCopy {
    char analog[AI_NUM][32];
    bool analog_log[AI_NUM];
    char wire_t[WIRE_T_NUM][32];
    bool wire_t_log[WIRE_T_NUM];
    char wire_h[WIRE_H_NUM][32];
    bool wire_h_log[WIRE_H_NUM];
    char vlxa_t[VLXA_NUM][32];
    bool vlxa_t_log[VLXA_NUM];
    char vlxa_h[VLXA_NUM][32];
    bool vlxa_h_log[VLXA_NUM];
    char nx40[NX40_NUM][32];
    bool nx40_log[NX40_NUM];
};
NameLogCopy saved_copy;

// `now` is a field of the records that other threads may be writing: it
// is compared through a copy taken under the settings lock.
bool changed_text(char (&copy)[32], const char (&now)[32])
{
    char current[32];
    copy_text(current, now);
    if (std::strncmp(copy, current, sizeof copy) == 0) return false;
    std::memcpy(copy, current, sizeof copy);
    return true;
}

bool changed_flag(bool& copy, bool now)
{
    if (copy == now) return false;
    copy = now;
    return true;
}

// What the name/log check of one saved entry found.
struct Marks {
    bool group[10] = {};  // log groups 1 to 9 whose files carry a changed name
    bool cycle = false;   // a log flag changed: the storage estimate is stale
    bool name = false;    // a name changed: counts as a settings change
};

void check_name_log(int kind, int i, Marks& m)
{
    auto& ss = sensor_settings;
    auto& c = saved_copy;
    auto mark = [&](bool name_changed, bool log_changed, int group) {
        if (name_changed) {
            m.group[group] = true;
            m.name = true;
        }
        if (log_changed) m.cycle = true;
    };
    switch (kind) {
    case SAVE::AI:
        mark(changed_text(c.analog[i], ss.analog[i].name), changed_flag(c.analog_log[i], ss.analog[i].log), 1);
        break;
    case SAVE::WIRE_T:
        mark(changed_text(c.wire_t[i], ss.onewire_temperature[i].name),
             changed_flag(c.wire_t_log[i], ss.onewire_temperature[i].log), i < 64 ? 2 : 3);
        break;
    case SAVE::WIRE_H:
        mark(changed_text(c.wire_h[i], ss.onewire_humidity[i].name),
             changed_flag(c.wire_h_log[i], ss.onewire_humidity[i].log), i < 8 ? 4 : 5);
        break;
    case SAVE::VLXA:
        mark(changed_text(c.vlxa_t[i], ss.veloxa[i].t_name), changed_flag(c.vlxa_t_log[i], ss.veloxa[i].t_log), 6);
        mark(changed_text(c.vlxa_h[i], ss.veloxa[i].h_name), changed_flag(c.vlxa_h_log[i], ss.veloxa[i].h_log), 7);
        break;
    case SAVE::NX40:
        mark(changed_text(c.nx40[i], ss.kvt_nx40[i].name), changed_flag(c.nx40_log[i], ss.kvt_nx40[i].log),
             i < 50 ? 8 : 9);
        break;
    default:
        break;
    }
}

// The section's own follow-up after its entries were saved.
void section_follow_up(int kind, int first, int last, const Marks& m)
{
    MONITOR_TABLE::RequestFlg* flg = monitor ? monitor->requestflg : nullptr;
    auto set = [flg](int32_t MONITOR_TABLE::RequestFlg::*field, int v) {
        if (flg) flg->*field = v;
    };
    // The sensor sections' flags also carry the settings-file handshake
    // (3 import and 4 export requested, 1 done): "saved" must neither cancel
    // a pending request nor turn a finished import into a reported failure.
    // Compare-and-swap, since the web UI may write a request between the
    // test and the store.
    auto saved = [flg](int32_t MONITOR_TABLE::RequestFlg::*field) {
        if (!flg) return;
        std::atomic_ref<int32_t> f(flg->*field);
        int32_t v = f.load();
        while (v != REQ::SAVED && v != REQ::DONE && v != REQ::IMPORT && v != REQ::EXPORT &&
               !f.compare_exchange_weak(v, REQ::SAVED)) {
        }
    };
    using R = MONITOR_TABLE::RequestFlg;

    // Name/log sections: renamed log groups first, then the storage
    // estimate, then the change counter.
    if (kind == SAVE::AI || kind == SAVE::WIRE_T || kind == SAVE::WIRE_H || kind == SAVE::VLXA || kind == SAVE::NX40) {
        for (int g = 1; g <= 9; ++g)
            if (m.group[g]) sensorlog_namechange(g);
        if (m.cycle) cycle_change();
        // New ranges or limits reach the converter before the change counts.
        if (kind == SAVE::AI) ai_port_setting();
        if (m.name && kind != SAVE::VLXA) chcntup();
    }
    switch (kind) {
    case SAVE::DO:
        chcntup();
        saved(&R::digitalio_set_configuration);
        break;
    case SAVE::AI: saved(&R::analog_set_configuration); break;
    case SAVE::WIRE_T: saved(&R::onewire_temperature_set_configuration); break;
    case SAVE::WIRE_H: saved(&R::onewire_humidity_set_configuration); break;
    case SAVE::VLXA: saved(&R::veloxa_set_configuration); break;
    case SAVE::NX40: saved(&R::kvt_nx40_set_configuration); break;
    case SAVE::TREND:
        chcntup();
        set(&R::trend_set_configuration, REQ::SAVED);
        break;
    case SAVE::NETWORK:
        set(&R::network_set_configuration, REQ::APPLY);
        request_posted();
        break;
    case SAVE::SNMP:
        for (int i = first; i <= last; ++i) snmp_prefix_Set(i);
        set(&R::snmp_set_configuration, REQ::SAVED);
        break;
    case SAVE::SNMP_TRAP: set(&R::snmp_trap_set_configuration, REQ::REREAD); break;
    case SAVE::TRAP_SCENARIO: set(&R::snmp_trap_set_configuration, REQ::SAVED); break;
    case SAVE::TIME:
        date_sh();
        ntp_sh();
        set(&R::time_set_configuration, REQ::SAVED);
        break;
    case SAVE::MQTT:
        mqttconf = 1;
        set(&R::mqtt_set_configuration, REQ::APPLY);
        break;
    case SAVE::MQTT_SCENARIO: set(&R::mqtt_set_configuration, REQ::SAVED); break;
    case SAVE::MAIL: set(&R::mail_set_configuration, REQ::SAVED); break;
    case SAVE::MAIL_CLIENT: set(&R::mail_client_set_configuration, REQ::REREAD); break;
    case SAVE::MAIL_SCENARIO: set(&R::mail_client_set_configuration, REQ::SAVED); break;
    case SAVE::MAIL_REPORT: set(&R::mail_report_set_configuration, REQ::SAVED); break;
    case SAVE::SYSLOG:
        syslog_sh();
        set(&R::syslog_configuration, REQ::SAVED);
        break;
    case SAVE::ONEWIRE_CONF: set(&R::onewire_id_flg, REQ::SAVED); break;
    // New keys take effect with the save; the SNMP threads read the
    // v1/v2c switch from the record itself.
    case SAVE::SNMP_USER:
        for (int i = first; i <= last; ++i) usm_user_set(i);
        break;
    default: break;
    }
}

}  // namespace

int kind_entries(int kind)
{
    if (kind == SAVE::SM_ERR_TIME) return 1;
    const SETTINGS_MAP::Section* s = SETTINGS_MAP::section_of_save(kind);
    return s ? s->entries : 0;
}

std::vector<SETTINGS_MAP::Statement> update_statements(int kind, int i, Sensor_settings& ss, Admin_settings& as,
                                                       int sm_err_time)
{
    if (i < 0 || i >= kind_entries(kind)) return {};
    if (kind == SAVE::SM_ERR_TIME) return {{"UPDATE webapp_SM_errortime SET time=? where id=?", {sm_err_time, 1}}};
    return {SETTINGS_MAP::update_statement(*SETTINGS_MAP::section_of_save(kind), {&ss, &as}, i)};
}

bool parse_save_message(const std::string& m, int* kind, int* index)
{
    const char* p = m.c_str();
    char* end = nullptr;
    long k = std::strtol(p, &end, 10);
    if (end == p || *end != ',') return false;
    p = end + 1;
    long i = std::strtol(p, &end, 10);
    if (end == p || (*end != ',' && *end != '\0')) return false;
    if (k < INT_MIN || k > INT_MAX || i < INT_MIN || i > INT_MAX) return false;
    *kind = static_cast<int>(k);
    *index = static_cast<int>(i);
    return true;
}

bool save_message(int kind, int index)
{
    const int entries = kind_entries(kind);
    if (entries == 0) return true;  // not a section of the database
    int first = index, last = index;
    if (index == SAVE::WHOLE || entries == 1) {
        first = 0;
        last = entries - 1;
    } else if (index < 0 || index >= entries) {
        std::printf("dbsave: kind %d has no entry %d, ignored\n", kind, index);
        return true;
    }
    bool ok = true;
    Marks marks;
    const SETTINGS_MAP::Section* section = SETTINGS_MAP::section_of_save(kind);
    for (int i = first; i <= last; ++i) {
        for (const auto& st : update_statements(kind, i, sensor_settings, admin_settings, SM_err_time))
            if (update_db(st.sql, st.values) != 0) ok = false;
        if (section) SETTINGS_MAP::mark_changed(*section, SETTINGS_MAP::element(*section, i), false);
        check_name_log(kind, i, marks);
    }
    section_follow_up(kind, first, last, marks);
    return ok;
}

int dbsave_batch()
{
    if (db_save.empty()) return 0;
    begin_trans();
    ++batches;
    bool failed = false;
    int handled = 0;
    // Messages pushed while the batch runs (cycle_change among them) join it.
    while (!db_save.empty()) {
        std::string m = db_save.front();
        int kind = 0, index = 0;
        try {
            if (failed) {
                // The batch is undone whole anyway; each further statement
                // could wait out the same lock or meet the same full file.
                std::printf("dbsave: batch failed, \"%s\" left to the reload\n", m.c_str());
            } else if (parse_save_message(m, &kind, &index)) {
                if (!save_message(kind, index)) failed = true;
            } else {
                std::printf("dbsave: malformed message \"%s\", ignored\n", m.c_str());
            }
        } catch (const std::exception&) {
            // The transaction is open: finish the batch and undo it.
            applog("dbsave try error");
            failed = true;
        }
        db_save.pop();
        ++handled;
    }
    // A batch that did not reach the file whole is undone whole, and memory
    // is reloaded so that it agrees with the database again.
    if (failed) {
        applog("database rollback");
        rollback_trans();
        init_structs();
    } else if (commit_trans() != 0) {
        applog("database rollback");
        init_structs();
    }
    return handled;
}

void dbsave_reset_copies() { std::memset(&saved_copy, 0, sizeof saved_copy); }

long dbsave_batch_count() { return batches.load(); }

LogStorageEstimate estimate_log_storage(const Sensor_settings& ss, const Admin_settings& as)
{
    struct Group {
        int n;
        int entry;
        int row_base;
        int header;
        bool printed;
    };
    auto count = [](const auto& arr, auto flag) {
        int n = 0;
        for (const auto& e : arr)
            if (flag(e)) ++n;
        return n;
    };
    const Group groups[] = {
        {count(ss.analog, [](const Analog& e) { return e.log; }), 2, 45, 264, true},
        {count(ss.onewire_temperature, [](const Onewire_temperature& e) { return e.log; }), 3, 405, 4224, true},
        {count(ss.onewire_humidity, [](const Onewire_humidity& e) { return e.log; }), 4, 69, 528, true},
        {count(ss.veloxa, [](const Veloxa& e) { return e.t_log; }), 5, 171, 1650, false},
        {count(ss.veloxa, [](const Veloxa& e) { return e.h_log; }), 6, 171, 1650, false},
        {count(ss.kvt_nx40, [](const KVT_NX40& e) { return e.log; }), 7, 321, 3300, false},
    };
    LogStorageEstimate out;
    char line[128];
    for (const Group& g : groups) {
        float bytes = 0;
        if (g.n > 0) {
            int c = as.sensor_log_cycle[g.entry].cycle_minutes;
            int rows = c == 0 ? 0 : 86400 / c;
            bytes = static_cast<float>(8 * g.n + g.row_base) * static_cast<float>(rows) + static_cast<float>(g.header);
            out.total += bytes / 1000.0f / 1000.0f * 30.5f / 1000.0f;
        }
        if (g.printed) {
            std::snprintf(line, sizeof line, "%d,%f,%f,%f", g.n, bytes / 1000000.0f, 0.0, out.total);
            out.lines.push_back(line);
        }
    }
    std::snprintf(line, sizeof line, "%f", out.total);
    out.lines.push_back(line);
    if (out.total == 0) {
        out.retention = INT_MAX;
    } else {
        double r = 5.0 / out.total;
        // A nonsensical cycle (negative, tiny) must not overflow the month count.
        out.retention = r >= static_cast<double>(INT_MAX) ? INT_MAX
                        : r <= static_cast<double>(INT_MIN) ? INT_MIN
                                                            : static_cast<int>(r);
    }
    return out;
}

int cycle_change()
{
    std::printf("cycle_change\n");
    LogStorageEstimate e = estimate_log_storage(sensor_settings, admin_settings);
    for (const std::string& l : e.lines) std::printf("%s\n", l.c_str());
    for (int i = 8; i <= 13; ++i) admin_settings.sensor_log_cycle[i].cycle_minutes = e.retention;
    db_save.push_n(SAVE::SENSOR_LOG_CYCLE, SAVE::WHOLE);
    return 0;
}

/*
 * dbsave_thread: the settings writer.
 * Owns: the database connection after start-up, the request flags of the
 *   sections it saves, its copy of channel names and log flags.
 * Waits on: db_save; a push wakes it at once.
 * Order: messages are saved in queue order, one transaction per batch; a
 *   failed batch is rolled back whole and memory reloaded from the database.
 * Stopped by: control leaving 1; changes queued up to then are written in
 *   one last batch (main closes the database only after the join).
 */
void* dbsave_thread(void*)
{
    std::printf("dbsave_thread tid  : %ld\n", thread_tid());
    std::fflush(stdout);
    auto batch = [] {
        try {
            dbsave_batch();
        } catch (const std::exception&) {
            applog("dbsave try error");
        }
        std::fflush(stdout);
    };
    // A push wakes the writer at once; the one-second bound only keeps the
    // loop alive should a push ever come without its notification.
    while (control == 1) {
        batch();
        db_save.wait_for(std::chrono::seconds(1), [] { return control != 1; });
    }
    batch();
    std::printf("end dbsave thread\n");
    std::fflush(stdout);
    return nullptr;
}
