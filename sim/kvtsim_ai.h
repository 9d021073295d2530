// kvtsim ai: the simulated analog input board, as a person at the appliance
// would handle it: plug it in or pull it, move a channel's current/voltage
// switch, connect a source to a channel, program its calibration.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_board.h"

namespace kvtsim_ai_detail {

inline bool parse_channel(const char* s, int& ch)
{
    if (!s || !*s) return false;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (*end != '\0' || v < 1 || v > AIBOARD::CHANNELS) return false;
    ch = static_cast<int>(v) - 1;
    return true;
}

inline bool parse_number(const char* s, double lo, double hi, double& out)
{
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (errno == ERANGE || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    out = v;
    return true;
}

// "SWITCH SOURCE CODE COUNT" of one channel.
inline void print_channel(const simboard::Mapping& m, int ch)
{
    const auto& a = m.hdr->analog;
    std::printf("%s %s %d %d\n", simboard::ai_voltage_position(m.fpga, ch) ? "voltage" : "current",
                simboard::ai_source_text(static_cast<simboard::AiSource>(a.source[ch]), a.value[ch]).c_str(),
                a.loaded[ch], simboard::ai_result(m.fpga, ch));
}

}  // namespace kvtsim_ai_detail

// args[0] is "ai". Returns the tool's exit code; `usage` reports a wrong
// command line (and returns 2).
inline int kvtsim_ai(simboard::Mapping& m, const std::vector<const char*>& args, int (*usage)(const char*))
{
    using namespace kvtsim_ai_detail;
    auto& a = m.hdr->analog;
    const size_t n = args.size();
    if (n == 1) {
        std::printf("%s\n", simboard::ai_present(m.fpga) ? "plugged in" : "unplugged");
        for (int ch = 0; ch < AIBOARD::CHANNELS; ++ch) {
            std::printf("%d ", ch + 1);
            print_channel(m, ch);
        }
        return 0;
    }
    const std::string what = args[1];
    if (what == "plug" || what == "unplug") {
        if (n > 2) return usage("ai plug|unplug takes nothing more");
        simboard::ai_plug(a, m.fpga, what == "plug");
        return 0;
    }
    int ch;
    if (!parse_channel(args[1], ch)) return usage("ai CH: CH must be 1-8 (or plug, unplug)");
    if (n == 2) {
        print_channel(m, ch);
        return 0;
    }
    const std::string op = args[2];
    if (op == "switch") {
        if (n == 3) {
            std::printf("%s\n", simboard::ai_voltage_position(m.fpga, ch) ? "voltage" : "current");
            return 0;
        }
        const std::string pos = args[3];
        if (n > 4 || (pos != "current" && pos != "voltage")) return usage("ai CH switch [current|voltage]");
        simboard::ai_set_switch(a, m.fpga, ch, pos == "voltage");
        return 0;
    }
    if (op == "cal") {
        uint16_t w[AIBOARD::CAL_WORDS];
        if (n == 3) {
            simboard::ai_read_calibration(m.fpga, ch, w);
            const AIBOARD::Calibration c = AIBOARD::decode_calibration(w);
            std::printf("%.7f %.6f %.7f %.6f\n", c.gain[3], c.offset[3], c.gain[1], c.offset[1]);
            return 0;
        }
        double v[4];
        if (n != 7) return usage("ai CH cal GAIN_V OFFSET_V GAIN_MA OFFSET_MA");
        for (int k = 0; k < 4; ++k) {
            const bool gain = k % 2 == 0;
            if (!parse_number(args[3 + k], gain ? 0 : -AIBOARD::OFFSET_MAX, gain ? AIBOARD::GAIN_MAX : AIBOARD::OFFSET_MAX,
                              v[k]))
                return usage("ai CH cal: gains 0-1.6777215, offsets -8.388607 to 8.388607");
        }
        AIBOARD::encode_calibration(v[0], v[1], v[2], v[3], w);
        simboard::ai_write_calibration(a, m.fpga, ch, w);
        return 0;
    }
    simboard::AiSource s;
    int32_t value;
    if (n > 3 || !simboard::ai_parse_source(op, s, value))
        return usage("ai CH SOURCE: a current (12mA), a voltage (-2.5V) or open, within 100 units");
    simboard::ai_set_source(a, m.fpga, ch, s, value);
    return 0;
}
