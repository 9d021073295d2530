// The analog steps on the simulated board: range loading, the port setting,
// moved switches, board loss and return, the means and their mail-report
// samples, and debug readings.
#include <chrono>
#include <cstring>
#include <thread>

#include "ai_thread.h"
#include "db_test_support.h"
#include "event_fixture.h"

using Clock = std::chrono::steady_clock;
using SETTINGS_TABLE::VALUE_ERROR;

namespace {

// What an earlier test in the same process may have left.
void reset_analog_state()
{
    std::memset(ai_state().ai_switching, 0, sizeof ai_state().ai_switching);
    ai_state().ai_con_state = '1';
    ai_state().ai_pre_range_state = 0;
    ai_state().ai_port_setting_flag = 0;
    std::memset(&report_struct, 0, sizeof report_struct);
}

// 4-20 mA shown as 0-100.00 on every channel, enabled.
void four_to_twenty(SETTINGS_TABLE::Sensor_settings& s)
{
    for (auto& a : s.analog) {
        a.enable = true;
        a.range = 0;
        a.input_min = 400, a.input_max = 2000, a.output_min = 0, a.output_max = 10000;
    }
}

}  // namespace

class AiBoardTest : public EventsTest {
protected:
    simboard::Mapping m;

    void SetUp() override
    {
        EventsTest::SetUp();
        ASSERT_EQ(fpga_open(), 0);
        std::string err;
        ASSERT_TRUE(simboard::board_map(sb.root(), m, err)) << err;
        reset_analog_state();
    }
    void TearDown() override
    {
        simboard::board_unmap(m);
        fpga_close();
        board_forget();
        EventsTest::TearDown();
    }

    simboard::AnalogBoard& board() { return m.hdr->analog; }
    void source(int ch, const char* text)
    {
        simboard::AiSource s;
        int32_t v;
        ASSERT_TRUE(simboard::ai_parse_source(text, s, v)) << text;
        simboard::ai_set_source(board(), m.fpga, ch, s, v);
    }
    void passes(AiLoopState& st, int n)
    {
        for (int i = 0; i < n; ++i) ai_loop_pass(st);
    }
};

TEST_F(AiBoardTest, RangeLoadingPacksTwoCodesAByteThenStartsTheConverter)
{
    // Current, +-10 V, range 0 in voltage mode and an unknown range (both
    // keep the previous code), 0-1.28 V, +-5 V, 0-10 V, 0-5 V.
    const int ranges[8] = {0, 2, 0, 9, 1, 3, 4, 5};
    for (int ch = 0; ch < 8; ++ch) sensor_settings.analog[ch].range = ranges[ch];
    ai_state().ai_switching[0] = 1;
    ai_set_conv_range();
    EXPECT_EQ(sb.fpga_writes(), (std::vector<std::string>{"0x51000600 115", "0x51000601 119", "0x51000602 65",
                                                          "0x51000603 54", "0x51000300 128"}));
    const int latched[8] = {3, 7, 7, 7, 1, 4, 6, 3};
    for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(board().loaded[ch], latched[ch]) << "channel " << ch + 1;

    // An unknown range on the first channel in voltage mode loads code 0.
    ai_state().ai_switching[0] = 0;
    sensor_settings.analog[0].range = 8;
    sensor_settings.analog[1].range = 0;
    ai_set_conv_range();
    EXPECT_EQ(board().loaded[0], 0);
    EXPECT_EQ(board().loaded[1], 0);
}

TEST_F(AiBoardTest, PortSettingKeepsPortBitsAndLoadsRangesAndScaling)
{
    four_to_twenty(sensor_settings);
    m.fpga[BOARD::REG_AI_PORT] = 0x7F;
    ai_port_setting();
    EXPECT_EQ(m.fpga[BOARD::REG_AI_PORT], 0xF0);
    EXPECT_EQ(ai_state().ai_port_setting_flag, 0);
    EXPECT_EQ(monitor->requestflg->ai_connection, 1);
    EXPECT_EQ(ai_state().ai_scaling_max[5], 10000);
    EXPECT_EQ(board().loaded[5], 3);
    const std::vector<std::string> w = sb.fpga_writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.front(), "0x51000302 240");
    EXPECT_EQ(w.back(), "0x51000300 128");
}

TEST_F(AiBoardTest, UnpluggedBoardReadsErrorAndReturnsWithReloadedRanges)
{
    four_to_twenty(sensor_settings);
    sensor_settings.analog[7].enable = false;
    admin_settings.mail_report[2].mailreport_enable = 4;
    for (int ch = 0; ch < 8; ++ch) source(ch, "12mA");
    AiLoopState st;
    ai_loop_start(st);
    EXPECT_NE(sb.applog().find("> AI Connection Successful\n"), std::string::npos);
    passes(st, 6);
    EXPECT_EQ(live().analog[0].value, VALUE_ERROR) << "no mean before the seventh sample";
    passes(st, 1);
    for (int ch = 0; ch < 7; ++ch) ASSERT_EQ(live().analog[ch].value, 5000);
    EXPECT_EQ(live().analog[7].value, VALUE_ERROR) << "disabled channel";
    // Every pass samples the shown values for the mail reports: only the mean is a reading.
    const auto& rep = report_struct.mailreport[2];
    EXPECT_EQ(fields(rep.analog[6].num, rep.analog[6].average, rep.analog[7].num), "1|5000|0");

    simboard::ai_plug(board(), m.fpga, false);
    passes(st, 10);
    for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(live().analog[ch].value, VALUE_ERROR) << "channel " << ch + 1;
    EXPECT_EQ(monitor->requestflg->ai_connection, 0);
    EXPECT_EQ(count_of(sb.applog(), "> AI Disconnection!\n"), 1);

    // The board comes back unconfigured; the first poll waits 1 s, then
    // loads its ranges and starts it.
    simboard::ai_plug(board(), m.fpga, true);
    const size_t writes = sb.fpga_writes().size();
    EXPECT_EQ(simboard::ai_result(m.fpga, 0), 0) << "not started yet";
    auto t0 = Clock::now();
    passes(st, 1);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(took, 1.0);
    EXPECT_EQ(count_of(sb.applog(), "> AI Connection Recovery!\n"), 1);
    const std::vector<std::string> w = sb.fpga_writes();
    ASSERT_GT(w.size(), writes);
    EXPECT_EQ(w.back(), "0x51000300 128");
    EXPECT_EQ(board().loaded[0], 3);
    EXPECT_EQ(monitor->requestflg->ai_connection, 1);
    // Only samples taken since the return make the next mean.
    EXPECT_EQ(live().analog[0].value, VALUE_ERROR);
    passes(st, 6);
    for (int ch = 0; ch < 7; ++ch) EXPECT_EQ(live().analog[ch].value, 5000) << "channel " << ch + 1;
    EXPECT_EQ(count_of(sb.applog(), "AI Disconnection!"), 1);
    EXPECT_EQ(count_of(sb.applog(), "AI Connection Recovery!"), 1);
}

TEST_F(AiBoardTest, MovedSwitchesForceTheirRangesOnTheNextPoll)
{
    four_to_twenty(sensor_settings);
    simboard::ai_set_switch(board(), m.fpga, 2, true);
    sensor_settings.analog[2].range = 3;
    AiLoopState st;
    ai_loop_start(st);
    ASSERT_TRUE(db_save.empty()) << "ranges that match their switches stay";
    simboard::ai_set_switch(board(), m.fpga, 1, true);   // to voltage, range 0 stored
    simboard::ai_set_switch(board(), m.fpga, 2, false);  // to current, +-5 V stored
    passes(st, 1);
    EXPECT_EQ(sensor_settings.analog[1].range, 1);
    EXPECT_EQ(sensor_settings.analog[2].range, 0);
    EXPECT_TRUE(sensor_settings.analog[1].changeflg && sensor_settings.analog[2].changeflg);
    EXPECT_EQ(drain(db_save), (std::vector<std::string>{"10,1,", "10,2,"}));
    EXPECT_EQ(board().loaded[1], 1) << "0-1.28 V code loaded";
    EXPECT_EQ(board().loaded[2], 3);
    EXPECT_EQ(get_ai_switching(1), 0);
    EXPECT_EQ(get_ai_switching(2), 1);
}

TEST_F(AiBoardTest, BusyPortSettingSkipsThePassAndRestartsTheMeans)
{
    four_to_twenty(sensor_settings);
    source(0, "12mA");
    AiLoopState st;
    ai_loop_start(st);
    passes(st, 5);
    source(0, "16mA");
    std::thread writer(ai_port_setting);  // as the settings writer does
    ASSERT_TRUE(wait_until([] { return ai_state().ai_port_setting_flag == 1; }, 2000));
    passes(st, 1);
    EXPECT_EQ(st.count[0], 0);
    writer.join();
    passes(st, 6);
    EXPECT_EQ(live().analog[0].value, VALUE_ERROR) << "the 12 mA samples were dropped";
    passes(st, 1);
    EXPECT_EQ(live().analog[0].value, 7500);
}

TEST_F(AiBoardTest, DebugModeTakesTheSimulationValuesAndLeavesTheBoard)
{
    four_to_twenty(sensor_settings);
    source(2, "12mA");
    AiLoopState st;
    ai_loop_start(st);
    debug_mode = true;
    debug_inputs.ais[2] = 1234;   // simulation file line "AI3,1234": a live value in hundredths
    debug_inputs.ais[3] = -250;
    simboard::ai_plug(board(), m.fpga, false);  // not polled in debug mode
    passes(st, 7);
    EXPECT_EQ(live().analog[2].value, 1234);
    EXPECT_EQ(live().analog[3].value, -250);
    EXPECT_EQ(sb.applog().find("AI Disconnection!"), std::string::npos);
    debug_mode = false;
    passes(st, 1);
    EXPECT_EQ(live().analog[2].value, VALUE_ERROR);
    EXPECT_EQ(count_of(sb.applog(), "AI Disconnection!"), 1);
}
