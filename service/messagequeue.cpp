// The command channel from the web UI: one System V message queue carrying
// comma-separated command texts. Settings commands change the records and
// queue the change for the settings writer; operator actions (relays, status
// log, session policy, restart and update, simulation) are carried out here.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "codes.h"
#include "command.h"
#include "common.h"
#include "platform.h"
#include "settings_map.h"
#include "snmp.h"

namespace {

using namespace SETTINGS_TABLE;

const std::string EMPTY;
const char* const DEBUG_FILE = "/tmp/KVT_7400_debug.csv";
const char* const SETTINGS_PY = "/opt/KVT7400/KVT7400/settings.py";
const char* const SESSION_TXT = "/opt/kvt/sbin/session.txt";
const char BOM[] = "\xEF\xBB\xBF";

bool present(const std::vector<std::string>& f, size_t k) { return k < f.size(); }

// Refusals are counted for the caller and shown on the console.
struct Refuser {
    int cmd;
    int* count;
    void operator()(const char* why, int n) const
    {
        std::printf("command %d: %s %d, ignored\n", cmd, why, n);
        if (count) ++*count;
    }
};

// Record n (1-based) of an array of `size`; -1 (after a console line) when
// outside it or when the record's first field is absent.
int record_index(const std::vector<std::string>& f, int size, size_t first_field, const Refuser& refuse)
{
    int n = field_num(f, 1);
    if (n < 1 || n > size) {
        refuse("record number out of range", n);
        return -1;
    }
    if (!present(f, first_field)) {
        refuse("no fields for record", n);
        return -1;
    }
    return n - 1;
}

// Sets every field a command carries for one element, counting the
// command's fields from `base`; a field the text does not reach is empty.
void set_fields(const SETTINGS_MAP::Section& s, char* elem, const std::vector<std::string>& f, size_t base,
                bool in_hundredths)
{
    const SETTINGS_MAP::Record& rec = *s.record;
    for (int i = 0; i < rec.count; ++i) {
        const SETTINGS_MAP::Field& fd = rec.fields[i];
        if (fd.cmd == SETTINGS_MAP::NONE) continue;
        const size_t k = base + static_cast<size_t>(fd.cmd);
        if (fd.type == SETTINGS_MAP::Type::Text) SETTINGS_MAP::set_text(elem, fd, field_text(f, k));
        else SETTINGS_MAP::set_int(elem, fd, in_hundredths ? hundredths(field_text(f, k)) : field_num(f, k));
    }
    SETTINGS_MAP::mark_changed(s, elem, true);
}

// The first command field of a one-record command.
size_t first_command_field(const SETTINGS_MAP::Record& rec)
{
    int first = 1000;
    for (int i = 0; i < rec.count; ++i)
        if (rec.fields[i].cmd != SETTINGS_MAP::NONE && rec.fields[i].cmd < first) first = rec.fields[i].cmd;
    return static_cast<size_t>(first);
}

// A command that reaches its section through the section's field map;
// false when it was refused whole.
bool apply_mapped(const SETTINGS_MAP::Command& c, const std::vector<std::string>& f, const Refuser& refuse)
{
    using SETTINGS_MAP::Index;
    const SETTINGS_MAP::Section& s = *SETTINGS_MAP::section_of_save(c.save);
    if (c.index == Index::single || c.index == Index::numbered) {
        int i = 0;
        if (c.index == Index::numbered) {
            i = record_index(f, s.entries, first_command_field(*s.record), refuse);
            if (i < 0) return false;
        } else if (!present(f, first_command_field(*s.record))) {
            refuse("no fields for record", field_num(f, 1));
            return false;
        }
        set_fields(s, SETTINGS_MAP::element(s, i), f, 0, c.hundredths);
        db_save.push_n(c.save, c.index == Index::numbered ? i : SAVE::WHOLE);
        return true;
    }
    // Groups the message does not reach leave their entries alone.
    if (c.needs_first && !present(f, static_cast<size_t>(c.first))) {
        refuse("no value", field_num(f, 1));
        return false;
    }
    for (int g = 0; g < c.groups; ++g) {
        const size_t k = static_cast<size_t>(c.first + g * c.width);
        if (!present(f, k)) break;
        long entry = g;
        if (c.index == Index::group_number || c.index == Index::group_index) {
            // Taken off in a wider type: the web UI may send any number.
            entry = static_cast<long>(field_num(f, k)) - (c.index == Index::group_number ? 1 : 0);
            if (entry < 0 || entry >= s.entries) {
                refuse(c.index == Index::group_number ? "entry number out of range" : "trend rule out of range",
                       field_num(f, k));
                continue;
            }
        }
        set_fields(s, SETTINGS_MAP::element(s, static_cast<int>(entry)), f, k, c.hundredths);
    }
    if (c.push) db_save.push_n(c.save, SAVE::WHOLE);
    return true;
}

void msleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }


// Command 59: the web UI's session policy. The values become lines of the
// web UI's Python program, so only what those settings can hold is taken.
void web_session(const std::vector<std::string>& f)
{
    std::string block = session_block(field_text(f, 1), field_text(f, 2), field_text(f, 3));
    if (block.empty()) {
        report_error("command 59: refused session values (True or False, and digits for the age):", "settings.py");
        return;
    }
    sleep_while_running(1000);
    std::string py;
    if (!read_text_file(SETTINGS_PY, py)) {
        report_error("command 59: read", SETTINGS_PY, errno);
        return;
    }
    // Nothing further happens unless the settings file took the new lines.
    if (!write_text_file(SETTINGS_PY, merge_session_block(py, block))) return;
    if (!write_text_file(SESSION_TXT, block)) return;
    kvt_system("systemctl restart kvt-uwsgi");
}

// Command 60: restart, settings upload and the two updates.
void system_action(int n)
{
    switch (n) {
    case 1:
        applog("設定データのアップロードを行います");
        chcntup();
        reboot();
        break;
    case 2:
        session_conf();
        reboot();
        break;
    case 3:
        applog("システム全体のアップデートを行います");
        reboot();
        break;
    case 4:
        applog("システムのアップデートを行います");
        stop_running();
        updateflg = 1;
        break;
    default:
        reboot();
        break;
    }
}

// Command 3: the web UI's relay buttons; n is the digital I/O element of
// the output (8 to 15).
void relay_command(int n, int pulse)
{
    if (n < 8 || n > 15) {
        std::printf("command 3: element %d is not a relay output, ignored\n", n);
        return;
    }
    if (pulse != 0) {
        do_pulse(n - 8, pulse);
        return;
    }
    int now = monitor && monitor->sensor_condition ? monitor->sensor_condition->digitalio[n].value : 0;
    int next = now ? 0 : 1;  // a level other than 0 or 1 counts as on
    std::printf("val:%d\n", next);
    std::printf(do_ctl(n - 8, next) == 0 ? "flg:ok\n" : "flg:ng\n");
}

// Texts that go into system files (network unit, host name, resolver,
// syslog options): a quotation mark or a line break there would add lines of
// its own, so only what addresses and host names are made of is taken.
bool system_text_ok(const std::string& v)
{
    for (unsigned char c : v)
        if (!std::isalnum(c) && c != '.' && c != ':' && c != '-' && c != '_') return false;
    return true;
}

bool system_fields_ok(int cmd, const std::vector<std::string>& f, std::initializer_list<std::pair<size_t, const char*>> fields)
{
    for (const auto& [k, name] : fields) {
        if (system_text_ok(field_text(f, k))) continue;
        report_error("command " + std::to_string(cmd) + ": refused field",
                     std::string(name) + " (letters, digits, '.', ':', '-', '_' only)");
        return false;
    }
    return true;
}

}  // namespace

// Command 17: the 1-Wire threads report a finished device search per
// channel. The wait is bounded, so that a missing adapter does not hold
// every later command (restart and update among them); a shutdown ends it
// too.
//
// Clearing a bus's flag ends its reading loop and starts a search. A bus
// already searching when the command came may have begun before the new
// registrations: the end of that search is not the answer, so its flag is
// cleared once more and the search after it awaited.
bool wait_onewire_search(int timeout_ms)
{
    bool fresh[2];  // the next report of the bus comes from a search begun after the command
    for (int b = 0; b < 2; ++b) fresh[b] = portnum_ok[b].exchange(0) == 1;
    auto reported = [&] {
        for (int b = 0; b < 2; ++b) {
            int one = 1;
            if (!fresh[b] && portnum_ok[b].compare_exchange_strong(one, 0)) fresh[b] = true;
        }
        return fresh[0] && fresh[1] && portnum_ok[0] == 1 && portnum_ok[1] == 1;
    };
    for (int waited = 0; control == 1 && !reported(); waited += 100) {
        if (waited >= timeout_ms) {
            report_error("command 17: no 1-Wire search result from both buses within",
                         std::to_string(timeout_ms / 1000) + " s");
            break;
        }
        msleep(100);
    }
    if (control == 1 && monitor && monitor->requestflg) monitor->requestflg->onewire_id_flg = REQ::SAVED;
    return portnum_ok[0] && portnum_ok[1];
}

// ---------------------------------------------------------------------------
// Pure rules
// ---------------------------------------------------------------------------

std::vector<std::string> split_fields(const char* text, size_t len)
{
    std::vector<std::string> f;
    std::string cur;
    for (size_t i = 0; i < len && text[i] != '\0'; ++i) {
        if (text[i] == ',') {
            if (f.size() < CMD_MAX_FIELDS) f.push_back(cur);
            cur.clear();
        } else if (cur.size() < CMD_FIELD_MAX) {
            cur += text[i];
        }
    }
    if (!cur.empty() && f.size() < CMD_MAX_FIELDS) f.push_back(cur);
    return f;
}

namespace {

// Fields that hold a secret, never echoed: field k of command `command` is
// one when k >= first and, for a command of repeated groups (group > 0),
// (k - first) % group == 0; otherwise when k == first.
struct SecretField {
    int command;
    size_t first;
    size_t group;
};
constexpr SecretField SECRET_FIELDS[] = {
    {33, 3, 4},  // access list: the community of every entry
    {34, 3, 6},  // trap receivers: the community of every receiver
    {37, 6, 0},  // MQTT password
    {39, 5, 0},  // mail password
    {62, 4, 0},  // SNMPv3 user: authentication passphrase
    {62, 6, 0},  //   and privacy passphrase
};

bool secret_field(int command, size_t k)
{
    for (const SecretField& s : SECRET_FIELDS) {
        if (s.command != command || k < s.first) continue;
        if (s.group == 0 ? k == s.first : (k - s.first) % s.group == 0) return true;
    }
    return false;
}

}  // namespace

std::string fields_echo(const char* text, size_t len)
{
    const int command = std::atoi(std::string(text, strnlen(text, len)).c_str());
    std::string out;
    size_t start = 0;
    size_t k = 0;
    for (size_t i = 0; i < len && text[i] != '\0'; ++i)
        if (text[i] == ',') {
            if (secret_field(command, k)) out += "***";
            else out.append(text + start, i - start);
            out += ", ";
            start = i + 1;
            ++k;
        }
    return out;
}

const std::string& field_text(const std::vector<std::string>& f, size_t k)
{
    return k < f.size() ? f[k] : EMPTY;
}

int field_num(const std::vector<std::string>& f, size_t k)
{
    long v = std::strtol(field_text(f, k).c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::string shell_quote(const std::string& v)
{
    std::string out = "'";
    for (char c : v) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += "'";
    return out;
}

int hundredths(const std::string& t)
{
    double v = std::strtod(t.c_str(), nullptr);
    if (!std::isfinite(v)) return 0;
    // 3.35 is stored as 3.3499999..., so a plain cut would give 334.
    double h = v * 100.0;
    h += h >= 0 ? 1e-6 : -1e-6;
    h = std::trunc(h);
    if (h > INT_MAX) return INT_MAX;
    if (h < INT_MIN) return INT_MIN;
    return static_cast<int>(h);
}

std::string session_block(const std::string& expire, const std::string& age, const std::string& save_every)
{
    auto is_flag = [](const std::string& v) { return v == "True" || v == "False"; };
    bool age_ok = !age.empty() && age.find_first_not_of("0123456789") == std::string::npos;
    if (!is_flag(expire) || !age_ok || !is_flag(save_every)) return "";
    return "SESSION_EXPIRE_AT_BROWSER_CLOSE=" + expire + "\n" + "SESSION_COOKIE_AGE=" + age + "\n" +
           "SESSION_SAVE_EVERY_REQUEST=" + save_every + "\n";
}

std::string merge_session_block(const std::string& py, const std::string& block)
{
    auto starts = [](const std::string& line, const char* word) { return line.rfind(word, 0) == 0; };
    std::string out;
    size_t pos = 0;
    while (pos < py.size()) {
        size_t nl = py.find('\n', pos);
        size_t end = nl == std::string::npos ? py.size() : nl + 1;
        std::string line = py.substr(pos, end - pos);
        pos = end;
        if (starts(line, "SESSION_EXPIRE_AT_BROWSER_CLOSE")) out += block;
        else if (starts(line, "SESSION_COOKIE_AGE") || starts(line, "SESSION_SAVE_EVERY_REQUEST")) continue;
        else out += line;
    }
    return out;
}

std::string debug_file_text(const Sensor_settings& s, const MONITOR_TABLE::Sensor_condition& c,
                            const MONITOR_TABLE::RequestFlg& flg)
{
    std::string out = BOM;
    char line[128];
    auto add = [&](const char* name, int v) {
        std::snprintf(line, sizeof line, "%s,%d\n", name, v);
        out += line;
    };
    for (int i = 0; i < DI_NUM; ++i) add(s.digitalI[i].name, c.digitalio[i].value);
    for (int i = 0; i < DO_NUM; ++i) add(s.digitalO[i].name, c.digitalio[8 + i].value);
    add("AI接続", flg.ai_connection);
    for (int i = 0; i < AI_NUM; ++i) add(s.analog[i].name, c.analog[i].value);
    for (int i = 0; i < WIRE_T_NUM; ++i) add(s.onewire_temperature[i].name, c.onewire_temperature[i].value);
    for (int i = 0; i < WIRE_H_NUM; ++i) add(s.onewire_humidity[i].name, c.onewire_humidity[i].value);
    for (int i = 0; i < NX40_NUM; ++i) {
        std::snprintf(line, sizeof line, "%s,%d,%d\n", s.kvt_nx40[i].name, c.kvt_nx40[i].sensor_temperature.value,
                      c.kvt_nx40[i].sensor_battery.value);
        out += line;
    }
    return out;
}

int parse_debug_text(const std::string& text, int* di, float* ai, float* temp, float* humid)
{
    // Line order: 8 inputs, 8 relays, the analog connection, 8 analog,
    // 128 1-Wire temperatures, 16 1-Wire humidities, then the NX40 lines.
    // The value is the number after the line's last comma, so a name never
    // shifts it; the relay, connection and NX40 lines have no simulation slot.
    size_t pos = text.compare(0, 3, BOM) == 0 ? 3 : 0;
    int n = 0;
    while (pos < text.size() && n < 169) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        size_t comma = line.rfind(',');
        if (comma == std::string::npos) break;
        long v = std::strtol(line.c_str() + comma + 1, nullptr, 10);
        int value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
        if (n < 8) di[n] = value;
        else if (n >= 17 && n < 25) ai[n - 17] = static_cast<float>(value);
        else if (n >= 25 && n < 153) temp[n - 25] = static_cast<float>(value);
        else if (n >= 153) humid[n - 153] = static_cast<float>(value);
        ++n;
    }
    return n;
}

std::string msgq_key_path()
{
    // The simulated service and its tools meet in the sandbox; the appliance
    // keeps the key file in the service's working directory.
    return platform_simulated() ? kvt_path("/msgq.key") : std::string("msgq.key");
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

bool apply_settings_command(const std::vector<std::string>& f, int* refusals)
{
    auto& ss = sensor_settings;
    const int cmd = field_num(f, 0);
    const Refuser refuse{cmd, refusals};
    const int n = field_num(f, 1);

    // The commands that set one field of a record, or a single value.
    switch (cmd) {
    case 18: {
        bool temperature = field_num(f, 3) == 1;
        int i = record_index(f, temperature ? WIRE_T_NUM : WIRE_H_NUM, 2, refuse);
        if (i < 0) return true;
        auto& e = temperature ? ss.onewire_temperature[i] : ss.onewire_humidity[i];
        copy_text(e.device_ID, field_text(f, 2));
        e.changeflg = true;
        db_save.push_n(temperature ? SAVE::WIRE_T : SAVE::WIRE_H, i);
        return true;
    }
    case 21:
    case 26: {
        int i = record_index(f, cmd == 21 ? VLXA_NUM : NX40_NUM, 2, refuse);
        if (i < 0) return true;
        if (cmd == 21) {
            copy_text(ss.veloxa[i].device_ID, field_text(f, 2));
            ss.veloxa[i].changeflg = true;
        } else {
            copy_text(ss.kvt_nx40[i].device_ID, field_text(f, 2));
            ss.kvt_nx40[i].changeflg = true;
        }
        db_save.push_n(cmd == 21 ? SAVE::VLXA : SAVE::NX40, i);
        return true;
    }
    case 24:
        if (!present(f, 1)) return refuse("no value", n), true;
        SM_err_time = n;
        db_save.push_n(SAVE::SM_ERR_TIME, SAVE::WHOLE);
        return true;
    case 32:
        if (present(f, 2) && !system_fields_ok(cmd, f, {{2, "host"}, {4, "ipaddr"}, {5, "netmask"}, {6, "broadcast"},
                                                        {7, "gateway"}, {8, "dns1"}, {9, "dns2"}, {10, "dns3"}}))
            return true;
        break;
    case 55:
        if (present(f, 1) && !system_fields_ok(cmd, f, {{2, "ipaddr"}})) return true;
        break;
    default:
        break;
    }
    const SETTINGS_MAP::Command* c = SETTINGS_MAP::command_layout(cmd);
    if (!c) return false;
    // The sensor-log cycles are saved through the storage estimate.
    if (apply_mapped(*c, f, refuse) && cmd == 43) cycle_change();
    return true;
}

void dispatch_command(const std::vector<std::string>& f)
{
    if (apply_settings_command(f)) return;
    const int cmd = field_num(f, 0);
    const int n = field_num(f, 1);
    switch (cmd) {
    case 3:
        relay_command(n, field_num(f, 2));
        break;
    case 17:
        wait_onewire_search(ONEWIRE_SEARCH_WAIT_MS);
        break;
    case 27: {
        std::string line = "python3 /opt/kvt/sbin/mailsend.py " + shell_quote(admin_settings.mail.mail_smtp) + " " +
                           shell_quote(std::to_string(admin_settings.mail.mail_smtp_port));
        kvt_system(line);
        break;
    }
    case 31:
        if (n == 1 || n == 2) make_statelog(n);
        else if (n == 3 || n == 4) statelog_request_clear(n == 4);
        break;
    case 51:
        if (!present(f, 1)) {
            std::printf("command 51: no mail request, ignored\n");
            break;
        }
        mail_send.push(field_text(f, 1) + ",0,");
        break;
    case 52: {
        // The web UI learns the outcome through the trap request flag.
        const int rc = send_test_trap(n - 1);
        if (monitor && monitor->requestflg)
            monitor->requestflg->snmp_trap_set_configuration = rc == 0 ? REQ::DONE : REQ::SAVED;
        break;
    }
    case 59:
        web_session(f);
        break;
    case 60:
        system_action(n);
        break;
    case 61:
        if (n == 1) {
            make_debug_file();
        } else if (n == 2) {
            debug_mode = true;
            read_debug_file();
        } else if (n == 3) {
            debug_mode = false;
        }
        break;
    default:
        break;
    }
}

int make_debug_file()
{
    if (!monitor || !monitor->sensor_condition || !monitor->requestflg) return -1;
    return write_text_file(DEBUG_FILE, debug_file_text(sensor_settings, *monitor->sensor_condition, *monitor->requestflg))
               ? 0
               : -1;
}

int read_debug_file()
{
    std::string t;
    if (!read_text_file(DEBUG_FILE, t)) return -1;
    parse_debug_text(t, debug_inputs.dis, debug_inputs.ais, debug_inputs.temps, debug_inputs.humids);
    kvt_system("rm /tmp/KVT_7400_debug.csv");
    return 0;
}

namespace {

// The kernel's message type is a long; one spare byte keeps the text
// terminated even when a message fills the whole buffer.
struct QueueMessage {
    long type;
    char message[MSG_TEXT_MAX + 1];
};

// A message too long for the buffer is taken off the queue whole and
// refused: a cut command could store half a record.
void refuse_oversized(int qid, QueueMessage& buf)
{
    ssize_t cut = msgrcv(qid, &buf, MSG_TEXT_MAX, 0, IPC_NOWAIT | MSG_NOERROR);
    buf.message[cut > 0 ? cut : 0] = '\0';
    // The operator learns from the log why a setting did not change.
    int cmd = field_num(split_fields(buf.message, cut > 0 ? static_cast<size_t>(cut) : 0), 0);
    report_error("messagequeue_thread: refused a text of " + std::to_string(MSG_TEXT_MAX) + " bytes or more,",
                 "command " + std::to_string(cmd));
}

}  // namespace

int apply_queued_settings()
{
    key_t key = ftok(msgq_key_path().c_str(), 'X');
    int qid = key == -1 ? -1 : msgget(key, 0);
    if (qid == -1) return 0;
    QueueMessage buf;
    int applied = 0;
    // Bounded: a sender that keeps writing does not hold the stop up.
    for (int taken = 0; taken < 1000; ++taken) {
        ssize_t len = msgrcv(qid, &buf, MSG_TEXT_MAX, 0, IPC_NOWAIT);
        if (len < 0) {
            if (errno != E2BIG) break;
            refuse_oversized(qid, buf);
            continue;
        }
        const size_t n = static_cast<size_t>(len);
        buf.message[n] = '\0';
        std::printf("%s\n", fields_echo(buf.message, n).c_str());
        const std::vector<std::string> f = split_fields(buf.message, n);
        try {
            if (apply_settings_command(f)) ++applied;
            else std::printf("command %d: not carried out, the service is stopping\n", field_num(f, 0));
        } catch (const std::exception& e) {
            report_error("command " + std::to_string(field_num(f, 0)) + " failed:", e.what());
        }
    }
    if (applied) std::printf("%d settings commands taken from the queue at the stop\n", applied);
    std::fflush(stdout);
    return applied;
}

/*
 * messagequeue_thread: the command channel.
 * Owns: the command queue, the records that commands change, the
 *   simulation arrays.
 * Waits on: the queue, polled every 100 ms while empty; drained before it
 *   sleeps.
 * Order: commands take effect, and their save requests are queued, in the
 *   order the web UI sent them.
 * Stopped by: control leaving 1 (shutdown, or its own restart and update
 *   commands). What is still queued then is left for apply_queued_settings.
 */
void* messagequeue_thread(void*)
{
    key_t key = ftok(msgq_key_path().c_str(), 'X');
    int qid = key == -1 ? -1 : msgget(key, IPC_CREAT | 0666);
    if (qid == -1) {
        report_error("msgget error.", msgq_key_path(), errno);
        return nullptr;
    }
    std::printf("messagequeue_thread tid  : %ld\n", thread_tid());
    std::fflush(stdout);

    QueueMessage buf;
    int failing = 0;  // the receive error last reported, until a receive works

    while (control == 1) {
        ssize_t len = msgrcv(qid, &buf, MSG_TEXT_MAX, 0, IPC_NOWAIT);
        if (len < 0) {
            int err = errno;
            if (err == E2BIG) {
                refuse_oversized(qid, buf);
                continue;
            }
            if (err != ENOMSG && err != failing) report_error("msgrcv error " + std::to_string(err) + " on", msgq_key_path(), err);
            failing = err == ENOMSG ? 0 : err;
            if (err == EIDRM || err == EINVAL) {
                // The queue was removed under us: make it again so the web UI's
                // next command still arrives.
                int again = msgget(key, IPC_CREAT | 0666);
                if (again != -1) qid = again;
            }
            sleep_while_running(100);
            continue;
        }
        size_t n = static_cast<size_t>(len);
        buf.message[n] = '\0';
        std::printf("%s\n", fields_echo(buf.message, n).c_str());
        failing = 0;
        const std::vector<std::string> f = split_fields(buf.message, n);
        try {
            dispatch_command(f);
        } catch (const std::exception& e) {
            report_error("command " + std::to_string(field_num(f, 0)) + " failed:", e.what());
        }
        std::fflush(stdout);
    }
    std::printf("end messagequeue thread\n");
    std::fflush(stdout);
    return nullptr;
}
