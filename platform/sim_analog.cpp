#include "sim_analog.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "board_lines.h"

namespace simboard {

namespace {

constexpr double SOURCE_LIMIT = 100.0;  // mA or V a source may be set to

unsigned cal_at(int ch, int word) { return BOARD::REG_AI_CALIB + 12u * ch + 2u * word; }

bool is_calibration(unsigned offset)
{
    return offset >= BOARD::REG_AI_CALIB && offset < BOARD::REG_AI_CALIB + 12u * AIBOARD::CHANNELS;
}

void put_result(volatile uint8_t* fpga, int ch, int count)
{
    fpga[BOARD::REG_AI_RESULT + 2 * ch] = static_cast<uint8_t>(count & 0xFF);
    fpga[BOARD::REG_AI_RESULT + 2 * ch + 1] = static_cast<uint8_t>((count >> 8) & 0xFF);
}

}  // namespace

void ai_board_new(AnalogBoard& a, volatile uint8_t* fpga)
{
    uint16_t identity[AIBOARD::CAL_WORDS];
    AIBOARD::encode_calibration(1.0, 0.0, 1.0, 0.0, identity);
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        a.value[ch] = 0;
        a.source[ch] = AI_OPEN;
        for (int k = 0; k < AIBOARD::CAL_WORDS; ++k) {
            fpga[cal_at(ch, k)] = static_cast<uint8_t>(identity[k] & 0xFF);
            fpga[cal_at(ch, k) + 1] = static_cast<uint8_t>(identity[k] >> 8);
        }
    }
    fpga[BOARD::REG_AI_SWITCH] = 0;
    ai_plug(a, fpga, true);
}

bool ai_present(const volatile uint8_t* fpga) { return fpga[BOARD::REG_AI_STATUS] & AIBOARD::PRESENT; }

void ai_plug(AnalogBoard& a, volatile uint8_t* fpga, bool in)
{
    a.converting = 0;
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) a.loaded[ch] = 0;
    const uint8_t status = fpga[BOARD::REG_AI_STATUS];
    fpga[BOARD::REG_AI_STATUS] = static_cast<uint8_t>(in ? (status | AIBOARD::PRESENT) : (status & ~AIBOARD::PRESENT));
    ai_refresh(a, fpga);
}

bool ai_voltage_position(const volatile uint8_t* fpga, int ch) { return fpga[BOARD::REG_AI_SWITCH] & (1u << ch); }

void ai_set_switch(AnalogBoard& a, volatile uint8_t* fpga, int ch, bool voltage)
{
    const uint8_t bits = fpga[BOARD::REG_AI_SWITCH];
    fpga[BOARD::REG_AI_SWITCH] = static_cast<uint8_t>(voltage ? (bits | (1u << ch)) : (bits & ~(1u << ch)));
    ai_refresh(a, fpga);
}

void ai_set_source(AnalogBoard& a, volatile uint8_t* fpga, int ch, AiSource s, int32_t millionths)
{
    a.source[ch] = s;
    a.value[ch] = s == AI_OPEN ? 0 : millionths;
    ai_refresh(a, fpga);
}

void ai_read_calibration(const volatile uint8_t* fpga, int ch, uint16_t w[AIBOARD::CAL_WORDS])
{
    for (int k = 0; k < AIBOARD::CAL_WORDS; ++k)
        w[k] = static_cast<uint16_t>(fpga[cal_at(ch, k)] | (fpga[cal_at(ch, k) + 1] << 8));
}

void ai_write_calibration(AnalogBoard& a, volatile uint8_t* fpga, int ch, const uint16_t w[AIBOARD::CAL_WORDS])
{
    for (int k = 0; k < AIBOARD::CAL_WORDS; ++k) {
        fpga[cal_at(ch, k)] = static_cast<uint8_t>(w[k] & 0xFF);
        fpga[cal_at(ch, k) + 1] = static_cast<uint8_t>(w[k] >> 8);
    }
    ai_refresh(a, fpga);
}

int ai_result(const volatile uint8_t* fpga, int ch)
{
    return fpga[BOARD::REG_AI_RESULT + 2 * ch] | (fpga[BOARD::REG_AI_RESULT + 2 * ch + 1] << 8);
}

void ai_register_written(AnalogBoard& a, volatile uint8_t* fpga, unsigned offset)
{
    if (offset == BOARD::REG_AI_START) {
        // A start on a board that is not there reaches nothing.
        if (!(fpga[BOARD::REG_AI_START] & AIBOARD::START) || !ai_present(fpga)) return;
        for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
            const uint8_t pair = fpga[BOARD::REG_AI_RANGE + ch / 2];
            a.loaded[ch] = static_cast<uint8_t>(ch % 2 == 0 ? pair & 0x0F : pair >> 4);
        }
        a.converting = 1;
        ai_refresh(a, fpga);
    } else if (offset == BOARD::REG_AI_SWITCH || offset == BOARD::REG_AI_STATUS || is_calibration(offset)) {
        ai_refresh(a, fpga);
    }
}

void ai_refresh(const AnalogBoard& a, volatile uint8_t* fpga)
{
    const bool live = ai_present(fpga) && a.converting;
    for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
        int count = 0;
        if (live) {
            uint16_t w[AIBOARD::CAL_WORDS];
            ai_read_calibration(fpga, ch, w);
            count = ai_counts(a.loaded[ch], ai_voltage_position(fpga, ch), static_cast<AiSource>(a.source[ch]),
                              a.value[ch] / 1e6, AIBOARD::decode_calibration(w));
        }
        put_result(fpga, ch, count);
    }
}

int ai_counts(int code, bool voltage_position, AiSource s, double value, const AIBOARD::Calibration& cal)
{
    AIBOARD::Window w;
    if (!AIBOARD::converter_window(code, !voltage_position, w)) return 0;
    // Volts at the converter: a current source develops them across the
    // shunt; in the voltage position it finds no path and drives the input
    // as high as it can.
    double volts = 0;
    if (s == AI_VOLTAGE) volts = value;
    else if (s == AI_CURRENT) volts = voltage_position ? 1e9 : value / AIBOARD::MA_PER_VOLT;
    // The converter errs by the inverse of the calibration that corrects it.
    const double truth = volts * w.per_volt;
    const double g = cal.gain[w.pair], o = cal.offset[w.pair];
    const double reading = g != 0 ? (truth - o) / g : truth;
    const double raw = std::round(AIBOARD::reading_to_counts(reading, w));
    if (!(raw > 0)) return 0;
    return raw >= AIBOARD::FULL_COUNT ? AIBOARD::FULL_COUNT : static_cast<int>(raw);
}

bool ai_parse_source(const std::string& text, AiSource& s, int32_t& millionths)
{
    if (text == "open") {
        s = AI_OPEN;
        millionths = 0;
        return true;
    }
    const char* p = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p || !std::isfinite(v) || std::fabs(v) > SOURCE_LIMIT) return false;
    const std::string unit(end);
    if (unit == "mA") s = AI_CURRENT;
    else if (unit == "V") s = AI_VOLTAGE;
    else return false;
    millionths = static_cast<int32_t>(std::lround(v * 1e6));
    return true;
}

std::string ai_source_text(AiSource s, int32_t millionths)
{
    if (s != AI_CURRENT && s != AI_VOLTAGE) return "open";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g%s", millionths / 1e6, s == AI_CURRENT ? "mA" : "V");
    return buf;
}

}  // namespace simboard
