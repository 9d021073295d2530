// Analog inputs: detects the analog board and its current/voltage
// switches, loads the range codes, reads the factory calibration, turns
// converter counts into display values, smooths them with a trimmed mean of
// seven samples and publishes them every 40 ms in the monitor table.
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "ai_thread.h"
#include "mail.h"

using SETTINGS_TABLE::VALUE_ERROR;

static AiState ai = {
    {}, {}, {}, {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}},
    {}, {}, {}, {'1'}, {0}, {0},
};

AiState& ai_state() { return ai; }

namespace {

constexpr int PERIOD_MS = 40;

// The analog registers and the ranges have two users: the analog thread and
// the settings writer (after analog settings were saved). Recursive, since
// a board poll may reload the ranges itself.
std::recursive_mutex ai_mutex;

constexpr AiRange RANGES[] = {
    {400, 2000, 3},     // 0: 4-20 mA
    {0, 128, 1},        // 1: 0-1.28 V
    {-1000, 1000, 7},   // 2: +-10 V
    {-500, 500, 4},     // 3: +-5 V
    {0, 1000, 6},       // 4: 0-10 V
    {0, 500, 3},        // 5: 0-5 V
};

void msleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int reg_read(unsigned offset)
{
    int v = 0;
    fpga_access_8357(0, fpga_reg(offset), &v);
    return v;
}

void reg_write(unsigned offset, int v) { fpga_access_8357(1, fpga_reg(offset), &v); }

int clamp_int(__int128 v)
{
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

void set_connection_flag(int v)
{
    if (monitor && monitor->requestflg) monitor->requestflg->ai_connection = v;
}

// In debug mode the simulation file's analog lines are live values, in
// hundredths, as make_debug_file wrote them.
int debug_sample(int ch)
{
    const double v = std::round(static_cast<double>(debug_inputs.ais[ch]));
    if (!(v == v)) return 0;
    return v >= INT_MAX ? INT_MAX : v <= INT_MIN ? INT_MIN : static_cast<int>(v);
}

}  // namespace

// ---- Pure rules ----------------------------------------------------------------

const AiRange* ai_range(int range)
{
    if (range < 0 || range >= static_cast<int>(sizeof RANGES / sizeof RANGES[0])) return nullptr;
    return &RANGES[range];
}

AiScaling ai_scaling(int range, int input_min, int input_max, int output_min, int output_max)
{
    if (input_max == input_min) return {0, 0};
    const AiRange* r = ai_range(range);
    // Products of settings up to the int limits overflow 64 bits' halves.
    using W = __int128;
    const W a = r ? r->a : 0, b = r ? r->b : 0;
    const W imin = input_min, imax = input_max, omin = output_min, omax = output_max;
    return {clamp_int(((b - imax) * omin + omax * (imin - b)) / (imin - imax)),
            clamp_int(((a - imin) * omax + omin * (imax - a)) / (imax - imin))};
}

double ai_convert(int raw, bool current, int range, const double gain[4], const double offset[4], int smax, int smin)
{
    const AiRange* r = current ? ai_range(0) : ai_range(range);
    if (!current && (range < 1 || !r)) return 0;
    AIBOARD::Window w;
    if (!AIBOARD::converter_window(current ? AIBOARD::CURRENT_CODE : r->code, current, w)) return 0;
    const double x = AIBOARD::counts_to_reading(raw, w);
    const double y = gain[w.pair] * x + offset[w.pair];
    const double top = r->b / 100.0, span = (r->b - r->a) / 100.0;
    return smax / 100.0 - (static_cast<double>(smax) - smin) / 100.0 * (top - y) / span;
}

int ai_hundredths(float reading)
{
    const double x = static_cast<double>(reading) * 100.0;
    if (!(x == x)) return 0;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
    const double whole = std::trunc(x);
    int v = static_cast<int>(whole);
    if (x - whole >= 0.5) ++v;
    return v;
}

int ai_trimmed_mean(const int (&samples)[AI_SAMPLES])
{
    long long sum = 0;
    int hi = samples[0], lo = samples[0];
    for (int s : samples) {
        sum += s;
        if (s > hi) hi = s;
        if (s < lo) lo = s;
    }
    return static_cast<int>((sum - hi - lo) / 5);
}

int ai_forced_range(bool voltage_position, int range)
{
    if (voltage_position) return range == 0 ? 1 : range;
    return 0;
}

int ai_range_code(bool current, int range, int prev)
{
    if (current) return AIBOARD::CURRENT_CODE;
    const AiRange* r = ai_range(range);
    return (r && range >= 1) ? r->code : prev;
}

// ---- Board steps --------------------------------------------------------------

void get_corrections()
{
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        uint16_t w[AIBOARD::CAL_WORDS];
        for (int k = 0; k < AIBOARD::CAL_WORDS; ++k)
            w[k] = static_cast<uint16_t>(fpga_word_read(fpga_reg(BOARD::REG_AI_CALIB) + 12 * ch + 2 * k));
        const AIBOARD::Calibration c = AIBOARD::decode_calibration(w);
        for (int p = 0; p < 4; ++p) {
            ai.ai_gain[ch][p] = c.gain[p];
            ai.ai_offset[ch][p] = c.offset[p];
        }
    }
}

void ai_read_range()
{
    const int bits = reg_read(BOARD::REG_AI_SWITCH);
    ai.ai_pre_range_state = bits;
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        const bool voltage = bits & (1 << ch);
        ai.ai_switching[ch] = voltage ? 0 : 1;
        auto& a = sensor_settings.analog[ch];
        const int cur = settings_copy(a).range;
        const int r = ai_forced_range(voltage, cur);
        if (r == cur) continue;
        // The switch decides: the stored range follows it and is saved.
        {
            std::lock_guard<std::mutex> lock(settings_mutex());
            a.range = r;
            a.changeflg = true;
        }
        db_save.push_n(SAVE::AI, ch);
    }
}

void ai_set_conv_range()
{
    int code = 0, byte = 0;
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        code = ai_range_code(ai.ai_switching[ch] == 1, settings_copy(sensor_settings.analog[ch]).range, code);
        if (ch % 2 == 0) {
            byte = code & 0x0F;
        } else {
            byte |= (code & 0x0F) << 4;
            reg_write(BOARD::REG_AI_RANGE + ch / 2, byte);
        }
    }
    msleep(100);
    reg_write(BOARD::REG_AI_START, AIBOARD::START);
    msleep(100);
}

void ai_set_scaling_value()
{
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        // A command may change the range and its limits meanwhile: one copy
        // keeps them of one moment.
        const auto a = settings_copy(sensor_settings.analog[ch]);
        const AiScaling s = ai_scaling(a.range, a.input_min, a.input_max, a.output_min, a.output_max);
        ai.ai_scaling_max[ch] = s.max;
        ai.ai_scaling_min[ch] = s.min;
    }
}

void ai_port_setting()
{
    std::lock_guard<std::recursive_mutex> lock(ai_mutex);
    if (!debug_mode) update_ai_connection(1);
    if (ai.ai_con_state == '0') ai_read_range();
    const int port = (reg_read(BOARD::REG_AI_PORT) & AIBOARD::PORT_KEEP) | AIBOARD::PORT_ENABLE;
    ai.ai_port_setting_flag = 1;
    reg_write(BOARD::REG_AI_PORT, port);
    msleep(100);
    ai_set_conv_range();
    ai_set_scaling_value();
    ai.ai_port_setting_flag = 0;
}

void update_ai_connection(int flag)
{
    std::lock_guard<std::recursive_mutex> lock(ai_mutex);
    if (!(reg_read(BOARD::REG_AI_STATUS) & AIBOARD::PRESENT)) {
        ai.ai_con_state = '1';
        set_connection_flag(0);
        return;
    }
    const char prev = ai.ai_con_state.exchange('0');
    if (flag == 0) {
        if (prev == '1') {
            // A board just plugged in powers up unconfigured: let it settle,
            // then load its ranges.
            sleep_while_running(1000);
            ai.ai_pre_range_state = reg_read(BOARD::REG_AI_SWITCH);
            ai_port_setting();
        } else {
            const int bits = reg_read(BOARD::REG_AI_SWITCH);
            if (bits != ai.ai_pre_range_state) {
                ai.ai_pre_range_state = bits;
                ai_port_setting();
            }
        }
    }
    get_corrections();
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch)
        ai_ad_trans(fpga_word_read(fpga_reg(BOARD::REG_AI_RESULT) + 2 * ch), ch);
    set_connection_flag(1);
}

void ai_ad_trans(int raw, int ch)
{
    debug_inputs.ais[ch] = static_cast<float>(ai_convert(raw, ai.ai_switching[ch] == 1, sensor_settings.analog[ch].range,
                                            ai.ai_gain[ch], ai.ai_offset[ch], ai.ai_scaling_max[ch], ai.ai_scaling_min[ch]));
}

int get_ai_value(int ch) { return ai_hundredths(debug_inputs.ais[ch]); }

int get_ai_ave_value(int ch)
{
    if (ai.ai_pre_state[ch] == 0 && !sensor_settings.analog[ch].enable) return VALUE_ERROR;
    return ai_trimmed_mean(ai.ai_pre_value[ch]);
}

int get_ai_switching(int ch) { return (ch >= 0 && ch < AIBOARD::CHANNELS) ? ai.ai_switching[ch] : 0; }

// ---- The analog thread ----------------------------------------------------------

void ai_report_statistics()
{
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch)
        mailreport_sample(KIND::AI, ch, monitor->sensor_condition->analog[ch].value);
}

void ai_loop_start(AiLoopState& st)
{
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        st.count[ch] = 0;
        st.mean[ch] = VALUE_ERROR;
        ai.ai_pre_state[ch] = 0;
    }
    get_corrections();
    ai_port_setting();
    st.seen = ai.ai_con_state;
    report(st.seen == '0' ? "AI Connection Successful" : "AI Connection Failed");
}

void ai_loop_pass(AiLoopState& st)
{
    // While the settings writer reloads the ranges the pass is skipped, as
    // one the busy flag stops.
    std::unique_lock<std::recursive_mutex> lock(ai_mutex, std::try_to_lock);
    if (lock.owns_lock() && !debug_mode) {
        update_ai_connection(0);
        const char now = ai.ai_con_state;
        if (now != st.seen) {
            st.seen = now;
            report(now == '1' ? "AI Disconnection!" : "AI Connection Recovery!");
        }
    }
    if (!lock.owns_lock() || ai.ai_port_setting_flag) {
        std::printf("AI controller is busy, skipping AI update.\n");
        for (int& c : st.count) c = 0;
        return;
    }
    const bool present = ai.ai_con_state == '0';
    auto* live = monitor->sensor_condition->analog;
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        if (!present) {
            // Samples from before a disconnection must not reach the first
            // mean after it.
            st.count[ch] = 0;
            st.mean[ch] = VALUE_ERROR;
            live[ch].value = VALUE_ERROR;
            continue;
        }
        ai.ai_pre_value[ch][st.count[ch]] = debug_mode ? debug_sample(ch) : get_ai_value(ch);
        if (++st.count[ch] == AI_SAMPLES) {
            st.count[ch] = 0;
            st.mean[ch] = get_ai_ave_value(ch);
        }
        live[ch].value = st.mean[ch];
    }
    ai_report_statistics();
}

/*
 * ai_thread_func: the analog thread.
 * Owns: the analog registers (shared with the settings writer's port
 *   setting), the converted readings, the monitor values of the analog
 *   inputs and their mail-report statistics.
 * Waits on: its 40 ms period; a reconnected board holds it 1 s, a range
 *   reload 0.3 s.
 * Order: every pass polls the board, then samples all eight channels in
 *   channel order; a new mean every seventh sample.
 * Stopped by: control dropping to 0.
 */
void* ai_thread_func(void*)
{
    std::printf("ai_thread_func tid  : %ld\n", thread_tid());
    std::fflush(stdout);
    AiLoopState st;
    ai_loop_start(st);
    while (control != 0) {
        ai_loop_pass(st);
        sleep_while_running(PERIOD_MS);
    }
    std::printf("end ai thread\n");
    std::fflush(stdout);
    return nullptr;
}
