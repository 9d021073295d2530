// Mail and MQTT scenario matching: port selection, event bits and the
// different grouping of threshold states in the two tables.
#include "event_fixture.h"

using ScenarioTest = EventsTest;

namespace {
SETTINGS_TABLE::Scenario rule(int type, int sensor, int bits, bool enable = true)
{
    return {type, sensor, bits, enable, false};
}
}  // namespace

TEST_F(ScenarioTest, PortSelectorKindAndEnable)
{
    admin_settings.mail_client_scenario[0] = rule(3, 1, 8);         // every probe
    admin_settings.mail_client_scenario[1] = rule(3, 6, 8);         // probe 5
    admin_settings.mail_client_scenario[2] = rule(3, 0, 8);         // no probe
    admin_settings.mail_client_scenario[3] = rule(3, 1, 8, false);  // disabled
    admin_settings.mail_client_scenario[4] = rule(4, 1, 0x3F);      // other kind
    mail_senario_check(3, 5, 5, 3125, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,3,5,5,31.25,", "1,1,3,5,5,31.25,"}));
    mail_senario_check(3, 4, 5, 3125, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,3,4,5,31.25,"}));

    admin_settings.mqtt_scenario[0] = rule(3, 1, 8);
    admin_settings.mqtt_scenario[1] = rule(3, 6, 8);
    admin_settings.mqtt_scenario[2] = rule(3, 0, 8);
    admin_settings.mqtt_scenario[3] = rule(3, 1, 8, false);
    admin_settings.mqtt_scenario[23] = rule(3, 6, 8);  // the last record is read too
    mqtt_senario_check(77, 3, 5, 5, 3125, 0);
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>(3, "77,3,5,5,3125,")));
}

TEST_F(ScenarioTest, MailGroupsBySeverityMqttBySide)
{
    struct Case {
        int state, bits;
        bool mail, mqtt;
    } cases[] = {
        {1, 16, true, true},   {0, 32, true, true},   {4, 32, true, true},
        {6, 4, true, false},   {6, 8, false, true},   {7, 4, true, true},
        {7, 8, false, false},  {5, 8, true, true},    {5, 4, false, false},
        {8, 8, true, false},   {8, 4, false, true},   {2, 4, true, false},
        {3, 8, true, false},   {9, 0x3F, false, false}, {-1, 0x3F, false, false},
        {1, 3, false, false},  // level bits never fire for measured kinds
    };
    for (const auto& c : cases) {
        admin_settings.mail_client_scenario[0] = rule(2, 1, c.bits);
        admin_settings.mqtt_scenario[0] = rule(2, 1, c.bits);
        mail_senario_check(2, 3, c.state, 1250, 0);
        mqtt_senario_check(5, 2, 3, c.state, 1250, 0);
        EXPECT_EQ(drain(mail_send).size(), c.mail ? 1u : 0u) << "mail state " << c.state << " bits " << c.bits;
        EXPECT_EQ(drain(mqtt_con).size(), c.mqtt ? 1u : 0u) << "mqtt state " << c.state << " bits " << c.bits;
    }
}

TEST_F(ScenarioTest, ValueTextsAndRecords)
{
    admin_settings.mail_client_scenario[24] = rule(3, 1, 0x3F);  // destination 2
    admin_settings.mqtt_scenario[0] = rule(3, 1, 0x3F);
    mail_senario_check(3, 5, 5, 3125, 0);
    mail_senario_check(3, 5, 1, 2350, 0);
    mail_senario_check(3, 5, 4, 65535, 0);
    mail_senario_check(3, 5, 8, -1050, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"2,1,3,5,5,31.25,", "2,1,3,5,1,23.50,", "2,1,3,5,4,ERROR,",
                                                          "2,1,3,5,8,-10.50,"}));
    mqtt_senario_check(1700000000, 3, 5, 4, 65535, 0);
    mqtt_senario_check(1700000000, 3, 5, 1, 2350, 0);
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"1700000000,3,5,4,65535,", "1700000000,3,5,1,2350,"}));
}

TEST_F(ScenarioTest, DestinationsFollowRecordGroupsAndRecord120IsNeverRead)
{
    for (int i : {0, 23, 24, 47, 48, 96, 119, 120}) admin_settings.mail_client_scenario[i] = rule(2, 1, 16);
    mail_senario_check(2, 1, 1, 100, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,2,1,1,1.00,", "1,1,2,1,1,1.00,", "2,1,2,1,1,1.00,",
                                                          "2,1,2,1,1,1.00,", "3,1,2,1,1,1.00,", "5,1,2,1,1,1.00,",
                                                          "5,1,2,1,1,1.00,"}));
}

TEST_F(ScenarioTest, DigitalPortOnWithAlertGivesTwoMailsFromTheStateLog)
{
    copy_text(sensor_settings.digitalI[0].ontext, "door open");
    copy_text(sensor_settings.digitalI[0].offtext, "door shut");
    copy_text(sensor_settings.digitalO[1].offtext, "fan off");
    admin_settings.mail_client_scenario[0] = rule(1, 2, 1 | 8);
    mail_senario_check(1, 1, 3, 1, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,1,1,3,door open,", "1,1,1,1,3,door open,"}));
    mail_senario_check(1, 1, 3, 1, 1);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,1,1,3,door open,"})) << "the monitor tests the level only";
    mail_senario_check(1, 1, 3, 0, 0);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,1,1,3,door shut,"}));
    admin_settings.mail_client_scenario[0] = rule(1, 11, 2);  // output 2 OFF
    mail_senario_check(1, 10, 1, 0, 1);
    EXPECT_EQ(drain(mail_send), (std::vector<std::string>{"1,1,1,10,1,fan off,"}));
    mail_senario_check(1, 40, 1, 0, 1);  // no such port: selector 11 does not match
    EXPECT_TRUE(mail_send.empty());
}

TEST_F(ScenarioTest, MqttDigitalOnIsLiteralOneAndStatesOnlyFromTheStateLog)
{
    admin_settings.mqtt_scenario[0] = rule(1, 1, 1 | 2 | 8);
    mqtt_senario_check(9, 1, 2, 3, 1, 0);
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"9,1,2,3,1,", "9,1,2,3,1,"}));
    mqtt_senario_check(9, 1, 2, 3, 1, 1);
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"9,1,2,3,1,"}));
    mqtt_senario_check(9, 1, 2, 1, 0, 1);
    EXPECT_EQ(drain(mqtt_con), (std::vector<std::string>{"9,1,2,1,0,"}));
}
