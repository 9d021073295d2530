// Analog inputs: the pure rules (scaling, conversion, rounding, smoothing,
// range codes), the board steps over the process-wide analog state, and
// one pass of the analog thread, so that each can be exercised on its own.
#pragma once

#include <atomic>

#include "board_analog.h"
#include "common.h"

// ---- Analog state, per channel -------------------------------------------------
// Held by the analog thread's file. Writers: the analog thread and, through
// ai_port_setting, the settings writer (under the analog lock); readers: the
// same, and the tests through ai_state().
struct AiState {
    unsigned char ai_switching[AIBOARD::CHANNELS];  // 1 = switch in the current position
    int ai_scaling_max[AIBOARD::CHANNELS];          // display value (hundredths) at window end B
    int ai_scaling_min[AIBOARD::CHANNELS];          // ... and at window end A
    double ai_gain[AIBOARD::CHANNELS][4];
    double ai_offset[AIBOARD::CHANNELS][4];
    int ai_pre_value[AIBOARD::CHANNELS][7];         // the samples of the current mean
    int ai_pre_state[AIBOARD::CHANNELS];
    std::atomic<char> ai_con_state;                 // '0' board present, '1' absent
    std::atomic<int> ai_pre_range_state;            // last range-switch byte seen
    std::atomic<unsigned char> ai_port_setting_flag;  // 1 while the ranges are reloaded
};
AiState& ai_state();

constexpr int AI_SAMPLES = 7;

// ---- Pure rules ----------------------------------------------------------------

// A `range` setting: physical window ends in hundredths and its range code.
struct AiRange {
    int a, b;
    int code;
};
// nullptr for a setting outside 0..5.
const AiRange* ai_range(int range);

// Display values at the window ends B (max) and A (min) of the straight
// line through (input_min, output_min) and (input_max, output_max); both 0
// for equal input limits.
struct AiScaling {
    int max, min;
};
AiScaling ai_scaling(int range, int input_min, int input_max, int output_min, int output_max);

// The reading of count `raw` in display units, through the converter window,
// the calibration pair and the scaling. Voltage mode with a `range` outside
// 1..5 reads 0.
double ai_convert(int raw, bool current, int range, const double gain[4], const double offset[4], int smax,
                  int smin);

// A reading in hundredths: x 100, truncated toward zero, plus 1 when the
// fraction left is at least 0.5 (so negative readings are truncated).
int ai_hundredths(float reading);

// Sum of the samples less the largest and the smallest, / 5 toward zero.
int ai_trimmed_mean(const int (&samples)[AI_SAMPLES]);

// The `range` a channel must have with its switch in this position (the
// current position allows 0 only, the voltage position anything but 0).
int ai_forced_range(bool voltage_position, int range);

// The range code loaded for a channel; `prev` is the previous channel's.
int ai_range_code(bool current, int range, int prev);

// ---- Board steps --------------------------------------------------------------
void ai_port_setting();
void update_ai_connection(int flag);
void get_corrections();
void ai_set_conv_range();
void ai_set_scaling_value();
void ai_read_range();
void ai_ad_trans(int raw, int ch);
int get_ai_value(int ch);
int get_ai_ave_value(int ch);
// 1 when the input's hardware switch selects current (4-20 mA), 0 voltage.
int get_ai_switching(int ch);

// ---- The analog thread, one pass at a time ----------------------------------
struct AiLoopState {
    int count[AIBOARD::CHANNELS] = {};  // samples taken towards the next mean
    int mean[AIBOARD::CHANNELS] = {};   // latest trimmed mean, 65535 until there is one
    char seen = '1';                    // board state announced last
};
// Start of the thread: calibration, port setting, the connection line.
void ai_loop_start(AiLoopState& st);
// One 40 ms pass: board poll (unless debug_mode), samples and means, the
// monitor values, the mail-report statistics.
void ai_loop_pass(AiLoopState& st);
// The mail-report statistics of the analog inputs, from their monitor values.
void ai_report_statistics();
