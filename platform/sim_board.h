// The simulated board: one file, <root>/sim/board, mapped shared by the
// service (kvt7400sim) and the tool that drives it (kvtsim). It holds the
// level of every line of GPIO chips 1 to 3, the FPGA register window and the
// faults a test wants the board to show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "board_lines.h"
#include "sim_analog.h"

namespace simboard {

constexpr int CHIPS = 3;
constexpr int LINES = 128;
constexpr size_t FPGA_OFFSET = 4096;   // page-aligned so it can be mapped alone
constexpr size_t FPGA_SIZE = BOARD::FPGA_LEN;
constexpr size_t FILE_SIZE = FPGA_OFFSET + 0x8000;
constexpr uint32_t VERSION = 1;

// Faults the simulated board can be told to show.
enum Fault : uint32_t {
    FAULT_GPIO1 = 1u << 0,     // /dev/gpiochip1 missing
    FAULT_GPIO2 = 1u << 1,     // /dev/gpiochip2 missing
    FAULT_GPIO3 = 1u << 2,     // /dev/gpiochip3 missing
    FAULT_MEM_OPEN = 1u << 3,  // /dev/mem cannot be opened
    FAULT_MEM_MAP = 1u << 4,   // the register window cannot be mapped
    FAULT_LINE_IO = 1u << 5,   // every line request fails
    FAULT_SHELL = 1u << 6,     // every shell command fails, none is carried out
};

struct FaultName {
    const char* name;
    uint32_t bit;
};
extern const FaultName FAULT_NAMES[7];

struct Header {
    char magic[8];  // "KVTBOARD"
    uint32_t version;
    volatile uint32_t faults;
    volatile uint8_t gpio[CHIPS + 1][LINES];  // [chip][line], chip 0 unused
    AnalogBoard analog;  // the analog board's sources and converter state
};
static_assert(sizeof(Header) <= FPGA_OFFSET);

struct Mapping {
    Header* hdr = nullptr;
    volatile uint8_t* fpga = nullptr;
    int fd = -1;
    std::string path;
};

std::string board_path(const std::string& root);
// Creates a fresh board file: straps 1 and 1, DIP switches off (lines read
// 1), power switch 0, the analog board plugged in (see ai_board_new),
// everything else 0.
bool board_create(const std::string& root, std::string& err);
bool board_map(const std::string& root, Mapping& m, std::string& err);
void board_unmap(Mapping& m);

// The level of one of the board's named lines.
inline volatile uint8_t& line_level(Header* h, BOARD::Line l) { return h->gpio[l.chip][l.line]; }

// Makes a sandbox in dir: the appliance's directories and default system
// files, the stand-in mail script, the board file, and the factory database
// when factory_db names one.
bool sandbox_init(const std::string& dir, const std::string& factory_db, std::string& err);

}  // namespace simboard
