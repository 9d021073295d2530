// The simulated 1-Wire buses' probes: one file, <root>/sim/onewire, mapped
// shared by the adapter emulator inside kvt7400sim and by kvtsim, which adds
// and removes probes, sets their readings and makes them misbehave. A file of
// zeros is an empty, valid state, so either side may create it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simow {

constexpr int BUSES = 2;
constexpr int PROBES = 128;  // per bus
constexpr uint32_t VERSION = 1;

enum Kind : uint8_t {
    NONE = 0,     // free slot
    DS18B20 = 1,  // temperature, family 0x28
    DS18S20 = 2,  // temperature, family 0x10
    DS2450 = 3,   // humidity probe on a quad A/D converter, family 0x20
};

enum Branch : uint8_t { TEMP_BRANCH = 0, HUMID_BRANCH = 1 };

// One probe. `kind` is written last when a probe is added and first when it
// is removed; `generation` changes with every add, so the emulator knows a
// reused slot holds a new device.
struct Probe {
    volatile uint8_t kind;
    uint8_t branch;
    uint8_t rom[8];  // family code first, CRC last
    volatile uint8_t mute;      // 1 = off the bus: does not answer at all, loses its state
    volatile int32_t value;     // hundredths of a degree or of a percent
    volatile uint32_t corrupt;  // replies still to be sent with a flipped bit
    volatile uint32_t reads;    // scratchpad or memory reads answered
    volatile uint32_t generation;
};

struct Bus {
    volatile uint8_t unplugged;    // 1 = the adapter is off its port
    volatile uint8_t real_timing;  // 1 = bytes take their time at the current baud rate
    volatile uint32_t bytes_in;    // bytes the adapter received from the host
    volatile uint32_t bytes_out;   // bytes it sent back
    volatile uint32_t resets;      // 1-Wire resets issued
    Probe probes[PROBES];
};

struct State {
    char magic[8];  // "KVTOWIRE" once initialised; zeros in a fresh file
    uint32_t version;
    volatile uint32_t next_serial;  // for generated ROM codes
    Bus bus[BUSES];
};

struct Mapping {
    State* st = nullptr;
    int fd = -1;
};

std::string state_path(const std::string& root);
// Maps the state file of the sandbox at root, creating it when missing.
bool state_map(const std::string& root, Mapping& m, std::string& err);
void state_unmap(Mapping& m);

uint8_t family_of(Kind k);
Branch branch_of(Kind k);
const char* kind_name(Kind k);

// The 1-Wire CRC-8 of n bytes.
uint8_t crc8(const uint8_t* p, size_t n);
// A ROM code of the kind with the given 48-bit serial and a valid CRC.
void make_rom(Kind k, uint64_t serial, uint8_t rom[8]);
// ROM code as the service writes it: 16 lower-case hex digits, the CRC byte
// first and the family code last.
std::string rom_text(const uint8_t rom[8]);
// The reverse; false unless the text is exactly 16 hex digits.
bool parse_rom_text(const std::string& text, uint8_t rom[8]);

// Adds a probe; its slot, or -1 when the bus is full or the ROM is already
// there.
int add_probe(State* st, int bus, Kind k, const uint8_t rom[8], int32_t value);
int find_probe(const State* st, int bus, const uint8_t rom[8]);
void remove_probe(State* st, int bus, int slot);

}  // namespace simow
