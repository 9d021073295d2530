// The analog rules without a board: calibration words, scaling, conversion,
// rounding, the trimmed mean, the switch and range-code rules, and the
// simulated converter as the exact inverse of the service's conversion.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "ai_thread.h"
#include "sim_analog.h"

namespace {

constexpr double IDENTITY_GAIN[4] = {1, 1, 1, 1};
constexpr double NO_OFFSET[4] = {0, 0, 0, 0};

}  // namespace

TEST(AiRulesTest, CalibrationWordsDecodeToEveryPairsGainAndOffset)
{
    struct Case {
        const char* what;
        uint16_t w[6];
        double gain[4], offset[4];  // pairs 0 to 3
    } cases[] = {
        {"identity", {0x9896, 0x8000, 0x0000, 0x9896, 0x8000, 0x0000}, {1, 1, 1, 1}, {0, 0, 0, 0}},
        // A: gain 10012345e-7 = 0x98C6B9, offset -12345e-6 (sign bit 7 of w1);
        // B: gain 9987654e-7 = 0x986646, offset +8000000e-6 = 0x7A1200.
        {"trimmed board",
         {0x98C6, 0xB980, 0x3039, 0x9866, 0x467A, 0x1200},
         {1.000308625, 0.9987654, 1.00061725, 1.0012345},
         {-0.00308625, 8.0, -0.0061725, -0.012345}},
        {"every bit set",
         {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
         {1.169430375, 1.6777215, 1.33886075, 1.6777215},
         {-2.09715175, -8.388607, -4.1943035, -8.388607}},
        {"blank block: no gain at all", {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"offset bits below the sign", {0x9896, 0x807F, 0xFFFF, 0x0000, 0x0001, 0x0000},
         {1.0, 0.0, 1.0, 1.0}, {8.388607 * 0.25, 0.065536, 8.388607 * 0.5, 8.388607}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AIBOARD::Calibration cal = AIBOARD::decode_calibration(c.w);
        for (int p = 0; p < 4; ++p) {
            EXPECT_NEAR(cal.gain[p], c.gain[p], 1e-12) << "gain of pair " << p;
            EXPECT_NEAR(cal.offset[p], c.offset[p], 1e-12) << "offset of pair " << p;
        }
        uint16_t again[6];
        AIBOARD::encode_calibration(cal.gain[3], cal.offset[3], cal.gain[1], cal.offset[1], again);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(again[k], c.w[k]) << "encoded again, word " << k;
    }
}

TEST(AiRulesTest, ScalingIsTheLineThroughTheLimitsAtTheWindowEnds)
{
    struct Case {
        const char* what;
        int range, imin, imax, omin, omax;
        int smax, smin;
    } cases[] = {
        {"4-20 mA to 0-100", 0, 400, 2000, 0, 10000, 10000, 0},
        {"4-20 mA to -50..50", 0, 400, 2000, -5000, 5000, 5000, -5000},
        {"0-10 V, limits at 0-10 V", 4, 0, 1000, 0, 500, 500, 0},
        {"+-10 V with limits on one side", 2, 0, 1000, 0, 10000, 10000, -10000},
        {"truncated: 426.24", 1, 0, 100, 0, 333, 426, 0},
        {"truncated toward zero: -1666.67", 3, 0, 300, 0, 1000, 1666, -1666},
        {"equal input limits", 0, 1000, 1000, 0, 10000, 0, 0},
        {"range outside 0..5: both ends at 0", 9, 400, 2000, 0, 10000, -2500, -2500},
        {"beyond the int range: cut to it", 0, 0, 1, 0, 2000000000, INT_MAX, INT_MAX},
    };
    for (const auto& c : cases) {
        const AiScaling s = ai_scaling(c.range, c.imin, c.imax, c.omin, c.omax);
        EXPECT_EQ(s.max, c.smax) << c.what;
        EXPECT_EQ(s.min, c.smin) << c.what;
    }
}

TEST(AiRulesTest, CountsConvertThroughWindowPairAndScaling)
{
    // Distinct gains per pair show which pair a range uses.
    const double gains[4] = {2, 3, 4, 5};
    struct Case {
        const char* what;
        int raw;
        bool current;
        int range;
        const double* gain;
        int smax, smin;
        double ais;
    } cases[] = {
        {"4-20 mA, no current", 0, true, 0, IDENTITY_GAIN, 10000, 0, -25.0},
        {"4-20 mA, full scale 24.576 mA", 65535, true, 0, IDENTITY_GAIN, 10000, 0, 128.6},
        {"4-20 mA, 12 mA", 32000, true, 0, IDENTITY_GAIN, 10000, 0, 100 - 100 * (20 - 32000 / 65535.0 * 24.576) / 16},
        {"0-1.28 V, bottom of +-3.072 V", 0, false, 1, IDENTITY_GAIN, 12800, 0, -307.2},
        {"0-1.28 V, top", 65535, false, 1, IDENTITY_GAIN, 12800, 0, 307.2},
        {"+-10 V, top of +-12.288 V", 65535, false, 2, IDENTITY_GAIN, 1000, -1000, 12.288},
        {"+-5 V, mid scale", 32768, false, 3, IDENTITY_GAIN, 500, -500, 6.144 - 32767 / 65535.0 * 12.288},
        {"0-5 V, top of 6.144 V", 65535, false, 5, IDENTITY_GAIN, 500, 0, 6.144},
        {"voltage mode, range 0: no reading", 40000, false, 0, IDENTITY_GAIN, 10000, 0, 0},
        {"voltage mode, range 7: no reading", 40000, false, 7, IDENTITY_GAIN, 10000, 0, 0},
        {"current uses pair 1", 65535, true, 0, gains, 2000, 400, 3 * 24.576},
        {"0-1.28 V uses pair 0", 65535, false, 1, gains, 128, 0, 2 * 3.072},
        {"+-10 V uses pair 3", 65535, false, 2, gains, 1000, -1000, 5 * 12.288},
        {"+-5 V uses pair 2", 65535, false, 3, gains, 500, -500, 4 * 6.144},
        {"0-10 V uses pair 3", 65535, false, 4, gains, 1000, 0, 5 * 12.288},
        {"0-5 V uses pair 2", 65535, false, 5, gains, 500, 0, 4 * 6.144},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(ai_convert(c.raw, c.current, c.range, c.gain, NO_OFFSET, c.smax, c.smin), c.ais, 1e-9) << c.what;

    const double offsets[4] = {0.5, -1.5, 0.25, -0.125};
    EXPECT_NEAR(ai_convert(0, true, 0, IDENTITY_GAIN, offsets, 2000, 400), -1.5, 1e-9) << "offset of pair 1";
}

TEST(AiRulesTest, TwelveMilliampsOnFourToTwentyGiveFiftyPercent)
{
    const AiScaling s = ai_scaling(0, 400, 2000, 0, 10000);
    ASSERT_EQ(s.max, 10000);
    ASSERT_EQ(s.min, 0);
    // The count of exactly 12 mA, corrected by a calibration that undoes
    // the count's rounding.
    const double x = 32000 / 65535.0 * 24.576;
    const double off[4] = {0, 12.0 - x, 0, 0};
    const double a = ai_convert(32000, true, 0, IDENTITY_GAIN, off, s.max, s.min);
    EXPECT_NEAR(a, 50.0, 1e-9);
    EXPECT_EQ(ai_hundredths(static_cast<float>(a)), 5000);
}

TEST(AiRulesTest, HundredthsRoundUpFromHalfAndTruncateNegatives)
{
    struct Case {
        float in;
        int out;
    } cases[] = {
        {1.235f, 124},  {-1.705f, -170}, {50.0f, 5000},   {0.125f, 13},    {0.0049f, 0},
        {-0.125f, -12},   {0.29f, 29},     {-0.29f, -28},   {-25.0f, -2500}, {1e30f, INT_MAX},
        {-1e30f, INT_MIN}, {NAN, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ai_hundredths(c.in), c.out) << c.in;
}

TEST(AiRulesTest, TrimmedMeanDropsTheExtremesAndTruncatesTowardZero)
{
    struct Case {
        int s[7];
        int mean;
    } cases[] = {
        {{10, 20, 30, 40, 50, 60, 1000}, 40},
        {{1000, 60, 50, 40, 30, 20, 10}, 40},
        {{-10, -20, -30, -40, -50, -60, -1000}, -40},
        {{7, 7, 7, 7, 7, 7, 7}, 7},
        {{1, 1, 1, 1, 2, 0, 100}, 1},
        {{-1, -1, -1, -1, -2, 0, -100}, -1},
        {{INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX}, INT_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(ai_trimmed_mean(c.s), c.mean) << c.s[0] << ", " << c.s[6];
}

TEST(AiRulesTest, SwitchPositionDecidesTheRangeAndItsCode)
{
    struct Forced {
        bool voltage;
        int range, out;
    } forced[] = {{true, 0, 1}, {true, 3, 3}, {true, 9, 9}, {false, 0, 0}, {false, 4, 0}, {false, -1, 0}};
    for (const auto& f : forced) EXPECT_EQ(ai_forced_range(f.voltage, f.range), f.out) << f.voltage << " " << f.range;

    struct Code {
        bool current;
        int range, prev, code;
    } codes[] = {{true, 4, 0, 3},  {false, 1, 0, 1}, {false, 2, 0, 7},  {false, 3, 0, 4}, {false, 4, 0, 6},
                 {false, 5, 0, 3}, {false, 0, 6, 6}, {false, 6, 7, 7}, {false, -3, 0, 0}};
    for (const auto& c : codes) EXPECT_EQ(ai_range_code(c.current, c.range, c.prev), c.code) << c.range;
}

// What the simulated board produces for a source reads back, after the
// service's conversion, as the source within one count.
TEST(AiRulesTest, SimulatedCountsReadBackAsTheSourceInEveryRange)
{
    uint16_t w[6];
    AIBOARD::encode_calibration(1.0123456, -0.0432100, 0.9876543, 0.0765430, w);
    const AIBOARD::Calibration trimmed = AIBOARD::decode_calibration(w);
    AIBOARD::encode_calibration(1, 0, 1, 0, w);
    const AIBOARD::Calibration identity = AIBOARD::decode_calibration(w);
    struct Case {
        int range;
        bool current;
        std::vector<double> values;  // mA or V
    } cases[] = {
        {0, true, {4, 12, 16, 20, 0.5}},  {1, false, {0, 0.64, 1.28, -0.5}},
        {2, false, {-10, -3.3, 0, 9.99}}, {3, false, {-5, 2.5, 4.999}},
        {4, false, {0, 3.3, 10}},         {5, false, {0, 1.234, 5}},
    };
    for (const AIBOARD::Calibration* cal : {&identity, &trimmed}) {
        for (const auto& c : cases) {
            const AiRange* r = ai_range(c.range);
            // Display units equal to the window's: limits A..B shown as A..B.
            const AiScaling s = ai_scaling(c.range, r->a, r->b, r->a, r->b);
            const int code = ai_range_code(c.current, c.range, 0);
            AIBOARD::Window win;
            ASSERT_TRUE(AIBOARD::converter_window(code, c.current, win));
            const double count = (win.bipolar ? 2 * win.full : win.full) / 65535 * cal->gain[win.pair];
            for (double v : c.values) {
                const int raw = simboard::ai_counts(code, !c.current, c.current ? simboard::AI_CURRENT : simboard::AI_VOLTAGE,
                                                    v, *cal);
                const double back = ai_convert(raw, c.current, c.range, cal->gain, cal->offset, s.max, s.min);
                EXPECT_NEAR(back, v, count) << "range " << c.range << ", " << v << (cal == &identity ? "" : ", trimmed");
            }
        }
    }
}

TEST(AiRulesTest, SimulatedConverterClampsAndIgnoresUnusedCodes)
{
    uint16_t w[6];
    AIBOARD::encode_calibration(1, 0, 1, 0, w);
    const AIBOARD::Calibration cal = AIBOARD::decode_calibration(w);
    using namespace simboard;
    struct Case {
        const char* what;
        int code;
        bool voltage_position;
        AiSource s;
        double v;
        int count;
    } cases[] = {
        {"beyond the top", 3, false, AI_CURRENT, 30, 65535},
        {"below the bottom", 6, true, AI_VOLTAGE, -1, 0},
        {"current source in the voltage position", 4, true, AI_CURRENT, 1, 65535},
        {"voltage source in the current position: through the shunt", 3, false, AI_VOLTAGE, 3.072, 32768},
        {"open input, bipolar window: mid scale", 7, true, AI_OPEN, 0, 32768},
        {"code 0 (not loaded yet)", 0, false, AI_CURRENT, 12, 0},
        {"code 5 (not used)", 5, true, AI_VOLTAGE, 1, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ai_counts(c.code, c.voltage_position, c.s, c.v, cal), c.count) << c.what;
}

TEST(AiRulesTest, SourceTextsParseAndPrintBack)
{
    using namespace simboard;
    struct Case {
        const char* in;
        bool ok;
        AiSource s;
        int32_t millionths;
        const char* printed;
    } cases[] = {
        {"12mA", true, AI_CURRENT, 12000000, "12mA"},   {"3.3V", true, AI_VOLTAGE, 3300000, "3.3V"},
        {"-2.5V", true, AI_VOLTAGE, -2500000, "-2.5V"}, {"open", true, AI_OPEN, 0, "open"},
        {"0.004mA", true, AI_CURRENT, 4000, "0.004mA"}, {"100V", true, AI_VOLTAGE, 100000000, "100V"},
        {"100.1V", false, AI_OPEN, 0, ""},              {"12", false, AI_OPEN, 0, ""},
        {"12ma", false, AI_OPEN, 0, ""},                {"mA", false, AI_OPEN, 0, ""},
        {"nanV", false, AI_OPEN, 0, ""},                {"12mA ", false, AI_OPEN, 0, ""},
        {"", false, AI_OPEN, 0, ""},
    };
    for (const auto& c : cases) {
        AiSource s = AI_OPEN;
        int32_t m = -1;
        ASSERT_EQ(ai_parse_source(c.in, s, m), c.ok) << c.in;
        if (!c.ok) continue;
        EXPECT_EQ(s, c.s) << c.in;
        EXPECT_EQ(m, c.millionths) << c.in;
        EXPECT_EQ(ai_source_text(s, m), c.printed) << c.in;
    }
}
