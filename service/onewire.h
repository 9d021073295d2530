// 1-Wire sensor acquisition: one thread per bus searches its adapter's
// branches for devices (listing the unregistered ones for the web UI), then
// reads every enabled, registered probe in a loop, filters outliers and
// jumps, publishes the values in hundredths and logs connection changes.
//
// Bus 0 ("/dev/ttyS5") serves temperature probes 1-64 and humidity probes
// 1-8, bus 1 ("/dev/ttyS6") temperature probes 65-128 and humidity 9-16.
#pragma once

#include <atomic>
#include <string>

#include "common.h"

namespace ONEWIRE {
constexpr int BUSES = 2;
constexpr int TEMP_PER_BUS = 64;
constexpr int HUMID_PER_BUS = 8;
constexpr int SEARCH_MAX = 80;  // devices of one kind one search keeps per bus

// Selector codes of onewire_change_switch.
constexpr int SW_POWER[BUSES] = {0x10000, 0x100000};
constexpr int SW_TEMP[BUSES] = {0x20000, 0x200000};
constexpr int SW_HUMID[BUSES] = {0x40000, 0x400000};

// Plausible readings, in hundredths; beyond them a reading is an outlier.
constexpr int TEMP_MAX = 8000;
constexpr int TEMP_MIN = -2000;
constexpr int HUMID_MAX = 10000;
// A change larger than this is a jump, taken only once it persists.
constexpr int JUMP = 2999;
constexpr int JUMPS_HELD = 5;  // consecutive jumps ignored before one is taken

// owValGet kinds.
constexpr int TEMP = 0;
constexpr int HUMID = 1;
}  // namespace ONEWIRE

// The 1-Wire threads' state, held by their file. Each bus thread writes the
// entries of its own bus and probes (the adapter, connection flags, jump
// counters, search results); the command thread (command 17) reads the search
// results; the tests reach it through onewire_state().
struct OneWireState {
    std::atomic<int> onewire_portnum[ONEWIRE::BUSES];
    unsigned char temp_connect_flag[SETTINGS_TABLE::WIRE_T_NUM];
    unsigned char humid_connect_flag[SETTINGS_TABLE::WIRE_H_NUM];
    int tmp_err_cnt[SETTINGS_TABLE::WIRE_T_NUM];
    int hmd_err_cnt[SETTINGS_TABLE::WIRE_H_NUM];
    unsigned char tempIDs[ONEWIRE::BUSES][ONEWIRE::SEARCH_MAX][8];
    unsigned char humiIDs[ONEWIRE::BUSES][ONEWIRE::SEARCH_MAX][8];
    int temp_devnumIDs[ONEWIRE::BUSES];
    int humi_devnumIDs[ONEWIRE::BUSES];
    // 1 while a bus's adapter could not be acquired for its reading loop.
    std::atomic<int> onewire_bus_down[ONEWIRE::BUSES];
};
OneWireState& onewire_state();

void* onewire_thread(void*);
void* one1(void*);
void* one2(void*);
int onewire_deviceserch(int port, int temp);
void onewire_monitor(int port);
// One pass of a bus's reading loop on its acquired adapter: temperature
// conversion and reads, humidity reads, mail-report samples. False when the
// adapter stopped answering: every probe of the bus then shows no value.
bool onewire_cycle(int port);
int owValGet(int kind, unsigned char* ID, int* val, int ch, int port);
int owRetryInterval(unsigned int ms, int kind, int idx);
void get_temp_deviceID(int idx, unsigned char* rom);
void get_humid_deviceID(int idx, unsigned char* rom);
unsigned xtoi(const char* text);
int conv_char2hex(char c);
int onewire_change_switch(int sw);

// ---- Pure rules -------------------------------------------------------------

// A configured identifier as a ROM code: hex pair k is rom[7 - k]; parsing
// stops after 16 digits or at the end of the text, and the ROM bytes a
// shorter text leaves are 0.
void ow_id_to_rom(const char* text, unsigned char rom[8]);
// The identifier of a ROM code: 16 lower-case hex digits, last ROM byte first.
std::string ow_rom_to_id(const unsigned char rom[8]);
bool ow_id_equal(const char* a, const char* b);

enum class OwVerdict {
    TAKEN,    // store the reading
    HELD,     // a jump not yet persistent: keep the stored value
    OUTLIER,  // implausible: log it, keep the stored value
};
// Judges one successful reading of `kind` against the stored value; `jumps`
// is the probe's consecutive-jump counter.
OwVerdict ow_filter(int kind, int value, int stored, int& jumps);

