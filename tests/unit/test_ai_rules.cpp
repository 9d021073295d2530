// The analog rules without a board: calibration words, scaling, conversion,
// rounding, the trimmed mean, and the simulated converter as the inverse of
// the service's conversion.
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
        {"+-10 V with limits on one side", 2, 0, 1000, 0, 10000, 10000, -10000},
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
        {"0-1.28 V, top", 65535, false, 1, IDENTITY_GAIN, 12800, 0, 307.2},
        {"+-10 V, top of +-12.288 V", 65535, false, 2, IDENTITY_GAIN, 1000, -1000, 12.288},
        {"voltage mode, range 0: no reading", 40000, false, 0, IDENTITY_GAIN, 10000, 0, 0},
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
        {{-10, -20, -30, -40, -50, -60, -1000}, -40},
        {{1, 1, 1, 1, 2, 0, 100}, 1},
        {{-1, -1, -1, -1, -2, 0, -100}, -1},
        {{INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX}, INT_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(ai_trimmed_mean(c.s), c.mean) << c.s[0] << ", " << c.s[6];
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
