// The analog input board's fixed formats: the converter window behind each
// range code, and the factory calibration words. The service turns counts
// into readings with them; the simulated board turns readings into counts.
#pragma once

#include <cmath>
#include <cstdint>

namespace AIBOARD {

constexpr int CHANNELS = 8;
constexpr int FULL_COUNT = 65535;     // a conversion result is 0..65535
constexpr int START = 0x80;           // REG_AI_START: latch the range codes and convert
constexpr int PRESENT = 0x01;         // REG_AI_STATUS: the analog board is plugged in
constexpr int PORT_KEEP = 0x70;       // REG_AI_PORT: bits kept when the port is configured
constexpr int PORT_ENABLE = 0x80;     // REG_AI_PORT: set to configure the port
constexpr int CAL_WORDS = 6;          // calibration words per channel (12 bytes)
constexpr int CURRENT_CODE = 3;       // the one range code used in the current position
constexpr double MA_PER_VOLT = 4.0;   // current position: a 250 ohm shunt before the converter

// The converter's window for one range code. Unipolar windows read 0..full,
// bipolar ones -full..+full. Readings are in volts, except code 3 in the
// current position, which reads milliamperes through the shunt.
struct Window {
    bool bipolar;
    double full;      // top of a unipolar window, half scale of a bipolar one
    int pair;         // calibration pair that corrects readings of this window
    double per_volt;  // reading units per volt at the converter
};

// False for a code the board does not use.
inline bool converter_window(int code, bool current_position, Window& w)
{
    switch (code) {
    case 1: w = {true, 3.072, 0, 1.0}; return true;
    case 3:
        w = current_position ? Window{false, 6.144 * MA_PER_VOLT, 1, MA_PER_VOLT} : Window{false, 6.144, 2, 1.0};
        return true;
    case 4: w = {true, 6.144, 2, 1.0}; return true;
    case 6: w = {false, 12.288, 3, 1.0}; return true;
    case 7: w = {true, 12.288, 3, 1.0}; return true;
    default: return false;
    }
}

// The physical reading of a count, before calibration.
inline double counts_to_reading(int raw, const Window& w)
{
    if (w.bipolar) return w.full - static_cast<double>(FULL_COUNT - raw) / FULL_COUNT * (2 * w.full);
    return static_cast<double>(raw) / FULL_COUNT * w.full;
}

// The count of a reading (unrounded, unclamped): the inverse of the above.
inline double reading_to_counts(double x, const Window& w)
{
    if (w.bipolar) return FULL_COUNT - (w.full - x) / (2 * w.full) * FULL_COUNT;
    return x / w.full * FULL_COUNT;
}

// Gains and offsets of the four calibration pairs: corrected = gain x reading + offset.
struct Calibration {
    double gain[4];
    double offset[4];
};

// Six words per channel: a 24-bit gain (in 1e-7) and a sign-and-23-bit
// offset (in 1e-6) for the wide voltage windows (A), then the same for the
// current window (B). The narrower voltage windows are corrected by half
// and a quarter of window A's error.
inline Calibration decode_calibration(const uint16_t w[CAL_WORDS])
{
    auto gain = [](uint32_t hi, uint32_t lo) { return static_cast<double>((hi << 8) | (lo >> 8)) / 10000000.0; };
    auto offset = [](uint32_t mid, uint32_t lo) {
        const double o = static_cast<double>(((mid & 0x7F) << 16) | lo) / 1000000.0;
        return (mid & 0x80) ? -o : o;
    };
    const double ga = gain(w[0], w[1]), oa = offset(w[1], w[2]);
    const double gb = gain(w[3], w[4]), ob = offset(w[4], w[5]);
    Calibration c{};
    c.gain[3] = ga;
    c.offset[3] = oa;
    c.gain[2] = ga <= 0 ? 0 : 1 + (ga - 1) * 0.5;
    c.offset[2] = oa * 0.5;
    c.gain[0] = ga <= 0 ? 0 : 1 + (ga - 1) * 0.25;
    c.offset[0] = oa * 0.25;
    c.gain[1] = gb;
    c.offset[1] = ob;
    return c;
}

// The largest gain and offset the words can hold.
constexpr double GAIN_MAX = 0xFFFFFF / 10000000.0;
constexpr double OFFSET_MAX = 0x7FFFFF / 1000000.0;

// The words of a calibration: gain and offset of window A, then of the
// current window B; values beyond the words' range are cut to it.
inline void encode_calibration(double ga, double oa, double gb, double ob, uint16_t w[CAL_WORDS])
{
    auto put = [](double g, double o, uint16_t* out) {
        const long gi = std::lround(std::fmin(std::fmax(g, 0.0), GAIN_MAX) * 10000000.0);
        const long oi = std::lround(std::fmin(std::fabs(o), OFFSET_MAX) * 1000000.0);
        out[0] = static_cast<uint16_t>(gi >> 8);
        out[1] = static_cast<uint16_t>(((gi & 0xFF) << 8) | (o < 0 && oi != 0 ? 0x80 : 0) | (oi >> 16));
        out[2] = static_cast<uint16_t>(oi & 0xFFFF);
    };
    put(ga, oa, w);
    put(gb, ob, w + 3);
}

}  // namespace AIBOARD
