// The DIO monitor pass on the simulated board: filtering, publishing and
// announcing input and output level changes.
#include "event_fixture.h"

class DioMonitorTest : public EventsTest {
protected:
    DioMonitorState st;
    void set_input(int i, int v) { sb.set_gpio(BOARD::DI[i].chip, BOARD::DI[i].line, v); }
    void passes(int n)
    {
        for (int k = 0; k < n; ++k) dio_monitor_pass(st, 1000);
    }
    void announced_input(int i, int time)
    {
        auto& in = sensor_settings.digitalI[i];
        in.enable = true;
        in.errortext_id = 1;
        in.time = time;
        copy_text(in.ontext, "open");
        copy_text(in.offtext, "closed");
    }
};

TEST_F(DioMonitorTest, StartTakesLevelsWithoutAnnouncing)
{
    announced_input(0, 0);
    set_input(0, 1);
    set_input(1, 1);
    dio_monitor_start(st);
    EXPECT_EQ(live().digitalio[0].value, 1);
    EXPECT_EQ(live().digitalio[1].value, 1);
    passes(3);
    EXPECT_TRUE(trap_que.empty());
}

TEST_F(DioMonitorTest, LevelHeldThreeSecondsIsAcceptedOnceAndNotBefore)
{
    announced_input(3, 3);
    dio_monitor_start(st);
    set_input(3, 1);
    passes(20);
    set_input(3, 0);  // a glitch restarts the count
    passes(1);
    set_input(3, 1);
    passes(29);
    EXPECT_EQ(live().digitalio[3].value, 0) << "2.9 s of samples";
    EXPECT_TRUE(trap_que.empty());
    passes(1);
    EXPECT_EQ(live().digitalio[3].value, 1) << "the 30th sample";
    passes(50);
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"1,4,0,1,1,0,"}));
}

TEST_F(DioMonitorTest, ZeroTimeAndTrendAcceptAtOnce)
{
    announced_input(0, 0);
    announced_input(1, 5);
    sensor_settings.digitalI[1].trend_id = 4;
    sensor_settings.trend[4].enable = true;
    dio_monitor_start(st);
    set_input(0, 1);
    set_input(1, 1);
    passes(1);
    EXPECT_EQ(fields(live().digitalio[0].value, live().digitalio[1].value), "1|1");
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"1,1,0,1,1,0,", "1,2,0,1,1,0,"}));
}

TEST_F(DioMonitorTest, SilentInputsChangeValueOnly)
{
    // errortext 0 enabled, errortext 1 disabled: both absorbed.
    sensor_settings.digitalI[2] = {};
    sensor_settings.digitalI[2].enable = true;
    announced_input(5, 0);
    sensor_settings.digitalI[5].enable = false;
    on_rule(sensor_settings.digitalO[0], 1, 1, 3);
    admin_settings.mail_client_scenario[0] = {1, 1, 3, true, false};
    admin_settings.mqtt_scenario[0] = {1, 1, 3, true, false};
    dio_monitor_start(st);
    set_input(2, 1);
    set_input(5, 1);
    passes(2);
    EXPECT_EQ(fields(live().digitalio[2].value, live().digitalio[5].value), "1|1");
    EXPECT_TRUE(trap_que.empty() && mail_send.empty() && mqtt_con.empty());
    EXPECT_EQ(relay_line(0), 0) << "no relay scenario for an unannounced input";
}

TEST_F(DioMonitorTest, AnnouncementGoesToTrapMailMqttAndRelaysInOrder)
{
    announced_input(0, 0);
    live().digitalio[0].status = 1;
    admin_settings.mail_client_scenario[0] = {1, 2, 1, true, false};    // dest 1, input 1 ON
    admin_settings.mail_client_scenario[30] = {1, 1, 3, true, false};   // dest 2, any port ON/OFF
    admin_settings.mail_client_scenario[50] = {1, 1, 16, true, false};  // dest 3, state only: not for the monitor
    admin_settings.mqtt_scenario[4] = {1, 2, 1, true, false};
    on_rule(sensor_settings.digitalO[7], 1, 2, 1);
    dio_monitor_start(st);
    set_input(0, 1);
    passes(1);
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"1,1,1,1,1,1,"}));
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,1,1,1,open,", "2,1,1,1,1,open,"}));
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"1000,1,1,1,1,"}));
    EXPECT_EQ(relay_line(7), 1);
    set_input(0, 0);
    passes(1);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"2,1,1,1,1,closed,"}));
    EXPECT_TRUE(mqtt_con.empty());
}

TEST_F(DioMonitorTest, OutputSwitchedByCommandIsAnnouncedOnTheNextPass)
{
    sensor_settings.digitalO[2].enable = true;
    sensor_settings.digitalO[2].errortext_id = 1;
    dio_monitor_start(st);
    do_ctl(2, 1);
    passes(1);
    EXPECT_EQ(drain(trap_que), (std::vector<std::string>{"1,11,0,1,1,0,"}));
    passes(3);
    EXPECT_TRUE(trap_que.empty()) << "announced once";
}

TEST_F(DioMonitorTest, AnnouncedLevelIsTheLevelThePassCompared)
{
    sensor_settings.digitalI[2].enable = true;
    sensor_settings.digitalI[2].errortext_id = 1;
    monitor->sensor_condition->digitalio[2] = {0, 1};  // switched back meanwhile
    dio_announce(2, 1000, 1);
    ASSERT_FALSE(trap_que.empty());
    EXPECT_EQ(trap_que.front(), dio_trap_text(3, 1, 1));
}
