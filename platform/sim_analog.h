// The simulated analog input board. kvtsim plugs and unplugs it, moves a
// channel's current/voltage switch, writes its calibration block and
// connects a source to a channel; the FPGA registers then read as the real
// board's: the board-present bit, the range switches, the calibration block
// and the conversion results. A write of the start register latches the
// range codes, as the converter does; from then on every change of a source,
// a switch or the calibration shows in the results at once.
//
// The results are the inverse of the service's conversion for the latched
// range and the block's calibration, so a source of 12 mA reads back as
// 12 mA after calibration.
#pragma once

#include <cstdint>
#include <string>

#include "board_analog.h"

namespace simboard {

// What is connected to a channel's terminals.
enum AiSource : uint8_t {
    AI_OPEN = 0,     // nothing: 0 V, no current
    AI_CURRENT = 1,  // a current source (value in nA, millionths of a mA)
    AI_VOLTAGE = 2,  // a voltage source (value in uV, millionths of a V)
};

// The board state that is not in the FPGA window, kept in the board file.
struct AnalogBoard {
    volatile int32_t value[AIBOARD::CHANNELS];   // source value in millionths of its unit
    volatile uint8_t source[AIBOARD::CHANNELS];  // AiSource
    volatile uint8_t loaded[AIBOARD::CHANNELS];  // range codes latched by the last start
    volatile uint8_t converting;                 // started since the board was plugged in
};

// A new board: plugged in, every switch in the current position, identity
// calibration, nothing connected, not started.
void ai_board_new(AnalogBoard& a, volatile uint8_t* fpga);

bool ai_present(const volatile uint8_t* fpga);
// Plugging in powers the converter up unstarted (range codes 0, results 0);
// unplugging drops the present bit and the results.
void ai_plug(AnalogBoard& a, volatile uint8_t* fpga, bool in);
bool ai_voltage_position(const volatile uint8_t* fpga, int ch);
void ai_set_switch(AnalogBoard& a, volatile uint8_t* fpga, int ch, bool voltage);
void ai_set_source(AnalogBoard& a, volatile uint8_t* fpga, int ch, AiSource s, int32_t millionths);
void ai_read_calibration(const volatile uint8_t* fpga, int ch, uint16_t w[AIBOARD::CAL_WORDS]);
void ai_write_calibration(AnalogBoard& a, volatile uint8_t* fpga, int ch, const uint16_t w[AIBOARD::CAL_WORDS]);
int ai_result(const volatile uint8_t* fpga, int ch);

// A register at `offset` was written (by the service or by hand): the start
// register latches the range codes, the switch, status and calibration
// registers change the results.
void ai_register_written(AnalogBoard& a, volatile uint8_t* fpga, unsigned offset);
// Recomputes every result from the sources, switches, latched codes and
// calibration.
void ai_refresh(const AnalogBoard& a, volatile uint8_t* fpga);

// The count the converter gives for a source at range `code`: 0 for a code
// the board does not use; a current source in the voltage position drives
// the input to the top of the window.
int ai_counts(int code, bool voltage_position, AiSource s, double value, const AIBOARD::Calibration& cal);

// "12mA", "-2.5V", "open"; false for anything else or beyond +-100 units.
bool ai_parse_source(const std::string& text, AiSource& s, int32_t& millionths);
std::string ai_source_text(AiSource s, int32_t millionths);

}  // namespace simboard
