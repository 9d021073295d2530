// The board's named lines and registers: which GPIO chip and line carries
// each signal, and where the FPGA registers sit. The service, the simulated
// board and kvtsim all name them from here.
#pragma once

namespace BOARD {

struct Line {
    int chip;  // GPIO chip 1, 2 or 3
    int line;  // line offset on that chip
};

// Start-up and shutdown.
constexpr Line STRAP_A{1, 20};       // model strap A (both 1: KVT-7400)
constexpr Line STRAP_B{1, 21};       // model strap B
constexpr Line POWER_ENABLE_1{1, 22};  // set to 1 first thing at start-up
constexpr Line POWER_ENABLE_2{1, 23};  // then this one, then a 1 s pause
constexpr Line RUN{2, 67};           // run indication: 1 once start-up is complete
constexpr Line POWER_SWITCH{2, 68};  // 1 asks for an orderly shutdown

// Digital inputs 1-8 (input 2 is the one line on chip 3) and relay outputs 1-8.
constexpr Line DI[8] = {{2, 35}, {3, 68}, {2, 39}, {2, 40}, {2, 32}, {2, 62}, {2, 63}, {2, 64}};
constexpr Line RELAY[8] = {{2, 45}, {2, 46}, {2, 47}, {2, 48}, {2, 70}, {2, 76}, {2, 77}, {2, 78}};

// DIP switch positions 1-4: a switch that is set pulls its line to 0.
constexpr Line DIP[4] = {{2, 49}, {2, 50}, {2, 51}, {2, 52}};

// The two 1-Wire buses: a power enable each (driven 1 only), and a selector
// pair that connects either the temperature or the humidity branch to the
// adapter (one line of the pair 1, the other 0). All on chip 2.
constexpr Line ONEWIRE_POWER[2] = {{2, 60}, {2, 86}};
constexpr Line ONEWIRE_TEMP_BRANCH[2] = {{2, 57}, {2, 71}};
constexpr Line ONEWIRE_HUMID_BRANCH[2] = {{2, 58}, {2, 73}};

// The FPGA register window: physical base and mapped length (0x7FFF, so
// offset 0x7FFF itself lies outside), then the register offsets.
constexpr unsigned int FPGA_BASE = 0x51000000;
constexpr unsigned int FPGA_LEN = 0x7FFF;
constexpr unsigned int REG_REVISION = 0x002;    // 16-bit board revision
constexpr unsigned int REG_SYSTEM = 0x004;      // restart sequence 1, 8, 1, 6
constexpr unsigned int REG_AI_START = 0x300;    // converter start (128)
constexpr unsigned int REG_AI_PORT = 0x302;     // analog port configuration
constexpr unsigned int REG_AI_SWITCH = 0x500;   // range switches, bit n = channel n+1
constexpr unsigned int REG_AI_STATUS = 0x501;   // bit 0: analog board present
constexpr unsigned int REG_AI_RANGE = 0x600;    // range codes, two channels a byte, 4 bytes
constexpr unsigned int REG_AI_RESULT = 0x700;   // conversion results, 8 x 16 bits
constexpr unsigned int REG_AI_CALIB = 0x1000;   // calibration, 8 x 12 bytes

}  // namespace BOARD
