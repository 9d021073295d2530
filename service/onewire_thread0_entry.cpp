// 1-Wire acquisition: the bus threads, the device search, the reading loop
// and its rules.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "lib1wire/ownet.h"
#include "mail.h"
#include "onewire.h"
#include "board_lines.h"
#include "platform.h"

using SETTINGS_TABLE::VALUE_ERROR;

static OneWireState ow = {{-1, -1}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
// Set once the buses are powered at the thread's start; read by nobody else.
static unsigned char ow_power_on_flag;

OneWireState& onewire_state() { return ow; }

namespace {

using namespace ONEWIRE;

const char* const PORT_PATH[BUSES] = {"/dev/ttyS5", "/dev/ttyS6"};
const char* const TEMP_LIST[BUSES] = {"/tmp/onewiretemp1.txt", "/tmp/onewiretemp2.txt"};
const char* const HUMID_LIST[BUSES] = {"/tmp/onewirehumid1.txt", "/tmp/onewirehumid2.txt"};
constexpr uint8_t FAMILY_DS2450 = 0x20;

// Adapter faults are logged once per change, not once per attempt: a missing
// adapter is retried every few hundred milliseconds and would otherwise fill
// the application log and rotate every other event out of it.
enum Fault { SEARCH_TEMP, SEARCH_HUMID, READING, FAULTS };
std::atomic<bool> fault_logged[BUSES][FAULTS];

void fault(int port, Fault f, const char* message)
{
    if (!fault_logged[port][f].exchange(true)) applog(message);
}

void fault_cleared(int port, Fault f) { fault_logged[port][f] = false; }

bool running(int port) { return portnum_ok[port] == 1 && control == 1; }

void msleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int temp_first(int port) { return port * TEMP_PER_BUS; }
int humid_first(int port) { return port * HUMID_PER_BUS; }

SETTINGS_TABLE::Onewire_temperature& probe(int kind, int i)
{
    return kind == TEMP ? sensor_settings.onewire_temperature[i] : sensor_settings.onewire_humidity[i];
}

MONITOR_TABLE::SensorElement& element(int kind, int i)
{
    return kind == TEMP ? monitor->sensor_condition->onewire_temperature[i]
                        : monitor->sensor_condition->onewire_humidity[i];
}

// The web UI reads the list while it may be rewritten: it sees the old or
// the new one whole.
void write_list(const char* path, const std::string& text)
{
    const std::string tmp = std::string(path) + ".new";
    if (write_text_file(tmp, text) && std::rename(kvt_path(tmp).c_str(), kvt_path(path).c_str()) != 0)
        report_error("rename", path, errno);
}

bool registered(int port, bool temp, const std::string& id)
{
    const int first = temp ? temp_first(port) : humid_first(port);
    const int count = temp ? TEMP_PER_BUS : HUMID_PER_BUS;
    for (int i = first; i < first + count; ++i)
        if (ow_id_equal(probe(temp ? TEMP : HUMID, i).device_ID, id.c_str())) return true;
    return false;
}

// A probe that gave no reading: no value, and one log line when it was
// answering until now.
void probe_failed(int kind, int i)
{
    element(kind, i).value = VALUE_ERROR;
    unsigned char& flag = kind == TEMP ? ow.temp_connect_flag[i] : ow.humid_connect_flag[i];
    if (!flag) return;
    flag = 0;
    applog(std::string(kind == TEMP ? "Failed to connect 1-wire(temp) CH :" : "Failed to connect 1-wire(humid) CH :") +
           std::to_string(i + 1));
}

// Without its adapter a bus has no readings: its probes must not go on
// showing their last values as if they were live. Returns false, the
// outcome of a pass that lost its adapter.
bool bus_unreadable(int port)
{
    for (int i = temp_first(port); i < temp_first(port) + TEMP_PER_BUS; ++i) {
        if (probe(TEMP, i).enable) probe_failed(TEMP, i);
        else element(TEMP, i).value = VALUE_ERROR;
    }
    for (int i = humid_first(port); i < humid_first(port) + HUMID_PER_BUS; ++i) {
        if (probe(HUMID, i).enable) probe_failed(HUMID, i);
        else element(HUMID, i).value = VALUE_ERROR;
    }
    return false;
}

// The adapter of port p stopped answering: its re-detection after a failed
// transfer failed, and one more detection fails as well, so a single late
// reply does not take a whole bus down.
bool adapter_lost(int p) { return !owDetected(p) && !DS2480Detect(p); }

// The A/D control image of every humidity probe: 16-bit resolution, 2.56 V
// range, no alarms, power-on flag cleared.
void atod_control(int p, const unsigned char* rom, uint8_t ctrl[16])
{
    char msg[64];
    SetupAtoDControl(p, rom, ctrl, msg);
}

// Writes the control image to addresses 8 to 17 of a DS2450.
bool write_atod_control(int p, const unsigned char* rom)
{
    uint8_t ctrl[16];
    atod_control(p, rom, ctrl);
    return WriteAtoD(p, 0, rom, ctrl, 8, 17) == 1;
}

// One conversion and read-out of a humidity probe. A DS2450 that lost its
// supply (pulled off the bus and plugged back, a broken wire) comes back at
// its power-on settings, 8 bits with alarms and the power-on flag set. After
// the probe failed to answer (`returning`), its control page is compared
// with the image, written again when it differs and the conversion repeated
// before the reading counts. Checking on every read would cost a page read
// per probe and pass.
bool read_humidity(int p, unsigned char* rom, int* val, bool returning)
{
    uint8_t ctrl[16];
    atod_control(p, rom, ctrl);
    float volts[4] = {};
    if (!DoAtoDConversion(p, 0, rom) || !ReadAtoDResults(p, 0, rom, volts, ctrl)) return false;
    uint8_t page[8];
    if (returning && !ReadDS2450Results(p, 0, rom, page)) return false;
    if (returning && std::memcmp(page, ctrl, sizeof page) != 0) {
        std::printf("humi %s: control page lost, written again\n", ow_rom_to_id(rom).c_str());
        if (!write_atod_control(p, rom)) return false;
        if (!DoAtoDConversion(p, 0, rom) || !ReadAtoDResults(p, 0, rom, volts, ctrl)) return false;
    }
    *val = static_cast<int>((volts[3] > volts[0] ? volts[3] : volts[0]) * 10000);
    return true;
}

enum class Read {
    VALUE,       // *val holds the reading
    NO_ANSWER,   // the probe did not answer any attempt
    STOPPED,     // cut short: search request, shutdown, probe disabled
    NO_ADAPTER,  // the bus's adapter stopped answering
};

// Simulation values are live values in hundredths, as the simulation file
// holds them.
int simulated_value(int kind, int ch)
{
    const double v = std::round(static_cast<double>(kind == TEMP ? debug_inputs.temps[ch - 1] : debug_inputs.humids[ch - 1]));
    if (!(v == v)) return VALUE_ERROR;
    return v >= INT_MAX ? INT_MAX : v <= INT_MIN ? INT_MIN : static_cast<int>(v);
}

// Reads one probe with the configured retries. A probe that does not answer
// is tried again after the retry interval; an adapter that no longer answers
// ends the attempts at once, as no retry can reach the probe.
Read read_probe(int kind, unsigned char* rom, int* val, int ch, int port)
{
    if (debug_mode) {
        *val = simulated_value(kind, ch);
        return Read::VALUE;
    }
    const auto& oc = admin_settings.onewire_conf;
    const int num = kind == TEMP ? oc.onewire_temp_retry_num : oc.onewire_humid_retry_num;
    const int interval = kind == TEMP ? oc.onewire_temp_retry_interval : oc.onewire_humid_retry_interval;
    const int log = kind == TEMP ? oc.onewire_temp_retry_log_enable : oc.onewire_humid_retry_log_enable;
    if (num < 0) return Read::NO_ANSWER;
    const int p = ow.onewire_portnum[port];
    int attempts = 0;
    Read result = Read::NO_ANSWER;
    for (int a = 0; a <= num; ++a) {
        if (!running(port) || (a > 0 && owRetryInterval(static_cast<unsigned>(interval < 0 ? 0 : interval),
                                                        kind == TEMP ? 1 : 0, ch - 1) != 0)) {
            result = Read::STOPPED;
            break;
        }
        ++attempts;
        if (kind == TEMP) {
            float t = 0;
            if (TemperatureConvertRead(p, rom, &t)) {
                *val = static_cast<int>(t * 100);
                result = Read::VALUE;
                break;
            }
        } else if (read_humidity(p, rom, val, a > 0 || !ow.humid_connect_flag[ch - 1])) {
            result = Read::VALUE;
            break;
        }
        if (adapter_lost(p)) {
            result = Read::NO_ADAPTER;
            break;
        }
        if (kind == TEMP) {
            TemperatureConvertStart(p);
            sleep_while_running(800);
        }
    }
    if (log && attempts > 1) {
        char line[96];
        std::snprintf(line, sizeof line,
                      kind == TEMP ? "%d retries occurred on 1-wire(temp) connection. CH : "
                                   : "%d retries occurred on 1-wire(humid) connection. CH : ",
                      attempts - 1);
        applog(line + std::to_string(ch));
    }
    return result;
}

// Reads one probe into the monitor table; false when the bus's adapter
// stopped answering.
bool read_sensor(int kind, int i, int port)
{
    MONITOR_TABLE::SensorElement& el = element(kind, i);
    if (!probe(kind, i).enable) {
        el.value = VALUE_ERROR;
        return true;
    }
    unsigned char rom[8];
    if (kind == TEMP) get_temp_deviceID(i, rom);
    else get_humid_deviceID(i, rom);
    int v = 0;
    switch (read_probe(kind, rom, &v, i + 1, port)) {
    case Read::VALUE:
        break;
    case Read::NO_ANSWER:
        probe_failed(kind, i);
        return true;
    case Read::STOPPED:
        return true;
    case Read::NO_ADAPTER:
        return false;
    }
    unsigned char& flag = kind == TEMP ? ow.temp_connect_flag[i] : ow.humid_connect_flag[i];
    if (!flag) {
        flag = 1;
        applog(std::string(kind == TEMP ? "Success to connect 1-wire(temp) CH :" : "Success to connect 1-wire(humid) CH :") +
               std::to_string(i + 1));
    }
    int& jumps = kind == TEMP ? ow.tmp_err_cnt[i] : ow.hmd_err_cnt[i];
    switch (ow_filter(kind, v, el.value, jumps)) {
    case OwVerdict::TAKEN:
        el.value = v;
        break;
    case OwVerdict::OUTLIER: {
        char line[64];
        std::snprintf(line, sizeof line,
                      kind == TEMP ? "1-wire(temp) got outlier %d CH :" : "1-wire(humid) got outlier %d CH :", v);
        applog(line + std::to_string(i + 1));
        break;
    }
    case OwVerdict::HELD:
        break;
    }
    return true;
}

// Each bus samples its own probes; both buses sampling all of them would
// count every value twice and race on the same accumulators.
void add_report_samples(int port)
{
    for (int i = temp_first(port); i < temp_first(port) + TEMP_PER_BUS; ++i)
        mailreport_sample(KIND::WIRE_T, i, element(TEMP, i).value);
    for (int i = humid_first(port); i < humid_first(port) + HUMID_PER_BUS; ++i)
        mailreport_sample(KIND::WIRE_H, i, element(HUMID, i).value);
}

void* bus_thread(int port, const char* name)
{
    std::printf("%s tid  : %ld\n", name, thread_tid());
    while (control) {
        // Bus 1 starts after bus 0's reading loop is up, or once bus 0 has
        // found its adapter missing (bus 1 must not depend on it).
        while (port == 1 && control && portnum_ok[0] != 1 && !ow.onewire_bus_down[0]) msleep(100);
        if (!control) break;
        onewire_deviceserch(port, 1);
        onewire_deviceserch(port, 0);
        onewire_monitor(port);
        sleep_while_running(100);
    }
    std::printf("end %s\n", name);
    return nullptr;
}

}  // namespace

// ---- Pure rules ---------------------------------------------------------------

int conv_char2hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

unsigned xtoi(const char* text)
{
    if (!text) return 0;
    while (*text == ' ') ++text;
    unsigned v = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) v = v * 16 + static_cast<unsigned>(conv_char2hex(*text));
    return v;
}

void ow_id_to_rom(const char* text, unsigned char rom[8])
{
    std::memset(rom, 0, 8);
    if (!text) return;
    const size_t len = strnlen(text, 16);
    for (size_t k = 0; k < 8 && 2 * k < len; ++k) {
        const char pair[3] = {text[2 * k], 2 * k + 1 < len ? text[2 * k + 1] : '\0', '\0'};
        rom[7 - k] = static_cast<unsigned char>(xtoi(pair));
    }
}

std::string ow_rom_to_id(const unsigned char rom[8])
{
    char id[17];
    for (int k = 0; k < 8; ++k) std::snprintf(id + 2 * k, 3, "%02x", rom[7 - k]);
    return id;
}

bool ow_id_equal(const char* a, const char* b)
{
    std::lock_guard<std::mutex> lock(settings_mutex());  // a probe's identifier, written by other threads
    return a && b && strcasecmp(a, b) == 0;
}

OwVerdict ow_filter(int kind, int value, int stored, int& jumps)
{
    if (kind == TEMP ? (value > TEMP_MAX || value < TEMP_MIN) : value > HUMID_MAX) return OwVerdict::OUTLIER;
    const long long change = static_cast<long long>(value) - stored;
    if (stored != VALUE_ERROR && (change > JUMP || change < -JUMP)) {
        if (jumps >= JUMPS_HELD) {
            jumps = 0;
            return OwVerdict::TAKEN;
        }
        ++jumps;
        return OwVerdict::HELD;
    }
    jumps = 0;
    return OwVerdict::TAKEN;
}

void get_temp_deviceID(int idx, unsigned char* rom) { ow_id_to_rom(sensor_settings.onewire_temperature[idx].device_ID, rom); }

void get_humid_deviceID(int idx, unsigned char* rom) { ow_id_to_rom(sensor_settings.onewire_humidity[idx].device_ID, rom); }

// ---- Board lines --------------------------------------------------------------

int onewire_change_switch(int sw)
{
    for (int b = 0; b < BUSES; ++b) {
        if (sw == SW_POWER[b]) {
            board_write(BOARD::ONEWIRE_POWER[b], 1);
        } else if (sw == SW_TEMP[b]) {
            board_write(BOARD::ONEWIRE_TEMP_BRANCH[b], 1);
            board_write(BOARD::ONEWIRE_HUMID_BRANCH[b], 0);
        } else if (sw == SW_HUMID[b]) {
            board_write(BOARD::ONEWIRE_HUMID_BRANCH[b], 1);
            board_write(BOARD::ONEWIRE_TEMP_BRANCH[b], 0);
        }
    }
    msleep(50);
    msleep(50);
    return 0;
}

// ---- Search and reading loop --------------------------------------------------

int onewire_deviceserch(int port, int temp)
{
    const bool t = temp != 0;
    const char* list_path = t ? TEMP_LIST[port] : HUMID_LIST[port];
    int& count = t ? ow.temp_devnumIDs[port] : ow.humi_devnumIDs[port];
    count = 0;
    onewire_change_switch(t ? SW_TEMP[port] : SW_HUMID[port]);
    const int p = owAcquireEx(kvt_path(PORT_PATH[port]).c_str());
    if (p < 0) {
        write_list(list_path, "");
        fault(port, t ? SEARCH_TEMP : SEARCH_HUMID,
              t ? "1-wire ser initialize fault temp." : "1-wire ser initialize fault humi.");
        return 0;
    }
    fault_cleared(port, t ? SEARCH_TEMP : SEARCH_HUMID);
    ow.onewire_portnum[port] = p;

    std::string unregistered;
    int beyond = 0;
    int found = owFirst(p, 1, 0);
    // Nothing answered the search: no probe on this branch, or none the
    // adapter could reach. The opening words are the appliance's own.
    if (!found)
        std::printf(t ? "1-wire ser fault temp(%d). no temperature probe answered the search on bus %d\n"
                      : "1-wire ser fault humi(%d). no humidity probe answered the search on bus %d\n",
                    port, port);
    for (; found && control == 1; found = owNext(p, 1, 0)) {
        unsigned char rom[8];
        owSerialNum(p, rom, 1);
        const bool wanted = t ? (rom[0] != 0x09 && rom[0] != 0x1F && rom[0] != FAMILY_DS2450) : rom[0] == FAMILY_DS2450;
        if (!wanted) continue;
        if (count >= SEARCH_MAX) {
            ++beyond;
            continue;
        }
        std::memcpy(t ? ow.tempIDs[port][count] : ow.humiIDs[port][count], rom, 8);
        ++count;
        const std::string id = ow_rom_to_id(rom);
        std::printf("%s port%d find:%d [%s]\n", t ? "temp" : "humi", port, count, id.c_str());
        if (!t && !write_atod_control(p, rom))
            std::printf("humi port%d: A/D control of %s not written\n", port, id.c_str());
        if (!registered(port, t, id)) unregistered += id + "\n";
    }
    if (beyond > 0)
        std::printf("%s port%d: %d devices beyond the first %d ignored\n", t ? "temp" : "humi", port, beyond, SEARCH_MAX);
    owRelease(p);
    write_list(list_path, unregistered);
    sleep_while_running(500);
    return 1;
}

bool onewire_cycle(int port)
{
    const int p = ow.onewire_portnum[port];
    onewire_change_switch(SW_TEMP[port]);
    // No thermometer on the branch fails the conversion too; only an adapter
    // that no longer answers ends the pass.
    if (!TemperatureConvertStart(p) && adapter_lost(p)) return bus_unreadable(port);
    sleep_while_running(800);
    for (int i = temp_first(port); i < temp_first(port) + TEMP_PER_BUS; ++i) {
        if (!running(port)) return true;
        if (!read_sensor(TEMP, i, port)) return bus_unreadable(port);
    }
    onewire_change_switch(SW_HUMID[port]);
    onewire_change_switch(SW_HUMID[port]);
    for (int i = humid_first(port); i < humid_first(port) + HUMID_PER_BUS; ++i) {
        if (!running(port)) return true;
        if (!read_sensor(HUMID, i, port)) return bus_unreadable(port);
    }
    add_report_samples(port);
    return true;
}

void onewire_monitor(int port)
{
    onewire_change_switch(SW_TEMP[port]);
    const int p = owAcquireEx(kvt_path(PORT_PATH[port]).c_str());
    if (p < 0) {
        fault(port, READING, "Error:1-Wire open error.");
        ow.onewire_bus_down[port] = 1;
        bus_unreadable(port);
        return;
    }
    fault_cleared(port, READING);
    ow.onewire_bus_down[port] = 0;
    ow.onewire_portnum[port] = p;
    portnum_ok[port] = 1;
    while (portnum_ok[port] == 1 && control == 1) {
        // A lost adapter sends the bus back to detecting it: the search, then
        // this loop once it answers again.
        if (!onewire_cycle(port)) {
            ow.onewire_bus_down[port] = 1;
            break;
        }
        sleep_while_running(100);
    }
    owRelease(p);
}

int owValGet(int kind, unsigned char* ID, int* val, int ch, int port)
{
    return read_probe(kind, ID, val, ch, port) == Read::VALUE ? 1 : 0;
}

int owRetryInterval(unsigned int ms, int kind, int idx)
{
    // Slices well under the 10 s the wait may last, so a stop is seen within
    // a tenth of a second.
    constexpr unsigned SLICE = 100;
    for (unsigned left = ms; left > 0;) {
        const unsigned slice = left < SLICE ? left : SLICE;
        msleep(static_cast<int>(slice));
        left -= slice;
        if (control != 1) return 1;
        const bool enabled = kind == 1 ? sensor_settings.onewire_temperature[idx].enable
                                       : sensor_settings.onewire_humidity[idx].enable;
        if (!enabled) return 1;
    }
    return 0;
}

// ---- Threads ------------------------------------------------------------------

// Thread body of bus 0.
// Owns: the adapter on "/dev/ttyS5", temperature probes 1-64, humidity 1-8.
// Waits on: the adapter's replies, conversion and retry waits.
// Order: search of the temperature branch, of the humidity branch, then the
// reading loop until a search is requested (portnum_ok cleared) or a stop.
// Stopped by: control = 0, seen within about a tenth of a second.
void* one1(void*) { return bus_thread(0, "one1"); }

// Thread body of bus 1, as one1 on "/dev/ttyS6" with temperature probes
// 65-128 and humidity 9-16; each pass starts once bus 0 is reading or known
// to be without its adapter.
void* one2(void*) { return bus_thread(1, "one2"); }

// Thread body of the 1-Wire acquisition.
// Owns: the bus power lines (switched on once) and the two bus threads.
// Waits on: the bus threads' ends.
// Order: power on both buses, then start bus 0 and bus 1.
// Stopped by: control = 0 through its bus threads.
void* onewire_thread(void*)
{
    std::printf("onewire_thread tid  : %ld\n", thread_tid());
    std::memset(ow.temp_connect_flag, 1, sizeof ow.temp_connect_flag);
    std::memset(ow.humid_connect_flag, 1, sizeof ow.humid_connect_flag);
    onewire_change_switch(SW_POWER[0]);
    onewire_change_switch(SW_POWER[1]);
    ow_power_on_flag = 1;
    pthread_t th[BUSES];
    bool started[BUSES] = {start_thread(&th[0], one1, "onewire1"), start_thread(&th[1], one2, "onewire2")};
    for (int b = 0; b < BUSES; ++b)
        if (started[b]) pthread_join(th[b], nullptr);
    std::printf("end onewire_thread\n");
    return nullptr;
}
